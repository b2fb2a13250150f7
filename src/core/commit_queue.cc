// The waiting, batching and hand-over of a CommitQueue.

#include "core/commit_queue.h"

#include <cassert>
#include <chrono>
#include <thread>

#include "platform/port.h"

namespace razezir {

namespace {

// How a waiting thread waits. It spins for about a microsecond: when the
// thread that writes is running, a batch is written in a few, and a waiter
// that is still spinning is told without a system call on either side.
// Then, while yielding has been paying off (waiters that yielded were told
// while they yielded), it yields the processor for up to kYieldLimit: when
// threads outnumber processors, the one it yields to may be the writer. A
// yield that takes long means other threads had work for this processor; a
// few of those and the waiter stops taking it from them. Then it sleeps
// until told. One wait in kYieldSampling yields whatever the credit says,
// and only those sampled waits move the credit.
constexpr std::chrono::nanoseconds kSpinLimit{1000};
constexpr std::chrono::nanoseconds kYieldLimit{100000};
constexpr std::chrono::nanoseconds kSlowYield{3000};
constexpr int kSlowYieldsTolerated = 3;
constexpr uint32_t kYieldSampling = 256;
// The credit moves by this much per sample, and loses 1/1024 of itself.
constexpr int32_t kYieldCreditStep = 131072;

// How long a leader waits for company at most: about the time a thread
// takes to format a line.
constexpr std::chrono::nanoseconds kLingerLimit{1500};

// How many batches a leader writes before it passes the lead on, when lines
// keep coming: a thread already running writes what queued up while it
// wrote; past the first number it passes the lead to a thread that is awake
// only, and past the second to any, so that its own call returns.
constexpr int kBatchesKept = 4;
constexpr int kBatchesKeptForSleepers = 64;

// Spins until `done()` or until `limit` has passed; returns `done()`.
template <typename Done>
bool SpinUntil(std::chrono::nanoseconds limit, Done&& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    // The clock is read now and then only: the test is far cheaper.
    for (int spin = 0; spin < 16; ++spin) {
      if (done()) return true;
      platform::CpuRelax();
    }
  } while (std::chrono::steady_clock::now() < deadline);
  return done();
}

// Sets the turn of `entry`, waking its thread if it sleeps. The entry may be
// gone as soon as the exchange is made; waking its address is harmless.
void Tell(CommitEntry* entry, CommitEntry::Turn turn) {
  std::atomic<uint32_t>* word = &entry->turn;
  if (word->exchange(turn, std::memory_order_acq_rel) == CommitEntry::kSleeping) {
    platform::WakeWord(word);
  }
}

}  // namespace

void CommitQueue::Commit(CommitEntry* entry, WriteBatchFn write, void* context) {
  assert(!entry->exclusive);
  const bool leads = Join(entry);
  Reach(SyncPoint::kJoined, entry);
  if (!leads && !Await(entry)) return;
  Reach(SyncPoint::kLeading, entry);
  AwaitCompany(entry);
  CommitEntry* first = entry;
  for (int round = 1; first != nullptr; ++round) {
    Batch batch;
    TakeBatch(first, &batch);
    write(context, batch.entries, batch.count);
    Reach(SyncPoint::kBatchWritten, batch.entries[0]);
    const LeadChoice choice = round < kBatchesKept              ? LeadChoice::kKeep
                              : round < kBatchesKeptForSleepers ? LeadChoice::kPassIfAwake
                                                                : LeadChoice::kPass;
    first = FinishBatch(batch, entry, choice);
  }
}

bool CommitQueue::Join(CommitEntry* entry) {
  // An entry may be queued again once its thread was told.
  entry->turn.store(CommitEntry::kQueued, std::memory_order_relaxed);
  CommitEntry* newest = tail_.load(std::memory_order_relaxed);
  do {
    entry->older = newest;
  } while (!tail_.compare_exchange_weak(newest, entry, std::memory_order_acq_rel,
                                        std::memory_order_relaxed));
  return newest == nullptr;
}

bool CommitQueue::Await(CommitEntry* entry) {
  uint32_t turn = CommitEntry::kQueued;
  auto told = [&] {
    turn = entry->turn.load(std::memory_order_acquire);
    return turn != CommitEntry::kQueued;
  };
  if (SpinUntil(kSpinLimit, told)) return turn == CommitEntry::kLead;
  const bool sampled = waits_.fetch_add(1, std::memory_order_relaxed) % kYieldSampling == 0;
  if (sampled || yieldCredit_.load(std::memory_order_relaxed) >= 0) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto before = start;
    int slowYields = 0;
    bool toldWhileYielding = false;
    while (before - start < kYieldLimit) {
      std::this_thread::yield();
      if (told()) {
        toldWhileYielding = true;
        break;
      }
      const auto after = Clock::now();
      if (after - before >= kSlowYield && ++slowYields >= kSlowYieldsTolerated) break;
      before = after;
    }
    if (sampled) {
      // Samples may overwrite each other's updates; the credit is a trend.
      int32_t credit = yieldCredit_.load(std::memory_order_relaxed);
      credit = credit - credit / 1024 + (toldWhileYielding ? kYieldCreditStep : -kYieldCreditStep);
      yieldCredit_.store(credit, std::memory_order_relaxed);
    }
    if (toldWhileYielding) return turn == CommitEntry::kLead;
  }
  if (entry->turn.compare_exchange_strong(turn, CommitEntry::kSleeping,
                                          std::memory_order_acq_rel)) {
    Reach(SyncPoint::kSleeping, entry);
    do {
      platform::WaitOnWord(&entry->turn, CommitEntry::kSleeping);
      turn = entry->turn.load(std::memory_order_acquire);
    } while (turn == CommitEntry::kSleeping);
  }
  return turn == CommitEntry::kLead;
}

void CommitQueue::AwaitCompany(CommitEntry* leader) const {
  // Where threads append side by side, a line in the queue is one that
  // could not: nothing is gained by holding it back.
  if (SharedTurns() || !contended_.load(std::memory_order_relaxed)) return;
  SpinUntil(kLingerLimit, [&] { return tail_.load(std::memory_order_acquire) != leader; });
}

void CommitQueue::TakeBatch(CommitEntry* first, Batch* batch) {
  // The lead came with no link to the entries written before.
  assert(first->older == nullptr);
  CommitEntry* newest = tail_.load(std::memory_order_acquire);
  if (newest == first) {
    // Alone, as a line is whenever its destination is not contended.
    batch->entries[0] = first;
    batch->count = 1;
    batch->next = nullptr;
    contended_.store(false, std::memory_order_relaxed);
    return;
  }
  // Walks from the newest entry back to `first`. The last kMaxBatch + 1
  // entries seen since the last exclusive one are kept in a ring: the
  // oldest kMaxBatch of them may go in the batch, and the one after the
  // batch's last line is the next entry when the batch is full.
  constexpr size_t kRing = kMaxBatch + 1;
  CommitEntry* ring[kRing];
  size_t seen = 0;
  CommitEntry* exclusive = nullptr;
  for (CommitEntry* entry = newest;; entry = entry->older) {
    assert(entry != nullptr);
    if (entry != first && entry->exclusive) {
      seen = 0;
      exclusive = entry;
      continue;
    }
    ring[seen % kRing] = entry;
    ++seen;
    if (entry == first) break;
  }
  const size_t maxBytes = first->bytes <= kSmallBatchGrowth ? first->bytes + kSmallBatchGrowth
                                                             : kMaxBatchBytes;
  const size_t available = seen < kMaxBatch ? seen : kMaxBatch;
  size_t count = 0;
  size_t bytes = 0;
  for (; count < available; ++count) {
    CommitEntry* entry = ring[(seen - 1 - count) % kRing];
    if (count > 0 && bytes + entry->bytes > maxBytes) break;
    bytes += entry->bytes;
    batch->entries[count] = entry;
  }
  batch->count = count;
  batch->next = count < seen ? ring[(seen - 1 - count) % kRing] : exclusive;
  contended_.store(count > 1, std::memory_order_relaxed);
}

CommitEntry* CommitQueue::FinishBatch(const Batch& batch, const CommitEntry* own,
                                      LeadChoice choice) {
  // The next entry is found before any thread of the batch is told: once
  // told, its entry may be gone and its address taken by a new entry.
  CommitEntry* next =
      batch.next != nullptr ? batch.next : NextAfter(batch.entries[batch.count - 1]);
  if (next != nullptr) {
    // Whoever writes `next` next starts from it and must not follow its
    // link into the batch just written.
    next->older = nullptr;
    contended_.store(true, std::memory_order_relaxed);
    const bool pass =
        next->exclusive || choice == LeadChoice::kPass ||
        (choice == LeadChoice::kPassIfAwake &&
         next->turn.load(std::memory_order_relaxed) == CommitEntry::kQueued);
    if (pass) {
      Tell(next, CommitEntry::kLead);
      next = nullptr;
    }
  }
  for (size_t i = 0; i < batch.count; ++i) {
    if (batch.entries[i] != own) Tell(batch.entries[i], CommitEntry::kWritten);
  }
  return next;
}

void CommitQueue::PassLead(CommitEntry* leader) {
  if (leader->exclusive && SharedTurns()) OpenGate();
  CommitEntry* next = NextAfter(leader);
  if (next == nullptr) return;
  next->older = nullptr;
  Tell(next, CommitEntry::kLead);
}

CommitEntry* CommitQueue::NextAfter(CommitEntry* last) {
  CommitEntry* newest = last;
  if (tail_.compare_exchange_strong(newest, nullptr, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
    return nullptr;
  }
  // Lines came in after `last`; every one of them waits, so the walk reads
  // only live entries. It ends at the one queued right after.
  CommitEntry* next = newest;
  while (next->older != last) next = next->older;
  return next;
}

void CommitQueue::TakeAlone(CommitEntry* entry) {
  entry->exclusive = true;
  const bool leads = Join(entry);
  Reach(SyncPoint::kJoined, entry);
  if (!leads) Await(entry);
  if (SharedTurns()) CloseGate();
}

bool CommitQueue::EnterShared() {
  if (!SharedTurns()) return false;
  if ((gate_.fetch_add(1, std::memory_order_acquire) & kClosed) == 0) return true;
  LeaveShared();
  return false;
}

bool CommitQueue::StampShared(int64_t millisecond) {
  const uint64_t stamp = StampBits(millisecond);
  uint64_t gate = gate_.load(std::memory_order_acquire);
  for (;;) {
    if ((gate & kStampMask) == stamp) return true;
    // Another turn in flight may carry the old stamp and land after this
    // line; only a thread alone may move the stamp.
    if ((gate & kCountMask) != 1) return false;
    if (gate_.compare_exchange_weak(gate, stamp | (gate & ~kStampMask),
                                    std::memory_order_acq_rel, std::memory_order_acquire)) {
      return true;
    }
  }
}

void CommitQueue::LeaveShared() {
  const uint64_t before = gate_.fetch_sub(1, std::memory_order_release);
  if ((before & kDrainer) != 0 && (before & kCountMask) == 1) {
    drained_.fetch_add(1, std::memory_order_release);
    platform::WakeWord(&drained_);
  }
}

void CommitQueue::CloseGate() {
  auto drained = [&] { return (gate_.load(std::memory_order_acquire) & kCountMask) == 0; };
  gate_.fetch_or(kClosed, std::memory_order_acq_rel);
  if (SpinUntil(kSpinLimit, drained)) return;
  for (;;) {
    const uint32_t seen = drained_.load(std::memory_order_acquire);
    if ((gate_.fetch_or(kDrainer, std::memory_order_acq_rel) & kCountMask) == 0) break;
    platform::WaitOnWord(&drained_, seen);
  }
  gate_.fetch_and(~kDrainer, std::memory_order_relaxed);
}

void CommitQueue::RestampAndOpen(int64_t millisecond) {
  const uint64_t stamp = StampBits(millisecond);
  // Turns that found the gate closed may still be on their way out, so the
  // count is not overwritten.
  uint64_t gate = gate_.load(std::memory_order_relaxed);
  while (!gate_.compare_exchange_weak(gate, (stamp | (gate & ~kStampMask)) + 1,
                                      std::memory_order_acq_rel, std::memory_order_relaxed)) {
  }
  OpenGate();
}

}  // namespace razezir

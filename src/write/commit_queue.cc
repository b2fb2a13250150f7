// The waiting, batching and hand-over of a CommitQueue.

#include "write/commit_queue.h"

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

// Sets the state of `entry`, waking its thread if it sleeps. The entry may be
// gone as soon as the exchange is made; waking its address is harmless.
void Tell(CommitEntry* entry, CommitEntry::State state) {
  std::atomic<uint32_t>* word = &entry->state;
  if (word->exchange(state, std::memory_order_acq_rel) == CommitEntry::kSleeping) {
    platform::WakeWord(word);
  }
}

}  // namespace

bool CommitQueue::Enqueue(CommitEntry* entry) {
  assert(!entry->isTurn);
  const bool leads = Join(entry);
  Reach(TestPoint::kJoined, entry);
  if (!leads && !Await(entry)) return false;
  Reach(TestPoint::kLeading, entry);
  AwaitCompany(entry);
  return true;
}

bool LedBatch::Next() {
  CommitQueue::Reach(CommitQueue::TestPoint::kBatchWritten, batch_.entries[0]);
  using LeadChoice = CommitQueue::LeadChoice;
  const LeadChoice choice = round_ < kBatchesKept              ? LeadChoice::kKeep
                            : round_ < kBatchesKeptForSleepers ? LeadChoice::kPassIfAwake
                                                               : LeadChoice::kPass;
  CommitEntry* first = queue_.FinishBatch(batch_, own_, choice);
  if (first == nullptr) return false;
  ++round_;
  queue_.TakeBatch(first, &batch_);
  return true;
}

bool CommitQueue::Join(CommitEntry* entry) {
  // An entry may be queued again once its thread was told.
  entry->state.store(CommitEntry::kQueued, std::memory_order_relaxed);
  CommitEntry* newest = tail_.load(std::memory_order_relaxed);
  do {
    entry->older = newest;
  } while (!tail_.compare_exchange_weak(newest, entry, std::memory_order_acq_rel,
                                        std::memory_order_relaxed));
  return newest == nullptr;
}

bool CommitQueue::Await(CommitEntry* entry) {
  uint32_t state = CommitEntry::kQueued;
  auto told = [&] {
    state = entry->state.load(std::memory_order_acquire);
    return state != CommitEntry::kQueued;
  };
  if (platform::SpinUntil(kSpinLimit, told)) return state == CommitEntry::kLead;
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
    if (toldWhileYielding) return state == CommitEntry::kLead;
  }
  if (entry->state.compare_exchange_strong(state, CommitEntry::kSleeping,
                                           std::memory_order_acq_rel)) {
    Reach(TestPoint::kSleeping, entry);
    do {
      // In a fork takeover the line is its parent's, which writes it.
      if (!platform::WaitOnWord(&entry->state, CommitEntry::kSleeping)) return false;
      state = entry->state.load(std::memory_order_acquire);
    } while (state == CommitEntry::kSleeping);
  }
  return state == CommitEntry::kLead;
}

void CommitQueue::AwaitCompany(CommitEntry* leader) const {
  if (!lingers_.load(std::memory_order_relaxed) || !contended_.load(std::memory_order_relaxed)) {
    return;
  }
  platform::SpinUntil(kLingerLimit,
                      [&] { return tail_.load(std::memory_order_acquire) != leader; });
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
  // entries seen since the last turn are kept in a ring: the
  // oldest kMaxBatch of them may go in the batch, and the one after the
  // batch's last line is the next entry when the batch is full.
  constexpr size_t kRing = kMaxBatch + 1;
  CommitEntry* ring[kRing];
  size_t seen = 0;
  CommitEntry* turn = nullptr;
  for (CommitEntry* entry = newest;; entry = entry->older) {
    assert(entry != nullptr);
    if (entry != first && entry->isTurn) {
      seen = 0;
      turn = entry;
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
  batch->next = count < seen ? ring[(seen - 1 - count) % kRing] : turn;
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
        next->isTurn || choice == LeadChoice::kPass ||
        (choice == LeadChoice::kPassIfAwake &&
         next->state.load(std::memory_order_relaxed) == CommitEntry::kQueued);
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

void CommitQueue::PassTurn(CommitEntry* entry) {
  CommitEntry* next = NextAfter(entry);
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

void CommitQueue::WaitForTurn(CommitEntry* entry) {
  entry->isTurn = true;
  const bool leads = Join(entry);
  Reach(TestPoint::kJoined, entry);
  if (!leads) Await(entry);
}

}  // namespace razezir

// The waiting, batching and hand-over of a CommitQueue.

#include "core/commit_queue.h"

#include <chrono>

#include "platform/port.h"

#ifndef RAZEZIR_LINGER_NS
#define RAZEZIR_LINGER_NS 1500
#endif
#ifndef RAZEZIR_SPIN_NS
#define RAZEZIR_SPIN_NS 5000
#endif

namespace razezir {

namespace {

// How long a waiting thread spins before it sleeps. A batch takes a few
// microseconds to write; a waiter that is still spinning when its line is
// written is told without a system call on either side. A waiter that
// spins much longer only keeps other threads from the processor.
constexpr std::chrono::nanoseconds kSpinLimit{RAZEZIR_SPIN_NS};

// How long a leader waits for company at most: about the time a thread
// takes to format a line.
constexpr std::chrono::nanoseconds kLingerLimit{RAZEZIR_LINGER_NS};

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

bool CommitQueue::Await(CommitEntry* entry) {
  uint32_t turn = CommitEntry::kQueued;
  if (SpinUntil(kSpinLimit, [&] {
        turn = entry->turn.load(std::memory_order_acquire);
        return turn != CommitEntry::kQueued;
      })) {
    return turn == CommitEntry::kLead;
  }
  if (entry->turn.compare_exchange_strong(turn, CommitEntry::kSleeping,
                                          std::memory_order_acq_rel)) {
    do {
      platform::WaitOnWord(&entry->turn, CommitEntry::kSleeping);
      turn = entry->turn.load(std::memory_order_acquire);
    } while (turn == CommitEntry::kSleeping);
  }
  return turn == CommitEntry::kLead;
}

void CommitQueue::AwaitCompany(CommitEntry* leader) const {
  if (kLingerLimit.count() == 0 || !contended_.load(std::memory_order_relaxed)) return;
  SpinUntil(kLingerLimit, [&] { return tail_.load(std::memory_order_acquire) != leader; });
}

void CommitQueue::TakeBatch(CommitEntry* leader, Batch* batch) {
  // Walks from the newest entry back to the leader. The last kMaxBatch + 1
  // entries seen since the last exclusive one are kept in a ring: the
  // oldest kMaxBatch of them are the batch, and one more is the next leader
  // when the batch is full.
  constexpr size_t kRing = kMaxBatch + 1;
  CommitEntry* ring[kRing];
  size_t seen = 0;
  CommitEntry* exclusive = nullptr;
  for (CommitEntry* entry = tail_.load(std::memory_order_acquire);; entry = entry->older) {
    if (entry != leader && entry->exclusive) {
      seen = 0;
      exclusive = entry;
      continue;
    }
    ring[seen % kRing] = entry;
    ++seen;
    if (entry == leader) break;
  }
  batch->count = seen < kMaxBatch ? seen : kMaxBatch;
  for (size_t i = 0; i < batch->count; ++i) {
    batch->entries[i] = ring[(seen - 1 - i) % kRing];
  }
  batch->next = seen > kMaxBatch ? ring[(seen - kRing) % kRing] : exclusive;
  contended_.store(batch->count > 1, std::memory_order_relaxed);
}

void CommitQueue::FinishBatch(const Batch& batch) {
  PassLeadAfter(batch.entries[batch.count - 1], batch.next);
  for (size_t i = 1; i < batch.count; ++i) Tell(batch.entries[i], CommitEntry::kWritten);
}

void CommitQueue::PassLeadAfter(CommitEntry* last, CommitEntry* next) {
  if (next == nullptr) {
    CommitEntry* newest = last;
    if (tail_.compare_exchange_strong(newest, nullptr, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
      return;
    }
    // Lines came in after `last`; every one of them waits, so the walk
    // reads only live entries. It ends at the one queued right after.
    for (next = newest; next->older != last; next = next->older) {
    }
  }
  contended_.store(true, std::memory_order_relaxed);
  Tell(next, CommitEntry::kLead);
}

ExclusiveTurn::ExclusiveTurn(CommitQueue& queue) : queue_(queue) {
  entry_.exclusive = true;
  if (!queue_.Join(&entry_)) CommitQueue::Await(&entry_);
}

}  // namespace razezir

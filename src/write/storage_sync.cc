// The waiting for, and the running of, the syncs of one file.

#include "write/storage_sync.h"

#include <chrono>
#include <thread>

namespace razezir {

void StorageSync::Cover(platform::FileHandle file) {
  if (file == platform::kNoFile) return;
  // Every sync numbered from `wanted` on begins after this point: a sync's
  // number is taken just before the file is synced, after the wait for the
  // lines about to come. Numbers count in steps of kOneSync and wrap; they
  // are compared by difference.
  const uint32_t wanted = (word_.load(std::memory_order_seq_cst) & ~kBusy) + kOneSync;
  pending_.fetch_add(1, std::memory_order_relaxed);
  const uint32_t inside = inside_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (inside > recentInside_.load(std::memory_order_relaxed)) {
    recentInside_.store(inside, std::memory_order_relaxed);
  }
  for (;;) {
    uint32_t word = word_.load(std::memory_order_acquire);
    if (static_cast<int32_t>(good_.load(std::memory_order_acquire) - wanted) >= 0) break;
    if ((word & kBusy) == 0) {
      // No sync runs: this thread runs the next one, which covers its line.
      if (word_.compare_exchange_strong(word, word | kBusy, std::memory_order_acq_rel)) {
        SyncForAll(file, word);
        break;
      }
      continue;
    }
    // The sync under way may have begun before the line was written, or be
    // waiting to begin (then it covers the line). Its thread changes the
    // word last when it ends, and wakes the sleepers; a thread that sleeps
    // only after that finds the word changed.
    Reached(TestPoint::kSleeping);
    // In a fork takeover the sync under way was another thread's.
    if (!platform::WaitOnWord(&word_, word)) break;
  }
  inside_.fetch_sub(1, std::memory_order_relaxed);
}

void StorageSync::SyncForAll(platform::FileHandle file, uint32_t last) {
  using Clock = std::chrono::steady_clock;
  const auto linger =
      std::chrono::nanoseconds(lastSyncNanoseconds_.load(std::memory_order_relaxed) / 4);
  const uint32_t expected = recentInside_.load(std::memory_order_relaxed);
  const auto lingerEnd = Clock::now() + linger;
  while (pending_.load(std::memory_order_relaxed) < expected && Clock::now() < lingerEnd) {
    std::this_thread::yield();
  }
  // Threads that stopped writing leave the count, a sync at a time.
  const uint32_t now = inside_.load(std::memory_order_relaxed);
  recentInside_.store(expected > now ? expected - 1 : now, std::memory_order_relaxed);
  pending_.store(0, std::memory_order_relaxed);
  Reached(TestPoint::kBeginning);
  // The sync begins: a line whose thread finds this number in the word
  // waits for a later one.
  const uint32_t number = last + kOneSync;
  word_.store(number | kBusy, std::memory_order_seq_cst);
  const auto began = Clock::now();
  const bool synced = platform::SyncToStorage(file);
  lastSyncNanoseconds_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - began).count(),
      std::memory_order_relaxed);
  if (synced) good_.store(number, std::memory_order_release);
  Reached(TestPoint::kSynced);
  word_.store(number, std::memory_order_release);
  platform::WakeWord(&word_);
}

}  // namespace razezir

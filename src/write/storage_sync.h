// Syncs of one file, shared between the threads that wait for them. A
// thread whose durable line was written waits for a sync of the file that
// began after its write ended and succeeded, and starts one itself when none
// is under way. While one sync runs, the lines written meanwhile gather
// behind it, and the next sync covers them all. The threads that the last
// sync let go are writing their next lines at once, as a rule: the thread
// that starts the next sync waits a little (a quarter of the last sync's
// time at most) until as many lines are waiting as threads have lately been
// writing durably, so that one sync covers every thread's line instead of
// every other sync half of them.
//
// A failed sync covers no line but those of the thread that ran it: that
// thread returns (nothing is reported), and the others start the next sync.
//
// The sync's state is one word, the number of syncs begun and a bit that is
// set while one is about to begin or runs, so that a thread that sleeps until it changes cannot
// miss the change that ends the sync: the syncing thread publishes it last,
// after the number of the last sync that succeeded.

#ifndef RAZEZIR_SRC_WRITE_STORAGE_SYNC_H_
#define RAZEZIR_SRC_WRITE_STORAGE_SYNC_H_

#include <atomic>
#include <cstdint>

#include "platform/port.h"

namespace razezir {

class StorageSync {
 public:
  StorageSync() = default;
  StorageSync(const StorageSync&) = delete;
  StorageSync& operator=(const StorageSync&) = delete;

  // Returns once a sync of `file` that began after this call did has ended:
  // a sync that succeeded, whichever thread ran it, or one this thread ran.
  // `file` stays open meanwhile (the destination's own handle). The caller
  // holds no turn, lead or place in a gate: other lines must not wait for a
  // sync. Nothing to sync (kNoFile) returns at once.
  void Cover(platform::FileHandle file);

  // Forgets a sync that a fork left running. REQUIRES: only the calling
  // thread runs in this process.
  void ResetInForkChild() {
    word_.store(word_.load(std::memory_order_relaxed) & ~kBusy, std::memory_order_relaxed);
    pending_.store(0, std::memory_order_relaxed);
    inside_.store(0, std::memory_order_relaxed);
  }

  // Points in a sync where a test may act, on the thread that reaches them.
  enum class TestPoint {
    kBeginning,  // The syncing thread waited for lines, took no number yet.
    kSynced,     // The syncing thread recorded the outcome, told no one yet.
    kSleeping,   // A thread is about to sleep until the sync under way ends.
  };
  using TestHook = void (*)(TestPoint point);
  // Sets the hook for every sync; null removes it.
  static void SetTestHook(TestHook hook) { testHook_.store(hook, std::memory_order_release); }

 private:
  static constexpr uint32_t kBusy = 1;
  static constexpr uint32_t kOneSync = 2;

  // Syncs the file for every thread that waits, after waiting a little for
  // the lines about to come, and publishes the outcome. REQUIRES: the
  // caller set kBusy in the word, whose number was `last`.
  void SyncForAll(platform::FileHandle file, uint32_t last);
  // Runs the test hook, if one is set, at `point`.
  static void Reached(TestPoint point) {
    if (TestHook hook = testHook_.load(std::memory_order_acquire)) hook(point);
  }

  // The number of syncs begun times kOneSync, plus kBusy while a thread is
  // about to begin one or runs it.
  std::atomic<uint32_t> word_{0};
  // The number of the last sync that succeeded.
  std::atomic<uint32_t> good_{0};
  // Hints for the wait before a sync, which only they steer: lines written
  // that no sync has begun to cover; threads inside Cover; the most of
  // those lately (decaying by one a sync); the last sync's time.
  std::atomic<uint32_t> pending_{0};
  std::atomic<uint32_t> inside_{0};
  std::atomic<uint32_t> recentInside_{0};
  std::atomic<int64_t> lastSyncNanoseconds_{0};

  static inline std::atomic<TestHook> testHook_{nullptr};
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_WRITE_STORAGE_SYNC_H_

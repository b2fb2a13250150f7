// The group-commit queue on its own, driven through Commit as emission
// drives it: which lines a leader takes together, how batches are bounded,
// how the lead passes and exclusive turns take theirs, and, under real
// contention, that every line is written once and each thread's lines in
// order. Interleavings are made with the queue's test hook, not by sleeping.

#include "core/commit_queue.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

using razezir::CommitEntry;
using razezir::CommitQueue;
using SyncPoint = CommitQueue::SyncPoint;

struct Line : CommitEntry {
  int id = 0;
};

// What the leaders wrote: the ids of each batch, and -1 for each exclusive
// turn, in order. Only the thread that leads touches it.
struct Recorder {
  std::vector<std::vector<int>> batches;
};

void Record(void* context, CommitEntry* const* entries, size_t count) {
  std::vector<int> ids;
  for (size_t i = 0; i < count; ++i) ids.push_back(static_cast<Line*>(entries[i])->id);
  static_cast<Recorder*>(context)->batches.push_back(ids);
}

// The test hook's state: entries that joined, a leader held at its lead
// until released, and threads seen going to sleep.
std::atomic<int> g_joined{0};
std::atomic<int> g_sleeping{0};
std::atomic<int> g_leadsWithALink{0};
std::atomic<CommitEntry*> g_heldLeader{nullptr};
std::atomic<bool> g_released{false};

void Hook(SyncPoint point, CommitEntry* entry) {
  switch (point) {
    case SyncPoint::kJoined:
      g_joined.fetch_add(1);
      break;
    case SyncPoint::kSleeping:
      g_sleeping.fetch_add(1);
      break;
    case SyncPoint::kLeading:
      // A new leader never keeps a link to entries already written.
      if (entry->older != nullptr) g_leadsWithALink.fetch_add(1);
      if (entry == g_heldLeader.load()) {
        while (!g_released.load()) std::this_thread::yield();
      }
      break;
    case SyncPoint::kBatchWritten:
      break;
  }
}

// Starts `work` on a thread of its own and returns once that thread has
// joined the queue, so that threads join in the order they are started.
template <typename Work>
std::thread StartJoined(Work work) {
  const int joined = g_joined.load();
  std::thread thread(work);
  while (g_joined.load() <= joined) std::this_thread::yield();
  return thread;
}

class CommitQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_joined = 0;
    g_sleeping = 0;
    g_leadsWithALink = 0;
    g_heldLeader = nullptr;
    g_released = false;
    CommitQueue::SetTestHook(Hook);
  }
  void TearDown() override {
    CommitQueue::SetTestHook(nullptr);
    EXPECT_EQ(g_leadsWithALink.load(), 0);
  }

  // Commits lines of the given sizes, each from its own thread: the first
  // leads and is held there until all the others have joined, in order.
  // Returns the batches written.
  std::vector<std::vector<int>> CommitHeld(const std::vector<size_t>& sizes) {
    g_joined = 0;
    g_released = false;
    CommitQueue queue;
    Recorder recorder;
    std::vector<Line> lines(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
      lines[i].id = static_cast<int>(i);
      lines[i].bytes = sizes[i];
    }
    g_heldLeader = &lines[0];
    std::vector<std::thread> threads;
    for (size_t i = 0; i < lines.size(); ++i) {
      threads.push_back(StartJoined([&, i] { queue.Commit(&lines[i], Record, &recorder); }));
    }
    g_released = true;
    for (std::thread& thread : threads) thread.join();
    return recorder.batches;
  }
};

using Batches = std::vector<std::vector<int>>;

TEST_F(CommitQueueTest, LoneLineLeadsAndLeavesTheQueueIdle) {
  CommitQueue queue;
  Recorder recorder;
  for (int i = 0; i < 3; ++i) {
    Line line;
    line.id = i;
    line.bytes = 10;
    queue.Commit(&line, Record, &recorder);
    // The leader is not told: its own line is written by itself.
    EXPECT_EQ(line.turn.load(), CommitEntry::kQueued);
  }
  EXPECT_EQ(recorder.batches, (Batches{{0}, {1}, {2}}));
}

TEST_F(CommitQueueTest, LeaderTakesTheWaitingLinesOldestFirst) {
  EXPECT_EQ(CommitHeld({10, 10, 10, 10}), (Batches{{0, 1, 2, 3}}));
}

TEST_F(CommitQueueTest, BatchesAreBoundedByCountAndBytes) {
  // Small lines: at most kMaxBatch a batch.
  std::vector<size_t> small(CommitQueue::kMaxBatch + 2, 10);
  Batches batches = CommitHeld(small);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].size(), CommitQueue::kMaxBatch);
  EXPECT_EQ(batches[1], (std::vector<int>{static_cast<int>(CommitQueue::kMaxBatch),
                                          static_cast<int>(CommitQueue::kMaxBatch) + 1}));
  // A small first line takes at most kSmallBatchGrowth more bytes along.
  constexpr size_t kKiB = 1024;
  EXPECT_EQ(CommitHeld({100, 100 * kKiB, 100 * kKiB, 10}), (Batches{{0, 1}, {2, 3}}));
  // A big one, up to kMaxBatchBytes in all; a line alone may be longer.
  EXPECT_EQ(CommitHeld({200 * kKiB, 300 * kKiB, 400 * kKiB, 200 * kKiB}),
            (Batches{{0, 1, 2}, {3}}));
  EXPECT_EQ(CommitHeld({2048 * kKiB, 10}), (Batches{{0}, {1}}));
}

TEST_F(CommitQueueTest, ExclusiveTurnEndsABatchAndHoldsTheQueueAlone) {
  CommitQueue queue;
  Recorder recorder;
  Line leader, before, after;
  leader.id = 0;
  before.id = 1;
  after.id = 2;
  g_heldLeader = &leader;
  std::thread first = StartJoined([&] { queue.Commit(&leader, Record, &recorder); });
  std::thread second = StartJoined([&] { queue.Commit(&before, Record, &recorder); });
  std::thread alone = StartJoined([&] {
    razezir::ExclusiveTurn turn(queue);
    // Whatever is written meanwhile goes into the record, between the
    // batches before and after the turn.
    recorder.batches.push_back({-1});
  });
  std::thread third = StartJoined([&] { queue.Commit(&after, Record, &recorder); });
  g_released = true;
  for (std::thread* thread : {&first, &second, &alone, &third}) thread->join();
  EXPECT_EQ(recorder.batches, (Batches{{0, 1}, {-1}, {2}}));
}

TEST_F(CommitQueueTest, SleepingWaiterIsWoken) {
  CommitQueue queue;
  Recorder recorder;
  Line leader, sleeper;
  leader.id = 0;
  sleeper.id = 1;
  g_heldLeader = &leader;
  std::thread first = StartJoined([&] { queue.Commit(&leader, Record, &recorder); });
  std::thread second([&] { queue.Commit(&sleeper, Record, &recorder); });
  // The leader writes only once the waiter sleeps; the test hangs if a
  // sleeper is never woken.
  while (g_sleeping.load() < 1) std::this_thread::yield();
  g_released = true;
  first.join();
  second.join();
  EXPECT_EQ(recorder.batches, (Batches{{0, 1}}));
}

// Shared turns carry one stamp at a time: a thread alone moves it, one
// beside others may not (its line takes the queue); a leader moving it and
// an exclusive turn both wait until the turns in flight have left, and the
// gate stays closed to new shared turns while an exclusive turn holds.
TEST_F(CommitQueueTest, SharedTurnsKeepOneStampAndGiveWayToTheLead) {
  CommitQueue queue;
  EXPECT_FALSE(queue.EnterShared());  // Not granted until allowed.
  queue.AllowSharedTurns(true);
  ASSERT_TRUE(queue.EnterShared());
  EXPECT_TRUE(queue.StampShared(10));  // Alone: moves the stamp.
  ASSERT_TRUE(queue.EnterShared());
  EXPECT_TRUE(queue.StampShared(10));
  EXPECT_FALSE(queue.StampShared(11));  // Another turn may land later with 10.
  queue.LeaveShared();
  EXPECT_TRUE(queue.StampShared(11));
  // The leader and the exclusive turn wait for the turn still in flight.
  std::atomic<int> step{0};
  std::vector<int> order;  // Each entry written before the next step is taken.
  std::thread leader([&] {
    Line line;
    queue.Commit(&line, [](void* context, CommitEntry* const*, size_t) {
      auto* queue = static_cast<CommitQueue*>(context);
      queue->EnterSharedAsLeader([] { return int64_t{12}; });
      queue->LeaveShared();
    }, &queue);
    order.push_back(1);
    step = 1;
    while (step != 2) std::this_thread::yield();
    razezir::ExclusiveTurn turn(queue);
    order.push_back(3);
    step = 3;
    while (step != 4) std::this_thread::yield();
  });
  auto holdThenLeave = [&](int from, int entry) {
    // Until the shared turn leaves, the other thread cannot go on.
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_EQ(step.load(), from);
    order.push_back(entry);
    queue.LeaveShared();
  };
  holdThenLeave(0, 0);
  while (step != 1) std::this_thread::yield();
  ASSERT_TRUE(queue.EnterShared());
  EXPECT_TRUE(queue.StampShared(12));  // The leader's stamp.
  step = 2;
  holdThenLeave(2, 2);
  while (step != 3) std::this_thread::yield();
  EXPECT_FALSE(queue.EnterShared());  // Closed while the exclusive turn holds.
  step = 4;
  leader.join();
  EXPECT_TRUE(queue.EnterShared());
  queue.LeaveShared();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

// Threads commit numbered lines through one queue, with exclusive turns in
// between. Every line must be written exactly once, each thread's lines in
// order.
TEST_F(CommitQueueTest, ContendedLinesAreWrittenOnceInOrder) {
  constexpr int kThreads = 6;
  constexpr int kLines = 20000;
  CommitQueue queue;
  Recorder recorder;
  int exclusiveTurns = 0;  // Touched only by the thread holding the turn.
  auto work = [&](int thread) {
    for (int i = 0; i < kLines; ++i) {
      if (thread == 0 && i % 1000 == 0) {
        razezir::ExclusiveTurn turn(queue);
        ++exclusiveTurns;
      }
      Line line;
      line.id = thread * kLines + i;
      line.bytes = 100;
      queue.Commit(&line, Record, &recorder);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(exclusiveTurns, kLines / 1000);
  std::vector<int> nextOf(kThreads, 0);
  size_t written = 0;
  for (const std::vector<int>& batch : recorder.batches) {
    ASSERT_LE(batch.size(), CommitQueue::kMaxBatch);
    for (int id : batch) {
      ASSERT_EQ(id % kLines, nextOf[id / kLines]++) << "thread " << id / kLines;
      ++written;
    }
  }
  EXPECT_EQ(written, static_cast<size_t>(kThreads * kLines));
}

}  // namespace

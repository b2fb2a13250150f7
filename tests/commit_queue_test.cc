// The group-commit queue, driven as a destination drives it: which lines a
// leader takes together, how batches are bounded, how the lead passes and
// turns take theirs, and, under real contention, that every line is written
// once and each thread's lines in order. Interleavings are made with test
// hooks, not by sleeping.

#include "write/commit_queue.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "test_util.h"

namespace {

using razezir::CommitEntry;
using razezir::CommitQueue;
using TestPoint = CommitQueue::TestPoint;

// Holds a queue for its lifetime, as a destination's turn does.
class Turn {
 public:
  explicit Turn(CommitQueue& queue) : queue_(queue) { queue_.WaitForTurn(&entry_); }
  ~Turn() { queue_.PassTurn(&entry_); }

 private:
  CommitQueue& queue_;
  CommitEntry entry_;
};

struct Line : CommitEntry {
  int id = 0;
};

// What the leaders wrote: the ids of each batch, and -1 for each
// turn, in order. Only the thread that leads touches it.
struct Recorder {
  std::vector<std::vector<int>> batches;
};

// Commits `line` as a destination does: once it leads, it records each
// batch it takes.
void Commit(CommitQueue& queue, Line* line, Recorder* recorder) {
  if (!queue.Enqueue(line)) return;
  razezir::LedBatch batch(queue, line);
  do {
    std::vector<int> ids;
    for (size_t i = 0; i < batch.count(); ++i) {
      ids.push_back(static_cast<Line*>(batch.entries()[i])->id);
    }
    recorder->batches.push_back(ids);
  } while (batch.Next());
  queue.LeadPassed();
}

// The test hook's state: entries that joined, a leader held at its lead
// until released, and threads seen going to sleep.
std::atomic<int> g_joined{0};
std::atomic<int> g_sleeping{0};
std::atomic<int> g_leadsWithALink{0};
std::atomic<CommitEntry*> g_heldLeader{nullptr};
std::atomic<bool> g_released{false};

void Hook(TestPoint point, CommitEntry* entry) {
  switch (point) {
    case TestPoint::kJoined:
      g_joined.fetch_add(1);
      break;
    case TestPoint::kSleeping:
      g_sleeping.fetch_add(1);
      break;
    case TestPoint::kLeading:
      // A new leader never keeps a link to entries already written.
      if (entry->older != nullptr) g_leadsWithALink.fetch_add(1);
      if (entry == g_heldLeader.load()) {
        while (!g_released.load()) std::this_thread::yield();
      }
      break;
    case TestPoint::kBatchWritten:
      break;
  }
}

template <typename Work>
std::thread StartJoined(Work work) {
  return razezir_test::StartJoined(g_joined, work);
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
      threads.push_back(StartJoined([&, i] { Commit(queue, &lines[i], &recorder); }));
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
    Commit(queue, &line, &recorder);
    // The leader is not told: its own line is written by itself.
    EXPECT_EQ(line.state.load(), CommitEntry::kQueued);
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

TEST_F(CommitQueueTest, EntryLeadingAloneEndsABatchAndHoldsTheQueue) {
  CommitQueue queue;
  Recorder recorder;
  Line leader, before, after;
  leader.id = 0;
  before.id = 1;
  after.id = 2;
  g_heldLeader = &leader;
  std::thread first = StartJoined([&] { Commit(queue, &leader, &recorder); });
  std::thread second = StartJoined([&] { Commit(queue, &before, &recorder); });
  std::thread alone = StartJoined([&] {
    Turn turn(queue);
    // Whatever is written meanwhile goes into the record, between the
    // batches before and after the turn.
    recorder.batches.push_back({-1});
  });
  std::thread third = StartJoined([&] { Commit(queue, &after, &recorder); });
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
  std::thread first = StartJoined([&] { Commit(queue, &leader, &recorder); });
  std::thread second([&] { Commit(queue, &sleeper, &recorder); });
  // The leader writes only once the waiter sleeps; the test hangs if a
  // sleeper is never woken.
  while (g_sleeping.load() < 1) std::this_thread::yield();
  g_released = true;
  first.join();
  second.join();
  EXPECT_EQ(recorder.batches, (Batches{{0, 1}}));
}

// Threads commit numbered lines through one queue, with turns in between.
// Every line must be written exactly once, each thread's lines in order.
TEST_F(CommitQueueTest, ContendedLinesAreWrittenOnceInOrder) {
  constexpr int kThreads = 6;
  constexpr int kLines = 20000;
  CommitQueue queue;
  Recorder recorder;
  int exclusiveTurns = 0;  // Touched only by the thread holding the turn.
  auto work = [&](int thread) {
    for (int i = 0; i < kLines; ++i) {
      if (thread == 0 && i % 1000 == 0) {
        Turn turn(queue);
        ++exclusiveTurns;
      }
      Line line;
      line.id = thread * kLines + i;
      line.bytes = 100;
      Commit(queue, &line, &recorder);
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

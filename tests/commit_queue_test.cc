// The parts of a destination on their own: the group-commit queue, driven
// through Commit as a destination drives it (which lines a leader takes
// together, how batches are bounded, how the lead passes and entries that
// lead alone take theirs, and, under real contention, that every line is
// written once and each thread's lines in order); the append gate and its
// stamp; the shared sync of a file; and the judgement of a line that waits
// while its stream moves. Interleavings are made with test hooks, not by
// sleeping.

#include "write/commit_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "write/append_gate.h"
#include "write/destination.h"
#include "write/storage_sync.h"
#include "gtest/gtest.h"
#include "test_util.h"

namespace {

using razezir::AppendGate;
using razezir::CommitEntry;
using razezir::CommitQueue;
using TestPoint = CommitQueue::TestPoint;

// Holds a queue alone for its lifetime, as a destination's turn does.
class LeadAlone {
 public:
  explicit LeadAlone(CommitQueue& queue) : queue_(queue) { queue_.LeadAlone(&entry_); }
  ~LeadAlone() { queue_.PassLead(&entry_); }

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
  std::thread first = StartJoined([&] { queue.Commit(&leader, Record, &recorder); });
  std::thread second = StartJoined([&] { queue.Commit(&before, Record, &recorder); });
  std::thread alone = StartJoined([&] {
    LeadAlone turn(queue);
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

// The gate carries one stamp at a time: a thread alone moves it, one beside
// others may not (its line waits in the queue); a leader moving it and a
// turn closing the gate both wait until the threads in it have left, and
// the gate stays closed to new threads meanwhile. A refused gate lets no
// one in until its destination stands for another file.
TEST(AppendGate, OneStampAtATimeAndTheLeadWaitsForTheThreadsInside) {
  AppendGate gate;
  EXPECT_FALSE(gate.Enter());  // Admits no one until allowed.
  gate.Allow(true);
  ASSERT_TRUE(gate.Enter());
  EXPECT_TRUE(gate.Stamp(10));  // Alone: moves the stamp.
  ASSERT_TRUE(gate.Enter());
  EXPECT_TRUE(gate.Stamp(10));
  EXPECT_FALSE(gate.Stamp(11));  // Another thread may land later with 10.
  gate.Leave();
  EXPECT_TRUE(gate.Stamp(11));
  std::atomic<int> step{0};
  std::vector<int> order;  // Each entry made before the next step is taken.
  std::thread leader([&] {
    gate.EnterAsLeader([] { return int64_t{12}; });
    order.push_back(1);
    step = 1;
    gate.Leave();
    while (step != 2) std::this_thread::yield();
    gate.Close();
    order.push_back(3);
    step = 3;
    while (step != 4) std::this_thread::yield();
    gate.Open();
  });
  auto holdThenLeave = [&](int from, int entry) {
    // Until the thread in the gate leaves, the leader cannot go on.
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_EQ(step.load(), from);
    order.push_back(entry);
    gate.Leave();
  };
  holdThenLeave(0, 0);
  while (step != 1) std::this_thread::yield();
  ASSERT_TRUE(gate.Enter());
  EXPECT_TRUE(gate.Stamp(12));  // The leader's stamp.
  step = 2;
  holdThenLeave(2, 2);
  while (step != 3) std::this_thread::yield();
  EXPECT_FALSE(gate.Enter());  // Closed while the turn holds.
  step = 4;
  leader.join();
  ASSERT_TRUE(gate.Enter());
  gate.Leave();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  gate.Refuse();
  EXPECT_FALSE(gate.Enter());
  gate.Close();
  gate.Open();
  EXPECT_FALSE(gate.Enter());  // Opening a refused gate lets no one in.
  gate.Allow(true);
  EXPECT_TRUE(gate.Enter());
  gate.Leave();
}

// Threads commit numbered lines through one queue, with turns in between. Every line must be written exactly once, each thread's lines in
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
        LeadAlone turn(queue);
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

// A line that waits in its destination's queue is judged there when it
// comes to be written: a stream moved meanwhile sends it to where its
// stream writes now, and a level lowered meanwhile drops it. Lines of the
// main log and of targets carry such a route alike.
TEST(Destination, WaitingLineIsJudgedWhenItIsWritten) {
  const std::string pathA = razezir_test::TempPath("a.log");
  const std::string pathB = razezir_test::TempPath("b.log");
  razezir::DestinationTable table;
  razezir::LogStream a, b;
  ASSERT_TRUE(table.Open(pathA.c_str(), &a));
  ASSERT_TRUE(table.Open(pathB.c_str(), &b));
  // Three routes into a: one moves to b, one loses its level, one stays.
  std::atomic<razezir::Destination*> where[3] = {{a.destination}, {a.destination}, {a.destination}};
  std::atomic<int> level[3] = {{3}, {3}, {3}};
  const char* texts[3] = {"moved\n", "dropped\n", "stayed\n"};
  auto deliver = [&](int i) {
    std::string text = texts[i];
    razezir::OutgoingLine line;
    line.start = &text[0];
    line.bytes = text.size();
    line.level = 3;
    line.route = razezir::LineRoute{&where[i], &level[i]};
    table.Deliver(&line);
  };
  CommitQueue::SetTestHook(Hook);
  std::vector<std::thread> threads;
  {
    razezir::ExclusiveTurn turn(*a.destination);
    // The gate is closed while the turn holds: each line waits in the queue.
    for (int i = 0; i < 3; ++i) threads.push_back(StartJoined([&deliver, i] { deliver(i); }));
    where[0] = b.destination;
    level[1] = 2;
  }
  for (std::thread& thread : threads) thread.join();
  CommitQueue::SetTestHook(nullptr);
  table.Close(a, false);
  table.Close(b, false);
  EXPECT_EQ(razezir_test::ReadFile(pathA), "stayed\n");
  EXPECT_EQ(razezir_test::ReadFile(pathB), "moved\n");
}

#ifndef _WIN32
// The syncs of a file, with points where a test holds the threads.
std::atomic<int> g_syncs{0};
std::atomic<bool> g_ending{false};
std::atomic<bool> g_aboutToSleep{false};
std::atomic<bool> g_firstReturned{false};

long CountSyncs(int, const razezir::platform::ByteSpan* spans, int) {
  if (spans == nullptr) g_syncs.fetch_add(1);
  return 0;
}

void HoldTheEnd(razezir::StorageSync::TestPoint point) {
  if (point == razezir::StorageSync::TestPoint::kBeginning) return;
  if (point == razezir::StorageSync::TestPoint::kSynced) {
    if (g_ending.exchange(true)) return;  // The first sync only.
    while (!g_aboutToSleep.load()) std::this_thread::yield();
  } else {
    g_aboutToSleep = true;
    while (!g_firstReturned.load()) std::this_thread::yield();
  }
}

// Two threads cover a line each with `hook` set: the second comes once the
// first has reached the point where the hook sets g_ending. Returns the
// number of syncs.
int SyncsForTwoLines(razezir::StorageSync::TestHook hook) {
  const std::string path = razezir_test::TempPath("log");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  EXPECT_GE(fd, 0);
  razezir::StorageSync sync;
  razezir::platform::SetWriteHookForTest(CountSyncs);
  razezir::StorageSync::SetTestHook(hook);
  std::thread first([&] {
    sync.Cover(fd);
    g_firstReturned = true;
  });
  while (!g_ending.load()) std::this_thread::yield();
  std::thread second([&] { sync.Cover(fd); });
  first.join();
  second.join();
  razezir::StorageSync::SetTestHook(nullptr);
  razezir::platform::SetWriteHookForTest(nullptr);
  close(fd);
  return g_syncs.load();
}

// The syncs of a file: a thread comes while the first sync is ending, when
// its outcome is recorded but no one told yet, and it goes to sleep only
// once that sync has ended and woken everyone. It must still be let go,
// with a sync of its own, since its line may have come after the first
// sync began. (Once, such a thread slept for good.)
TEST(StorageSync, ThreadThatSleepsOnlyAfterTheSyncEndedIsLetGo) {
  EXPECT_EQ(SyncsForTwoLines(HoldTheEnd), 2);
}

// A line that comes while the syncing thread waits for lines, before the
// sync begins, is covered by that sync. (Once, it waited for the next one,
// and threads writing durably shared each sync half as often.)
void HoldTheBeginning(razezir::StorageSync::TestPoint point) {
  if (point == razezir::StorageSync::TestPoint::kBeginning) {
    if (g_ending.exchange(true)) return;
    while (!g_aboutToSleep.load()) std::this_thread::yield();
  } else if (point == razezir::StorageSync::TestPoint::kSleeping) {
    g_aboutToSleep = true;
  }
}

TEST(StorageSync, LineThatComesBeforeTheSyncBeginsIsCoveredByIt) {
  EXPECT_EQ(SyncsForTwoLines(HoldTheBeginning), 1);
}
#endif  // _WIN32

}  // namespace

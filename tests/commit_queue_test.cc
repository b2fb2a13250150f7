// The group-commit queue on its own: which lines a leader takes, how the
// lead passes on, and, under real contention, that every line is written
// once and each thread's lines in order.

#include "core/commit_queue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"

namespace {

using razezir::CommitEntry;
using razezir::CommitQueue;

// Queues `entry` from the calling thread without waiting for its turn, so
// that one thread can lay out a queue. Returns whether it leads.
bool JoinNow(CommitQueue* queue, CommitEntry* entry, bool exclusive = false) {
  entry->exclusive = exclusive;
  return queue->Join(entry);
}

// Writes nothing and passes the lead on, as a leader does after its batch.
void Finish(CommitQueue* queue, const CommitQueue::Batch& batch) {
  EXPECT_EQ(queue->FinishBatch(batch, batch.entries[0], CommitQueue::LeadChoice::kPass), nullptr);
}

uint32_t TurnOf(const CommitEntry& entry) {
  return entry.turn.load(std::memory_order_acquire);
}

TEST(CommitQueue, LoneLineLeadsAndLeavesTheQueueIdle) {
  CommitQueue queue;
  for (int round = 0; round < 3; ++round) {
    CommitEntry line;
    ASSERT_TRUE(JoinNow(&queue, &line));
    CommitQueue::Batch batch;
    queue.TakeBatch(&line, &batch);
    ASSERT_EQ(batch.count, 1u);
    EXPECT_EQ(batch.entries[0], &line);
    Finish(&queue, batch);
    EXPECT_EQ(TurnOf(line), CommitEntry::kQueued);  // The leader is not told.
  }
}

TEST(CommitQueue, LeaderTakesTheWaitingLinesOldestFirst) {
  CommitQueue queue;
  CommitEntry leader;
  CommitEntry waiting[3];
  ASSERT_TRUE(JoinNow(&queue, &leader));
  for (CommitEntry& entry : waiting) ASSERT_FALSE(JoinNow(&queue, &entry));
  CommitQueue::Batch batch;
  queue.TakeBatch(&leader, &batch);
  ASSERT_EQ(batch.count, 4u);
  EXPECT_EQ(batch.entries[0], &leader);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(batch.entries[i + 1], &waiting[i]);
  // A line that arrives while the batch is written leads next.
  CommitEntry late;
  ASSERT_FALSE(JoinNow(&queue, &late));
  Finish(&queue, batch);
  for (CommitEntry& entry : waiting) EXPECT_EQ(TurnOf(entry), CommitEntry::kWritten);
  EXPECT_EQ(TurnOf(late), CommitEntry::kLead);
  queue.TakeBatch(&late, &batch);
  ASSERT_EQ(batch.count, 1u);
  Finish(&queue, batch);
  CommitEntry after;
  EXPECT_TRUE(JoinNow(&queue, &after));
}

TEST(CommitQueue, LeaderMayKeepTheLeadForTheLinesThatCameMeanwhile) {
  CommitQueue queue;
  CommitEntry leader, early, late, exclusive, last;
  ASSERT_TRUE(JoinNow(&queue, &leader));
  ASSERT_FALSE(JoinNow(&queue, &early));
  CommitQueue::Batch batch;
  queue.TakeBatch(&leader, &batch);
  ASSERT_FALSE(JoinNow(&queue, &late));
  // The leader goes on from the line that came while it wrote; that line's
  // thread keeps waiting for its line, not for the lead.
  EXPECT_EQ(queue.FinishBatch(batch, &leader, CommitQueue::LeadChoice::kKeep), &late);
  EXPECT_EQ(TurnOf(early), CommitEntry::kWritten);
  EXPECT_EQ(TurnOf(late), CommitEntry::kQueued);
  ASSERT_FALSE(JoinNow(&queue, &exclusive, true));
  ASSERT_FALSE(JoinNow(&queue, &last));
  queue.TakeBatch(&late, &batch);
  ASSERT_EQ(batch.count, 1u);
  // An exclusive entry gets the lead whatever the leader asks.
  EXPECT_EQ(queue.FinishBatch(batch, &leader, CommitQueue::LeadChoice::kKeep), nullptr);
  EXPECT_EQ(TurnOf(late), CommitEntry::kWritten);
  EXPECT_EQ(TurnOf(exclusive), CommitEntry::kLead);
  queue.PassLead(&exclusive);
  EXPECT_EQ(TurnOf(last), CommitEntry::kLead);
  queue.TakeBatch(&last, &batch);
  // With nothing after it, the queue goes idle even for a leader that would
  // keep the lead.
  EXPECT_EQ(queue.FinishBatch(batch, &last, CommitQueue::LeadChoice::kKeep), nullptr);
  CommitEntry after;
  EXPECT_TRUE(JoinNow(&queue, &after));
}

TEST(CommitQueue, FullBatchPassesTheLeadToTheNextLine) {
  CommitQueue queue;
  constexpr size_t kLines = CommitQueue::kMaxBatch + 7;
  std::vector<CommitEntry> lines(kLines);
  ASSERT_TRUE(JoinNow(&queue, &lines[0]));
  for (size_t i = 1; i < kLines; ++i) ASSERT_FALSE(JoinNow(&queue, &lines[i]));
  CommitQueue::Batch batch;
  queue.TakeBatch(&lines[0], &batch);
  ASSERT_EQ(batch.count, CommitQueue::kMaxBatch);
  for (size_t i = 0; i < batch.count; ++i) EXPECT_EQ(batch.entries[i], &lines[i]);
  Finish(&queue, batch);
  CommitEntry* next = &lines[CommitQueue::kMaxBatch];
  EXPECT_EQ(TurnOf(lines[CommitQueue::kMaxBatch - 1]), CommitEntry::kWritten);
  ASSERT_EQ(TurnOf(*next), CommitEntry::kLead);
  queue.TakeBatch(next, &batch);
  ASSERT_EQ(batch.count, 7u);
  EXPECT_EQ(batch.entries[6], &lines[kLines - 1]);
  Finish(&queue, batch);
}

TEST(CommitQueue, ExclusiveTurnEndsABatchAndHoldsTheStreamAlone) {
  CommitQueue queue;
  CommitEntry leader, before, exclusive, after;
  ASSERT_TRUE(JoinNow(&queue, &leader));
  ASSERT_FALSE(JoinNow(&queue, &before));
  ASSERT_FALSE(JoinNow(&queue, &exclusive, true));
  ASSERT_FALSE(JoinNow(&queue, &after));
  CommitQueue::Batch batch;
  queue.TakeBatch(&leader, &batch);
  ASSERT_EQ(batch.count, 2u);
  EXPECT_EQ(batch.entries[1], &before);
  Finish(&queue, batch);
  EXPECT_EQ(TurnOf(exclusive), CommitEntry::kLead);
  EXPECT_EQ(TurnOf(after), CommitEntry::kQueued);
  queue.PassLead(&exclusive);
  EXPECT_EQ(TurnOf(after), CommitEntry::kLead);
  queue.TakeBatch(&after, &batch);
  EXPECT_EQ(batch.count, 1u);
  Finish(&queue, batch);
}

TEST(CommitQueue, SleepingWaiterIsWoken) {
  CommitQueue queue;
  CommitEntry leader;
  ASSERT_TRUE(JoinNow(&queue, &leader));
  std::atomic<bool> joined{false};
  bool led = true;
  std::thread waiter([&] {
    CommitEntry line;
    JoinNow(&queue, &line);
    joined.store(true);
    led = CommitQueue::Await(&line);
  });
  while (!joined.load()) std::this_thread::yield();
  // Long enough for the waiter to stop spinning and sleep; the test holds
  // either way, and only hangs if a sleeper is never woken.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  CommitQueue::Batch batch;
  queue.TakeBatch(&leader, &batch);
  EXPECT_EQ(batch.count, 2u);
  Finish(&queue, batch);
  waiter.join();
  EXPECT_FALSE(led);
}

// Threads commit numbered lines through one queue the way emission does,
// with exclusive turns in between; the leaders record what they write.
// Every line must be written exactly once, each thread's lines in order.
TEST(CommitQueue, ContendedLinesAreWrittenOnceInOrder) {
  constexpr int kThreads = 6;
  constexpr int kLines = 20000;
  struct Line : CommitEntry {
    int thread;
    int sequence;
  };
  CommitQueue queue;
  std::vector<std::pair<int, int>> written;  // Touched only by the leader.
  written.reserve(kThreads * kLines);
  int exclusiveTurns = 0;  // Likewise.
  auto work = [&](int thread) {
    for (int i = 0; i < kLines; ++i) {
      if (thread == 0 && i % 1000 == 0) {
        razezir::ExclusiveTurn turn(queue);
        ++exclusiveTurns;
      }
      Line line;
      line.thread = thread;
      line.sequence = i;
      if (!queue.Join(&line) && !CommitQueue::Await(&line)) continue;
      queue.AwaitCompany(&line);
      // Several batches per lead, as emission writes them.
      CommitEntry* first = &line;
      for (int round = 1; first != nullptr; ++round) {
        CommitQueue::Batch batch;
        queue.TakeBatch(first, &batch);
        for (size_t k = 0; k < batch.count; ++k) {
          const auto* each = static_cast<const Line*>(batch.entries[k]);
          written.emplace_back(each->thread, each->sequence);
        }
        first = queue.FinishBatch(batch, &line,
                                  round < 3   ? CommitQueue::LeadChoice::kKeep
                                  : round < 6 ? CommitQueue::LeadChoice::kPassIfAwake
                                              : CommitQueue::LeadChoice::kPass);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& thread : threads) thread.join();

  ASSERT_EQ(written.size(), static_cast<size_t>(kThreads * kLines));
  EXPECT_EQ(exclusiveTurns, kLines / 1000);
  std::vector<int> nextOf(kThreads, 0);
  for (const auto& [thread, sequence] : written) {
    ASSERT_EQ(sequence, nextOf[thread]++) << "thread " << thread;
  }
}

}  // namespace

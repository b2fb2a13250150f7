// A destination on its own: how a line that waits in its queue is judged
// when it comes to be written.

#include "write/destination.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "test_util.h"

namespace {

using razezir::CommitEntry;
using razezir::CommitQueue;

std::atomic<int> g_joined{0};

void CountJoins(CommitQueue::TestPoint point, CommitEntry*) {
  if (point == CommitQueue::TestPoint::kJoined) g_joined.fetch_add(1);
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
  CommitQueue::SetTestHook(CountJoins);
  std::vector<std::thread> threads;
  {
    razezir::ExclusiveTurn turn(*a.destination);
    // The gate is closed while the turn holds: each line waits in the queue.
    for (int i = 0; i < 3; ++i) {
      threads.push_back(razezir_test::StartJoined(g_joined, [&deliver, i] { deliver(i); }));
    }
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

}  // namespace

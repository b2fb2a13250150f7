// The append gate: its stamp, and how a leader and a turn wait for the
// threads inside it.

#include "write/append_gate.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

using razezir::AppendGate;

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

}  // namespace

// Thread targets and thread-name bindings: the binding lifecycle, routing by
// the calling thread's name, files and banners, and a stress test.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/trace_state.h"
#include "platform/port.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::ClosedPattern;
using razezir_test::MatchesInOrder;
using razezir_test::ReadFile;
using razezir_test::StartFile;
using razezir_test::StartedPattern;
using razezir_test::TempPath;

// The calling thread's bound name, or "<unbound>".
std::string BoundName() {
  std::u16string name;
  if (!razezir::TraceStateTestHelper::BoundName(razezir::platform::CurrentThreadId(),
                                                &name)) {
    return "<unbound>";
  }
  return std::string(name.begin(), name.end());
}

TEST(ThreadBindings, FirstNameSticksUntilUnregistered) {
  QXSTD::InitTrace();
  EXPECT_EQ(BoundName(), "<unbound>");
  QXSTD::UnregisterTraceThread();
  EXPECT_EQ(BoundName(), "<unbound>");
  QXSTD::SetTraceThreadName(u"worker");
  QXSTD::SetTraceThreadName(u"io");
  QXSTD::SetTraceThreadName(static_cast<const unsigned short*>(nullptr));
  EXPECT_EQ(BoundName(), "worker");
  QXSTD::UnregisterTraceThread();
  EXPECT_EQ(BoundName(), "<unbound>");
  QXSTD::SetTraceThreadName(u"io");
  EXPECT_EQ(BoundName(), "io");
  std::thread([] { EXPECT_EQ(BoundName(), "<unbound>"); }).join();
  QXSTD::DeinitTrace();
}

TEST(ThreadRouting, BindingsWithoutThreadTargetsHaveNoEffect) {
  std::string path = StartFile(2, 0);
  QXSTD::SetTraceThreadName(u"worker");
  QXSTD::Trace2(u"net", u"bound\n");
  std::thread([] { QXSTD::Trace2(u"net", u"unbound\n"); }).join();
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(path),
                             {StartedPattern(), "bound\nunbound\n", ClosedPattern()}));
}

TEST(ThreadRouting, UnboundThreadsAndNamesWithoutTargetAreDropped) {
  std::string io = TempPath("io.log");
  std::string main = StartFile(5, 0, "main.log");
  QXSTD::StartTraceModule(u"net", 5, nullptr);
  QXSTD::StartTraceThread(u"io", 5, io.c_str());
  QXSTD::Trace(-1, u"net", u"unbound, registered tag\n");
  std::thread([] {
    QXSTD::SetTraceThreadName(u"worker");
    QXSTD::Trace1(u"net", u"worker has no target\n");
  }).join();
  std::thread([] {
    QXSTD::SetTraceThreadName(u"io");
    QXSTD::Trace1(u"net", u"io thread\n");
    QXSTD::UnregisterTraceThread();
    QXSTD::Trace1(u"net", u"io thread after unregistering\n");
  }).join();
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(main), {StartedPattern(), ClosedPattern()}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(io), {StartedPattern(), "io thread\n"}));
}

TEST(ThreadRouting, TargetRegisteredAfterBindingTakesEffect) {
  std::string worker = TempPath("worker.log");
  std::string main = StartFile(3, 0, "main.log");
  QXSTD::SetTraceThreadName(u"worker");
  QXSTD::Trace2(u"m", u"before\n");
  QXSTD::StartTraceThread(u"worker", 3, worker.c_str());
  QXSTD::StartTraceThread(u"worker", 1, nullptr);  // Changes nothing.
  QXSTD::StartTraceThread(static_cast<const unsigned short*>(nullptr), 1, nullptr);
  QXSTD::Trace2(u"m", u"after\n");
  QXSTD::StopTrace();
  QXSTD::Trace2(u"m", u"after StopTrace\n");
  QXSTD::Trace4(u"m", u"above worker's level\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(main), {StartedPattern(), "before\n", ClosedPattern()}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(worker), {StartedPattern(), "after\nafter StopTrace\n"}));
}

// Module target net to A, thread target worker to B: net from worker goes to
// B at worker's level; db from worker is dropped by the module routing.
TEST(ThreadRouting, ThreadTargetOverridesModuleTarget) {
  std::string a = TempPath("a.log");
  std::string b = TempPath("b.log");
  razezir_test::StartConsole(1, 0);
  QXSTD::StartTraceModule(u"net", 1, a.c_str());
  QXSTD::StartTraceThread(u"worker", 4, b.c_str());
  std::thread([] {
    QXSTD::SetTraceThreadName(u"worker");
    QXSTD::Trace4(u"net", u"net at 4\n");
    QXSTD::Trace5(u"net", u"net at 5\n");
    QXSTD::Trace1(u"db", u"db at 1\n");
  }).join();
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(a), {StartedPattern()}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(b), {StartedPattern(), "net at 4\n"}));
}

// A thread target without a file of its own announces itself in the main
// log with a second Started banner, and keeps writing there after the main
// log moves.
TEST(ThreadRouting, SharedMainFileGetsASecondBanner) {
  std::string b = TempPath("b.log");
  std::string a = StartFile(1, 0, "a.log");
  QXSTD::StartTraceThread(u"worker", 1, nullptr);
  QXSTD::SetTraceThreadName(u"worker");
  QXSTD::Trace1(u"m", u"one\n");
  QXSTD::StartTrace(1, &b[0], 0);
  QXSTD::Trace1(u"m", u"two\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(a), {StartedPattern(), StartedPattern(), "one\n",
                                           ClosedPattern(), "two\n"}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(b), {StartedPattern(), ClosedPattern()}));
}

// Threads bind, trace and unbind while the main thread registers module and
// thread targets; every line that lands is whole. The targets append to the
// main log's file through descriptors of their own, at the same time as the
// main log: the system keeps such appends whole.
TEST(ThreadTargetsStress, BindTraceAndRegisterAtOnce) {
  if (razezir_test::RunningUnderWine()) GTEST_SKIP() << "Wine's appends are not atomic";
  std::string path = StartFile(5, 0x06);
  std::atomic<bool> stop{false};
  const char16_t* names[] = {u"alpha", u"beta", u"gamma"};
  razezir_test::ThreadGroup threads(4, [&](int t) {
    const char16_t* tags[] = {u"net", u"db"};
    for (int i = 0; !stop.load() || i < 200; ++i) {
      if (i % 7 == 0) QXSTD::SetTraceThreadName(names[(i + t) % 3]);
      QXSTD::Trace2(tags[i % 2], u"t%d i%d %ls\n", t, i, names[t % 3]);
      if (i % 11 == 0) QXSTD::UnregisterTraceThread();
    }
  });
  for (int round = 0; round < 3; ++round) {
    QXSTD::StartTraceModule(round == 0 ? u"net" : u"db", 3, nullptr);
    QXSTD::StartTraceThread(names[round], 4, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  threads.Join();
  QXSTD::DeinitTrace();
  const std::vector<std::string> lines = razezir_test::MessageLines(ReadFile(path));
  const std::regex pattern("  [0-9A-F]{8} +(net|db): t[0-3] i[0-9]+ (alpha|beta|gamma)");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, pattern)) << line;
  EXPECT_FALSE(lines.empty());
}

}  // namespace

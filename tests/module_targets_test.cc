// Module targets: registration, filtering and routing by tag, their levels,
// their files and banners, and registration under concurrency.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "alloc_counter.h"
#include "core/trace_state.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::ClosedPattern;
using razezir_test::Lines;
using razezir_test::MatchesInOrder;
using razezir_test::ReadFile;
using razezir_test::StartFile;
using razezir_test::StartedPattern;
using razezir_test::StdoutCapture;
using razezir_test::TempPath;
using razezir_test::W;

using razezir::TraceStateTestHelper;

TEST(ModuleTargets, RouteByExactTagAndDropTheRest) {
  std::string net = TempPath("net.log");
  std::string main = StartFile(5, 0x02, "main.log");
  QXSTD::Trace1(u"db", u"before targets\n");
  QXSTD::StartTraceModule(u"net", 5, net.c_str());
  QXSTD::Trace1(u"net", u"to net\n");
  QXSTD::Trace1(u"db", u"dropped\n");
  QXSTD::Trace(-5, u"db", u"dropped whatever its level\n");
  QXSTD::Trace1(u"Net", u"dropped: case differs\n");
  QXSTD::Trace1(u"ne", u"dropped: prefix\n");
  QXSTD::Trace1(u"nett", u"dropped: longer\n");
  QXSTD::Trace1(nullptr, u"dropped: null tag\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(main),
                             {StartedPattern(), "      db: before targets\n", ClosedPattern()}));
  // The target's own file: a Started banner, no Closed banner.
  EXPECT_TRUE(MatchesInOrder(ReadFile(net), {StartedPattern(), "     net: to net\n"}));

  // A thread finds its last tag's target again without a lookup; a later
  // session's target of the same name is another, in another file.
  std::string again = TempPath("again.log");
  razezir_test::StartConsole(5, 0x02);
  QXSTD::StartTraceModule(u"net", 5, again.c_str());
  QXSTD::Trace1(u"net", u"second session\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(again), {StartedPattern(), "     net: second session\n"}));
  EXPECT_EQ(ReadFile(net).find("second session"), std::string::npos);
}

TEST(ModuleTargets, SecondRegistrationChangesNothing) {
  std::string first = TempPath("first.log");
  std::string second = TempPath("second.log");
  razezir_test::StartConsole(1, 0);
  QXSTD::StartTraceModule(u"net", 2, first.c_str());
  QXSTD::StartTraceModule(u"net", 5, second.c_str());
  QXSTD::StartTraceModule(nullptr, 5, second.c_str());
  EXPECT_EQ(TraceStateTestHelper::ModuleCount(), 1u);
  QXSTD::Trace2(u"net", u"two\n");
  QXSTD::Trace3(u"net", u"three\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(first), {StartedPattern(), "two\n"}));
  EXPECT_EQ(access(second.c_str(), F_OK), -1);
}

TEST(ModuleTargets, LevelZeroCopiesTheMainLevel) {
  std::string path = StartFile(3, 0);
  QXSTD::StartTraceModule(u"net", 0, nullptr);
  QXSTD::StopTrace();
  QXSTD::Trace3(u"net", u"three\n");
  QXSTD::Trace4(u"net", u"four\n");
  QXSTD::StartTrace(5, &path[0], 0);
  QXSTD::Trace4(u"net", u"still not four\n");
  QXSTD::DeinitTrace();
  std::string text = ReadFile(path);
  EXPECT_NE(text.find("three\n"), std::string::npos);
  EXPECT_EQ(text.find("four"), std::string::npos);
}

TEST(ModuleTargets, NegativeLevelIsKept) {
  std::string path = StartFile(5, 0);
  QXSTD::StartTraceModule(u"net", -2, nullptr);
  QXSTD::Trace(1, u"net", u"one\n");
  QXSTD::Trace(-1, u"net", u"minus one\n");
  QXSTD::Trace(-2, u"net", u"minus two\n");
  QXSTD::Trace(-3, u"net", u"minus three\n");
  QXSTD::DeinitTrace();
  std::string text = ReadFile(path);
  EXPECT_EQ(text.find("one"), std::string::npos);
  EXPECT_NE(text.find("minus two\nminus three\n"), std::string::npos) << text;
}

// The target's level replaces the main level for routed messages, but Trace
// still tests the main level first.
TEST(ModuleTargets, TargetLevelReplacesTheMainLevel) {
  std::string path = StartFile(1, 0);
  QXSTD::StartTraceModule(u"net", 5, nullptr);
  QXSTD::StartTraceModule(u"db", 1, nullptr);
  QXSTD::Trace(3, u"net", u"Trace 3 dropped by the main level\n");
  QXSTD::Trace3(u"net", u"Trace3 admitted by the target\n");
  QXSTD::StopTrace();
  QXSTD::Trace3(u"net", u"Trace3 while stopped\n");
  QXSTD::Trace(3, u"net", u"Trace 3 while stopped\n");
  QXSTD::StartTrace(5, &path[0], 0);
  QXSTD::Trace3(u"db", u"Trace3 above the db target\n");
  QXSTD::Trace1(u"db", u"Trace1 db\n");
  QXSTD::DeinitTrace();
  std::string text = ReadFile(path);
  EXPECT_EQ(text.find("Trace 3"), std::string::npos);
  EXPECT_EQ(text.find("above"), std::string::npos);
  EXPECT_NE(text.find("Trace3 admitted by the target\n"), std::string::npos);
  EXPECT_NE(text.find("Trace3 while stopped\n"), std::string::npos);
  EXPECT_NE(text.find("Trace1 db\n"), std::string::npos);
}

// A target without a file of its own shares the main log through a stream
// of its own: no second banner, and it keeps writing there after the main
// log moves elsewhere.
TEST(ModuleTargets, SharedMainFileOutlivesTheMainLogsMove) {
  StdoutCapture capture;
  std::string b = TempPath("b.log");
  std::string a = StartFile(1, 0, "a.log");
  QXSTD::StartTraceModule(u"net", 1, nullptr);
  QXSTD::StartTraceModule(u"db", 1, a.c_str());
  QXSTD::Trace1(u"net", u"net 1\n");
  QXSTD::StartTrace(1, &b[0], 0);
  QXSTD::Trace1(u"net", u"net 2\n");
  QXSTD::Trace1(u"db", u"db 2\n");
  QXSTD::StartTrace(1, nullptr, 0);
  QXSTD::Trace1(u"net", u"net 3\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(a), {StartedPattern(), "net 1\n", ClosedPattern(),
                                           "net 2\ndb 2\nnet 3\n"}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(b), {StartedPattern(), ClosedPattern()}));
  EXPECT_TRUE(MatchesInOrder(capture.Stop(), {StartedPattern(), ClosedPattern()}));
}

// Names are compared byte for byte, so another spelling of the main file
// gets a banner of its own.
TEST(ModuleTargets, OtherSpellingOfTheMainFileGetsABanner) {
  // Process ids repeat (under Wine, soon), so a directory of an earlier run
  // may stand at this path.
  std::string dir = TempPath("dir");
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  const std::filesystem::path home = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  std::string absolute = dir + "/main.log";
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &absolute[0], 0);
  QXSTD::StartTraceModule(u"net", 1, "main.log");
  QXSTD::StartTraceModule(u"db", 1, "./main.log");
  QXSTD::Trace1(u"net", u"net\n");
  QXSTD::Trace1(u"db", u"db\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(absolute),
                             {StartedPattern(), StartedPattern(), StartedPattern(),
                              "net\ndb\n", ClosedPattern()}));
  // Out of the directory, so that it can be removed (Windows keeps a
  // process's current directory).
  std::filesystem::current_path(home);
}

// Targets on standard output write no banner there: one registered without
// a file while the main log has none, and one whose file cannot be opened,
// which falls back to standard output and keeps no name.
TEST(ModuleTargets, ConsoleTargetsWriteNoBanner) {
  StdoutCapture capture;
  std::string bad = TempPath("none") + "/net.log";
  std::string main = TempPath("main.log");
  QXSTD::InitTrace();
  QXSTD::StartTraceModule(u"db", 1, nullptr);
  QXSTD::StartTrace(1, main.data(), 0);
  QXSTD::StartTraceModule(u"net", 1, bad.c_str());
  EXPECT_EQ(TraceStateTestHelper::ModuleFileName(1), "");
  EXPECT_EQ(TraceStateTestHelper::ModuleStream(1), stdout);
  QXSTD::Trace1(u"db", u"db to console\n");
  QXSTD::Trace1(u"net", u"net to console\n");
  EXPECT_EQ(capture.Stop(), "db to console\nnet to console\n");
  QXSTD::DeinitTrace();
}

// After a failed open, the main file name still names the earlier file: a
// target without a file name opens that one, and writes no banner since the
// names are equal.
TEST(ModuleTargets, AfterFailedMainOpenTargetUsesTheEarlierFile) {
  StdoutCapture capture;
  std::string a = TempPath("a.log");
  std::string bad = TempPath("none") + "/x.log";
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &a[0], 0);
  QXSTD::StartTrace(1, &bad[0], 0);
  QXSTD::StartTraceModule(u"net", 1, nullptr);
  QXSTD::Trace1(u"net", u"net\n");
  QXSTD::DeinitTrace();
  capture.Stop();
  EXPECT_TRUE(MatchesInOrder(ReadFile(a), {StartedPattern(), "net\n"}));
}

// Registration while other threads emit, and the same tag registered from
// several threads at once: one target per tag, and only whole lines. The
// targets append to the main log's file through descriptors of their own,
// at the same time as the main log: the system keeps such appends whole.
TEST(ModuleTargetsConcurrency, RegisterWhileOthersEmit) {
  if (razezir_test::RunningUnderWine()) GTEST_SKIP() << "Wine's appends are not atomic";
  std::string path = StartFile(3, 0x06);
  std::atomic<bool> stop{false};
  razezir_test::ThreadGroup threads(3, [&stop](int t) {
    const char16_t* tags[] = {u"net", u"db", u"ui"};
    for (int i = 0; !stop.load(); ++i) QXSTD::Trace2(tags[(i + t) % 3], u"line %d\n", i);
  });
  razezir_test::ThreadGroup(4, [](int) {
    QXSTD::StartTraceModule(u"net", 2, nullptr);
    QXSTD::StartTraceModule(u"db", 0, nullptr);
  });
  usleep(20000);
  stop = true;
  threads.Join();
  EXPECT_EQ(TraceStateTestHelper::ModuleCount(), 2u);
  QXSTD::DeinitTrace();
  const std::regex pattern("  [0-9A-F]{8} +(net|db|ui): line [0-9]+");
  for (const std::string& line : razezir_test::MessageLines(ReadFile(path))) {
    EXPECT_TRUE(std::regex_match(line, pattern)) << line;
  }
}

// A target's level changes while threads trace through it. A call made
// wholly after the level was lowered (and before it was raised again) is
// dropped, one made wholly while it was high is written; the ceiling that
// front ends test first follows the level down. A thread target's level
// changes alike, and 0 takes the main level of the moment; an unknown name
// changes nothing. The getters read the levels back.
TEST(ModuleTargetsConcurrency, LevelsChangeWhileOthersEmit) {
  constexpr int kThreads = 3;
  std::string path = StartFile(4, 0);
  QXSTD::StartTraceModule(u"net", 5);
  // Odd while a level changes; 0, 4, 8 ... while net's level is 5, and 2,
  // 6, 10 ... while it is 1.
  std::atomic<int> phase{0};
  std::atomic<bool> stop{false};
  std::atomic<int> made{0};  // Calls returned, so that each phase sees some.
  // For each call: the phase when it began and when it returned.
  std::vector<std::vector<std::pair<int, int>>> calls(kThreads);
  razezir_test::ThreadGroup threads(kThreads, [&](int t) {
    for (int i = 0; !stop.load(); ++i) {
      const int began = phase.load();
      QXSTD::Trace3(u"net", u"%d %d\n", t, i);
      calls[static_cast<size_t>(t)].emplace_back(began, phase.load());
      made.fetch_add(1);
    }
  });
  for (int round = 0; round < 200; ++round) {
    const int before = made.load();
    while (made.load() < before + 2 * kThreads) std::this_thread::yield();
    phase.fetch_add(1);
    QXSTD::SetTraceModuleLevel(u"net", round % 2 == 0 ? 1 : 5);
    phase.fetch_add(1);
  }
  stop = true;
  threads.Join();
  QXSTD::SetTraceModuleLevel(u"none", 1);
  QXSTD::SetTraceModuleLevel(u"net", 0);  // The main level, 4.
  // The getters read each level back; an unknown name, or one of the other
  // kind, reads nothing and leaves the caller's value.
  int level = -7;
  EXPECT_TRUE(QXSTD::GetTraceModuleLevel(u"net", &level));
  EXPECT_EQ(level, 4);
  EXPECT_TRUE(QXSTD::GetTraceModuleLevel(u"net", nullptr));
  level = -7;
  EXPECT_FALSE(QXSTD::GetTraceModuleLevel(u"none", &level));
  EXPECT_FALSE(QXSTD::GetTraceModuleLevel(static_cast<const char16_t*>(nullptr), &level));
  EXPECT_FALSE(QXSTD::GetTraceThreadLevel(u"net", &level));
  EXPECT_EQ(level, -7);
  QXSTD::Trace4(u"net", u"at 4\n");
  QXSTD::Trace5(u"net", u"at 5\n");
  QXSTD::StartTraceThread(u"worker", 5);
  QXSTD::SetTraceThreadName(u"worker");
  QXSTD::SetTraceThreadLevel(u"worker", 2);
  EXPECT_TRUE(QXSTD::GetTraceThreadLevel(u"worker", &level));
  EXPECT_EQ(level, 2);
  EXPECT_FALSE(QXSTD::GetTraceModuleLevel(u"worker", &level));
  QXSTD::Trace2(u"net", u"thread at 2\n");
  QXSTD::Trace3(u"net", u"thread at 3\n");
  QXSTD::DeinitTrace();
  EXPECT_FALSE(QXSTD::GetTraceThreadLevel(u"worker", &level));
  const std::string text = ReadFile(path);
  std::set<std::pair<int, int>> written;
  for (const std::string& line : Lines(text)) {
    int t = 0, i = 0;
    if (std::sscanf(line.c_str(), "%d %d", &t, &i) == 2) written.emplace(t, i);
  }
  int highCalls = 0;
  for (int t = 0; t < kThreads; ++t) {
    const auto& mine = calls[static_cast<size_t>(t)];
    for (size_t i = 0; i < mine.size(); ++i) {
      const auto [began, returned] = mine[i];
      // Calls during a change may go either way.
      if (began != returned || began % 2 != 0) continue;
      const bool high = began % 4 == 0;
      EXPECT_EQ(written.count({t, static_cast<int>(i)}) != 0, high)
          << "call " << i << " of thread " << t;
      highCalls += high ? 1 : 0;
    }
  }
  EXPECT_GT(highCalls, 0);
  EXPECT_NE(text.find("\nat 4\n"), std::string::npos);
  EXPECT_EQ(text.find("at 5"), std::string::npos);
  EXPECT_NE(text.find("\nthread at 2\n"), std::string::npos);
  EXPECT_EQ(text.find("thread at 3"), std::string::npos);
}

// Registrations that run out of memory at every size in turn (the record,
// its name, its slot, its index entry, the index's growth): each target is
// either registered whole, found by name and listed, or absent from both,
// and a later registration of an absent name then succeeds.
TEST(TargetIndex, RegistrationWithoutMemoryIsAllOrNothing) {
  if (!razezir_test::FailAllocations(SIZE_MAX)) GTEST_SKIP() << "malloc is not ours here";
  razezir_test::StopFailingAllocations();
  const size_t kSizes[] = {1, 8, 16, 24, 32, 40, 48, 64, 96, 128, 256, 512, 1024, 4096, 16384};
  const int kNames = 600;
  std::vector<std::u16string> names;
  for (int i = 0; i < kNames; ++i) {
    const std::string narrow = "target-" + std::to_string(i);
    names.emplace_back(narrow.begin(), narrow.end());
  }
  StdoutCapture capture;  // the targets write to standard output
  QXSTD::InitTrace();
  for (int i = 0; i < kNames; ++i) {
    razezir_test::FailAllocations(kSizes[static_cast<size_t>(i) % std::size(kSizes)]);
    QXSTD::StartTraceModule(names[static_cast<size_t>(i)].c_str(), 5, nullptr);
    QXSTD::StartTraceThread(names[static_cast<size_t>(i)].c_str(), 5, nullptr);
    razezir_test::StopFailingAllocations();
  }
  const razezir::TraceState& state = *TraceStateTestHelper::State();
  auto expectConsistent = [&](bool ofModules, size_t* found) {
    razezir::LockGuard list(*state.listLock);
    const razezir::TargetList& targets = ofModules ? state.modules : state.threadTargets;
    *found = 0;
    for (const std::u16string& name : names) {
      const razezir::TraceTarget* target = razezir::FindTarget(targets, name.c_str());
      if (target == nullptr) continue;
      ++*found;
      EXPECT_EQ(target->name, name);
      EXPECT_NE(std::find_if(targets.begin(), targets.end(),
                             [&](const razezir::TargetPtr& each) { return each.get() == target; }),
                targets.end());
    }
    EXPECT_EQ(targets.size(), *found);
  };
  size_t modules = 0, threads = 0;
  expectConsistent(true, &modules);
  expectConsistent(false, &threads);
  // Some registrations failed and some went through.
  EXPECT_GT(modules, 0u);
  EXPECT_LT(modules, static_cast<size_t>(kNames));
  for (const std::u16string& name : names) {
    QXSTD::StartTraceModule(name.c_str(), 5, nullptr);
    QXSTD::StartTraceThread(name.c_str(), 5, nullptr);
  }
  expectConsistent(true, &modules);
  expectConsistent(false, &threads);
  EXPECT_EQ(modules, static_cast<size_t>(kNames));
  EXPECT_EQ(threads, static_cast<size_t>(kNames));
  QXSTD::DeinitTrace();
}

}  // namespace

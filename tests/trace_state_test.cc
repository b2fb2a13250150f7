// Initialisation, StartTrace/StopTrace, the queries, teardown, and the
// banners each of them writes.

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#endif  // _WIN32

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "core/trace_state.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::ClosedPattern;
using razezir_test::MatchesInOrder;
using razezir_test::ReadFile;
using razezir_test::StartFile;
using razezir_test::StartedPattern;
using razezir_test::StdoutCapture;
using razezir_test::TempPath;
using razezir_test::W;
using razezir::TraceStateTestHelper;

#ifdef _WIN32
// Windows has no descriptor directory; the process's handle count serves.
int OpenDescriptors() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
}
#else
int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}
#endif  // _WIN32

TEST(TraceControl, CallsBeforeInitDoNothing) {
  StdoutCapture capture;
  std::string path = TempPath("log");
  QXSTD::StartTrace(3, path.data(), 0);
  QXSTD::StopTrace();
  int level = 42;
  EXPECT_FALSE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 42);
  int size = 42;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  EXPECT_EQ(size, 42);
  QXSTD::Trace1(W(u"m"), W(u"hello\n"));
  QXSTD::StartTraceModule(W(u"m"), 1, nullptr);
  QXSTD::SetTraceThreadName(W(u"t"));
  QXSTD::UnregisterTraceThread();
  QXSTD::DeinitTrace();
  EXPECT_EQ(capture.Stop(), "");
  EXPECT_EQ(ReadFile(path), "");
}

TEST(TraceControl, InitTwiceKeepsTheState) {
  QXSTD::InitTrace();
  const razezir::TraceState* first = TraceStateTestHelper::State();
  QXSTD::StartTrace(2, nullptr, 0);
  QXSTD::InitTrace();
  EXPECT_EQ(TraceStateTestHelper::State(), first);
  int level = 0;
  EXPECT_TRUE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 2);
  QXSTD::DeinitTrace();
  EXPECT_EQ(TraceStateTestHelper::State(), nullptr);
  EXPECT_EQ(TraceStateTestHelper::GlobalLockOrNull(), nullptr);
}


TEST(TraceControl, StartTraceAppendsBannerAndReportsName) {
  std::string path = TempPath("trace.log");
  razezir_test::WriteFile(path, "old content\n");
  QXSTD::InitTrace();
  QXSTD::StartTrace(3, path.data(), 0);
  int size = 0;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  EXPECT_EQ(size, static_cast<int>(path.size() + 1));
  std::string name(size, 'x');
  QXSTD::GetTraceLogFileName(&name[0], &size);
  EXPECT_EQ(std::strcmp(name.c_str(), path.c_str()), 0);
  EXPECT_TRUE(MatchesInOrder(ReadFile(path), {"old content\n", StartedPattern()}));
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(path),
                             {"old content\n", StartedPattern(), ClosedPattern()}));
}

TEST(TraceControl, FreshStateIsStoppedWithAnEmptyName) {
  QXSTD::InitTrace();
  int level = 42;
  EXPECT_FALSE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 0);
  EXPECT_FALSE(QXSTD::IsTraceStarted(nullptr));
  int size = 0;
  char buffer[4] = {'x', 'x', 'x', 'x'};
  QXSTD::GetTraceLogFileName(buffer, &size);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x');
  QXSTD::GetTraceLogFileName(buffer, nullptr);  // A null size is survived.
  QXSTD::DeinitTrace();
}

TEST(TraceControl, LevelBelowOneKeepsLevelButSetsFlagsAndFile) {
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(4, nullptr, 0);
  QXSTD::StartTrace(-1, path.data(), 5);
  int level = 0;
  EXPECT_TRUE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 4);
  EXPECT_EQ(TraceStateTestHelper::Flags(), 5);
  EXPECT_TRUE(MatchesInOrder(ReadFile(path), {StartedPattern()}));
  QXSTD::DeinitTrace();
}

// The console banner is written by the first StartTrace without a file name
// in the process, and never again, not even after DeinitTrace and InitTrace.
TEST(TraceControl, ConsoleBannerOncePerProcess) {
  StdoutCapture capture;
  QXSTD::InitTrace();
  QXSTD::StartTrace(0, nullptr, 0);
  QXSTD::StartTrace(0, nullptr, 0);
  char empty[1] = {'\0'};
  QXSTD::StartTrace(0, empty, 0);
  int level = 42;
  EXPECT_FALSE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 0);
  QXSTD::DeinitTrace();
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, nullptr, 0);
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(capture.Stop(),
                             {StartedPattern(), ClosedPattern(), ClosedPattern()}));
}

TEST(TraceControl, InitThenDeinitWritesOneClosedBanner) {
  StdoutCapture capture;
  QXSTD::InitTrace();
  QXSTD::DeinitTrace();
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(capture.Stop(), {ClosedPattern()}));
}

TEST(TraceControl, FailedOpenFallsBackToConsoleKeepingName) {
  StdoutCapture capture;
  std::string good = TempPath("good.log");
  std::string bad = TempPath("missing-dir") + "/x.log";
  QXSTD::InitTrace();
  QXSTD::StartTrace(2, bad.data(), 0);
  int level = 0;
  EXPECT_TRUE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 2);
  int size = 0;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  EXPECT_EQ(size, 1);

  QXSTD::StartTrace(2, good.data(), 0);
  QXSTD::StartTrace(2, bad.data(), 0);
  QXSTD::GetTraceLogFileName(nullptr, &size);
  EXPECT_EQ(size, static_cast<int>(good.size() + 1));
  QXSTD::Trace1(W(u"m"), W(u"to console\n"));
  // The good file was closed by the failed switch, without a Closed banner.
  EXPECT_TRUE(MatchesInOrder(ReadFile(good), {StartedPattern()}));

  // The console banner is still pending: the fallback did not use it.
  QXSTD::StartTrace(2, nullptr, 0);
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(good), {StartedPattern()}));
  EXPECT_TRUE(MatchesInOrder(capture.Stop(),
                             {StartedPattern(), StartedPattern(), "to console\n",
                              StartedPattern(), ClosedPattern()}));
}

TEST(TraceControl, StopThenRestartOnConsoleClosesTheFile) {
  StdoutCapture capture;
  std::string path = StartFile(3, 0);
  QXSTD::StopTrace();
  int level = 42;
  EXPECT_FALSE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 0);
  QXSTD::StartTrace(4, nullptr, 0);
  EXPECT_TRUE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 4);
  EXPECT_TRUE(MatchesInOrder(ReadFile(path), {StartedPattern(), ClosedPattern()}));
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(path), {StartedPattern(), ClosedPattern()}));
  EXPECT_TRUE(MatchesInOrder(capture.Stop(), {StartedPattern(), ClosedPattern()}));
}

TEST(TraceControl, SwitchingFilesClosesTheOldOneWithBanner) {
  std::string second = TempPath("b.log");
  std::string first = StartFile(1, 0, "a.log");
  QXSTD::Trace1(W(u"m"), W(u"one\n"));
  QXSTD::StartTrace(1, second.data(), 0);
  QXSTD::Trace1(W(u"m"), W(u"two\n"));
  EXPECT_TRUE(MatchesInOrder(ReadFile(first), {StartedPattern(), "one\n", ClosedPattern()}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(second), {StartedPattern(), "two\n"}));
  QXSTD::DeinitTrace();
}

TEST(TraceControl, ThousandsOfSwitchesLeakNoDescriptors) {
  // Wine reports no handles at all; a real process always has some.
  if (OpenDescriptors() == 0) GTEST_SKIP() << "the system does not count handles";
  std::string second = TempPath("b.log");
  std::string first = StartFile(1, 0, "a.log");
  const int before = OpenDescriptors();
  // Lines on their way to the main log hold the destination they joined,
  // and each file's destination goes back for reuse once nothing holds it.
  std::atomic<bool> stop{false};
  std::thread tracer([&] {
    while (!stop.load()) QXSTD::Trace1(W(u"m"), W(u"line\n"));
  });
  for (int i = 0; i < 3000; ++i) {
    QXSTD::StartTrace(1, (i % 2 ? first : second).data(), 0);
  }
  stop.store(true);
  tracer.join();
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_LE(razezir::TraceStateTestHelper::DestinationObjects(), 4u);
  QXSTD::DeinitTrace();
}

// ReopenTraceFiles opens again only the files whose names name another
// file now: the main log, with a Closed banner at the end of the old file
// and a Started banner in the new one, and a target's own file, with a
// Started banner; a target on the main log's name moves with it, silently.
// A call without a rotation writes nothing, and a target whose name cannot
// be opened keeps its stream, and its name, for a later call, unless it is
// on the main log's old file.
TEST(TraceControl, ReopenFollowsRenamedFilesOnly) {
  const std::string dir = TempPath("dir");
  std::filesystem::create_directories(dir + "/sub");
  const std::string main = dir + "/app.log";
  const std::string own = dir + "/sub/net.log";
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, main.c_str(), 0);
  QXSTD::StartTraceModule(u"app", 0);
  QXSTD::StartTraceModule(u"net", 1, own.c_str());
  QXSTD::Trace1(u"app", u"a1\n");
  QXSTD::Trace1(u"net", u"n1\n");
  const std::string unmoved = ReadFile(main) + ReadFile(own);
  QXSTD::ReopenTraceFiles();
  EXPECT_EQ(ReadFile(main) + ReadFile(own), unmoved);
  std::filesystem::rename(main, main + ".1");
  QXSTD::Trace1(u"app", u"a2\n");
  QXSTD::ReopenTraceFiles();
  QXSTD::Trace1(u"app", u"a3\n");
#ifndef _WIN32
  // The target's folder goes: its name names nothing that can be opened.
  std::filesystem::rename(dir + "/sub", dir + "/sub.1");
  QXSTD::ReopenTraceFiles();
  QXSTD::Trace1(u"net", u"n2\n");
  std::filesystem::create_directories(dir + "/sub");
  QXSTD::ReopenTraceFiles();
  QXSTD::Trace1(u"net", u"n3\n");
  // The main log's folder goes: the main log falls back to standard output,
  // and the target on its old file goes with it rather than write after the
  // Closed banner there.
  std::filesystem::rename(dir, dir + ".1");
  QXSTD::ReopenTraceFiles();
  QXSTD::Trace1(u"app", u"a4\n");
  const std::string at = dir + ".1";
#else
  const std::string at = dir;
#endif  // _WIN32
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(at + "/app.log.1"),
                             {StartedPattern(), "a1\na2\n", ClosedPattern()}));
  const std::string last = ReadFile(at + "/app.log");
  EXPECT_TRUE(MatchesInOrder(last, {StartedPattern(), "a3\n", ClosedPattern()}));
  EXPECT_EQ(last.find("a4"), std::string::npos);
#ifndef _WIN32
  EXPECT_TRUE(MatchesInOrder(ReadFile(at + "/sub.1/net.log"), {StartedPattern(), "n1\nn2\n"}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(at + "/sub/net.log"), {StartedPattern(), "n3\n"}));
#endif  // _WIN32
}

// A target whose own name is another link to the main log's file still
// names that file after the main log's name moves: it stays, and the file
// gets no Closed banner, which its lines would follow.
TEST(TraceControl, ReopenWritesNothingAfterAClosedBanner) {
  const std::string link = TempPath("link.log");
  const std::string main = StartFile(1, 0, "app.log");
  std::error_code error;
  std::filesystem::create_hard_link(main, link, error);
  if (error) GTEST_SKIP() << "no hard links here: " << error.message();
  QXSTD::StartTraceModule(u"app", 0);
  QXSTD::StartTraceModule(u"link", 1, link.c_str());
  QXSTD::Trace1(u"link", u"l1\n");
  std::filesystem::rename(main, main + ".1");
  QXSTD::ReopenTraceFiles();
  QXSTD::Trace1(u"link", u"l2\n");
  QXSTD::Trace1(u"app", u"a1\n");
  QXSTD::DeinitTrace();
  const std::string old = ReadFile(link);
  EXPECT_TRUE(old.size() > 6 && old.substr(old.size() - 6) == "l1\nl2\n") << old;
  EXPECT_EQ(old.find("Closed"), std::string::npos) << old;
  EXPECT_TRUE(MatchesInOrder(ReadFile(main), {StartedPattern(), "a1\n", ClosedPattern()}));
}

// A rotation and a second registration that come while a target is being
// registered wait for its Started banner: the banner goes into the file the
// target opened, once, and not into a file opened later at the same address.
struct RivalRegistration {
  static inline std::string file;
  static inline std::thread thread;
  static inline std::mutex mutex;
  static inline std::condition_variable ended;
  static inline bool done = false;
  static void At(razezir::LibraryCallTestHelper::TestPoint point) {
    if (point != razezir::LibraryCallTestHelper::TestPoint::kTargetAnnouncing ||
        thread.joinable()) {
      return;
    }
    thread = std::thread([] {
      std::filesystem::rename(file + "/a.log", file + "/a.log.1");
      QXSTD::ReopenTraceFiles();
      QXSTD::StartTraceModule(u"b", 1, (file + "/b.log").c_str());
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      ended.notify_one();
    });
    // Where the banner waits for nothing, the rival ends within this bound;
    // where it waits as it must, the rival waits for the banner instead.
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait_for(lock, std::chrono::seconds(2), [] { return done; });
  }
};

TEST(TraceControl, RegistrationBannerLandsInTheFileItOpened) {
  const std::string dir = TempPath("dir");
  std::filesystem::create_directories(dir);
  RivalRegistration::file = dir;
  const std::string main = dir + "/app.log";
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, main.c_str(), 0);
  razezir::LibraryCallTestHelper::SetTestHook(RivalRegistration::At);
  QXSTD::StartTraceModule(u"a", 1, (dir + "/a.log").c_str());
  RivalRegistration::thread.join();
  razezir::LibraryCallTestHelper::SetTestHook(nullptr);
  QXSTD::Trace1(u"a", u"a1\n");
  QXSTD::Trace1(u"b", u"b1\n");
  QXSTD::DeinitTrace();
  EXPECT_TRUE(MatchesInOrder(ReadFile(dir + "/a.log.1"), {StartedPattern()}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(dir + "/a.log"), {StartedPattern(), "a1\n"}));
  EXPECT_TRUE(MatchesInOrder(ReadFile(dir + "/b.log"), {StartedPattern(), "b1\n"}));
}

TEST(TraceControl, FullDeviceIsSurvived) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no /dev/full";
#endif  // _WIN32
  char full[] = "/dev/full";
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, full, 0x17);
  for (int i = 0; i < 100; ++i) QXSTD::Trace(1, W(u"m"), W(u"line %d\n"), i);
  int size = 0;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  EXPECT_EQ(size, 10);
  QXSTD::DeinitTrace();
}

}  // namespace

// Failure behaviour: hostile arguments, failing writes, exhausted memory,
// signals, cancellation, closed standard descriptors, fork and time-zone
// changes. Whatever fails, other lines stay whole, nothing hangs and the
// process survives.
//
// Tests that could hang or abort on a fault run their body in a child
// process and give it a deadline, so a regression fails instead of stalling
// the suite.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "alloc_counter.h"
#include "write/commit_queue.h"
#include "core/trace_state.h"
#include "fault_injection.h"
#include "logtext/log_text.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::ArmWriteFault;
using razezir_test::DescriptorOf;
using razezir_test::DisarmWriteFaults;
using razezir_test::InjectedWriteFaults;
using razezir_test::Lines;
using razezir_test::MessageLines;
using razezir_test::ReadFile;
using razezir_test::StartFile;
using razezir_test::TempPath;
using razezir_test::ThreadGroup;
using razezir_test::W;
using razezir_test::WriteFault;

constexpr int kHung = -1;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Waits for `child` and returns its exit code, or kHung if it had not ended
// after `seconds` (it is then killed), or 128 + the signal that ended it.
int WaitForChild(pid_t child, int seconds) {
  for (int waited = 0; waited < seconds * 100; ++waited) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return kHung;
}

// Runs `body` in a child process and returns its exit code, as WaitForChild.
int RunInChild(const std::function<int()>& body, int seconds) {
  std::fflush(stdout);
  pid_t child = fork();
  if (child < 0) return -2;
  if (child == 0) _exit(body());
  return WaitForChild(child, seconds);
}

// --- Failing writes ----------------------------------------------------

// Traces the good lines numbered `first` to `end` - 1.
void TraceGoodLines(int first, int end) {
  for (int i = first; i < end; ++i) {
    QXSTD::Trace1(W(u"m"), W(u"L %06d %hs\n"), i, std::string(60, 'x').c_str());
  }
}

// Every line in the file is a good line whole, or a fragment of one on a
// line of its own; no good line has a fragment glued in front of it.
void ExpectNoGluedLines(const std::string& text, int written, long faults) {
  std::regex good("L [0-9]{6} x{60}");
  int whole = 0;
  for (const std::string& line : MessageLines(text)) {
    if (std::regex_match(line, good)) {
      ++whole;
      continue;
    }
    // A fragment: the front of one line, holding no second line.
    EXPECT_EQ(line.find("L ", 1), std::string::npos) << "glued: " << line;
  }
  EXPECT_GE(whole, written - static_cast<int>(faults));
}

TEST(Faults, HalfWrittenLineIsNotGluedToTheNext) {
  std::string path = StartFile(1, 0);
  int fd = DescriptorOf(path);
  ASSERT_GE(fd, 0);
  ArmWriteFault(fd, WriteFault::kHalfThenNoSpace, 97);
  TraceGoodLines(0, 1000);
  long faults = InjectedWriteFaults();
  DisarmWriteFaults();
  QXSTD::DeinitTrace();
  ASSERT_GT(faults, 5);
  ExpectNoGluedLines(ReadFile(path), 1000, faults);
}

// Lines that take turns in the queue (as on a pipe) are written whole: a
// partial write is resumed, and a batch resumes inside the right line. (A
// line appended beside others cannot be resumed, as the rest could land
// after another writer's line: it is cut, see the test above.)
TEST(Faults, ShortWritesAndErrorsKeepLinesWhole) {
  razezir::platform::SetWholeAppendsDisabledForTest(true);
  std::string path = StartFile(1, 0);
  int fd = DescriptorOf(path);
  ASSERT_GE(fd, 0);
  ArmWriteFault(fd, WriteFault::kShortWrites, 1, 7);
  TraceGoodLines(0, 100);
  ArmWriteFault(fd, WriteFault::kEio, 3);
  TraceGoodLines(100, 200);
  ArmWriteFault(fd, WriteFault::kEintr, 2);
  TraceGoodLines(200, 300);
  DisarmWriteFaults();
  QXSTD::DeinitTrace();
  std::vector<std::string> lines = MessageLines(ReadFile(path));
  // Short writes and EINTR lose nothing; EIO loses whole lines only.
  std::regex good("L ([0-9]{6}) x{60}");
  int count = 0;
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, good)) << line;
    int number = std::stoi(m[1]);
    if (number < 100 || number >= 200) ++count;
  }
  EXPECT_EQ(count, 200);
}

// Threads that meet on the stream have their lines written together, with
// one writev; a writev cut short must resume inside the right line, and one
// cut by a full disk must leave only whole lines and lone fragments.
void TraceFromThreads(int nThreads, int nLines) {
  ThreadGroup(nThreads, [nLines](int t) { TraceGoodLines(t * 100000, t * 100000 + nLines); });
}

TEST(Faults, BatchesCutShortStayWholeLines) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  razezir::platform::SetWholeAppendsDisabledForTest(true);
  std::string path = StartFile(1, 0);
  int fd = DescriptorOf(path);
  ASSERT_GE(fd, 0);
  ArmWriteFault(fd, WriteFault::kShortWrites, 1, 7);
  TraceFromThreads(kThreads, kLines);
  ASSERT_GT(InjectedWriteFaults(), 0);
  ArmWriteFault(fd, WriteFault::kHalfThenNoSpace, 13);
  TraceFromThreads(kThreads, kLines);
  long faults = InjectedWriteFaults();
  DisarmWriteFaults();
  QXSTD::DeinitTrace();
  const std::vector<std::string> lines = MessageLines(ReadFile(path));
  // The short writes lost nothing and kept each thread's order.
  ASSERT_GE(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  std::regex good("L ([0-9]{6}) x{60}");
  size_t i = 0;
  for (int seen = 0; seen < kThreads * kLines; ++i, ++seen) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, good)) << lines[i];
    const int number = std::stoi(m[1]);
    ASSERT_EQ(number % 100000, next[number / 100000]++);
  }
  // A full disk cuts batches anywhere; what was cut stays on its own line.
  ASSERT_GT(faults, 5);
  std::string rest;
  for (; i < lines.size(); ++i) rest += lines[i] + "\n";
  ExpectNoGluedLines(rest, kThreads * kLines, faults);
}

// After a write into a file was cut short, other threads append there: the
// fragment is closed off once, by one writer with the file alone, and no
// line lands after it. The cut is made while no other thread writes; then
// two threads write at once, and whichever closes the fragment is held in
// that write until the other has come as far as it can; then four threads
// write through a full disk that cuts every thirteenth write.
thread_local int t_writer = 0;  // 1 and 2 for the two threads.
std::atomic<bool> g_writerCame[3];
std::atomic<bool> g_cutNext{false};
std::atomic<int> g_lineEnds{0};

void WriterCame() {
  if (t_writer != 0) g_writerCame[t_writer] = true;
}

long CutOnceHook(int fd, const razezir::platform::ByteSpan* spans, int count) {
  const auto* pieces = reinterpret_cast<const struct iovec*>(spans);
  if (spans == nullptr) return fdatasync(fd);
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes.append(spans[i].data, spans[i].size);
  if (g_cutNext.exchange(false)) return write(fd, bytes.data(), bytes.size() / 2);
  WriterCame();
  if (bytes == "\n" && t_writer != 0) {
    ++g_lineEnds;
    while (!g_writerCame[3 - t_writer].load()) std::this_thread::yield();
  }
  return writev(fd, pieces, count);
}

void WriterJoined(razezir::CommitQueue::TestPoint point, razezir::CommitEntry*) {
  if (point == razezir::CommitQueue::TestPoint::kJoined) WriterCame();
}

TEST(Faults, CutLineIsClosedOnceAndNothingLandsAfterIt) {
  std::string path = StartFile(1, 0);
  razezir::platform::SetWriteHookForTest(CutOnceHook);
  razezir::CommitQueue::SetTestHook(WriterJoined);
  const std::string cut = "cut " + std::string(60, 'c') + "\n";
  g_cutNext = true;
  QXSTD::Trace1(W(u"m"), W(u"%hs"), cut.c_str());
  ThreadGroup(2, [](int t) {
    t_writer = t + 1;
    QXSTD::Trace1(W(u"m"), W(u"after %d\n"), t + 1);
  });
  razezir::CommitQueue::SetTestHook(nullptr);
  razezir::platform::SetWriteHookForTest(nullptr);
  EXPECT_EQ(g_lineEnds.load(), 1);
  int fd = DescriptorOf(path);
  ASSERT_GE(fd, 0);
  ArmWriteFault(fd, WriteFault::kHalfThenNoSpace, 13);
  TraceFromThreads(4, 300);
  const long faults = InjectedWriteFaults();
  DisarmWriteFaults();
  QXSTD::DeinitTrace();
  const std::vector<std::string> lines = MessageLines(ReadFile(path));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], cut.substr(0, cut.size() / 2));
  EXPECT_TRUE((lines[1] == "after 1" && lines[2] == "after 2") ||
              (lines[1] == "after 2" && lines[2] == "after 1"))
      << lines[1] << " / " << lines[2];
  ASSERT_GT(faults, 5);
  std::string rest;
  for (size_t i = 3; i < lines.size(); ++i) rest += lines[i] + "\n";
  ExpectNoGluedLines(rest, 4 * 300, faults);
}

// A write cut by a full disk leaves its file mid-line for every stream that
// writes into it: the next line, from any stream, starts on a line of its
// own. Two module targets without files of their own write into the main
// log's file through streams of their own; standard output is one place
// whatever writes to it; and each of many files cut at once is remembered.
TEST(Faults, CutLineIsClosedOffByTheNextWriteFromAnyStream) {
  const std::string cut(40000, 'x');
  for (const bool console : {false, true}) {
    razezir_test::StdoutCapture capture;
    std::string path;
    if (console) {
      razezir_test::StartConsole(1, 0);
    } else {
      path = StartFile(1, 0);
      QXSTD::StartTraceModule(W(u"a"), 1, nullptr);
      QXSTD::StartTraceModule(W(u"b"), 1, nullptr);
    }
    ArmWriteFault(console ? STDOUT_FILENO : fileno(razezir::TraceStateTestHelper::ModuleStream(0)),
                  WriteFault::kHalfThenNoSpace, 1);
    QXSTD::Trace1(W(u"a"), W(u"cut %hs\n"), cut.c_str());
    DisarmWriteFaults();
    QXSTD::Trace1(W(u"b"), W(u"whole\n"));
    QXSTD::DeinitTrace();
    const std::vector<std::string> lines = MessageLines(console ? capture.Stop() : ReadFile(path));
    ASSERT_EQ(lines.size(), 2u) << console;
    std::string front("cut ");
    front.append(cut, 0, lines[0].size() - 4);
    EXPECT_EQ(lines[0], front);
    EXPECT_LT(lines[0].size(), cut.size());
    EXPECT_EQ(lines[1], "whole");
  }
  {
    constexpr int kFiles = 70;
    QXSTD::InitTrace();
    std::vector<std::string> paths;
    std::vector<std::u16string> tags;
    for (int i = 0; i < kFiles; ++i) {
      std::string name("t");
      name += std::to_string(i);
      paths.push_back(TempPath(name));
      std::u16string tag(u"t");
      tag += static_cast<char16_t>(u'A' + i % 26);
      tag += static_cast<char16_t>(u'A' + i / 26);
      tags.push_back(tag);
      QXSTD::StartTraceModule(W(tags.back().c_str()), 1, &paths.back()[0]);
    }
    for (int i = 0; i < kFiles; ++i) {
      ArmWriteFault(DescriptorOf(paths[i]), WriteFault::kHalfThenNoSpace, 1);
      QXSTD::Trace1(W(tags[i].c_str()), W(u"cut %hs\n"), "xxxxxxxx");
    }
    DisarmWriteFaults();
    for (int i = 0; i < kFiles; ++i) QXSTD::Trace1(W(tags[i].c_str()), W(u"whole\n"));
    QXSTD::DeinitTrace();
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_EQ(MessageLines(ReadFile(paths[i])), (std::vector<std::string>{"cut xx", "whole"}))
          << paths[i];
    }
  }
}

// Opens a log that ends inside a line and writes one line to it; returns
// the file's lines.
std::vector<std::string> TraceAfterACutLine() {
  std::string path = TempPath("log");
  razezir_test::WriteFile(path, "a line cut by a crash");
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &path[0], 0);
  QXSTD::Trace1(W(u"m"), W(u"next\n"));
  QXSTD::DeinitTrace();
  return Lines(ReadFile(path));
}

TEST(Faults, OpeningAFileThatEndsMidLineStartsOnANewLine) {
  std::vector<std::string> lines = TraceAfterACutLine();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "a line cut by a crash");
  EXPECT_EQ(lines[1], std::string(76, '='));
  EXPECT_EQ(lines[4], "next");

  // The check reads through the log's own descriptor, so it holds when the
  // host has only the two descriptors left that a log takes (its stream's
  // and its destination's).
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  ASSERT_GE(fillers.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    close(fillers.back());
    fillers.pop_back();
  }
  lines = TraceAfterACutLine();
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[1], std::string(76, '='));
  EXPECT_EQ(lines[4], "next");

  // A file that cannot be read is still opened, for appending, and is not
  // checked: the banner follows the cut line.
  razezir::platform::SetReadableOpenDisabledForTest(true);
  lines = TraceAfterACutLine();
  razezir::platform::SetReadableOpenDisabledForTest(false);
  ASSERT_GE(lines.size(), 4u);
  std::string glued("a line cut by a crash");
  glued.append(76, '=');
  EXPECT_EQ(lines[0], glued);
  EXPECT_EQ(lines[3], "next");
}

// --- Standard output -----------------------------------------------------

// Runs `handler` on SIGALRM, installed with `flags`, every `micros`
// microseconds until StopAlarms().
void StartAlarms(void (*handler)(int), int flags, int micros) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigaction(SIGALRM, &action, nullptr);
  struct itimerval every = {{0, micros}, {0, micros}};
  setitimer(ITIMER_REAL, &every, nullptr);
}

void StopAlarms() {
  struct itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
}

std::atomic<bool> g_alarmSeen{false};
void NoteAlarm(int) { g_alarmSeen.store(true); }

TEST(Faults, StdoutLosesNothingToInterruptedWrites) {
  // The reader is slow, so the pipe fills and the tracer blocks in write,
  // where the timer's signal (installed without SA_RESTART) interrupts it.
  razezir_test::StdoutPipe capture(300, SIGALRM);
  ASSERT_TRUE(capture.Opened());
  StartAlarms(NoteAlarm, 0, 200);
  razezir_test::StartConsole(1, 0);
  const std::string pad(100, 'p');
  for (int i = 0; i < 3000; ++i) QXSTD::Trace1(W(u"m"), W(u"line %d %hs\n"), i, pad.c_str());
  QXSTD::DeinitTrace();
  StopAlarms();
  const std::string received = capture.Stop();
  EXPECT_TRUE(g_alarmSeen.load());

  int count = 0;
  for (const std::string& line : MessageLines(received)) {
    ASSERT_EQ(line, "line " + std::to_string(count) + " " + pad);
    ++count;
  }
  EXPECT_EQ(count, 3000);
}

TEST(Faults, WideOrientedStdoutStillGetsLinesInOrder) {
  // A stream's orientation is fixed by its first use, so the host is a
  // child whose standard output is opened afresh.
  std::string path = TempPath("stdout");
  int result = RunInChild(
      [&] {
        if (std::freopen(path.c_str(), "w", stdout) == nullptr) return 2;
        if (std::fwide(stdout, 1) <= 0) return 3;
        std::wprintf(L"host before\n");
        razezir_test::StartConsole(1, 0);
        QXSTD::Trace1(W(u"m"), W(u"traced\n"));
        std::wprintf(L"host after\n");
        QXSTD::DeinitTrace();
        std::fflush(stdout);
        return 0;
      },
      30);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(MessageLines(ReadFile(path)),
            (std::vector<std::string>{"host before", "traced", "host after"}));
}

// Forks while a thread traces to standard output, with `flags`, whose
// prefix is `prefix`. Queued lines (no TRACE_NO_LOCK) also check that the
// fork waits for the line being written and that the queue is usable after.
void ForkWhileTracingToStdout(int flags, const std::string& prefix) {
  razezir_test::StdoutCapture capture;
  razezir_test::StartConsole(1, flags);
  std::atomic<bool> stop{false};
  std::thread tracer([&] {
    for (int i = 0; !stop.load(); ++i) QXSTD::Trace1(W(u"m"), W(u"line %d\n"), i);
  });
  for (int i = 0; i < 100; ++i) {
    pid_t child = fork();
    if (child == 0) {
      // Whatever waits in stdout's buffer, exit() would write a second
      // time. The child only looks: flushing here, in the child of a
      // threaded process, can hang on a lock that a sanitizer's stdio
      // interceptor held in another thread at the fork.
      _exit(__fpending(stdout) == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "bytes left in stdout's buffer";
  }
  stop.store(true);
  tracer.join();
  QXSTD::DeinitTrace();
  std::vector<std::string> lines = MessageLines(capture.Stop());
  ASSERT_FALSE(lines.empty());
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i], prefix + "line " + std::to_string(i));
  }
}

TEST(Faults, ForkNeverDuplicatesStdoutLinesAndWaitsForTheLineOnItsWay) {
  ForkWhileTracingToStdout(0x20, " : ");
  ForkWhileTracingToStdout(0, "");
}

// A process forked while a thread writes a line in pieces (one over 1 MiB)
// never starts inside that line: the fork waits for every file's turn, not
// standard output's alone. The writes that the library makes tell whether a
// line was left half written (this memory is copied at the fork, so a child
// sees how it stood then).
std::atomic<bool> g_insideALine{false};

long NoteLineEnds(int fd, const razezir::platform::ByteSpan* spans, int count) {
  if (spans == nullptr) return fdatasync(fd);
  const ssize_t written = writev(fd, reinterpret_cast<const struct iovec*>(spans), count);
  if (written > 0) {
    size_t last = static_cast<size_t>(written);
    int i = 0;
    for (; last > spans[i].size; ++i) last -= spans[i].size;
    g_insideALine = spans[i].data[last - 1] != '\n';
  }
  return written;
}

TEST(Faults, ForkNeverLandsInsideALineWrittenInPieces) {
  const std::string path = StartFile(1, 0);
  const std::string longText(3u << 20, 'L');
  razezir::platform::SetWriteHookForTest(NoteLineEnds);
  std::atomic<bool> written{false};
  std::atomic<bool> forked{false};
  // The writer outlives the forks: a thread that has ended but is not yet
  // joined at a fork makes ThreadSanitizer's child report a leak and exit
  // with a status of its own.
  std::thread writer([&] {
    for (int i = 0; i < 6; ++i) QXSTD::Trace1(W(u"m"), W(u"%hs\n"), longText.c_str());
    written = true;
    while (!forked.load()) std::this_thread::yield();
  });
  int forks = 0;
  int insideALine = 0;
  while (!written.load()) {
    pid_t child = fork();
    if (child == 0) _exit(g_insideALine.load() ? 1 : 0);
    int status = 0;
    waitpid(child, &status, 0);
    ++forks;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "child status " << status;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) ++insideALine;
  }
  forked = true;
  writer.join();
  razezir::platform::SetWriteHookForTest(nullptr);
  QXSTD::DeinitTrace();
  EXPECT_GT(forks, 0);
  EXPECT_EQ(insideALine, 0) << "of " << forks << " forks";
  EXPECT_EQ(MessageLines(ReadFile(path)), std::vector<std::string>(6, longText));
}

TEST(Faults, LogFilesNeverTakeStandardDescriptors) {
  std::fflush(stdout);
  int savedIn = dup(0);
  int savedOut = dup(1);
  close(0);
  close(1);
  std::string modulePath = TempPath("module");
  std::string path = StartFile(1, 0);
  QXSTD::StartTraceModule(W(u"m"), 1, &modulePath[0]);
  QXSTD::StartTraceModule(W(u"shared"), 1, nullptr);
  bool in = fcntl(0, F_GETFD) != -1;
  bool out = fcntl(1, F_GETFD) != -1;
  QXSTD::Trace1(W(u"m"), W(u"to the module file\n"));
  QXSTD::DeinitTrace();
  dup2(savedIn, 0);
  dup2(savedOut, 1);
  close(savedIn);
  close(savedOut);
  EXPECT_FALSE(in);
  EXPECT_FALSE(out);
  EXPECT_EQ(MessageLines(ReadFile(modulePath)),
            std::vector<std::string>{"to the module file"});
}

// --- Memory ----------------------------------------------------------------

TEST(Faults, LongLineWithoutMemoryIsStreamedWhole) {
  std::string path = StartFile(1, 0);
  std::string text(200000, 'z');
  if (!razezir_test::FailAllocations(4097)) GTEST_SKIP() << "malloc is not ours here";
  QXSTD::Trace1(W(u"m"), W(u"<%hs>\n"), text.c_str());
  QXSTD::Trace1(W(u"m"), W(u"next\n"));
  razezir_test::StopFailingAllocations();
  QXSTD::DeinitTrace();
  EXPECT_EQ(MessageLines(ReadFile(path)),
            (std::vector<std::string>{"<" + text + ">", "next"}));
}

TEST(Faults, OutOfMemoryLeavesCallsHarmless) {
  if (!razezir_test::FailAllocations(0)) GTEST_SKIP() << "malloc is not ours here";
  QXSTD::InitTrace();
  razezir_test::StopFailingAllocations();
  int level = 7;
  EXPECT_FALSE(QXSTD::IsTraceStarted(&level));
  EXPECT_EQ(level, 7);  // not initialised: nothing is stored

  std::string path = StartFile(3, 0);
  std::string other = TempPath("other");
  std::string modulePath = TempPath("module");
  razezir_test::StdoutCapture capture;
  razezir_test::FailAllocations(0);
  QXSTD::StartTraceModule(W(u"lost"), 3, &modulePath[0]);
  QXSTD::StartTraceThread(W(u"lost"), 3, nullptr);
  QXSTD::SetTraceThreadName(W(u"lost"));
  // Without memory for the name, the new file cannot become the main log:
  // the output falls back to standard output and the name stays, as when a
  // file cannot open.
  QXSTD::StartTrace(3, &other[0], 0);
  razezir_test::StopFailingAllocations();
  // No target was registered, so the message is not filtered away.
  QXSTD::Trace1(W(u"any"), W(u"still traced\n"));
  int size = 0;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  QXSTD::DeinitTrace();
  EXPECT_EQ(size, static_cast<int>(path.size() + 1));
  EXPECT_EQ(MessageLines(capture.Stop()), std::vector<std::string>{"still traced"});
  EXPECT_EQ(MessageLines(ReadFile(path)), std::vector<std::string>{});
}

// --- Signals and cancellation -------------------------------------------

void TraceFromHandler(int) { QXSTD::Trace1(W(u"sig"), W(u"from the handler %d\n"), 42); }

// One second for the whole storm: the timestamp text is formatted once, by
// the Started banner, so that no line needs the zone data, whose refresh
// may allocate, while a handler may be running.
int SignalStorm(int flags, const std::string& path) {
  razezir::LogTextTestHelper::SetClock(razezir_test::FixedClock);
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, path.empty() ? nullptr : const_cast<char*>(path.c_str()), flags);
  StartAlarms(TraceFromHandler, SA_RESTART, 50);
  const std::string pad(200, 'p');
  for (int i = 0; i < 20000; ++i) QXSTD::Trace1(W(u"main"), W(u"main line %d %hs\n"), i, pad.c_str());
  StopAlarms();
  QXSTD::DeinitTrace();
  return 0;
}

void ExpectStormLines(const std::string& text) {
  std::regex line("[A-Z][a-z]{2} .{20}\\.[0-9]{3} +[0-9A-F]{8} +"
                  "(main: main line [0-9]+ p{200}|sig: from the handler 42)");
  int mainLines = 0;
  for (const std::string& each : MessageLines(text)) {
    ASSERT_TRUE(std::regex_match(each, line)) << each;
    if (each.find("main line") != std::string::npos) ++mainLines;
  }
  EXPECT_EQ(mainLines, 20000);
}

TEST(Faults, TracingFromASignalHandlerNeverHangs) {
  std::string path = TempPath("log");
  EXPECT_EQ(RunInChild([&] { return SignalStorm(0x17, path); }, 60), 0);
  ExpectStormLines(ReadFile(path));
}

TEST(Faults, TracingFromASignalHandlerToStdoutWithoutLockNeverHangs) {
  razezir_test::StdoutCapture capture;
  EXPECT_EQ(RunInChild([] { return SignalStorm(0x37, ""); }, 60), 0);
  ExpectStormLines(capture.Stop());
}

// A thread leads standard output's queue when a signal handler on it traces
// to a module target, while another thread forks: the fork waits for that
// lead with the locks held, so the handler must wait for nothing.
std::atomic<bool> g_raiseOnLead{false};
std::atomic<bool> g_forkStarted{false};
std::thread g_forker;

void RaiseOnLead(razezir::CommitQueue::TestPoint point, razezir::CommitEntry*) {
  if (point != razezir::CommitQueue::TestPoint::kLeading || !g_raiseOnLead.exchange(false)) return;
  g_forker = std::thread([] {
    g_forkStarted.store(true);
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
  });
  while (!g_forkStarted.load()) std::this_thread::yield();
  // Long enough for the fork to be waiting for this thread's lead.
  usleep(100000);
  raise(SIGUSR1);
}

void TraceToTheModule(int) { QXSTD::Trace1(W(u"m"), W(u"from the handler\n")); }

TEST(Faults, HandlerTracingWhileAForkWaitsForItsThreadNeverHangs) {
  razezir_test::StdoutCapture capture;
  EXPECT_EQ(RunInChild(
                [] {
                  razezir_test::StartConsole(1, 0);
                  QXSTD::StartTraceModule(W(u"m"), 1, nullptr);
                  signal(SIGUSR1, TraceToTheModule);
                  razezir::CommitQueue::SetTestHook(RaiseOnLead);
                  g_raiseOnLead.store(true);
                  QXSTD::Trace1(W(u"m"), W(u"leading\n"));
                  razezir::CommitQueue::SetTestHook(nullptr);
                  g_forker.join();
                  QXSTD::DeinitTrace();
                  return 0;
                },
                30),
            0);
  EXPECT_EQ(MessageLines(capture.Stop()),
            (std::vector<std::string>{"leading", "from the handler"}));
}

// fork() from a signal handler that interrupted the library: a thread in a
// file's gate, or leading standard output's queue, forks from the handler.
// The call goes on in the child, which then traces a line of its own and
// exits: no hang, no crash, the child's line whole and on a line of its
// own, the interrupted line once. And in the parent, a fork from a handler
// that interrupted a line written in pieces does not wait for the global
// lock that StopTrace, on another thread, holds while it waits for that
// line: the fork must wait for nothing.
std::atomic<bool> g_forkInHandler{false};
std::atomic<pid_t> g_handlerChild{0};

void ForkInHandler(int) { g_handlerChild.store(fork()); }

long ForkAfterTheFirstWrite(int fd, const razezir::platform::ByteSpan* spans, int count) {
  if (spans == nullptr) return fdatasync(fd);
  const ssize_t written = writev(fd, reinterpret_cast<const struct iovec*>(spans), count);
  if (g_forkInHandler.exchange(false)) raise(SIGUSR1);
  return written;
}

void ForkOnLead(razezir::CommitQueue::TestPoint point, razezir::CommitEntry*) {
  if (point == razezir::CommitQueue::TestPoint::kLeading && g_forkInHandler.exchange(false)) {
    raise(SIGUSR1);
  }
}

// Traces a line during which the handler forks; the child traces a line of
// its own and exits, the parent one more and ends tracing. Returns the
// child's status, or kHung.
int TraceWhileAHandlerForks() {
  signal(SIGUSR1, ForkInHandler);
  g_forkInHandler.store(true);
  QXSTD::Trace1(W(u"m"), W(u"interrupted\n"));
  if (g_handlerChild.load() == 0) {
    // Its line is in the file once the call returns: the child leaves at
    // once (ThreadSanitizer takes the locks that the fork handlers started
    // afresh under it as still held, and would report their destruction).
    QXSTD::Trace1(W(u"m"), W(u"child\n"));
    _exit(0);
  }
  const int status = WaitForChild(g_handlerChild.load(), 30);
  QXSTD::Trace1(W(u"m"), W(u"parent\n"));
  QXSTD::DeinitTrace();
  std::fflush(stdout);
  return status;
}

std::atomic<bool> g_stopperQueued{false};
std::thread g_stopper;
thread_local bool t_stopper = false;

void NoteStopperQueued(razezir::CommitQueue::TestPoint point, razezir::CommitEntry*) {
  if (point == razezir::CommitQueue::TestPoint::kJoined && t_stopper) g_stopperQueued = true;
}

long ForkOnceStopTraceWaits(int fd, const razezir::platform::ByteSpan* spans, int count) {
  if (spans == nullptr) return fdatasync(fd);
  if (g_forkInHandler.exchange(false)) {
    g_stopper = std::thread([] {
      t_stopper = true;
      QXSTD::StopTrace();
    });
    while (!g_stopperQueued.load()) std::this_thread::yield();
    raise(SIGUSR1);
  }
  return writev(fd, reinterpret_cast<const struct iovec*>(spans), count);
}

TEST(Faults, ForkFromAHandlerInsideTheLibraryNeverHangs) {
  const std::string path = TempPath("log");
  EXPECT_EQ(RunInChild(
                [&] {
                  QXSTD::InitTrace();
                  QXSTD::StartTrace(1, &const_cast<std::string&>(path)[0], 0);
                  razezir::platform::SetWriteHookForTest(ForkAfterTheFirstWrite);
                  return TraceWhileAHandlerForks();
                },
                60),
            0);
  EXPECT_EQ(MessageLines(ReadFile(path)),
            (std::vector<std::string>{"interrupted", "child", "parent"}));

  razezir_test::StdoutCapture capture;
  EXPECT_EQ(RunInChild(
                [] {
                  razezir_test::StartConsole(1, 0);
                  razezir::CommitQueue::SetTestHook(ForkOnLead);
                  return TraceWhileAHandlerForks();
                },
                60),
            0);
  const std::vector<std::string> lines = MessageLines(capture.Stop());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "interrupted"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "child"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "parent"), 1);

  const std::string longText(3u << 20, 'L');
  EXPECT_EQ(RunInChild(
                [&] {
                  const std::string stopped = TempPath("stopped");
                  QXSTD::InitTrace();
                  QXSTD::StartTrace(1, &const_cast<std::string&>(stopped)[0], 0);
                  signal(SIGUSR1, ForkInHandler);
                  razezir::CommitQueue::SetTestHook(NoteStopperQueued);
                  razezir::platform::SetWriteHookForTest(ForkOnceStopTraceWaits);
                  g_forkInHandler.store(true);
                  QXSTD::Trace1(W(u"m"), W(u"%hs\n"), longText.c_str());
                  if (g_handlerChild.load() == 0) _exit(0);
                  int status = 0;
                  waitpid(g_handlerChild.load(), &status, 0);
                  g_stopper.join();
                  int level = -1;
                  QXSTD::IsTraceStarted(&level);
                  return level == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
                },
                60),
            0);
}

// A handler's line never lands inside another line, even on a pipe, where a
// long line goes out in several writes that a signal may come between.
void TraceShortLine(int) { QXSTD::Trace1(W(u"h"), W(u"handler\n")); }

TEST(Faults, HandlerLinesNeverLandInsideALineOnAPipe) {
  // The reader never takes the timer's signal: a handler's ordinary call on
  // the thread that drains the pipe would wait for the line the pipe holds.
  razezir_test::StdoutPipe capture(0, SIGALRM);
  ASSERT_TRUE(capture.Opened());
  razezir_test::StartConsole(1, 0);
  StartAlarms(TraceShortLine, SA_RESTART, 200);
  const std::string big(200000, 'p');
  for (int i = 0; i < 40; ++i) QXSTD::Trace1(W(u"m"), W(u"main %hs\n"), big.c_str());
  StopAlarms();
  signal(SIGALRM, SIG_DFL);
  QXSTD::Trace1(W(u"m"), W(u"last\n"));  // writes a handler's line still deferred
  QXSTD::DeinitTrace();
  const std::string received = capture.Stop();
  int mainLines = 0;
  int handlerLines = 0;
  for (const std::string& line : MessageLines(received)) {
    if (line == std::string("main ") + big) {
      ++mainLines;
    } else if (line == "handler") {
      ++handlerLines;
    } else if (line != "last") {
      ADD_FAILURE() << "a line of " << line.size() << " bytes: " << line.substr(0, 40);
    }
  }
  EXPECT_EQ(mainLines, 40);
  EXPECT_GT(handlerLines, 0);
}

// The stack a trace call takes, measured on a painted alternate signal
// stack: nested in a handler, where it only defers its line, and on the
// ordinary path. The handler's own frame is left out.
constexpr size_t kAltStackBytes = 64 * 1024;
char* g_altStack = nullptr;
std::atomic<size_t> g_stackUsed{0};

void MeasureTraceStack(int) {
  char here;
  const uintptr_t top = reinterpret_cast<uintptr_t>(&here);
  QXSTD::Trace1(W(u"net"), W(u"stack %d %ls %hs %08X %c\n"), 42, W(u"wide"), "narrow",
                0xABCu, u'z');
  size_t untouched = 0;
  while (untouched < kAltStackBytes && g_altStack[untouched] == '\xA5') ++untouched;
  g_stackUsed.store(top - reinterpret_cast<uintptr_t>(g_altStack + untouched));
}

void RaiseWhileLeading(razezir::CommitQueue::TestPoint point, razezir::CommitEntry*) {
  if (point == razezir::CommitQueue::TestPoint::kLeading && g_raiseOnLead.exchange(false)) {
    std::memset(g_altStack, 0xA5, kAltStackBytes);
    raise(SIGUSR1);
  }
}

TEST(Faults, TraceCallStackIsSmallNestedInAHandler) {
  std::vector<char> altStack(kAltStackBytes);
  g_altStack = altStack.data();
  stack_t stack{};
  stack.ss_sp = g_altStack;
  stack.ss_size = kAltStackBytes;
  stack_t savedStack;
  ASSERT_EQ(sigaltstack(&stack, &savedStack), 0);
  struct sigaction action {};
  action.sa_handler = MeasureTraceStack;
  action.sa_flags = SA_ONSTACK;
  struct sigaction savedAction;
  sigaction(SIGUSR1, &action, &savedAction);
  // The signal comes while the thread leads its file's queue.
  razezir::platform::SetWholeAppendsDisabledForTest(true);
  const std::string path = StartFile(1, 0x17);
  QXSTD::Trace1(W(u"net"), W(u"first\n"));

  razezir::CommitQueue::SetTestHook(RaiseWhileLeading);
  g_raiseOnLead.store(true);
  QXSTD::Trace1(W(u"net"), W(u"interrupted\n"));
  razezir::CommitQueue::SetTestHook(nullptr);
  const size_t nested = g_stackUsed.load();

  std::memset(g_altStack, 0xA5, kAltStackBytes);
  raise(SIGUSR1);
  const size_t ordinary = g_stackUsed.load();

  QXSTD::DeinitTrace();
  sigaction(SIGUSR1, &savedAction, nullptr);
  sigaltstack(&savedStack, nullptr);
  std::printf("stack of a trace call: %zu bytes nested in a handler, %zu on the ordinary path\n",
              nested, ordinary);
  const std::vector<std::string> lines = MessageLines(ReadFile(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[2].find("net: stack 42 wide narrow 00000ABC z"), std::string::npos);
  EXPECT_NE(lines[3].find("net: stack 42"), std::string::npos);
  // Sanitizers make every frame larger.
  if (!kSanitized) {
    EXPECT_LE(nested, 4096u);
  }
}

TEST(Faults, CancelledThreadLeavesWholeLinesAndNoLock) {
  std::string path = TempPath("log");
  int result = RunInChild(
      [&] {
        QXSTD::InitTrace();
        QXSTD::StartTrace(1, &path[0], 0);
        static const std::string big(3u << 20, 'c');
        pthread_t thread;
        pthread_create(
            &thread, nullptr,
            [](void*) -> void* {
              // Bounded, so that a thread that is never cancelled cannot fill
              // the disk; the host's own cancellation point comes between calls.
              for (int i = 0; i < 100; ++i) {
                QXSTD::Trace1(W(u"m"), W(u"<%hs>\n"), big.c_str());
                pthread_testcancel();
              }
              return nullptr;
            },
            nullptr);
        usleep(20000);
        pthread_cancel(thread);
        pthread_join(thread, nullptr);
        QXSTD::Trace1(W(u"m"), W(u"after\n"));  // hangs if a lock was left held
        QXSTD::DeinitTrace();
        return 0;
      },
      60);
  ASSERT_EQ(result, 0);
  std::vector<std::string> lines = MessageLines(ReadFile(path));
  ASSERT_FALSE(lines.empty());
  EXPECT_LT(lines.size(), 101u) << "the thread was never cancelled";
  EXPECT_EQ(lines.back(), "after");
  lines.pop_back();
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), (3u << 20) + 2);
  }
}

// A handler that interrupts a thread's first library call, before the
// thread has a deferred line, takes one for it (without malloc), and its
// line is written as any handler's line is.
using LibraryCallPoint = razezir::LibraryCallTestHelper::TestPoint;

void RaiseInFirstCall(LibraryCallPoint point) {
  if (point == LibraryCallPoint::kFirstCall) raise(SIGUSR1);
}

TEST(Faults, HandlerLineInAThreadsFirstCallIsWritten) {
  const std::string path = StartFile(1, 0);
  const auto saved = signal(SIGUSR1, TraceToTheModule);
  razezir::LibraryCallTestHelper::SetTestHook(RaiseInFirstCall);
  std::thread([] { QXSTD::Trace1(W(u"m"), W(u"first call\n")); }).join();
  razezir::LibraryCallTestHelper::SetTestHook(nullptr);
  signal(SIGUSR1, saved);
  QXSTD::DeinitTrace();
  EXPECT_EQ(MessageLines(ReadFile(path)),
            (std::vector<std::string>{"first call", "from the handler"}));
}

// A TRACE_NO_LOCK line, held just before its write (as a preemption would)
// while the log is rotated and reopened and the host opens files of its
// own, lands once, whole, in a log file: never in a host's file through a
// descriptor number that the reopen gave back.
std::string g_rotatedLog;
std::vector<std::string> g_hostFiles;
std::vector<int> g_hostDescriptors;
std::thread::id g_heldWriter;
std::atomic<bool> g_held{false};

long RotateBeforeTheWrite(int fd, const razezir::platform::ByteSpan* spans, int count) {
  if (spans == nullptr) return fdatasync(fd);
  if (std::this_thread::get_id() == g_heldWriter && !g_held.exchange(true)) {
    std::thread([] {
      std::filesystem::rename(g_rotatedLog, g_rotatedLog + ".1");
      QXSTD::ReopenTraceFiles();
    }).join();
    for (const std::string& path : g_hostFiles) {
      g_hostDescriptors.push_back(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    }
  }
  return writev(fd, reinterpret_cast<const struct iovec*>(spans), count);
}

TEST(Faults, NoLockLineNeverLandsInAHostFileAfterAReopen) {
  g_rotatedLog = StartFile(1, QXSTD::TRACE_NO_LOCK);
  for (int i = 0; i < 8; ++i) g_hostFiles.push_back(TempPath("host" + std::to_string(i)));
  g_heldWriter = std::this_thread::get_id();
  razezir::platform::SetWriteHookForTest(RotateBeforeTheWrite);
  QXSTD::Trace1(W(u"m"), W(u"held line\n"));
  razezir::platform::SetWriteHookForTest(nullptr);
  QXSTD::DeinitTrace();
  for (int fd : g_hostDescriptors) close(fd);
  ASSERT_TRUE(g_held.load());
  for (const std::string& path : g_hostFiles) EXPECT_EQ(ReadFile(path), "") << path;
  const std::vector<std::string> lines =
      MessageLines(ReadFile(g_rotatedLog + ".1") + ReadFile(g_rotatedLog));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), " : held line"), 1);
}

// A handler that comes as a call leaves the library, with an earlier
// handler's line still to write, writes that line before its own: a
// thread's lines keep the order of their calls, and neither is dropped.
std::atomic<int> g_handlerRaises{0};

long RaiseInTheFirstWrite(int fd, const razezir::platform::ByteSpan* spans, int count) {
  if (spans == nullptr) return fdatasync(fd);
  if (g_handlerRaises.fetch_add(1) == 0) raise(SIGUSR1);
  return writev(fd, reinterpret_cast<const struct iovec*>(spans), count);
}

void RaiseAsTheCallLeaves(LibraryCallPoint point) {
  if (point == LibraryCallPoint::kLeftWithLinePending) raise(SIGUSR2);
}

// Through the typed front end, which defers as the varargs one does.
void TraceFirstHandlerLine(int) { QXSTD::Trace1(u"m", u"%s handler\n", "first"); }
void TraceSecondHandlerLine(int) { QXSTD::Trace1(u"m", u"%s handler\n", std::string_view("second")); }

TEST(Faults, HandlerLinesKeepTheOrderOfTheirCalls) {
  const std::string path = StartFile(1, 0);
  signal(SIGUSR1, TraceFirstHandlerLine);
  signal(SIGUSR2, TraceSecondHandlerLine);
  razezir::platform::SetWriteHookForTest(RaiseInTheFirstWrite);
  razezir::LibraryCallTestHelper::SetTestHook(RaiseAsTheCallLeaves);
  QXSTD::Trace1(W(u"m"), W(u"call\n"));
  razezir::LibraryCallTestHelper::SetTestHook(nullptr);
  razezir::platform::SetWriteHookForTest(nullptr);
  QXSTD::DeinitTrace();
  EXPECT_EQ(MessageLines(ReadFile(path)),
            (std::vector<std::string>{"call", "first handler", "second handler"}));
}

// --- Fork and time -------------------------------------------------------

TEST(Faults, ForkedChildKeepsTheForkingThreadsBinding) {
  std::string workerPath = TempPath("worker");
  std::string path = StartFile(1, 0);
  QXSTD::StartTraceThread(W(u"worker"), 1, &workerPath[0]);
  int result = 0;
  std::thread worker([&] {
    QXSTD::SetTraceThreadName(W(u"worker"));
    result = RunInChild(
        [] {
          QXSTD::Trace1(W(u"m"), W(u"from the child\n"));
          return 0;
        },
        30);
    QXSTD::Trace1(W(u"m"), W(u"from the parent\n"));
    QXSTD::UnregisterTraceThread();
  });
  worker.join();
  QXSTD::DeinitTrace();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(MessageLines(ReadFile(workerPath)),
            (std::vector<std::string>{"from the child", "from the parent"}));
}

int HourOf(const std::string& line) { return std::stoi(line.substr(16, 2)); }

TEST(Faults, TimeZoneChangeIsPickedUp) {
  setenv("TZ", "UTC0", 1);
  tzset();
  std::string path = StartFile(1, 0x01);
  QXSTD::Trace1(W(u"m"), W(u"in UTC\n"));
  // Five hours east of UTC, set in the environment only, as a host that
  // never calls tzset itself does.
  setenv("TZ", "EAST-5", 1);
  time_t start = time(nullptr);
  while (time(nullptr) == start) usleep(10000);
  QXSTD::Trace1(W(u"m"), W(u"in the east\n"));
  QXSTD::DeinitTrace();
  std::vector<std::string> lines = MessageLines(ReadFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ((HourOf(lines[1]) - HourOf(lines[0]) + 24) % 24, 5) << lines[0] << "\n" << lines[1];
}

}  // namespace

// Message emission: level tests, the line prefix layouts, whole lines under
// concurrency and after a crash, and lines of any length.

#ifndef _WIN32
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif  // _WIN32

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "logtext/log_text.h"
#include "platform/port.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::kTimePattern;
using razezir_test::Lines;
using razezir_test::MatchesInOrder;
using razezir_test::ReadFile;
using razezir_test::StartedPattern;
using razezir_test::StdoutCapture;
using razezir_test::TempPath;
using razezir_test::W;

// Starts tracing into a fresh file and returns its path.
std::string StartFile(int level, int flags) {
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(level, &path[0], flags);
  return path;
}

// The file's content after its Started banner.
std::string Body(const std::string& path) {
  std::string text = ReadFile(path);
  std::smatch banner;
  if (!std::regex_search(text, banner, std::regex(StartedPattern()))) return "<no banner>";
  return text.substr(banner.position(0) + banner.length(0));
}

std::string ThreadIdText() {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", razezir::platform::CurrentThreadId());
  return text;
}

std::string LineWithFlags(int flags, const char16_t* module) {
  std::string path = StartFile(1, flags);
  QXSTD::Trace1(W(module), W(u"connected\n"));
  std::string body = Body(path);
  QXSTD::DeinitTrace();
  return body;
}

TEST(EmitLayout, NoFlagsWritesTheMessageAlone) {
  EXPECT_EQ(LineWithFlags(0, u"net"), "connected\n");
}

TEST(EmitLayout, TimeOnly) {
  EXPECT_TRUE(MatchesInOrder(LineWithFlags(0x01, u"net"),
                             {kTimePattern, " : connected\n"}));
}

TEST(EmitLayout, TimeWithMilliseconds) {
  EXPECT_TRUE(MatchesInOrder(LineWithFlags(0x11, u"net"),
                             {kTimePattern, "\\.[0-9]{3} : connected\n"}));
}

TEST(EmitLayout, ThreadIdOnly) {
  EXPECT_EQ(LineWithFlags(0x04, u"net"), "  " + ThreadIdText() + ": connected\n");
}

TEST(EmitLayout, AllFieldsPadTheTag) {
  EXPECT_TRUE(MatchesInOrder(LineWithFlags(0x17, u"net"),
                             {kTimePattern, "\\.[0-9]{3}  " + ThreadIdText() +
                                                "    net: connected\n"}));
}

TEST(EmitLayout, AnyNonZeroFlagsWriteAPrefix) {
  EXPECT_EQ(LineWithFlags(0x20, u"net"), " : connected\n");
  EXPECT_EQ(LineWithFlags(0x10, u"net"), " : connected\n");
  EXPECT_EQ(LineWithFlags(0x08, u"net"), " : connected\n");
}

TEST(EmitLayout, LongAndNullTags) {
  EXPECT_EQ(LineWithFlags(0x02, u"network"), "  network: connected\n");
  EXPECT_EQ(LineWithFlags(0x02, nullptr), "  (null): connected\n");
  // Without the tag in the prefix, a null tag is never read.
  EXPECT_EQ(LineWithFlags(0x04, nullptr), "  " + ThreadIdText() + ": connected\n");
  // A tag is read anew from a buffer the host rewrites between lines.
  std::string path = StartFile(1, 0x02);
  char16_t tag[8] = u"net";
  QXSTD::Trace1(W(tag), W(u"a\n"));
  std::copy_n(u"db", 3, tag);
  QXSTD::Trace1(W(tag), W(u"b\n"));
  std::copy_n(u"dbx", 4, tag);
  QXSTD::Trace1(W(tag), W(u"c\n"));
  EXPECT_EQ(Body(path), "     net: a\n      db: b\n     dbx: c\n");
  QXSTD::DeinitTrace();
  std::u16string longTag(300, u'x');
  longTag += u"\u00e9";
  if (setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 locale";
  EXPECT_EQ(LineWithFlags(0x02, longTag.c_str()),
            "  " + std::string(300, 'x') + "\xc3\xa9: connected\n");
}

// Mon Dec 07 2026 01:02:03.005 UTC.
razezir::platform::WallClock FixedClock() { return {1796605323, 5}; }

// The fields that the newer bits add, each alone and all together, at a
// fixed time in a zone 5:30 east of UTC, and today's fields unchanged
// without them. Every line follows the flags it was traced under, within
// one millisecond: no cached piece of a prefix outlives a change of form.
TEST(EmitLayout, NewerFieldsAppearExactlyWhenTheirBitsAreSet) {
  razezir_test::SetTimeZone("IST-5:30");
  razezir::LogTextTestHelper::SetClock(FixedClock);
  const std::string id = ThreadIdText();
  struct Row {
    int flags;
    int level;
    std::string line;
  };
  const Row rows[] = {
      {0x17, 1, "Mon Dec 07 2026 06:32:03.005  " + id + "    net: connected"},
      {0x80, 1, "   1: connected"},
      {0x80, -12, "  -12: connected"},
      {0x80, 100, "  100: connected"},
      {0x100, 1, "  []: connected"},
      {0x201, 1, "2026-12-07T06:32:03+05:30 : connected"},
      {0x211, 1, "2026-12-07T06:32:03.005+05:30 : connected"},
      {0x611, 1, "2026-12-07T01:02:03.005Z : connected"},
      {0x411, 1, "Mon Dec 07 2026 01:02:03.005 : connected"},
      {0x600, 1, " : connected"},
      {0x797, 1, "2026-12-07T01:02:03.005Z   1 " + id + " []    net: connected"},
      {0x397, 5, "2026-12-07T06:32:03.005+05:30   5 " + id + " []    net: connected"},
  };
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  std::vector<std::string> expected;
  for (const Row& row : rows) {
    QXSTD::StartTrace(100, &path[0], row.flags);
    QXSTD::Trace(row.level, u"net", u"connected\n");
    expected.push_back(row.line);
  }
  // A bound name, with a control character shown as '?'; a name bound
  // anew; another thread, unbound.
  QXSTD::StartTrace(100, &path[0], 0x180);
  QXSTD::SetTraceThreadName(u"work\ner");
  QXSTD::Trace(2, u"net", u"connected\n");
  QXSTD::UnregisterTraceThread();
  QXSTD::SetTraceThreadName(u"io");
  QXSTD::Trace(3, u"net", u"connected\n");
  std::thread([] { QXSTD::Trace(4, u"net", u"connected\n"); }).join();
  expected.insert(expected.end(),
                  {"   2 [work?er]: connected", "   3 [io]: connected", "   4 []: connected"});
  QXSTD::DeinitTrace();
  razezir::LogTextTestHelper::SetClock(nullptr);
  std::vector<std::string> lines;
  for (const std::string& line : Lines(ReadFile(path))) {
    if (!line.empty() && line[0] != '=') lines.push_back(line);
  }
  EXPECT_EQ(lines, expected);
}

TEST(EmitLevels, LevelZeroAndBelowPassWhileStopped) {
  std::string path = StartFile(1, 0);
  QXSTD::StopTrace();
  QXSTD::Trace(0, W(u"m"), W(u"zero\n"));
  QXSTD::Trace(-3, W(u"m"), W(u"negative\n"));
  QXSTD::Trace(1, W(u"m"), W(u"one\n"));
  QXSTD::Trace1(W(u"m"), W(u"one again\n"));
  EXPECT_EQ(Body(path), "zero\nnegative\n");
  QXSTD::DeinitTrace();
}

TEST(EmitLevels, MainLevelBoundsEveryCall) {
  std::string path = StartFile(3, 0);
  QXSTD::Trace(3, W(u"m"), W(u"a%d\n"), 3);
  QXSTD::Trace(4, W(u"m"), W(u"b%d\n"), 4);
  QXSTD::Trace2(W(u"m"), W(u"c%d\n"), 2);
  QXSTD::Trace3(W(u"m"), W(u"d%d\n"), 3);
  QXSTD::Trace4(W(u"m"), W(u"e%d\n"), 4);
  QXSTD::Trace5(W(u"m"), W(u"f%d\n"), 5);
  QXSTD::Trace1(W(u"m"), W(u"g%d\n"), 1);
  EXPECT_EQ(Body(path), "a3\nc2\nd3\ng1\n");
  QXSTD::DeinitTrace();
}

void HostWrapper(int level, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  QXSTD::TraceCommon(level, u"host", format, args);
  va_end(args);
}

TEST(EmitApi, TraceCommonTakesTheCallersArguments) {
  std::string path = StartFile(2, 0);
  HostWrapper(2, u"%s=%d %hs\n", u"answer", 42, "narrow");
  HostWrapper(3, u"dropped\n");
  QXSTD::Trace(2, u"m", u"%ls|%5.1f\n", u"wide", 2.25);
  EXPECT_EQ(Body(path), "answer=42 narrow\nwide|  2.2\n");
  QXSTD::DeinitTrace();
}

TEST(EmitApi, StandardOutputStaysNarrowForTheHost) {
  StdoutCapture capture;
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, nullptr, 0);
  QXSTD::Trace1(u"m", u"traced %d\n", 1);
  std::printf("host %d\n", 2);
  EXPECT_LE(fwide(stdout, 0), 0);
  QXSTD::Trace1(u"m", u"traced %d\n", 3);
  QXSTD::DeinitTrace();
  std::string out = capture.Stop();
  EXPECT_NE(out.find("traced 1\nhost 2\ntraced 3\n"), std::string::npos) << out;
}

// An ordinary line (prefix, wide and narrow strings, numbers) is rendered on
// the stack: once the thread's first line has loaded the time zone, no line
// touches the heap, whichever route it takes.
// One second for the whole test: the C library may allocate when the time
// zone is read again, which happens once a second, and the test must not
// depend on whether a second ends while it runs.
razezir::platform::WallClock OneSecond() { return {1796612400, 250}; }

TEST(EmitLines, OrdinaryLinesAllocateNothing) {
  if (!razezir_test::StartCountingAllocations()) GTEST_SKIP() << "cannot count allocations here";
  razezir::LogTextTestHelper::SetClock(OneSecond);
  std::string path = StartFile(5, 0x17);
  std::string net = TempPath("net.log");
  QXSTD::StartTraceModule(u"net", 5, net.c_str());
  QXSTD::StartTraceModule(u"db", 5, nullptr);
  QXSTD::StartTraceThread(u"main", 5, nullptr);
  QXSTD::SetTraceThreadName(u"main");
  QXSTD::Trace2(u"net", u"warm up\n");
  const long before = razezir_test::AllocationCount();
  for (int i = 0; i < 200; ++i) {
    QXSTD::Trace2(i % 2 ? u"net" : u"db", u"line %d: %s %hs %.3f %p\n", i, u"w\u00e9de",
                  "narrow", i / 7.0, &path);
    QXSTD::Trace5(u"other", u"dropped %d\n", i);
  }
  EXPECT_EQ(razezir_test::AllocationCount() - before, 0);
  std::string longLine(6000, 'x');
  QXSTD::Trace2(u"net", u"%hs\n", longLine.c_str());
  EXPECT_GT(razezir_test::AllocationCount() - before, 0) << "the counter counts nothing";
  QXSTD::DeinitTrace();
  razezir::LogTextTestHelper::SetClock(nullptr);
}

TEST(EmitLines, LinesOfAnyLengthAreWrittenWhole) {
  std::string path = StartFile(1, 0x04);
  std::u16string medium(20000, u'm');
  std::u16string huge(3 << 20, u'h');  // Larger than the spill size.
  QXSTD::Trace1(u"m", u"%ls|\n", medium.c_str());
  QXSTD::Trace1(u"m", u"%ls|\n", huge.c_str());
  QXSTD::Trace1(u"m", u"%99999d|\n", 7);
  std::string prefix = "  " + ThreadIdText() + ": ";
  std::vector<std::string> lines = Lines(Body(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], prefix + std::string(20000, 'm') + "|");
  EXPECT_EQ(lines[1], prefix + std::string(3 << 20, 'h') + "|");
  EXPECT_EQ(lines[2], prefix + std::string(99998, ' ') + "7|");
  QXSTD::DeinitTrace();
}

// Literal text that ends at or near the edge of the line's stack buffer,
// then a conversion and a tail: the line is written whole, and nothing is
// written past the buffer (which the sanitizer builds would report).
TEST(EmitLines, LiteralsEndingAtTheBufferEdgeAreWrittenWhole) {
  std::string path = StartFile(1, 0);
  const std::u16string tail(30000, u'B');
  std::vector<std::string> expected;
  for (size_t nUnits = 4080; nUnits <= 4100; ++nUnits) {
    for (bool withTail : {false, true}) {
      std::u16string format = std::u16string(nUnits, u'A') + u"%d";
      if (withTail) format += u"%hs" + tail;
      format += u"|\n";
      if (withTail) {
        QXSTD::Trace1(u"m", QXSTD::RuntimeFormat(format.c_str()), INT_MIN, "n");
      } else {
        QXSTD::Trace1(u"m", QXSTD::RuntimeFormat(format.c_str()), INT_MIN);
      }
      // Built by appending, which g++ 12 compiles without a false -Wrestrict.
      std::string line(nUnits, 'A');
      line.append(std::to_string(INT_MIN));
      if (withTail) line.append("n").append(tail.size(), 'B');
      expected.push_back(line.append("|"));
    }
  }
  EXPECT_TRUE(Lines(Body(path)) == expected);
  QXSTD::DeinitTrace();
}

// A child traces numbered lines and publishes, after each call returns, how
// many calls have returned; SIGKILL stops it mid-stream. Every line whose
// call returned must be in the file, whole.
TEST(EmitLines, LinesSurviveSigkill) {
#ifdef _WIN32
  GTEST_SKIP() << "needs fork and SIGKILL";
#else
  std::string path = TempPath("log");
  auto* returned = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>),
      PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(returned, MAP_FAILED);
  new (returned) std::atomic<int>(0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    QXSTD::InitTrace();
    QXSTD::StartTrace(1, &path[0], 0x11);
    for (int i = 0;; ++i) {
      QXSTD::Trace1(u"m", u"line %d of the child\n", i);
      returned->store(i + 1);
    }
  }
  // A child that died before it got this far fails the test at once rather
  // than leaving it to wait for the timeout.
  int status = 0;
  while (returned->load() < 3000) {
    ASSERT_EQ(waitpid(child, &status, WNOHANG), 0)
        << "the child ended after " << returned->load() << " lines";
    usleep(1000);
  }
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  const int published = returned->load();

  std::vector<std::string> lines = Lines(Body(path));
  ASSERT_GE(lines.size(), static_cast<size_t>(published));
  std::regex pattern(std::string(kTimePattern) + "\\.[0-9]{3} : line ([0-9]+) of the child");
  for (int i = 0; i < published; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, pattern)) << lines[i];
    EXPECT_EQ(std::stoi(m[1]), i);
  }
  munmap(returned, sizeof(std::atomic<int>));
#endif  // _WIN32
}

TEST(EmitLines, NoLockLinesAreWholeWrites) {
  if (razezir_test::RunningUnderWine()) GTEST_SKIP() << "Wine's appends are not atomic";
  std::string path = StartFile(1, 0x20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) QXSTD::Trace1(u"m", u"t%d i%d\n", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  QXSTD::DeinitTrace();
  int count = 0;
  const std::regex pattern(" : t[0-3] i[0-9]+");
  for (const std::string& each : Lines(Body(path))) {
    if (each.empty() || each[0] == '=') continue;
    EXPECT_TRUE(std::regex_match(each, pattern)) << each;
    ++count;
  }
  EXPECT_EQ(count, 2000);
}

}  // namespace

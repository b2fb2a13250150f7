// Message emission: level tests, the line prefix layouts, whole lines under
// concurrency, and lines of any length. (Lines that survive a crash are
// checked by the contention tests, with many threads.)

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "logtext/log_text.h"
#include "platform/port.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::Lines;
using razezir_test::ReadFile;
using razezir_test::StartedPattern;
using razezir_test::StartFile;
using razezir_test::StdoutCapture;
using razezir_test::TempPath;
using razezir_test::W;

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

// Each field of the prefix, alone and with the others, at a fixed time in
// a zone 5:30 east of UTC: the message alone without flags, a bare " : "
// for any other flags that add no field, and the newer fields exactly when
// their bits are set. Every line follows the flags it was traced under,
// within one millisecond: no cached piece of a prefix outlives a change of
// form.
TEST(EmitLayout, FieldsAppearExactlyWhenTheirBitsAreSet) {
  razezir_test::FixedTime fixed("IST-5:30");
  const std::string id = ThreadIdText();
  struct Row {
    int flags;
    int level;
    std::string line;
  };
  const Row rows[] = {
      {0x00, 1, "connected"},
      {0x01, 1, "Mon Dec 07 2026 06:32:03 : connected"},
      {0x11, 1, "Mon Dec 07 2026 06:32:03.005 : connected"},
      {0x04, 1, "  " + id + ": connected"},
      {0x20, 1, " : connected"},
      {0x10, 1, " : connected"},
      {0x08, 1, " : connected"},
      {0x17, 1, "Mon Dec 07 2026 06:32:03.005  " + id + "    net: connected"},
      {0x80, 1, "   1: connected"},
      {0x80, -12, "  -12: connected"},
      {0x80, 100, "  100: connected"},
      {0x80, INT_MIN, "  -2147483648: connected"},
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
  EXPECT_EQ(razezir_test::MessageLines(ReadFile(path)), expected);
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
  razezir_test::StartConsole(1, 0);
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
TEST(EmitLines, OrdinaryLinesAllocateNothing) {
  if (!razezir_test::StartCountingAllocations()) GTEST_SKIP() << "cannot count allocations here";
  razezir_test::FixedTime fixed;
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
}

// Lines beyond the stack buffer, the spill size and the pipe size, from a
// string of either width through either front end and from a wide field,
// are written whole, each on a line of its own.
TEST(EmitLines, LinesOfAnyLengthAreWrittenWhole) {
  std::string path = StartFile(1, 0x04);
  const std::u16string medium(20000, u'm');
  const std::u16string huge(3 << 20, u'h');  // Larger than the spill size.
  const std::string narrow(10 << 20, 'q');
  QXSTD::Trace1(u"m", u"%ls|\n", medium.c_str());
  QXSTD::Trace1(u"m", u"%ls|\n", huge.c_str());
  QXSTD::Trace1(u"m", u"%99999d|\n", 7);
  QXSTD::Trace1(W(u"m"), W(u"<%hs>\n"), narrow.c_str());
  QXSTD::Trace1(u"m", u"after\n");
  const std::string expected[] = {std::string(20000, 'm') + "|", std::string(3 << 20, 'h') + "|",
                                  std::string(99998, ' ') + "7|", "<" + narrow + ">", "after"};
  const std::vector<std::string> lines = Lines(Body(path));
  ASSERT_EQ(lines.size(), std::size(expected));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i] == "  " + ThreadIdText() + ": " + expected[i]) << "line " << i;
  }
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

TEST(EmitLines, NoLockLinesAreWholeWrites) {
  if (razezir_test::RunningUnderWine()) GTEST_SKIP() << "Wine's appends are not atomic";
  std::string path = StartFile(1, 0x20);
  razezir_test::ThreadGroup(4, [](int t) {
    for (int i = 0; i < 500; ++i) QXSTD::Trace1(u"m", u"t%d i%d\n", t, i);
  });
  QXSTD::DeinitTrace();
  const std::vector<std::string> lines = razezir_test::MessageLines(Body(path));
  const std::regex pattern(" : t[0-3] i[0-9]+");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, pattern)) << line;
  EXPECT_EQ(lines.size(), 2000u);
}

}  // namespace

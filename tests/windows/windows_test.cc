// What only Windows has: log files as Windows text files, appends shared
// with other handles, log handles kept out of child processes, thread ids
// from the system, %L arguments as Microsoft's ABI passes them, and the DLL
// loaded by a host whose threads exist already.

#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/port.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::BannerPattern;
using razezir_test::kTimePattern;
using razezir_test::TempPath;

// A file's bytes as they are, line ends included.
std::string RawBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The lines of `bytes`, which must all end in CR LF.
std::vector<std::string> CrLfLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    lines.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(start, bytes.size()) << "the file does not end with CR LF";
  return lines;
}

TEST(WindowsLogFile, EveryLineEndIsCrLf) {
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &path[0], 0);
  QXSTD::Trace1(u"m", u"one\ntwo\n");
  QXSTD::Trace1(u"m", u"three, ");
  QXSTD::Trace1(u"m", u"%hs\n", "four\nfive");
  // Longer than every stack buffer on the way, with many line ends.
  std::string longText;
  for (int i = 0; i < 4000; ++i) longText += "line " + std::to_string(i) + "\n";
  QXSTD::Trace1(u"m", u"%hs", longText.c_str());
  QXSTD::DeinitTrace();

  std::vector<std::string> lines = CrLfLines(RawBytes(path));
  std::vector<std::string> expected = {"one", "two", "three, four", "five"};
  for (int i = 0; i < 4000; ++i) expected.push_back("line " + std::to_string(i));
  ASSERT_EQ(lines.size(), 3 + expected.size() + 3);
  const std::string banner = BannerPattern("Started", "={11}") + BannerPattern("Closed", "={12}");
  EXPECT_TRUE(std::regex_match(lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n" +
                                   lines[lines.size() - 3] + "\n" + lines[lines.size() - 2] +
                                   "\n" + lines.back() + "\n",
                               std::regex(banner)));
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(lines[3 + i], expected[i]);  // a lone LF or CR would show here
  }
}

// Two module targets that share the main file are two handles on it, and a
// handle of the test's own stands for another process appending. Without
// the global lock, long multi-line messages from all three must still land
// whole: each is one append-only write, never a seek and a write, nor a
// write in pieces.
TEST(WindowsLogFile, AppendsFromSeveralHandlesStayWhole) {
  if (razezir_test::RunningUnderWine()) GTEST_SKIP() << "Wine's appends are not atomic";
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &path[0], QXSTD::TRACE_NO_LOCK);
  QXSTD::StartTraceModule(u"a", 1, path.c_str());
  QXSTD::StartTraceModule(u"b", 1, path.c_str());
  HANDLE other = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);

  constexpr int kMessages = 150;
  constexpr size_t kBodyBytes = 20000;  // past every stack buffer on the way
  const std::string bodyA(kBodyBytes, 'a');
  const std::string bodyB(kBodyBytes, 'b');
  const std::string bodyC(kBodyBytes, 'c');
  std::vector<std::thread> writers;
  writers.emplace_back([&] {
    for (int i = 0; i < kMessages; ++i) {
      QXSTD::Trace1(u"a", u"a%d %hs\na%d end\n", i, bodyA.c_str(), i);
    }
  });
  writers.emplace_back([&] {
    for (int i = 0; i < kMessages; ++i) {
      QXSTD::Trace1(u"b", u"b%d %hs\nb%d end\n", i, bodyB.c_str(), i);
    }
  });
  writers.emplace_back([&] {
    for (int i = 0; i < kMessages; ++i) {
      // The library's lines carry the prefix that any flag brings.
      std::string text = " : c" + std::to_string(i) + " " + bodyC + "\r\nc" +
                         std::to_string(i) + " end\r\n";
      DWORD written = 0;
      WriteFile(other, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
  });
  for (std::thread& writer : writers) writer.join();
  CloseHandle(other);
  QXSTD::DeinitTrace();

  std::vector<std::string> lines = CrLfLines(RawBytes(path));
  int next[3] = {0, 0, 0};
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].compare(0, 1, "=") == 0) continue;  // banners
    ASSERT_GT(lines[i].size(), 3u);
    const char tag = lines[i][3];
    ASSERT_TRUE(tag >= 'a' && tag <= 'c') << lines[i].substr(0, 40);
    const int writer = tag - 'a';
    const std::string number = tag + std::to_string(next[writer]);
    ASSERT_TRUE(lines[i] == " : " + number + " " + std::string(kBodyBytes, tag))
        << lines[i].substr(0, 40);
    ASSERT_LT(i + 1, lines.size());
    ASSERT_EQ(lines[i + 1], number + " end");
    ++i;
    ++next[writer];
  }
  EXPECT_EQ(next[0], kMessages);
  EXPECT_EQ(next[1], kMessages);
  EXPECT_EQ(next[2], kMessages);
}

// Others may read the log and append to it while the library has it open,
// as with a file the runtime opened.
TEST(WindowsLogFile, OthersMayReadAndAppendMeanwhile) {
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &path[0], 0);
  QXSTD::Trace1(u"m", u"library\n");
  std::FILE* reader = std::fopen(path.c_str(), "r");
  ASSERT_NE(reader, nullptr);
  std::fclose(reader);
  std::FILE* appender = std::fopen(path.c_str(), "a");
  ASSERT_NE(appender, nullptr);
  std::fputs("other\n", appender);
  std::fclose(appender);
  QXSTD::Trace1(u"m", u"library again\n");
  QXSTD::DeinitTrace();
  EXPECT_NE(RawBytes(path).find("library\r\nother\r\nlibrary again\r\n"), std::string::npos);
}

// Opened anew (append only) and opened again once it exists (append and
// read): neither handle is inherited, and both name the same file.
TEST(WindowsLogFile, HandleIsNotInheritedAndKnowsItsFile) {
  std::string path = TempPath("log");
  razezir::platform::OpenedFile opened[2];
  for (razezir::platform::OpenedFile& each : opened) {
    ASSERT_TRUE(razezir::platform::OpenAppendStream(path.c_str(), &each));
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(each.stream)));
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(file, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    ASSERT_TRUE(each.hasIdentity);
  }
  EXPECT_TRUE(opened[0].identity == opened[1].identity);
  for (razezir::platform::OpenedFile& each : opened) std::fclose(each.stream);
}

TEST(WindowsThreads, PrefixCarriesTheSystemThreadId) {
  EXPECT_EQ(razezir::platform::CurrentThreadId(), GetCurrentThreadId());
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &path[0], QXSTD::TRACE_THREAD_ID);
  DWORD ids[2] = {GetCurrentThreadId(), 0};
  QXSTD::Trace1(u"m", u"main\n");
  std::thread other([&ids] {
    ids[1] = GetCurrentThreadId();
    QXSTD::Trace1(u"m", u"other\n");
  });
  other.join();
  QXSTD::DeinitTrace();
  ASSERT_NE(ids[0], ids[1]);
  char expected[64];
  std::snprintf(expected, sizeof expected, "  %08lX: main\r\n  %08lX: other\r\n", ids[0],
                ids[1]);
  EXPECT_NE(RawBytes(path).find(expected), std::string::npos) << expected;
}

// Hosts built with Microsoft's compilers pass a long double as a double.
TEST(WindowsAbi, LongDoubleArgumentIsADouble) {
  std::string path = TempPath("log");
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &path[0], 0);
  QXSTD::Trace1(u"m", u"%.2Lf|%d|%hs\n", 2.5, 7, "next");
  QXSTD::DeinitTrace();
  EXPECT_NE(RawBytes(path).find("\r\n2.50|7|next\r\n"), std::string::npos);
}

// Looks up a function of the DLL by its exported name.
template <typename Fn>
Fn Function(HMODULE dll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

// A host may load the DLL when its threads are already running, so the DLL
// never hears of them (and with DisableThreadLibraryCalls it would not hear
// of new ones either). Such a thread traces with the time prefix, whose
// per-thread cache is then created on first use, across a change of second,
// and still ends cleanly after the DLL is gone.
TEST(WindowsDll, TracesFromThreadsThatExistedBeforeLoading) {
  using VoidFn = void (*)();
  using StartFn = void (*)(int, char*, int);
  using TraceFn = void (*)(const unsigned short*, const unsigned short*, ...);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE leave = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<TraceFn> trace{nullptr};
  DWORD earlyId = 0;
  std::thread early([&] {
    earlyId = GetCurrentThreadId();
    WaitForSingleObject(go, INFINITE);
    trace.load()(razezir_test::W(u"m"), razezir_test::W(u"early %d\n"), 1);
    Sleep(1100);
    trace.load()(razezir_test::W(u"m"), razezir_test::W(u"early %d\n"), 2);
    SetEvent(done);
    WaitForSingleObject(leave, INFINITE);
  });

  HMODULE dll = LoadLibraryA(RAZEZIR_DLL_PATH);
  ASSERT_NE(dll, nullptr) << RAZEZIR_DLL_PATH;
  auto init = Function<VoidFn>(dll, "_ZN5QXSTD9InitTraceEv");
  auto start = Function<StartFn>(dll, "_ZN5QXSTD10StartTraceEiPci");
  auto deinit = Function<VoidFn>(dll, "_ZN5QXSTD11DeinitTraceEv");
  trace = Function<TraceFn>(dll, "_ZN5QXSTD6Trace1EPKtS1_z");
  ASSERT_TRUE(init != nullptr && start != nullptr && deinit != nullptr &&
              trace.load() != nullptr);
  std::string path = TempPath("log");
  init();
  start(1, &path[0], QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC | QXSTD::TRACE_THREAD_ID);
  SetEvent(go);
  WaitForSingleObject(done, INFINITE);
  trace.load()(razezir_test::W(u"m"), razezir_test::W(u"loader\n"));
  deinit();
  EXPECT_TRUE(FreeLibrary(dll));
  SetEvent(leave);
  early.join();
  for (HANDLE event : {go, done, leave}) CloseHandle(event);

  std::vector<std::string> lines = CrLfLines(RawBytes(path));
  ASSERT_EQ(lines.size(), 9u);
  char id[16];
  std::snprintf(id, sizeof id, "%08lX", earlyId);
  const std::string time = std::string(kTimePattern) + "\\.[0-9]{3}";
  std::smatch first;
  std::smatch second;
  ASSERT_TRUE(std::regex_match(lines[3], first,
                               std::regex("(" + time + ")  " + id + ": early 1")))
      << lines[3];
  ASSERT_TRUE(std::regex_match(lines[4], second,
                               std::regex("(" + time + ")  " + id + ": early 2")))
      << lines[4];
  EXPECT_NE(first[1].str().substr(0, 24), second[1].str().substr(0, 24));
  EXPECT_TRUE(std::regex_match(lines[5], std::regex(time + "  [0-9A-F]{8}: loader")))
      << lines[5];
}

}  // namespace

// Helpers shared by the tracer's tests: scratch files, reading them back,
// capturing standard output, groups of threads, bytes that end at an
// unreadable page, and the patterns of banners and timestamps.
//
// Each test runs in a process of its own (ctest runs every test separately),
// because the trace state and the console banner flag are process-wide.

#ifndef RAZEZIR_TESTS_TEST_UTIL_H_
#define RAZEZIR_TESTS_TEST_UTIL_H_

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // keep std::min and std::max usable
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#endif  // _WIN32

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "razezir/trace.h"
// The clock fixtures need the library's internal headers, which the unit
// tests see and the tests of the public header alone do not.
#if __has_include("logtext/log_text.h")
#include "logtext/log_text.h"
#endif

namespace razezir_test {

// Where the scratch files go.
inline std::string TempDir() {
  const char* base = std::getenv("RAZEZIR_TEST_TMP");
  return base != nullptr ? base : "/tmp";
}

// How the names of a test's scratch files begin: suite, test and process.
inline std::string ScratchPrefix(const ::testing::TestInfo* info) {
  return std::string(info ? info->test_suite_name() : "x") + "." +
         (info ? info->name() : "x") + "." + std::to_string(getpid()) + ".";
}

// A fresh path for a scratch file of the running test. The file does not
// exist yet.
inline std::string TempPath(const std::string& name) {
  std::string path = TempDir() + "/" +
      ScratchPrefix(::testing::UnitTest::GetInstance()->current_test_info()) + name;
  std::remove(path.c_str());
  return path;
}

// Removes the scratch files and directories of a test that did not fail
// when it ends, so that running the suite again and again does not fill the
// disk (some tests write megabytes); a failed test's files stay to be read.
class ScratchCleaner : public ::testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (info.result()->Failed()) return;
    const std::string prefix = ScratchPrefix(&info);
    std::error_code error;
    std::vector<std::filesystem::path> scratch;
    for (std::filesystem::directory_iterator entry(TempDir(), error), end;
         !error && entry != end; entry.increment(error)) {
      if (entry->path().filename().string().compare(0, prefix.size(), prefix) == 0) {
        scratch.push_back(entry->path());
      }
    }
    for (const auto& path : scratch) std::filesystem::remove_all(path, error);
  }
};

// Installed in every test program that includes this header, once.
inline const bool kScratchCleanerInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new ScratchCleaner);
  return true;
}();

// Log files and standard output are text files: on Windows their line ends
// are CR LF, which this turns back into LF, as reading in text mode would, so
// that the tests' patterns hold on both systems. (The exact bytes on Windows
// are checked by tests/windows.)
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
#ifdef _WIN32
  return std::regex_replace(text.str(), std::regex("\r\n"), "\n");
#else
  return text.str();
#endif  // _WIN32
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines of `text` that are not banner lines.
inline std::vector<std::string> MessageLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::string& line : Lines(text)) {
    if (line.compare(0, 10, "==========") != 0) lines.push_back(std::move(line));
  }
  return lines;
}

// Starts tracing into a fresh scratch file, named after `name`, and
// returns its path.
inline std::string StartFile(int level, int flags, const std::string& name = "log") {
  std::string path = TempPath(name);
  QXSTD::InitTrace();
  QXSTD::StartTrace(level, &path[0], flags);
  return path;
}

// Starts tracing to standard output.
inline void StartConsole(int level, int flags) {
  QXSTD::InitTrace();
  QXSTD::StartTrace(level, nullptr, flags);
}

// Threads that run body(0) .. body(n - 1) at once; Join(), or the
// destructor, waits for them all.
class ThreadGroup {
 public:
  template <typename Body>
  ThreadGroup(int n, Body body) {
    for (int t = 0; t < n; ++t) threads_.emplace_back(body, t);
  }
  ~ThreadGroup() { Join(); }
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  void Join() {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::vector<std::thread> threads_;
};

// A copy of `size` bytes that ends where an unreadable page begins: a read
// past them faults at once.
class GuardedBytes {
 public:
  GuardedBytes(const void* bytes, size_t size) {
#ifdef _WIN32
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    page_ = system.dwPageSize;
    base_ = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * page_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
#else
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<char*>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + page_, page_, PROT_NONE);
#endif  // _WIN32
    data_ = base_ + page_ - size;
    std::memcpy(data_, bytes, size);
  }
  ~GuardedBytes() {
#ifdef _WIN32
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, 2 * page_);
#endif  // _WIN32
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  template <typename T>
  const T* as() const {
    return reinterpret_cast<const T*>(data_);
  }

 private:
  size_t page_;
  char* base_;
  char* data_;
};

// Whether the test runs under Wine, which stands in for Windows in CI. Wine
// emulates append-only handles with a size query and a positioned write, so
// unlocked appends from several threads can overlap there, which Windows
// itself never lets them do; tests of that are skipped under Wine.
inline bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif  // _WIN32
}

// Points standard output at `fd`, after flushing it. Returns the descriptor
// that RestoreStdout gives back.
inline int RedirectStdout(int fd) {
  std::fflush(stdout);
  const int saved = dup(1);
  dup2(fd, 1);
  return saved;
}

// Gives standard output back, if `*saved` still holds it.
inline void RestoreStdout(int* saved) {
  if (*saved < 0) return;
  std::fflush(stdout);
  dup2(*saved, 1);
  close(*saved);
  *saved = -1;
}

// Redirects standard output (the FILE and descriptor 1) into a file for its
// lifetime; Stop() returns what was written.
class StdoutCapture {
 public:
  StdoutCapture() : path_(TempPath("stdout")) {
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    saved_ = RedirectStdout(fd);
    close(fd);
  }
  ~StdoutCapture() { Stop(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string Stop() {
    RestoreStdout(&saved_);
    return ReadFile(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

#ifndef _WIN32
// Standard output as a pipe that a thread of its own drains, until Stop()
// (or the destructor) gives standard output back and returns all that came
// through. With `pauseMicros`, the reader is slow: it takes at most 4 KiB a
// read and pauses that long after each, so that the pipe fills. The reader
// never takes `keptSignal` (when not 0), so that a handler never runs on
// the thread that drains the pipe.
class StdoutPipe {
 public:
  explicit StdoutPipe(int pauseMicros = 0, int keptSignal = 0) {
    if (pipe(ends_) != 0) return;
    sigset_t kept;
    sigset_t saved;
    sigemptyset(&kept);
    if (keptSignal != 0) sigaddset(&kept, keptSignal);
    pthread_sigmask(SIG_BLOCK, &kept, &saved);
    reader_ = std::thread([this, pauseMicros] {
      std::vector<char> buffer(pauseMicros > 0 ? 4096 : 1 << 16);
      for (;;) {
        const ssize_t nBytes = read(ends_[0], buffer.data(), buffer.size());
        if (nBytes > 0) {
          received_.append(buffer.data(), static_cast<size_t>(nBytes));
          if (pauseMicros > 0) usleep(static_cast<useconds_t>(pauseMicros));
        } else if (nBytes == 0 || errno != EINTR) {
          break;
        }
      }
    });
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    saved_ = RedirectStdout(ends_[1]);
    close(ends_[1]);
  }
  ~StdoutPipe() { Stop(); }
  StdoutPipe(const StdoutPipe&) = delete;
  StdoutPipe& operator=(const StdoutPipe&) = delete;

  bool Opened() const { return saved_ >= 0; }

  std::string Stop() {
    if (saved_ >= 0) {
      RestoreStdout(&saved_);
      reader_.join();
      close(ends_[0]);
    }
    return received_;
  }

 private:
  int ends_[2] = {-1, -1};
  int saved_ = -1;
  std::thread reader_;
  std::string received_;
};
#endif  // _WIN32

// "Mon Dec 07 2026 01:52:11" in the default locale.
constexpr const char* kTimePattern =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}";

inline std::string BannerPattern(const std::string& word, const std::string& tail) {
  std::string rule(76, '=');
  return rule + "\n========== Trace Log File\\. " + word + " - " + kTimePattern +
         "\\.[0-9]{3} " + tail + "\n" + rule + "\n";
}
inline std::string StartedPattern() { return BannerPattern("Started", "={11}"); }
inline std::string ClosedPattern() { return BannerPattern("Closed", "={12}"); }

// Whether `text` consists exactly of the given patterns, in order.
inline bool MatchesInOrder(const std::string& text, const std::vector<std::string>& parts) {
  std::string whole;
  for (const auto& part : parts) whole += part;
  return std::regex_match(text, std::regex(whole));
}

// Sets the process's time zone, as a host setting TZ and calling tzset.
inline void SetTimeZone(const char* tz) {
#ifdef _WIN32
  _putenv_s("TZ", tz);
  _tzset();
#else
  setenv("TZ", tz, 1);
  tzset();
#endif  // _WIN32
}

#if __has_include("logtext/log_text.h")
// Mon Dec 07 2026 01:02:03.005 UTC: a day, hour, minute, second and
// millisecond that all need their leading zeros.
inline razezir::platform::WallClock FixedClock() { return {1796605323, 5}; }

// For its lifetime, timestamps read `clock` instead of the wall clock, in
// the time zone `tz`. A fixed clock also keeps a test from depending on
// whether a second ends while it runs, when the C library may allocate to
// read the zone again.
class FixedTime {
 public:
  explicit FixedTime(const char* tz = "UTC0",
                     razezir::platform::WallClock (*clock)() = FixedClock) {
    SetTimeZone(tz);
    razezir::LogTextTestHelper::SetClock(clock);
  }
  ~FixedTime() { razezir::LogTextTestHelper::SetClock(nullptr); }
  FixedTime(const FixedTime&) = delete;
  FixedTime& operator=(const FixedTime&) = delete;
};
#endif  // __has_include("logtext/log_text.h")

inline const unsigned short* W(const char16_t* s) {
  return reinterpret_cast<const unsigned short*>(s);
}

// Starts `work` on a thread of its own and returns once `joined` (counted
// by a queue's test hook) has grown, so that threads join a queue in the
// order they are started.
template <typename Work>
std::thread StartJoined(const std::atomic<int>& joined, Work work) {
  const int before = joined.load();
  std::thread thread(work);
  while (joined.load() <= before) std::this_thread::yield();
  return thread;
}

}  // namespace razezir_test

#endif  // RAZEZIR_TESTS_TEST_UTIL_H_

// Helpers shared by the tracer's tests: scratch files, reading them back,
// capturing standard output, and the patterns of banners and timestamps.
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
#endif  // _WIN32

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

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
// through. The reader inherits the caller's signal mask: a caller that
// keeps a signal from it blocks the signal before.
class StdoutPipe {
 public:
  StdoutPipe() {
    if (pipe(ends_) != 0) return;
    reader_ = std::thread([this] {
      std::vector<char> buffer(1 << 16);
      for (;;) {
        const ssize_t nBytes = read(ends_[0], buffer.data(), buffer.size());
        if (nBytes > 0) {
          received_.append(buffer.data(), static_cast<size_t>(nBytes));
        } else if (nBytes == 0 || errno != EINTR) {
          break;
        }
      }
    });
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

inline const unsigned short* W(const char16_t* s) {
  return reinterpret_cast<const unsigned short*>(s);
}

// Escapes regex metacharacters so literal text can sit in a pattern.
inline std::string Literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

}  // namespace razezir_test

#endif  // RAZEZIR_TESTS_TEST_UTIL_H_

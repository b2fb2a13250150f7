// Emission under contention, checked from the outside: what many threads
// wrote through the public calls is read back and compared with what each
// thread knows about its own calls. Four settings: worker threads writing
// while another thread switches the main log and registers module targets;
// a process killed while its threads write; long lines on standard output
// when it is a pipe; long and short lines through several streams into one
// file.
//
// Every line carries its thread, its sequence number and a payload that is
// a function of both, so a line that was lost, written twice, cut, mixed
// with another or moved out of order is found, whatever the timing was.

#ifndef _WIN32
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#endif  // _WIN32

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/port.h"
#include "razezir/trace.h"
#include "test_util.h"

namespace {

using razezir_test::ReadFile;
using razezir_test::StartFile;
using razezir_test::StdoutCapture;
using razezir_test::TempPath;

constexpr int kFlags =
    QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC | QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_MODULE;
// Six units, so the tag fills its field without padding.
constexpr char16_t kTag[] = u"worker";
constexpr char16_t kFormat[] = u"t%d s%d n%d %ls end\n";
constexpr size_t kTimeBytes = 28;  // "Mon Dec 07 2026 01:52:11.123"
constexpr size_t kRuleBytes = 76;

// Lines each worker writes; RAZEZIR_CONTENTION_LINES sets another count.
// (The full count takes a few seconds under ThreadSanitizer and under Wine.)
int LinesPerWorker(int full) {
  if (const char* text = std::getenv("RAZEZIR_CONTENTION_LINES")) {
    const int lines = std::atoi(text);
    if (lines > 0) return lines;
  }
  return full;
}

char PayloadChar(int thread, int seq, size_t i) {
  return static_cast<char>('a' +
                           (static_cast<size_t>(thread) * 3 + static_cast<size_t>(seq) + i) % 26);
}

void FillPayload(std::u16string* payload, int thread, int seq, size_t nUnits) {
  payload->resize(nUnits);
  for (size_t i = 0; i < nUnits; ++i) {
    (*payload)[i] = static_cast<char16_t>(PayloadChar(thread, seq, i));
  }
}

// Writes one numbered line at `level`: through Trace1 or Trace2 for levels
// 1 and 2, through Trace for others.
void EmitNumbered(int level, int thread, int seq, const std::u16string& payload) {
  const int nUnits = static_cast<int>(payload.size());
  if (level == 1) {
    QXSTD::Trace1(kTag, kFormat, thread, seq, nUnits, payload.c_str());
  } else if (level == 2) {
    QXSTD::Trace2(kTag, kFormat, thread, seq, nUnits, payload.c_str());
  } else {
    QXSTD::Trace(level, kTag, kFormat, thread, seq, nUnits, payload.c_str());
  }
}

bool Digits(const char* text, int count, int* value) {
  *value = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

// Milliseconds since an arbitrary origin for "Mon Dec 07 2026 01:52:11.123"
// at `text` (kTimeBytes bytes), or -1 when the text has another shape.
int64_t ParseTime(const char* text) {
  static const char kDays[] = "SunMonTueWedThuFriSat";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  bool dayKnown = false;
  for (int d = 0; d < 7; ++d) dayKnown = dayKnown || std::memcmp(text, kDays + 3 * d, 3) == 0;
  int month = -1;
  for (int m = 0; m < 12; ++m) {
    if (std::memcmp(text + 4, kMonths + 3 * m, 3) == 0) month = m;
  }
  int day, year, hour, minute, second, millis;
  if (!dayKnown || month < 0 || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' ||
      text[15] != ' ' || text[18] != ':' || text[21] != ':' || text[24] != '.' ||
      !Digits(text + 8, 2, &day) || !Digits(text + 11, 4, &year) || !Digits(text + 16, 2, &hour) ||
      !Digits(text + 19, 2, &minute) || !Digits(text + 22, 2, &second) ||
      !Digits(text + 25, 3, &millis)) {
    return -1;
  }
  int64_t value = (int64_t{year} * 12 + month) * 31 + day;
  value = ((value * 24 + hour) * 60 + minute) * 60 + second;
  return value * 1000 + millis;
}

struct NumberedLine {
  int thread;
  int seq;
  int64_t time;
};

// Reads a decimal number of at most 9 digits at `*pos`.
bool ReadNumber(const std::string& line, size_t* pos, int* value) {
  size_t end = *pos;
  while (end < line.size() && end - *pos < 10 && line[end] >= '0' && line[end] <= '9') ++end;
  if (end == *pos || end - *pos > 9) return false;
  Digits(line.data() + *pos, static_cast<int>(end - *pos), value);
  *pos = end;
  return true;
}

bool ReadLiteral(const std::string& line, size_t* pos, const char* literal) {
  const size_t nBytes = std::strlen(literal);
  if (line.compare(*pos, nBytes, literal) != 0) return false;
  *pos += nBytes;
  return true;
}

// Parses "<time>  <8 hex digits> worker: t<t> s<s> n<n> <payload> end",
// with the payload that (t, s) and n call for.
bool ParseNumberedLine(const std::string& line, int nThreads, NumberedLine* out) {
  if (line.size() < kTimeBytes) return false;
  out->time = ParseTime(line.data());
  size_t pos = kTimeBytes;
  if (out->time < 0 || !ReadLiteral(line, &pos, "  ")) return false;
  for (int i = 0; i < 8; ++i, ++pos) {
    if (pos >= line.size() || !std::isxdigit(static_cast<unsigned char>(line[pos])) ||
        std::islower(static_cast<unsigned char>(line[pos]))) {
      return false;
    }
  }
  int nUnits = 0;
  if (!ReadLiteral(line, &pos, " worker: t") || !ReadNumber(line, &pos, &out->thread) ||
      !ReadLiteral(line, &pos, " s") || !ReadNumber(line, &pos, &out->seq) ||
      !ReadLiteral(line, &pos, " n") || !ReadNumber(line, &pos, &nUnits) ||
      !ReadLiteral(line, &pos, " ") || out->thread >= nThreads ||
      line.size() - pos != static_cast<size_t>(nUnits) + 4) {
    return false;
  }
  for (int i = 0; i < nUnits; ++i, ++pos) {
    if (line[pos] != PayloadChar(out->thread, out->seq, static_cast<size_t>(i))) return false;
  }
  return ReadLiteral(line, &pos, " end");
}

// Parses the middle line of a banner: "========== Trace Log File. <word> -
// <time> " and the closing equals signs, 11 after Started, 12 after Closed.
bool ParseBannerMiddle(const std::string& line, const char* word, const char* tail) {
  size_t pos = 0;
  if (!ReadLiteral(line, &pos, "========== Trace Log File. ") || !ReadLiteral(line, &pos, word) ||
      !ReadLiteral(line, &pos, " - ") || line.size() < pos + kTimeBytes ||
      ParseTime(line.data() + pos) < 0) {
    return false;
  }
  pos += kTimeBytes;
  return ReadLiteral(line, &pos, tail) && pos == line.size();
}

enum class Kind { kLine, kStarted, kClosed };

struct Token {
  Kind kind;
  NumberedLine line;  // for kLine
};

// A log read back: its banners and numbered lines in file order, the lines
// that are neither (torn, mixed or foreign text), and whether the text ends
// without a line end (the tail is then not among the tokens).
struct ScannedLog {
  std::vector<Token> tokens;
  std::vector<std::string> bad;
  size_t nBad = 0;
  bool endsMidLine = false;
};

ScannedLog ScanLog(const std::string& text, int nThreads) {
  ScannedLog log;
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t end = text.find('\n', begin);
    if (end == std::string::npos) {
      log.endsMidLine = true;
      break;
    }
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  const std::string rule(kRuleBytes, '=');
  for (size_t i = 0; i < lines.size(); ++i) {
    Token token{Kind::kLine, {}};
    bool good;
    if (lines[i] == rule) {
      good = i + 2 < lines.size() && lines[i + 2] == rule;
      if (good && ParseBannerMiddle(lines[i + 1], "Started", " ===========")) {
        token.kind = Kind::kStarted;
      } else if (good && ParseBannerMiddle(lines[i + 1], "Closed", " ============")) {
        token.kind = Kind::kClosed;
      } else {
        good = false;
      }
      if (good) i += 2;
    } else {
      good = ParseNumberedLine(lines[i], nThreads, &token.line);
    }
    if (good) {
      log.tokens.push_back(token);
    } else if (log.nBad++ < 5) {
      log.bad.push_back(std::string("line ") + std::to_string(i + 1) + " (" +
                        std::to_string(lines[i].size()) + " bytes): " + lines[i].substr(0, 160));
    }
  }
  return log;
}

// "t<thread> s<seq>", a numbered line's name in failure messages. Messages
// start from a std::string: gcc 12 in C++20 reports a bogus -Wrestrict
// overlap for operator+(const char*, string&&) (gcc bug 105329).
std::string LineName(int thread, int seq) {
  return std::string("t") + std::to_string(thread) + " s" + std::to_string(seq);
}

// A failure list that keeps the first few descriptions and counts the rest.
struct Failures {
  size_t count = 0;
  std::string first;
  void Add(const std::string& what) {
    if (count++ < 8) first += "\n  " + what;
  }
};

// ---------------------------------------------------------------------------
// Workers against a thread that switches the main log and registers targets.

// The outputs a line may reach: the three main files, standard output, the
// workers' target file and an unrelated target's file.
enum Output { kFileA, kFileB, kFileC, kConsole, kWorkerFile, kIdleFile, kOutputs };
constexpr int kDropped = -1;

// Where the control thread's changes have left the main log and the
// workers' tag, between two changes.
struct Epoch {
  int main;         // the output the main log writes to
  int level;        // the main level; 0 after StopTrace
  bool registered;  // the workers' tag has its module target
};

// The output a line at `level` reaches when the main log writes it in
// `epoch`, or kDropped.
int MainIn(const Epoch& epoch, int level) { return level > epoch.level ? kDropped : epoch.main; }

// The output a line at `level` must reach in `epoch`, or kDropped.
int RouteIn(const Epoch& epoch, int level) {
  if (epoch.registered) return kWorkerFile;  // the target's level admits every line
  return MainIn(epoch, level);
}

// Line lengths in units, chosen to cross the paths a line may take: most
// are short; some are several KB; some exceed the 4096-byte stack buffer;
// a few exceed 64 KiB, the usual pipe size.
size_t MixedPayloadUnits(int thread, int seq) {
  const size_t t = static_cast<size_t>(thread);
  const size_t s = static_cast<size_t>(seq);
  if (seq % 2500 == 17) return 65536 + (s * 31 + t * 977) % 5000;
  if (seq % 400 == 3) return 4097 + (s * 13 + t) % 3000;
  if (seq % 100 == 5) return 1000 + (s * 7 + t * 13) % 7000;
  return (s * 7 + t * 11) % 120;
}

// Lines are written at level 0, which a stopped main log still takes, at
// level 1, which it drops, and at level 2, which the main log also drops
// while it runs at level 1.
int LevelOf(int seq) { return seq % 5 == 0 ? 0 : seq % 5 == 1 ? 2 : 1; }

// Eight workers write numbered lines while a ninth thread switches the main
// log between three files and standard output at level 5 or 1, stops it now
// and then, and partway through gives the workers' tag a module target with its own file
// (then registers unrelated tags). The control thread counts its changes in
// a generation number, odd while a change is under way; each worker reads it
// before and after every call, so for each line the set of states its call
// may have seen is known, and with it where the line must be: in exactly
// one file, which one, or nowhere (a line above the main level). A line
// whose call overlapped a change may land on either side of it, or be
// dropped if one side drops it. Its route is chosen when the call starts,
// and a line routed to the main log goes to the stream that is main when
// it is written, judged by the main level then: so it may also land where
// the main log of any later state of its call puts it, even after the
// workers' tag got its target. Anywhere else, it must not be.
//
// Timestamps are compared only among the lines of one stream: a file
// reopened later is a new stream, so the order restarts at each Started
// banner of a main file. Banners themselves are left out of the time order:
// the switching thread takes their time, and a line whose call overlapped
// the switch may carry a time taken just before the banner's.
TEST(ContentionSwitching, LinesKeepToTheirStreamsWhileTheMainLogSwitches) {
  constexpr int kThreads = 8;
  const int kLines = LinesPerWorker(20000);
  const int kRegisterAt = kLines * 3 / 5;
  const uint64_t kTotal = uint64_t{kThreads} * static_cast<uint64_t>(kLines);
  constexpr int kHighLevel = 5;
  constexpr int kLowLevel = 1;

  std::vector<std::string> paths(kOutputs);
  for (int output : {kFileA, kFileB, kFileC, kWorkerFile, kIdleFile}) {
    paths[output] = TempPath(std::string("out") + std::to_string(output) + ".log");
  }
  const std::string unopened = TempPath("unopened.log");

  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> windows(
      kThreads, std::vector<std::pair<uint32_t, uint32_t>>(static_cast<size_t>(kLines)));
  std::vector<Epoch> epochs{{kFileA, kHighLevel, false}};
  std::atomic<uint32_t> generation{0};
  std::atomic<uint64_t> progress{0};
  std::atomic<int> finished{0};
  std::atomic<bool> registered{false};
  std::vector<std::string> stateErrors;

  std::string consoleText;
  {
    StdoutCapture capture;
    QXSTD::InitTrace();
    QXSTD::StartTrace(kHighLevel, &paths[kFileA][0], kFlags);

    razezir_test::ThreadGroup workers(kThreads, [&](int t) {
      std::u16string payload;
      for (int s = 0; s < kLines; ++s) {
        // The last two fifths of every worker's lines come after the
        // registration, so both sides of it are covered whatever the
        // scheduling.
        if (s == kRegisterAt) {
          while (!registered.load()) std::this_thread::yield();
        }
        FillPayload(&payload, t, s, MixedPayloadUnits(t, s));
        const uint32_t before = generation.load();
        EmitNumbered(LevelOf(s), t, s, payload);
        windows[t][s] = {before, generation.load()};
        progress.fetch_add(1, std::memory_order_relaxed);
      }
      finished.fetch_add(1);
    });

    std::thread control([&] {
      Epoch now = epochs[0];
      auto change = [&](const std::function<void()>& operation) {
        generation.fetch_add(1);
        operation();
        epochs.push_back(now);
        generation.fetch_add(1);
      };
      auto checkState = [&](const std::string& expectedName) {
        int level = -1;
        const bool started = QXSTD::IsTraceStarted(&level);
        if (started != (now.level > 0) || level != now.level) {
          stateErrors.push_back(std::string("IsTraceStarted gave ") + std::to_string(started) +
                                " and level " + std::to_string(level));
        }
        int size = 0;
        QXSTD::GetTraceLogFileName(nullptr, &size);
        std::string name(static_cast<size_t>(std::max(size, 1)), '\0');
        QXSTD::GetTraceLogFileName(&name[0], &size);
        name.resize(name.size() - 1);
        if (name != expectedName) stateErrors.push_back("log file name " + name);
      };
      // StartTrace on a file, on standard output by a null and by an empty
      // name, at either level, and StopTrace, in an order that visits every
      // pair.
      constexpr int kStop = -1, kNullName = -2, kEmptyName = -3;
      struct Action {
        int output;
        int level;
      };
      static const Action kActions[] = {
          {kFileB, kHighLevel}, {kStop, 0}, {kFileC, kLowLevel}, {kNullName, kHighLevel},
          {kFileA, kLowLevel}, {kStop, 0}, {kEmptyName, kHighLevel}, {kFileB, kLowLevel},
          {kFileC, kHighLevel}, {kStop, 0}, {kFileA, kHighLevel}, {kEmptyName, kLowLevel},
          {kStop, 0}, {kNullName, kLowLevel}, {kFileC, kHighLevel}, {kFileA, kLowLevel}};
      constexpr size_t kMaxChanges = 100000;
      std::string mainName = paths[kFileA];
      // The loop ends with the workers, who wait for the registration.
      for (size_t round = 0; finished.load() < kThreads; ++round) {
        // A pause between changes lets the workers write lines in most
        // states; nothing checked depends on its length.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (!registered.load() && progress.load() >= kTotal / 2) {
          now.registered = true;
          change([&] { QXSTD::StartTraceModule(kTag, kHighLevel, paths[kWorkerFile].c_str()); });
          // None of these changes where the workers' lines go: an unrelated
          // tag with its own file, one sharing the main file, and the
          // workers' tag again, which keeps its first registration.
          QXSTD::StartTraceModule(u"idle", kHighLevel, paths[kIdleFile].c_str());
          QXSTD::StartTraceModule(u"shared", 0, nullptr);
          QXSTD::StartTraceModule(kTag, -1, unopened.c_str());
          registered.store(true);
          continue;
        }
        if (round >= kMaxChanges) continue;
        const Action& next = kActions[round % (sizeof kActions / sizeof kActions[0])];
        const int action = next.output;
        now.level = next.level;
        if (action == kStop) {
          change([] { QXSTD::StopTrace(); });
        } else {
          char emptyName[] = "";
          char* name = action == kNullName    ? nullptr
                       : action == kEmptyName ? emptyName
                                              : &paths[action][0];
          now.main = action >= 0 ? action : kConsole;
          mainName = action >= 0 ? paths[action] : "";
          change([&] { QXSTD::StartTrace(next.level, name, kFlags); });
        }
        checkState(mainName);
      }
    });

    workers.Join();
    control.join();
    QXSTD::DeinitTrace();
    consoleText = capture.Stop();
  }

  for (const auto& error : stateErrors) ADD_FAILURE() << error;
  EXPECT_FALSE(std::ifstream(unopened).good()) << "a second registration of a tag opened its file";

  // Read every output back.
  std::vector<ScannedLog> logs(kOutputs);
  for (int output = 0; output < kOutputs; ++output) {
    const std::string text = output == kConsole ? consoleText : ReadFile(paths[output]);
    logs[output] = ScanLog(text, kThreads);
    EXPECT_EQ(logs[output].nBad, 0u) << "output " << output << ": lines torn or mixed:\n"
                                     << ::testing::PrintToString(logs[output].bad);
    EXPECT_FALSE(logs[output].endsMidLine) << "output " << output << " ends mid-line";
  }

  // Where each line was found; order and time within each output.
  std::vector<std::vector<int>> foundIn(kThreads,
                                        std::vector<int>(static_cast<size_t>(kLines), kDropped));
  Failures unknown, duplicated, outOfOrder, timeBackwards, afterClosed;
  for (int output = 0; output < kOutputs; ++output) {
    std::vector<int> lastSeq(kThreads, -1);
    int64_t lastTime = -1;
    bool closed = false;
    for (const Token& token : logs[output].tokens) {
      if (token.kind == Kind::kStarted) {
        closed = false;
        // The workers' target file gets its banner after its target is
        // visible, so lines may come before it on the same stream.
        if (output != kWorkerFile) lastTime = -1;
        continue;
      }
      if (token.kind == Kind::kClosed) {
        closed = true;
        continue;
      }
      const NumberedLine& line = token.line;
      const std::string where =
          std::string("output ") + std::to_string(output) + ": " + LineName(line.thread, line.seq);
      if (line.seq >= kLines) {
        unknown.Add(where + " was never written");
        continue;
      }
      if (closed) afterClosed.Add(where + " after a Closed banner");
      int& found = foundIn[line.thread][line.seq];
      if (found != kDropped) duplicated.Add(where + " also in output " + std::to_string(found));
      found = output;
      if (line.seq <= lastSeq[line.thread]) {
        outOfOrder.Add(where + " after s" + std::to_string(lastSeq[line.thread]));
      }
      lastSeq[line.thread] = line.seq;
      if (line.time < lastTime) timeBackwards.Add(where + " is earlier than the line before it");
      lastTime = line.time;
    }
  }
  EXPECT_EQ(unknown.count, 0u) << unknown.first;
  EXPECT_EQ(duplicated.count, 0u) << duplicated.first;
  EXPECT_EQ(outOfOrder.count, 0u) << outOfOrder.first;
  EXPECT_EQ(timeBackwards.count, 0u) << timeBackwards.first;
  EXPECT_EQ(afterClosed.count, 0u) << afterClosed.first;

  // Each line against the states its call may have seen.
  Failures lost, misplaced, admitted;
  size_t overlapping = 0;
  std::vector<size_t> perOutput(kOutputs, 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int s = 0; s < kLines; ++s) {
      const auto [before, after] = windows[t][s];
      std::set<int> allowed;
      const uint32_t first = before / 2;
      const uint32_t last = std::min<uint32_t>((after + 1) / 2, epochs.size() - 1);
      for (uint32_t e = first; e <= last; ++e) {
        allowed.insert(RouteIn(epochs[e], LevelOf(s)));
        // Routed to the main log in this state, the line may be written in
        // any later one, as the main log stands then.
        if (epochs[e].registered || LevelOf(s) > epochs[e].level) continue;
        for (uint32_t written = e; written <= last; ++written) {
          allowed.insert(MainIn(epochs[written], LevelOf(s)));
        }
      }
      if (before != after) ++overlapping;
      const int found = foundIn[t][s];
      const std::string what = LineName(t, s) + " (generations " + std::to_string(before) + ".." +
                               std::to_string(after) + ")";
      if (found == kDropped) {
        if (allowed.count(kDropped) == 0) lost.Add(what + " is in no output");
      } else {
        ++perOutput[found];
        if (allowed.count(found) == 0) {
          (allowed == std::set<int>{kDropped} ? admitted : misplaced)
              .Add(what + " is in output " + std::to_string(found));
        }
      }
    }
  }
  EXPECT_EQ(lost.count, 0u) << lost.first;
  EXPECT_EQ(misplaced.count, 0u) << misplaced.first;
  EXPECT_EQ(admitted.count, 0u) << "lines written although the main level excluded them:"
                                << admitted.first;

  // The unrelated target's file holds its banner and nothing else.
  ASSERT_EQ(logs[kIdleFile].tokens.size(), 1u);
  EXPECT_EQ(logs[kIdleFile].tokens[0].kind, Kind::kStarted);

  // What the run covered, for whoever reads the log; nothing above depends
  // on it.
  const std::string coverage =
      std::to_string(epochs.size() - 1) + " changes; " + std::to_string(overlapping) + " of " +
      std::to_string(kTotal) + " calls overlapped one; lines in A " +
      std::to_string(perOutput[kFileA]) + ", B " + std::to_string(perOutput[kFileB]) + ", C " +
      std::to_string(perOutput[kFileC]) + ", stdout " + std::to_string(perOutput[kConsole]) +
      ", target " + std::to_string(perOutput[kWorkerFile]);
  std::printf("%s\n", coverage.c_str());
}

// ---------------------------------------------------------------------------
// A process killed while its threads write.

#ifndef _WIN32
// Checks the tokens of one stream from `first` on, where only the last may
// be a banner (the Closed banner of DeinitTrace, when `closedLast`): each
// thread's lines are its calls 0, 1, 2, ... in order, and their times never
// go backwards. Returns how many lines of each thread were found.
std::vector<int> CheckOneStream(const std::vector<Token>& tokens, size_t first, bool closedLast,
                                int nThreads, Failures* failures) {
  std::vector<int> count(static_cast<size_t>(nThreads), 0);
  int64_t lastTime = -1;
  for (size_t i = first; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (token.kind != Kind::kLine) {
      if (!closedLast || i + 1 != tokens.size() || token.kind != Kind::kClosed) {
        failures->Add(std::string("a banner among the lines, at token ") + std::to_string(i));
      }
      continue;
    }
    const NumberedLine& line = token.line;
    const std::string where = LineName(line.thread, line.seq);
    if (line.seq != count[line.thread]) {
      failures->Add(where + " where s" + std::to_string(count[line.thread]) + " was due");
    }
    count[line.thread] = line.seq + 1;
    if (line.time < lastTime) failures->Add(where + " is earlier than the line before it");
    lastTime = line.time;
  }
  return count;
}

// Kills and reaps a child that a failed assertion would leave running.
struct ChildGuard {
  pid_t pid;
  ~ChildGuard() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

// Mostly short lines, with some beyond the stack buffer and a few beyond
// the pipe size, so that the kill may fall inside a long write.
size_t KillPayloadUnits(int thread, int seq) {
  const size_t t = static_cast<size_t>(thread);
  const size_t s = static_cast<size_t>(seq);
  if (seq % 1000 == 999) return 65536 + (s * 17 + t * 101) % 5000;
  if (seq % 100 == 50) return 4097 + (s * 13 + t) % 3000;
  return (s * 7 + t * 11) % 150;
}
#endif  // _WIN32

// A child with eight threads writes numbered lines to a file; after each
// call returns, the thread publishes in shared memory how many of its calls
// have returned. The child is killed with SIGKILL at a random point. Then
// each thread's lines in the file are exactly its calls 0, 1, 2, ... in
// order, whole, at least as many as returned and at most one more (the call
// in flight). Only the end of the file may hold part of a line: the write
// that the kill cut short.
TEST(ContentionKill, EveryReturnedLineSurvivesSigkill) {
#ifdef _WIN32
  GTEST_SKIP() << "needs fork and SIGKILL";
#else
  constexpr int kThreads = 8;
  constexpr int kChildLimit = 1000000;  // lines per thread, if no kill came
  const std::string path = TempPath("log");
  const size_t sharedBytes = sizeof(std::atomic<int>) * kThreads;
  void* shared =
      mmap(nullptr, sharedBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* returned = static_cast<std::atomic<int>*>(shared);
  for (int t = 0; t < kThreads; ++t) new (&returned[t]) std::atomic<int>(0);

  std::random_device seed;
  std::mt19937 random(seed());
  const int threshold = std::uniform_int_distribution<int>(2000, 12000)(random);
  const int extraMicros = std::uniform_int_distribution<int>(0, 2000)(random);
  SCOPED_TRACE(std::string("killed after ") + std::to_string(threshold) + " returned calls and " +
               std::to_string(extraMicros) + " us");

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    QXSTD::InitTrace();
    QXSTD::StartTrace(1, const_cast<char*>(path.c_str()), kFlags);
    razezir_test::ThreadGroup(kThreads, [returned](int t) {
      std::u16string payload;
      for (int s = 0; s < kChildLimit; ++s) {
        FillPayload(&payload, t, s, KillPayloadUnits(t, s));
        EmitNumbered(1, t, s, payload);
        returned[t].store(s + 1, std::memory_order_release);
      }
    });
    _exit(0);  // not reached in time: the parent reports it
  }
  ChildGuard guard{child};
  auto totalReturned = [&] {
    int total = 0;
    for (int t = 0; t < kThreads; ++t) total += returned[t].load(std::memory_order_acquire);
    return total;
  };
  int status = 0;
  // A child that died, or stalled for a minute, fails the test rather than
  // leaving it to the timeout.
  for (int waited = 0; totalReturned() < threshold; ++waited) {
    ASSERT_EQ(waitpid(child, &status, WNOHANG), 0) << "the child ended after " << totalReturned();
    ASSERT_LT(waited, 60000) << "the child returned only " << totalReturned() << " calls";
    usleep(1000);
  }
  usleep(static_cast<useconds_t>(extraMicros));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  guard.pid = 0;
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  std::vector<int> published(kThreads);
  for (int t = 0; t < kThreads; ++t) published[t] = returned[t].load(std::memory_order_acquire);
  munmap(shared, sharedBytes);

  const ScannedLog log = ScanLog(ReadFile(path), kThreads);
  EXPECT_EQ(log.nBad, 0u) << "lines torn or mixed:\n" << ::testing::PrintToString(log.bad);
  ASSERT_FALSE(log.tokens.empty());
  EXPECT_EQ(log.tokens[0].kind, Kind::kStarted);
  Failures order;
  const std::vector<int> count = CheckOneStream(log.tokens, 1, false, kThreads, &order);
  EXPECT_EQ(order.count, 0u) << order.first;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_GE(count[t], published[t]) << "thread " << t << ": a returned call's line is missing";
    EXPECT_LE(count[t], published[t] + 1) << "thread " << t;
  }
#endif  // _WIN32
}

// ---------------------------------------------------------------------------
// Standard output as a pipe.

// Four threads write lines of 10 to 70 KB, far beyond the size up to which
// a pipe keeps concurrent writes apart, to standard output while another
// thread drains the pipe. The main thread meanwhile starts tracing to
// standard output again, by an empty name, which must keep it there. Every
// line must arrive whole and once, in each thread's order, and the times
// of the one stream must not go backwards.
TEST(ContentionPipe, LongLinesOnAPipeStayWhole) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a POSIX pipe as standard output";
#else
  constexpr int kThreads = 4;
  const int kLines = LinesPerWorker(200);
  razezir_test::StdoutPipe capture;
  ASSERT_TRUE(capture.Opened());
  std::atomic<int> finished{0};
  std::vector<std::string> stateErrors;
  razezir_test::StartConsole(1, kFlags);
  razezir_test::ThreadGroup workers(kThreads, [&](int t) {
    std::u16string payload;
    for (int s = 0; s < kLines; ++s) {
      const size_t nUnits =
          10000 + (static_cast<size_t>(s) * 7919 + static_cast<size_t>(t) * 3571) % 60001;
      FillPayload(&payload, t, s, nUnits);
      EmitNumbered(1, t, s, payload);
    }
    finished.fetch_add(1);
  });
  char emptyName[] = "";
  for (int round = 0; round < 100000 && finished.load() < kThreads; ++round) {
    QXSTD::StartTrace(1, emptyName, kFlags);
    int size = 0;
    QXSTD::GetTraceLogFileName(nullptr, &size);
    if (size != 1) {
      stateErrors.push_back(std::string("a log file name of ") + std::to_string(size) + " bytes");
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  workers.Join();
  QXSTD::DeinitTrace();
  const std::string received = capture.Stop();

  for (const auto& error : stateErrors) ADD_FAILURE() << error;
  const ScannedLog log = ScanLog(received, kThreads);
  EXPECT_EQ(log.nBad, 0u) << "lines torn or mixed:\n" << ::testing::PrintToString(log.bad);
  EXPECT_FALSE(log.endsMidLine);
  // The Started banner is there when this is the process's first start on
  // standard output (as when ctest runs each test alone); the Closed banner
  // of DeinitTrace always ends it.
  ASSERT_FALSE(log.tokens.empty());
  EXPECT_EQ(log.tokens.back().kind, Kind::kClosed);
  Failures order;
  const size_t first = log.tokens[0].kind == Kind::kStarted ? 1 : 0;
  const std::vector<int> count = CheckOneStream(log.tokens, first, true, kThreads, &order);
  EXPECT_EQ(order.count, 0u) << order.first;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(count[t], kLines) << "thread " << t;
#endif  // _WIN32
}

// ---------------------------------------------------------------------------
// Several streams into one file.

// One thread writes lines of 3 MiB, which go out in pieces, to module target
// "a"; another writes short lines to module target "b" until the first is
// done. Both targets write where the main log does, through streams of
// their own. Returns the number of short lines written.
int LongAndShortLines(const std::string& longText) {
  QXSTD::StartTraceModule(razezir_test::W(u"a"), 1, nullptr);
  QXSTD::StartTraceModule(razezir_test::W(u"b"), 1, nullptr);
  std::atomic<bool> done{false};
  int shortLines = 0;
  std::thread shortWriter([&] {
    while (!done.load()) {
      QXSTD::Trace1(razezir_test::W(u"b"), razezir_test::W(u"short %d\n"), shortLines++);
    }
  });
  for (int i = 0; i < 4; ++i) {
    QXSTD::Trace1(razezir_test::W(u"a"), razezir_test::W(u"long %d %hs\n"), i, longText.c_str());
  }
  done.store(true);
  shortWriter.join();
  QXSTD::DeinitTrace();
  return shortLines;
}

void ExpectLongAndShortLinesWhole(const std::string& text, const std::string& longText,
                                  int shortLines) {
  int nLong = 0;
  int nShort = 0;
  for (const std::string& line : razezir_test::MessageLines(text)) {
    std::string longHead("long ");
    longHead += std::to_string(nLong);
    longHead += ' ';
    if (line.size() == longHead.size() + longText.size() &&
        line.compare(0, longHead.size(), longHead) == 0 &&
        line.compare(longHead.size(), std::string::npos, longText) == 0) {
      ++nLong;
    } else if (line.compare(0, 6, "short ") == 0 && line.substr(6) == std::to_string(nShort)) {
      ++nShort;
    } else {
      ADD_FAILURE() << "a line of " << line.size() << " bytes: " << line.substr(0, 40);
      return;
    }
  }
  EXPECT_EQ(nLong, 4);
  EXPECT_EQ(nShort, shortLines);
}

TEST(ContentionSharedFile, NothingComesBetweenThePiecesOfALongLine) {
  const std::string longText(3u << 20, 'L');
  {
    std::string path = StartFile(1, 0);
    const int shortLines = LongAndShortLines(longText);
    ExpectLongAndShortLinesWhole(ReadFile(path), longText, shortLines);
  }
  {
    StdoutCapture capture;
    razezir_test::StartConsole(1, 0);
    const int shortLines = LongAndShortLines(longText);
    ExpectLongAndShortLinesWhole(capture.Stop(), longText, shortLines);
  }
}


// ---------------------------------------------------------------------------
// Durable lines.

// What reached the system, in one order: each write with the bytes it
// wrote and the file it went to, each sync with the file and the points at
// which it began and ended, and each call's return. Files are known by
// identity, whatever descriptor wrote or synced them.
struct Written {
  long at;        // When the write ended.
  ino_t file;
};
struct Synced {
  long began;
  long ended;
  ino_t file;
  bool failed;
};
struct StorageEvents {
  std::mutex mutex;
  long clock = 0;  // Advanced under the mutex at every event.
  std::map<std::string, Written> written;  // A line's text: its last write.
  std::vector<Synced> syncs;
  // Every thread that has not finished is inside a trace call: the sync
  // waits for that (up to a bound), so that the next batch has company
  // whatever the disk's speed.
  std::atomic<int> running{0};
  std::atomic<int> inside{0};
};
StorageEvents g_storage;

long Tick() {
  std::lock_guard<std::mutex> hold(g_storage.mutex);
  return ++g_storage.clock;
}

#ifndef _WIN32

ino_t FileOf(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? info.st_ino : 0;
}

long RecordingHook(int fd, const razezir::platform::ByteSpan* spans, int count) {
  const ino_t file = FileOf(fd);
  if (spans == nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (g_storage.inside.load() < g_storage.running.load() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    const long began = Tick();
    const int result = fdatasync(fd);
    const long ended = Tick();
    std::lock_guard<std::mutex> hold(g_storage.mutex);
    g_storage.syncs.push_back(Synced{began, ended, file, result != 0});
    return result;
  }
  const ssize_t written = writev(fd, reinterpret_cast<const struct iovec*>(spans), count);
  std::lock_guard<std::mutex> hold(g_storage.mutex);
  const long at = ++g_storage.clock;
  if (written > 0) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes.append(spans[i].data, spans[i].size);
    bytes.resize(static_cast<size_t>(written));
    size_t start = 0;
    for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
      g_storage.written[bytes.substr(start, end - start)] = Written{at, file};
    }
  }
  return static_cast<long>(written);
}

// Whether every returned call was covered: a sync of the file its line went
// to began after the line's write and ended, successfully, before the call
// returned. Returns how many were.
size_t CoveredReturns(const std::vector<std::pair<std::string, long>>& returns) {
  size_t covered = 0;
  for (const auto& [line, returned] : returns) {
    auto written = g_storage.written.find(line);
    if (written == g_storage.written.end()) {
      ADD_FAILURE() << "never written: " << line;
      continue;
    }
    for (const Synced& sync : g_storage.syncs) {
      if (sync.file == written->second.file && !sync.failed &&
          sync.began > written->second.at && sync.ended < returned) {
        ++covered;
        break;
      }
    }
  }
  return covered;
}
#endif  // _WIN32

// Threads write durable lines, each `kLines` of them, while `control` runs
// on the calling thread; returns each line with the moment its call
// returned.
template <typename Control>
std::vector<std::pair<std::string, long>> WriteDurably(int threads, int lines, Control control) {
  std::mutex returnsMutex;
  std::vector<std::pair<std::string, long>> returns;
  g_storage.running = threads;
  razezir_test::ThreadGroup writers(threads, [&](int t) {
    for (int s = 0; s < lines; ++s) {
      ++g_storage.inside;
      QXSTD::Trace1(razezir_test::W(u"m"), razezir_test::W(u"D %d %d\n"), t, s);
      const long at = Tick();
      --g_storage.inside;
      std::lock_guard<std::mutex> hold(returnsMutex);
      returns.emplace_back(" : D " + std::to_string(t) + " " + std::to_string(s), at);
    }
    --g_storage.running;
  });
  control();
  writers.Join();
  return returns;
}

// Eight threads write durable lines to one file. Each call returns only
// after a sync of that file that began once its line was written had
// ended, and the lines written together shared their sync. (Where the
// system offers no hook, on Windows, the lines and banners are written and
// synced, and checked whole.)
TEST(ContentionDurable, EveryReturnedLineWasSyncedAndLinesShareSyncs) {
  const std::string path = StartFile(1, QXSTD::TRACE_DURABLE);
#ifndef _WIN32
  razezir::platform::SetWriteHookForTest(RecordingHook);
#endif
  const auto returns = WriteDurably(8, 40, [] {});
  QXSTD::DeinitTrace();
  razezir::platform::SetWriteHookForTest(nullptr);
  const std::string text = ReadFile(path);
  for (const auto& [line, at] : returns) {
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
  }
#ifndef _WIN32
  EXPECT_EQ(CoveredReturns(returns), returns.size());
  // The banners' syncs and one a batch: far fewer than one a line.
  std::printf("%zu syncs for %zu lines\n", g_storage.syncs.size(), returns.size());
  EXPECT_LE(g_storage.syncs.size(), returns.size() / 2);
#endif
}

#ifndef _WIN32
// Lines that other threads wrote, to the main log and to a target's file,
// before SyncTraceFiles began are on stable storage when it returns: each
// line's write, then a sync of its own file, then the return.
TEST(ContentionDurable, SyncCallCoversLinesOfOtherThreadsAndFiles) {
  const std::string net = TempPath("net.log");
  const std::string main = StartFile(1, 0, "main.log");
  QXSTD::StartTraceModule(u"main", 1, main.c_str());
  QXSTD::StartTraceModule(u"net", 1, net.c_str());
  razezir::platform::SetWriteHookForTest(RecordingHook);
  razezir_test::ThreadGroup(2, [](int t) {
    const char16_t* tag = t == 0 ? u"main" : u"net";
    for (int s = 0; s < 20; ++s) QXSTD::Trace1(tag, u"%s %d\n", tag, s);
  });
  QXSTD::SyncTraceFiles();
  const long returned = Tick();
  QXSTD::DeinitTrace();
  razezir::platform::SetWriteHookForTest(nullptr);
  std::vector<std::pair<std::string, long>> returns;
  for (const char* tag : {"main", "net"}) {
    for (int s = 0; s < 20; ++s) {
      std::string line = tag;
      line += ' ';
      line += std::to_string(s);
      returns.emplace_back(line, returned);
    }
  }
  EXPECT_EQ(CoveredReturns(returns), returns.size());
}

// Six threads write durable lines while another reopens the same file again
// and again, and now and then fails to open a file and falls back to
// standard output (a file here) before it reopens the log: every returned
// call was covered by a sync of its own file, never of a stream closed
// meanwhile, nor of another file.
TEST(ContentionDurable, EveryReturnedLineWasSyncedInItsOwnFileAcrossReopens) {
  razezir_test::StdoutCapture capture;
  std::string path = TempPath("log");
  std::string unopenable = TempPath("none") + "/x.log";
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &path[0], QXSTD::TRACE_DURABLE);
  razezir::platform::SetWriteHookForTest(RecordingHook);
  const auto returns = WriteDurably(6, LinesPerWorker(150), [&] {
    for (int i = 0; g_storage.running.load() > 0; ++i) {
      if (i % 8 == 7) QXSTD::StartTrace(1, &unopenable[0], QXSTD::TRACE_DURABLE);
      QXSTD::StartTrace(1, &path[0], QXSTD::TRACE_DURABLE);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  QXSTD::DeinitTrace();
  razezir::platform::SetWriteHookForTest(nullptr);
  const std::string text = ReadFile(path) + capture.Stop();
  for (const auto& [line, at] : returns) {
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
  }
  EXPECT_EQ(CoveredReturns(returns), returns.size());
}
#endif  // _WIN32

}  // namespace

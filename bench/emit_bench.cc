// Emission cost: whole lines to /dev/null and to a regular file, each next
// to a raw write(2) of the same bytes in the same run; the timestamp text;
// messages dropped by the level tests and by routing; routing through 1 to
// 4,096 module and thread targets; registration of up to 100,000 targets.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "benchmark/benchmark.h"
#include "logtext/log_text.h"
#include "platform/port.h"
#include "razezir/trace.h"

namespace {

const char kDevNull[] = "/dev/null";

std::string FilePath() {
  return "/tmp/razezir_emit_bench." + std::to_string(getpid()) + ".log";
}

const char* Destination(int which, std::string* file) {
  if (which == 0) return kDevNull;
  *file = FilePath();
  std::remove(file->c_str());
  return file->c_str();
}

// The message of the line benchmarks: an int and a short wide string, and
// with `withDouble` also a double, whose digits come from the C runtime.
void TraceTypicalLine(bool withDouble, int i) {
  if (withDouble) {
    QXSTD::Trace2(u"net", u"message %d of %s: %.2f\n", i, u"payload", 2.5);
  } else {
    QXSTD::Trace2(u"net", u"message %d of %s\n", i, u"payload");
  }
}

// The bytes one traced line takes in a log, so that the raw write floor
// writes exactly as much.
std::string RenderedLine(int flags, bool withDouble) {
  std::string path = FilePath() + ".probe";
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, &path[0], flags);
  TraceTypicalLine(withDouble, 12345);
  QXSTD::DeinitTrace();
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '=') last = line;
  }
  std::remove(path.c_str());
  return last + "\n";
}

// Arguments: flags, destination (0 = /dev/null, 1 = regular file), and
// whether the message has a double.
void BM_TraceLine(benchmark::State& state) {
  std::string file;
  const char* destination = Destination(static_cast<int>(state.range(1)), &file);
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, const_cast<char*>(destination), static_cast<int>(state.range(0)));
  int i = 0;
  QXSTD::Trace2(u"net", u"warm up\n");
  const long before = razezir_test::AllocationCount();
  const bool withDouble = state.range(2) != 0;
  for (auto _ : state) TraceTypicalLine(withDouble, ++i);
  state.counters["allocs/iter"] = benchmark::Counter(
      static_cast<double>(razezir_test::AllocationCount() - before),
      benchmark::Counter::kAvgIterations);
  QXSTD::DeinitTrace();
  if (!file.empty()) std::remove(file.c_str());
}
BENCHMARK(BM_TraceLine)->ArgNames({"flags", "file", "double"})
    ->ArgsProduct({{0x00, 0x17}, {0, 1}, {0, 1}});

// The floor: the same bytes with one write(2) on a descriptor opened the
// same way.
void BM_RawWrite(benchmark::State& state) {
  std::string file;
  const char* destination = Destination(static_cast<int>(state.range(1)), &file);
  const std::string line =
      RenderedLine(static_cast<int>(state.range(0)), state.range(2) != 0);
  int fd = open(destination, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
  }
  close(fd);
  state.counters["bytes"] = static_cast<double>(line.size());
  if (!file.empty()) std::remove(file.c_str());
}
BENCHMARK(BM_RawWrite)->ArgNames({"flags", "file", "double"})
    ->ArgsProduct({{0x00, 0x17}, {0, 1}, {0, 1}});

// The timestamp of a line prefix, milliseconds included, and the clock read
// it is made from.
void BM_TraceTime(benchmark::State& state) {
  char text[razezir::kPrefixTimeBytes];
  for (auto _ : state) {
    benchmark::DoNotOptimize(razezir::FormatTraceTime(QXSTD::TRACE_MSEC, text, sizeof text));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceTime);

void BM_WallClock(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(razezir::platform::ReadWallClock());
}
BENCHMARK(BM_WallClock);

void BM_DroppedByTraceLevel(benchmark::State& state) {
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, const_cast<char*>(kDevNull), 0x17);
  for (auto _ : state) QXSTD::Trace(3, u"net", u"message %d\n", 1);
  QXSTD::DeinitTrace();
}
BENCHMARK(BM_DroppedByTraceLevel);

void BM_DroppedByTrace5Level(benchmark::State& state) {
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, const_cast<char*>(kDevNull), 0x17);
  for (auto _ : state) QXSTD::Trace5(u"net", u"message %d\n", 1);
  QXSTD::DeinitTrace();
}
BENCHMARK(BM_DroppedByTrace5Level);

// The same drop while a module target admits level 5 for another tag, so
// the lock-free test cannot reject and routing must.
void BM_DroppedByTrace5LevelBehindTarget(benchmark::State& state) {
  QXSTD::InitTrace();
  QXSTD::StartTrace(1, const_cast<char*>(kDevNull), 0x17);
  QXSTD::StartTraceModule(u"db", 5, kDevNull);
  QXSTD::StartTraceModule(u"net", 1, kDevNull);
  for (auto _ : state) QXSTD::Trace5(u"net", u"message %d\n", 1);
  QXSTD::DeinitTrace();
}
BENCHMARK(BM_DroppedByTrace5LevelBehindTarget);

std::u16string Name(const char* prefix, int i) {
  std::string narrow = prefix + std::to_string(i);
  return std::u16string(narrow.begin(), narrow.end());
}

// Each target opens its own stream: raises the soft limit on descriptors
// far enough for `targets` of them, or says why the benchmark cannot run.
bool EnoughDescriptors(benchmark::State& state, int targets) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
  const rlim_t wanted = static_cast<rlim_t>(targets) + 64;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
      state.SkipWithError("too few file descriptors allowed for the targets");
      return false;
    }
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      state.SkipWithError("cannot raise the file descriptor limit");
      return false;
    }
  }
  return true;
}

// Argument: number of module targets; the message's tag is the last one.
void BM_ModuleTargets(benchmark::State& state) {
  const int targets = static_cast<int>(state.range(0));
  if (!EnoughDescriptors(state, targets)) return;
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, const_cast<char*>(kDevNull), 0x17);
  std::u16string last;
  for (int i = 0; i < targets; ++i) {
    last = Name("module", i);
    QXSTD::StartTraceModule(last.c_str(), 5, kDevNull);
  }
  int i = 0;
  const long before = razezir_test::AllocationCount();
  for (auto _ : state) {
    QXSTD::Trace2(last.c_str(), u"message %d of %s: %.2f\n", ++i, u"payload", 2.5);
  }
  state.counters["allocs/iter"] = benchmark::Counter(
      static_cast<double>(razezir_test::AllocationCount() - before),
      benchmark::Counter::kAvgIterations);
  QXSTD::DeinitTrace();
}
BENCHMARK(BM_ModuleTargets)->Arg(1)->Arg(16)->Arg(256)->Arg(4096);

void BM_ModuleTagNotRegistered(benchmark::State& state) {
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, const_cast<char*>(kDevNull), 0x17);
  for (int i = 0; i < 16; ++i) QXSTD::StartTraceModule(Name("module", i).c_str(), 5, kDevNull);
  for (auto _ : state) QXSTD::Trace2(u"other", u"message %d\n", 1);
  QXSTD::DeinitTrace();
}
BENCHMARK(BM_ModuleTagNotRegistered);

// Argument: number of thread targets; the calling thread is bound to the
// last one's name.
void BM_ThreadTargets(benchmark::State& state) {
  const int targets = static_cast<int>(state.range(0));
  if (!EnoughDescriptors(state, targets)) return;
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, const_cast<char*>(kDevNull), 0x17);
  std::u16string last;
  for (int i = 0; i < targets; ++i) {
    last = Name("thread", i);
    QXSTD::StartTraceThread(last.c_str(), 5, kDevNull);
  }
  QXSTD::SetTraceThreadName(last.c_str());
  int i = 0;
  const long before = razezir_test::AllocationCount();
  for (auto _ : state) {
    QXSTD::Trace2(u"net", u"message %d of %s: %.2f\n", ++i, u"payload", 2.5);
  }
  state.counters["allocs/iter"] = benchmark::Counter(
      static_cast<double>(razezir_test::AllocationCount() - before),
      benchmark::Counter::kAvgIterations);
  QXSTD::UnregisterTraceThread();
  QXSTD::DeinitTrace();
}
BENCHMARK(BM_ThreadTargets)->Arg(1)->Arg(16)->Arg(256)->Arg(4096);

void BM_ThreadUnbound(benchmark::State& state) {
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, const_cast<char*>(kDevNull), 0x17);
  for (int i = 0; i < 16; ++i) QXSTD::StartTraceThread(Name("thread", i).c_str(), 5, kDevNull);
  for (auto _ : state) QXSTD::Trace2(u"net", u"message %d\n", 1);
  QXSTD::DeinitTrace();
}
BENCHMARK(BM_ThreadUnbound);

// Tears the state down with standard output sent to /dev/null, so that the
// Closed banner of a log that was never started stays out of the report.
void DeinitQuietly() {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open(kDevNull, O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) dup2(null, STDOUT_FILENO);
  QXSTD::DeinitTrace();
  std::fflush(stdout);
  if (saved >= 0 && null >= 0) dup2(saved, STDOUT_FILENO);
  if (null >= 0) close(null);
  if (saved >= 0) close(saved);
}

// Registration of N distinct module targets, then N thread targets, into a
// fresh state. With no main log file the targets write to standard output
// and open nothing, so the time is the registration itself; it must grow
// linearly with N (the reported complexity), not quadratically.
void BM_RegisterTargets(benchmark::State& state) {
  const int targets = static_cast<int>(state.range(0));
  std::vector<std::u16string> names;
  names.reserve(static_cast<size_t>(targets));
  for (int i = 0; i < targets; ++i) names.push_back(Name("target", i));
  for (auto _ : state) {
    QXSTD::InitTrace();
    for (const std::u16string& name : names) QXSTD::StartTraceModule(name.c_str(), 5, nullptr);
    for (const std::u16string& name : names) QXSTD::StartTraceThread(name.c_str(), 5, nullptr);
    state.PauseTiming();
    DeinitQuietly();
    state.ResumeTiming();
  }
  state.SetComplexityN(targets);
  state.counters["ns/registration"] = benchmark::Counter(
      2.0 * targets, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RegisterTargets)->Arg(1000)->Arg(10000)->Arg(100000)
    ->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();

// Throughput and latency of flushed lines under contention, side by side in
// one run: N threads each write the same number of lines of the 0x17 layout
// (timestamp with milliseconds, thread id, tag) to one file, and every line
// is in the file before its call returns.
//
//   floor     one write(2) per line, of a line already rendered, on one
//             shared O_APPEND descriptor: what any design that issues one
//             write per line cannot beat
//   razezir   Trace1 into a log file started with flags 0x17
//   spdlog    a multi-threaded file sink that flushes every line (built when
//             Debian's libspdlog-dev is installed)
//   log4cplus a FileAppender with immediate flush (built when
//             liblog4cplus-dev is installed)
//
// Every contender writes the same bytes per line: the weekday-date-time
// stamp with milliseconds, two spaces, the thread id in a field of 8, a
// space, the tag right-aligned in a field of 6, ": " and the message.
//
// Reported: ns per line over all threads (wall time / all lines), the median
// of the repetitions, with its ratio to the floor of the same thread count;
// the floor's own scaling from one thread to N, which tells the kind of
// kernel measured (below 1x, appends from several threads overlap; about
// 1x or above, they are serialised); write system calls per line and lines
// per write, and sched_yield calls per line, counted in-process; then
// per-call latency percentiles for the thread counts asked for. The
// repetitions take the contenders in turn (floor, razezir, peers, floor,
// ...), so that a change in the machine's load touches every column alike.
//
// With --durable 1, every line must be on stable storage when its call
// returns: the floor is one write and one fdatasync per line, razezir
// starts with flags 0x57 (TRACE_DURABLE added), the peers, which cannot
// sync per line, are left out, and the counts add fdatasync calls per line.
// With --durable N above 1, each thread asks for its lines on stable storage
// after every Nth line: the floor with an fdatasync of its file, razezir
// with SyncTraceFiles.
// Run it on a disk-backed file system (--dir), never tmpfs, where a sync
// does nothing. A durable run writes fewer lines per thread unless --lines
// is given, so that it ends in seconds.
//
// threads_bench --help lists the options with their defaults.

#include <fcntl.h>
#include <sched.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "razezir/trace.h"

#ifdef RAZEZIR_BENCH_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif
#ifdef RAZEZIR_BENCH_LOG4CPLUS
#include <log4cplus/fileappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// sched_yield calls of the whole process, counted by the definition below,
// which takes the place of the C library's for the library and the peers.
std::atomic<long> g_yields{0};
// fdatasync calls of the whole process, counted likewise.
std::atomic<long> g_syncs{0};
// Lines go to stable storage (--durable N): 0 not, 1 every line (a
// durable log), N > 1 every Nth line of each thread (a sync on demand).
int g_syncEvery = 0;
bool g_durable = false;  // g_syncEvery != 0

// Whether the line numbered `i` of its thread is one to sync after.
bool SyncAfter(int i) { return g_syncEvery > 1 && i % g_syncEvery == g_syncEvery - 1; }

// The kind of file system that holds `dir`, for the table's heading.
std::string FileSystemOf(const std::string& dir) {
  struct statfs info;
  if (statfs(dir.c_str(), &info) != 0) return "unknown";
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC: return "ext4";  // ext2 and ext3 share the number
    case XFS_SUPER_MAGIC: return "xfs";
    case BTRFS_SUPER_MAGIC: return "btrfs";
    case TMPFS_MAGIC: return "tmpfs";
    case OVERLAYFS_SUPER_MAGIC: return "overlayfs";
    case NFS_SUPER_MAGIC: return "nfs";
    default: {
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(info.f_type));
      return hex;
    }
  }
}

// Write system calls (write, writev, pwrite...) of the whole process so
// far, threads that ended included, as the kernel counts them; -1 where it
// does not.
long WriteSyscalls() {
  FILE* io = std::fopen("/proc/self/io", "r");
  if (io == nullptr) return -1;
  long count = -1;
  char key[32];
  long value;
  while (std::fscanf(io, "%31[^:]: %ld\n", key, &value) == 2) {
    if (std::strcmp(key, "syscw") == 0) count = value;
  }
  std::fclose(io);
  return count;
}

// What one run cost in system calls, per line.
struct Calls {
  double writesPerLine = 0;
  double yieldsPerLine = 0;
  double syncsPerLine = 0;
};

// Lines per thread when --lines is not given. A durable run writes fewer:
// a write and a sync take about 0.2 ms on a virtual disk, so 20,000 lines
// would take minutes; 400 still make hundreds of syncs in every run, and
// the whole durable run ends in seconds.
constexpr int kLines = 20000;
constexpr int kDurableLines = 400;

struct Options {
  int lines = kLines;
  bool linesGiven = false;  // --lines was given: a durable run keeps it
  int reps = 5;
  std::vector<int> threads = {1, 2, 4, 8};
  std::vector<int> latencyThreads = {1, 8};
  std::string dir = "/tmp";
  std::vector<std::string> only;
  bool keep = false;  // leave each contender's last file, to compare layouts
  int syncEvery = 0;  // --durable
};

// One contender: Open before the timed part, Line from each thread, Close
// after it.
struct Contender {
  std::string name;
  std::function<void(const std::string& path)> open;
  std::function<void(int thread, int i)> line;
  std::function<void()> close;
};

// --- floor ---------------------------------------------------------------

int g_floorFd = -1;

// The bytes of a 0x17 line like razezir's, rendered once per thread: the
// floor measures the write alone. `number` is the last message number of
// the run, which has as many digits as most of the others' numbers.
std::string RenderedLine(int number) {
  char text[160];
  std::time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%a %b %d %Y %H:%M:%S", &local);
  std::snprintf(text, sizeof text, "%s.123  %08X  bench: message %d of thread\n", stamp,
                static_cast<unsigned>(gettid()), number);
  return text;
}

thread_local std::string t_floorLine;

Contender Floor(int lastNumber) {
  return {"floor",
          [](const std::string& path) {
            g_floorFd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
          },
          [lastNumber](int, int i) {
            if (t_floorLine.empty()) t_floorLine = RenderedLine(lastNumber);
            if (write(g_floorFd, t_floorLine.data(), t_floorLine.size()) < 0) std::abort();
            if ((g_syncEvery == 1 || SyncAfter(i)) && fdatasync(g_floorFd) != 0) std::abort();
          },
          [] { close(g_floorFd); }};
}

// --- razezir -------------------------------------------------------------

Contender Razezir() {
  return {"razezir",
          [](const std::string& path) {
            std::string name = path;
            QXSTD::InitTrace();
            QXSTD::StartTrace(1, &name[0], g_syncEvery == 1 ? 0x17 | QXSTD::TRACE_DURABLE : 0x17);
          },
          [](int, int i) {
            QXSTD::Trace1(u"bench", u"message %d of %s\n", i, u"thread");
            if (SyncAfter(i)) QXSTD::SyncTraceFiles();
          },
          [] { QXSTD::DeinitTrace(); }};
}

// --- peers ---------------------------------------------------------------

#ifdef RAZEZIR_BENCH_SPDLOG
std::shared_ptr<spdlog::logger> g_spdlog;

Contender Spdlog() {
  return {"spdlog",
          [](const std::string& path) {
            g_spdlog = spdlog::basic_logger_mt("bench", path);
            g_spdlog->set_pattern("%a %b %d %Y %H:%M:%S.%e  %8t %6n: %v");
            g_spdlog->flush_on(spdlog::level::trace);
          },
          [](int, int i) { g_spdlog->info("message {} of {}", i, "thread"); },
          [] {
            g_spdlog.reset();
            spdlog::drop_all();
          }};
}
#endif  // RAZEZIR_BENCH_SPDLOG

#ifdef RAZEZIR_BENCH_LOG4CPLUS
log4cplus::Logger g_log4cplus;

Contender Log4cplus() {
  return {"log4cplus",
          [](const std::string& path) {
            log4cplus::SharedAppenderPtr appender(
                new log4cplus::FileAppender(path, std::ios_base::app, true));
            appender->setLayout(std::unique_ptr<log4cplus::Layout>(
                new log4cplus::PatternLayout("%d{%a %b %d %Y %H:%M:%S.%q}  %8T %6c: %m%n")));
            g_log4cplus = log4cplus::Logger::getInstance("bench");
            g_log4cplus.removeAllAppenders();
            g_log4cplus.addAppender(appender);
            g_log4cplus.setLogLevel(log4cplus::INFO_LOG_LEVEL);
          },
          [](int, int i) { LOG4CPLUS_INFO_FMT(g_log4cplus, "message %d of %s", i, "thread"); },
          [] { g_log4cplus.removeAllAppenders(); }};
}
#endif  // RAZEZIR_BENCH_LOG4CPLUS

// --- the harness ---------------------------------------------------------

long CountLines(const std::string& path) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return 0;
  long lines = 0;
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
    lines += std::count(buffer, buffer + n, '\n');
  }
  std::fclose(in);
  return lines;
}

// Runs `threads` threads of `lines` lines each against a fresh file and
// returns the wall time in ns; per-call latencies go to `latencies` when
// it is not null.
double RunOnce(const Contender& c, const Options& options, int threads,
               std::vector<int64_t>* latencies, Calls* calls = nullptr) {
  std::string path = options.dir + "/razezir_threads_bench." + c.name + ".log";
  std::remove(path.c_str());
  c.open(path);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::vector<int64_t>> perThread(static_cast<size_t>(threads));
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::vector<int64_t>& mine = perThread[static_cast<size_t>(t)];
      if (latencies != nullptr) mine.reserve(static_cast<size_t>(options.lines));
      ready.fetch_add(1);
      // More threads than cores: waiting threads yield, so that the
      // starting thread is not kept from the core that starts them.
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (int i = 0; i < options.lines; ++i) {
        if (latencies == nullptr) {
          c.line(t, i);
          continue;
        }
        Clock::time_point start = Clock::now();
        c.line(t, i);
        mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                           Clock::now() - start).count());
      }
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  const long writesBefore = WriteSyscalls();
  const long yieldsBefore = g_yields.load();
  const long syncsBefore = g_syncs.load();
  Clock::time_point start = Clock::now();
  go.store(true, std::memory_order_release);
  for (std::thread& thread : pool) thread.join();
  double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  if (calls != nullptr) {
    const double lines = static_cast<double>(threads) * options.lines;
    const long writesAfter = WriteSyscalls();
    calls->writesPerLine =
        writesBefore < 0 ? -1 : static_cast<double>(writesAfter - writesBefore) / lines;
    calls->yieldsPerLine = static_cast<double>(g_yields.load() - yieldsBefore) / lines;
    calls->syncsPerLine = static_cast<double>(g_syncs.load() - syncsBefore) / lines;
  }
  c.close();
  // A contender that lost lines, or kept them in a buffer past the end,
  // would be measured doing less work than the others.
  const long expected = static_cast<long>(threads) * options.lines;
  const long written = CountLines(path);
  if (written < expected) {
    std::fprintf(stderr, "%s wrote %ld lines of %ld\n", c.name.c_str(), written, expected);
    std::exit(1);
  }
  if (!options.keep) std::remove(path.c_str());
  if (latencies != nullptr) {
    for (const auto& mine : perThread) latencies->insert(latencies->end(), mine.begin(), mine.end());
  }
  return wall;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// REQUIRES: `sorted` is not empty.
int64_t Percentile(const std::vector<int64_t>& sorted, double p) {
  size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

std::vector<int> ParseList(const char* text) {
  std::vector<int> out;
  for (const char* p = text; *p != '\0';) {
    out.push_back(std::atoi(p));
    while (*p != '\0' && *p != ',') ++p;
    if (*p == ',') ++p;
  }
  return out;
}

// The peers this build can measure, for the usage text.
const char* PeerNames() {
#if defined(RAZEZIR_BENCH_SPDLOG) && defined(RAZEZIR_BENCH_LOG4CPLUS)
  return ", spdlog, log4cplus";
#elif defined(RAZEZIR_BENCH_SPDLOG)
  return ", spdlog";
#elif defined(RAZEZIR_BENCH_LOG4CPLUS)
  return ", log4cplus";
#else
  return "";
#endif
}

void PrintUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: threads_bench [OPTION VALUE]...\n"
      "Writes flushed lines from several threads at once with razezir, with one\n"
      "write(2) a line (the floor) and with the peers built in; prints ns per line,\n"
      "system calls per line and per-call latency.\n"
      "\n"
      "  --lines N       lines per thread in a run (default %d, durable %d)\n"
      "  --reps R        runs per thread count; the median is shown (default 5)\n"
      "  --threads LIST  thread counts of the throughput tables (default 1,2,4,8)\n"
      "  --latency LIST  thread counts of the latency table, 0 for none (default 1,8)\n"
      "  --dir DIR       where the log files go (default /tmp); a disk for --durable\n"
      "  --only LIST     contenders to run besides the floor (default all):\n"
      "                  razezir%s\n"
      "  --keep 1        leave each contender's last log file in DIR (default 0)\n"
      "  --durable N     lines on stable storage, no peers (default 0): 1, every\n"
      "                  line (fdatasync per line, TRACE_DURABLE); N > 1, every\n"
      "                  Nth line of each thread (fdatasync, SyncTraceFiles)\n"
      "  --help          print this and exit\n",
      kLines, kDurableLines, PeerNames());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    static const char* const kFlags[] = {"--lines", "--reps", "--threads", "--latency",
                                         "--dir",   "--only", "--keep",    "--durable"};
    if (std::find(std::begin(kFlags), std::end(kFlags), flag) == std::end(kFlags)) {
      std::fprintf(stderr, "unknown option %s\n\n", flag.c_str());
      PrintUsage(stderr);
      return 2;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "%s needs a value\n\n", flag.c_str());
      PrintUsage(stderr);
      return 2;
    }
    const char* value = argv[i + 1];
    if (flag == "--lines") {
      options.lines = std::atoi(value);
      options.linesGiven = true;
    } else if (flag == "--reps") {
      options.reps = std::atoi(value);
    } else if (flag == "--threads") {
      options.threads = ParseList(value);
    } else if (flag == "--latency") {
      options.latencyThreads = ParseList(value);
    } else if (flag == "--dir") {
      options.dir = value;
    } else if (flag == "--keep") {
      options.keep = std::atoi(value) != 0;
    } else if (flag == "--durable") {
      options.syncEvery = std::atoi(value);
    } else {  // --only
      for (const char* p = value; *p != '\0';) {
        const char* end = std::strchr(p, ',');
        options.only.emplace_back(p, end != nullptr ? end : p + std::strlen(p));
        p = end != nullptr ? end + 1 : p + std::strlen(p);
      }
    }
  }
  if (options.syncEvery != 0 && !options.linesGiven) options.lines = kDurableLines;
  if (options.lines < 1 || options.reps < 1 || options.syncEvery < 0) {
    std::fprintf(stderr, "--lines and --reps take a positive number, --durable none below 0\n");
    return 2;
  }

#ifdef RAZEZIR_BENCH_LOG4CPLUS
  log4cplus::Initializer log4cplusInit;
#endif
  g_syncEvery = options.syncEvery;
  g_durable = g_syncEvery != 0;
  std::vector<Contender> contenders = {Floor(options.lines - 1), Razezir()};
#ifdef RAZEZIR_BENCH_SPDLOG
  if (!g_durable) contenders.push_back(Spdlog());
#endif
#ifdef RAZEZIR_BENCH_LOG4CPLUS
  if (!g_durable) contenders.push_back(Log4cplus());
#endif
  if (!options.only.empty()) {
    contenders.erase(std::remove_if(contenders.begin(), contenders.end(),
                                    [&](const Contender& c) {
                                      return c.name != "floor" &&
                                             std::find(options.only.begin(), options.only.end(),
                                                       c.name) == options.only.end();
                                    }),
                     contenders.end());
  }

  const std::string fileSystem = FileSystemOf(options.dir);
  if (g_durable && fileSystem == "tmpfs") {
    std::fprintf(stderr, "%s is on tmpfs, where a sync does nothing: give --dir on a disk\n",
                 options.dir.c_str());
    return 2;
  }
  std::printf("%d %slines per thread into files in %s (%s), median of %d, ns per line over "
              "all threads (ratio to the floor)\n\n| threads |",
              options.lines, g_durable ? "durable " : "", options.dir.c_str(),
              fileSystem.c_str(), options.reps);
  for (const Contender& c : contenders) std::printf(" %s |", c.name.c_str());
  std::printf("\n|---|");
  for (size_t i = 0; i < contenders.size(); ++i) std::printf("---|");
  std::printf("\n");
  // Per thread count: the floor's ns per line, and each contender's calls.
  std::vector<std::pair<int, double>> floorByThreads;
  std::vector<std::vector<Calls>> callsByThreads;
  for (int threads : options.threads) {
    if (threads < 1) continue;
    std::vector<std::vector<double>> perLine(contenders.size());
    std::vector<std::vector<double>> writes(contenders.size());
    std::vector<std::vector<double>> yields(contenders.size());
    std::vector<std::vector<double>> syncs(contenders.size());
    for (int rep = 0; rep < options.reps; ++rep) {
      for (size_t c = 0; c < contenders.size(); ++c) {
        Calls calls;
        perLine[c].push_back(RunOnce(contenders[c], options, threads, nullptr, &calls) /
                             (static_cast<double>(threads) * options.lines));
        writes[c].push_back(calls.writesPerLine);
        yields[c].push_back(calls.yieldsPerLine);
        syncs[c].push_back(calls.syncsPerLine);
      }
    }
    std::vector<Calls> medians(contenders.size());
    for (size_t c = 0; c < contenders.size(); ++c) {
      medians[c].writesPerLine = Median(writes[c]);
      medians[c].yieldsPerLine = Median(yields[c]);
      medians[c].syncsPerLine = Median(syncs[c]);
    }
    callsByThreads.push_back(medians);
    std::printf("| %d |", threads);
    const double floorNs = Median(perLine[0]);  // the floor is always first
    floorByThreads.emplace_back(threads, floorNs);
    for (size_t c = 0; c < contenders.size(); ++c) {
      const double ns = Median(perLine[c]);
      if (c == 0) {
        std::printf(" %.0f |", ns);
      } else {
        std::printf(" %.0f (%.2fx) |", ns, ns / floorNs);
      }
    }
    std::printf("\n");
    std::fflush(stdout);
  }

  if (!floorByThreads.empty()) {
    std::printf("\nThe floor's time per line against its own at %d thread%s (below 1x: appends "
                "from several threads overlap in this kernel):",
                floorByThreads[0].first, floorByThreads[0].first == 1 ? "" : "s");
    for (const auto& [threads, ns] : floorByThreads) {
      std::printf(" %d: %.2fx", threads, ns / floorByThreads[0].second);
    }
    std::printf("\n");
  }
  std::printf("\nSystem calls, medians: write calls per line, lines per write and sched_yield "
              "calls per line%s\n\n| threads |",
              g_durable ? "; fdatasync calls per line and lines per sync" : "");
  for (const Contender& c : contenders) std::printf(" %s |", c.name.c_str());
  std::printf("\n|---|");
  for (size_t i = 0; i < contenders.size(); ++i) std::printf("---|");
  std::printf("\n");
  for (size_t row = 0; row < callsByThreads.size(); ++row) {
    std::printf("| %d |", floorByThreads[row].first);
    for (const Calls& calls : callsByThreads[row]) {
      if (calls.writesPerLine <= 0) {
        std::printf(" n/a, %.2f yields |", calls.yieldsPerLine);
      } else {
        std::printf(" %.2f w, %.1f l/w, %.2f yields", calls.writesPerLine,
                    1.0 / calls.writesPerLine, calls.yieldsPerLine);
        if (g_durable && calls.syncsPerLine > 0) {
          std::printf(", %.3f syncs, %.1f l/s", calls.syncsPerLine, 1.0 / calls.syncsPerLine);
        }
        std::printf(" |");
      }
    }
    std::printf("\n");
  }

  std::printf("\nPer-call latency, ns\n\n| contender | threads | p50 | p99 | p99.9 | max |\n"
              "|---|---|---|---|---|---|\n");
  for (int threads : options.latencyThreads) {
    if (threads < 1) continue;
    for (const Contender& c : contenders) {
      std::vector<int64_t> latencies;
      RunOnce(c, options, threads, &latencies);
      std::sort(latencies.begin(), latencies.end());
      std::printf("| %s | %d | %" PRId64 " | %" PRId64 " | %" PRId64 " | %" PRId64 " |\n",
                  c.name.c_str(), threads, Percentile(latencies, 0.50),
                  Percentile(latencies, 0.99), Percentile(latencies, 0.999),
                  latencies.back());
    }
  }
  return 0;
}

// Counts the yields of every caller in the process (the library's waiters
// among them) and yields as the C library would.
extern "C" int sched_yield() {
  g_yields.fetch_add(1, std::memory_order_relaxed);
  return static_cast<int>(syscall(SYS_sched_yield));
}

// Counts the syncs of every caller in the process and syncs as the C
// library would.
extern "C" int fdatasync(int fd) {
  g_syncs.fetch_add(1, std::memory_order_relaxed);
  return static_cast<int>(syscall(SYS_fdatasync, fd));
}

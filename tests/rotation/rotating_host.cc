// A host whose logs logrotate rotates while it writes them. Writer threads
// write numbered messages, every fourth one three lines long, until the
// host gets SIGTERM; then it tears the library down and prints how many
// messages each tag wrote, one "TAG COUNT" line each, so that a script can
// check that every message is in the rotated files.
//
//   rotating_host MAIN_LOG              the app and db tags write into the
//                                       main log; SIGHUP makes the host
//                                       start the main log again under the
//                                       same name, as logrotate's `create`
//                                       needs.
//   rotating_host MAIN_LOG TARGET_LOG   the net tag writes into a module
//                                       target of its own file, which
//                                       logrotate's `copytruncate` rotates.
//
// The signal handlers only set flags; the main loop acts on them, since
// StartTrace takes locks and must not run inside a signal handler.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "razezir/trace.h"

namespace {

constexpr int kFlags =
    QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC | QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_MODULE;

std::atomic<bool> g_reopen{false};
std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int signal) { (signal == SIGHUP ? g_reopen : g_stop).store(true); }

struct Writer {
  const char16_t* tag;
  const char* name;
  int count;
};

void Write(Writer* writer) {
  const char16_t* tag = writer->tag;
  for (int n = 1; !g_stop.load(); ++n) {
    if (n % 4 == 0) {
      QXSTD::Trace1(tag, u"%s message %d\n  line 2 of %s message %d\n  line 3 of %s message %d\n",
                    tag, n, tag, n, tag, n);
    } else {
      QXSTD::Trace1(tag, u"%s message %d\n", tag, n);
    }
    writer->count = n;
    // Enough lines for each rotation to catch some on their way, without
    // filling the disk.
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s MAIN_LOG [TARGET_LOG]\n", argv[0]);
    return 2;
  }
  std::string mainLog = argv[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  QXSTD::InitTrace();
  QXSTD::StartTrace(1, &mainLog[0], kFlags);
  std::vector<Writer> writers = {{u"app", "app", 0}, {u"db", "db", 0}};
  if (argc == 3) {
    QXSTD::StartTraceModule(u"net", 1, argv[2]);
    writers = {{u"net", "net", 0}};
  }
  std::vector<std::thread> threads;
  for (Writer& writer : writers) threads.emplace_back(Write, &writer);

  while (!g_stop.load()) {
    if (g_reopen.exchange(false)) QXSTD::StartTrace(1, &mainLog[0], kFlags);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (std::thread& thread : threads) thread.join();
  QXSTD::DeinitTrace();
  for (const Writer& writer : writers) std::printf("%s %d\n", writer.name, writer.count);
  return 0;
}

// A host whose logs logrotate rotates while it writes them. Writer threads
// write numbered messages, every fourth one three lines long, until the
// host gets SIGTERM; then it tears the library down and prints how many
// messages each writer wrote, one "WRITER COUNT" line each, so that a script
// can check that every message is in the rotated files.
//
//   rotating_host create DIR        the main log DIR/app.log; a module
//                                   target app without a file of its own
//                                   and one, net, with DIR/net.log; thread
//                                   targets io, with DIR/io.log, and cpu,
//                                   without a file of its own (so into
//                                   app.log). Four threads write, two bound
//                                   to each thread target. SIGHUP makes the
//                                   host call ReopenTraceFiles, as
//                                   logrotate's `create` needs.
//   rotating_host copytruncate MAIN_LOG TARGET_LOG
//                                   one thread writes through a module
//                                   target net of its own file, which
//                                   logrotate's `copytruncate` rotates.
//
// A message reads "WRITER message N", WRITER being the thread target's name
// and the thread's number ("io1"), or "net" in the copytruncate mode. The
// signal handlers only set flags; the main loop acts on them, since
// ReopenTraceFiles takes locks and must not run inside a signal handler.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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
  std::u16string name;    // The message's first word.
  const char16_t* tag;    // The module tag it traces with.
  const char16_t* bound;  // The thread target it binds to, or null.
  int count;
};

void Write(Writer* writer) {
  if (writer->bound != nullptr) QXSTD::SetTraceThreadName(writer->bound);
  const char16_t* name = writer->name.c_str();
  for (int n = 1; !g_stop.load(); ++n) {
    if (n % 4 == 0) {
      QXSTD::Trace1(writer->tag,
                    u"%s message %d\n  line 2 of %s message %d\n  line 3 of %s message %d\n",
                    name, n, name, n, name, n);
    } else {
      QXSTD::Trace1(writer->tag, u"%s message %d\n", name, n);
    }
    writer->count = n;
    // Enough lines for each rotation to catch some on their way, without
    // filling the disk.
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool create = argc == 3 && std::strcmp(argv[1], "create") == 0;
  if (!create && !(argc == 4 && std::strcmp(argv[1], "copytruncate") == 0)) {
    std::fprintf(stderr, "usage: %s create DIR | copytruncate MAIN_LOG TARGET_LOG\n", argv[0]);
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  QXSTD::InitTrace();
  std::vector<Writer> writers;
  if (create) {
    const std::string dir = argv[2];
    QXSTD::StartTrace(1, (dir + "/app.log").c_str(), kFlags);
    QXSTD::StartTraceModule(u"app", 0);
    QXSTD::StartTraceModule(u"net", 1, (dir + "/net.log").c_str());
    QXSTD::StartTraceThread(u"io", 1, (dir + "/io.log").c_str());
    QXSTD::StartTraceThread(u"cpu", 1);
    writers = {{u"io1", u"app", u"io", 0},
               {u"io2", u"net", u"io", 0},
               {u"cpu1", u"net", u"cpu", 0},
               {u"cpu2", u"app", u"cpu", 0}};
  } else {
    QXSTD::StartTrace(1, argv[2], kFlags);
    QXSTD::StartTraceModule(u"net", 1, argv[3]);
    writers = {{u"net", u"net", nullptr, 0}};
  }
  std::vector<std::thread> threads;
  for (Writer& writer : writers) threads.emplace_back(Write, &writer);

  while (!g_stop.load()) {
    if (g_reopen.exchange(false)) QXSTD::ReopenTraceFiles();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (std::thread& thread : threads) thread.join();
  QXSTD::DeinitTrace();
  for (const Writer& writer : writers) {
    std::printf("%s %d\n", std::string(writer.name.begin(), writer.name.end()).c_str(),
                writer.count);
  }
  return 0;
}

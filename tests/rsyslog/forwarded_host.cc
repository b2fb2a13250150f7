// A host whose logs rsyslog forwards. It reads lines "FILE FIRST LAST [RATE]"
// from standard input; for each it starts the main log on FILE when that is
// not the file in use, writes the messages numbered FIRST to LAST (every
// third one three lines long), at RATE messages a second when RATE is given
// and as fast as it can otherwise, and answers "ok MICROSECONDS" once they
// are in the file, MICROSECONDS being the time from its first message to
// its last. A line "reopen" reopens the log files that were moved away, as a
// host does after a rotation, and is answered "ok" too; SIGHUP does the same
// between two messages, as logrotate's postrotate asks of a host
// (docs/operations.md), so that a rotation can come in the middle of a run.
// At the end of its input it tears the library down, which closes the last
// file with its Closed banner.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "razezir/trace.h"

namespace {

std::atomic<bool> g_reopen{false};

extern "C" void OnHangup(int) { g_reopen.store(true); }

}  // namespace

int main() {
  // SA_RESTART: a SIGHUP while the host waits for its next line must not
  // end its input.
  struct sigaction action {};
  action.sa_handler = OnHangup;
  action.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &action, nullptr);

  QXSTD::InitTrace();
  std::string current;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "reopen") {
      QXSTD::ReopenTraceFiles();
      std::printf("ok\n");
      std::fflush(stdout);
      continue;
    }
    std::istringstream fields(line);
    std::string file;
    int first = 0;
    int last = -1;
    double rate = 0;
    fields >> file >> first >> last >> rate;
    if (file != current) {
      current = file;
      QXSTD::StartTrace(1, &current[0], QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC |
                                            QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_MODULE);
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (int n = first; n <= last; ++n) {
      // Message FIRST + k is due k / RATE seconds after the first: a late
      // one is not waited for, so the run keeps the rate on average.
      if (rate > 0) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>((n - first) / rate)));
      }
      if (g_reopen.exchange(false)) QXSTD::ReopenTraceFiles();
      if (n % 3 == 0) {
        QXSTD::Trace1(u"app", u"message %d\n  line 2 of message %d\n  line 3 of message %d\n",
                      n, n, n);
      } else {
        QXSTD::Trace1(u"app", u"message %d\n", n);
      }
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    std::printf("ok %lld\n", static_cast<long long>(elapsed.count()));
    std::fflush(stdout);
  }
  QXSTD::DeinitTrace();
  return 0;
}

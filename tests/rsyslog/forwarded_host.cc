// A host whose logs rsyslog forwards. It reads lines "FILE FIRST LAST" from
// standard input; for each it starts the main log on FILE when that is not
// the file in use, writes the messages numbered FIRST to LAST (every third
// one three lines long), and answers "ok" once they are in the file. A line
// "reopen" reopens the log files that were moved away, as a host does after
// a rotation, and is answered "ok" too. At the end of its input it tears the
// library down, which closes the last file with its Closed banner.

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "razezir/trace.h"

int main() {
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
    fields >> file >> first >> last;
    if (file != current) {
      current = file;
      QXSTD::StartTrace(1, &current[0], QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC |
                                            QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_MODULE);
    }
    for (int n = first; n <= last; ++n) {
      if (n % 3 == 0) {
        QXSTD::Trace1(u"app", u"message %d\n  line 2 of message %d\n  line 3 of message %d\n",
                      n, n, n);
      } else {
        QXSTD::Trace1(u"app", u"message %d\n", n);
      }
    }
    std::printf("ok\n");
    std::fflush(stdout);
  }
  QXSTD::DeinitTrace();
  return 0;
}

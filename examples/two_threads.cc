// A small host: it starts tracing into a log file with a time, thread id and
// module prefix, traces from two threads, tears the library down and prints
// the file.

#include <cstdio>
#include <string>
#include <thread>

#include "razezir/trace.h"

namespace {

void PrintFile(const char* path) {
  std::printf("---- %s ----\n", path);
  if (std::FILE* in = std::fopen(path, "r")) {
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
      std::fwrite(chunk, 1, n, stdout);
    }
    std::fclose(in);
  }
}

void Worker(const char16_t* tag, int count) {
  for (int i = 1; i <= count; ++i) {
    QXSTD::Trace2(tag, u"step %d of %d, %s at %.1f%%\n", i, count, u"progress",
                  100.0 * i / count);
  }
  QXSTD::Trace(4, tag, u"too verbose for level 3: not written\n");
}

}  // namespace

int main() {
  char mainLog[] = "two_threads.log";
  std::remove(mainLog);
  QXSTD::InitTrace();
  QXSTD::StartTrace(3, mainLog, QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC |
                                    QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_MODULE);
  QXSTD::Trace1(u"main", u"tracing to %hs\n", mainLog);

  std::thread network(Worker, u"net", 3);
  std::thread storage(Worker, u"db", 3);
  network.join();
  storage.join();

  int level = 0;
  QXSTD::IsTraceStarted(&level);
  QXSTD::Trace1(u"main", u"both threads done, level %d\n", level);
  QXSTD::DeinitTrace();

  PrintFile(mainLog);
  return 0;
}

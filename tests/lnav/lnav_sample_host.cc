// Writes a small set of logs in every prefix layout the lnav format knows,
// into the directory given as the only argument, so that a script can check
// what lnav reads from them. What is written does not depend on timing: the
// two worker threads write fixed numbers of messages, and only their order
// between each other varies.
//
//   main.log     flags 0x17 (time with milliseconds, thread id, tag): the main
//                log, with the db and app tags routed into it, a message that
//                spans three lines, and Started and Closed banners.
//   net.log      flags 0x17: the file of the net module target, with its own
//                Started banner.
//   seconds.log  flags 0x03: time without milliseconds, and the tag.
//   bare.log     flags 0x04: the thread id alone, no time.

#include <cstdio>
#include <string>
#include <thread>

#include "razezir/trace.h"

namespace {

void Worker(const char16_t* tag, int count) {
  for (int i = 1; i <= count; ++i) {
    QXSTD::Trace2(tag, u"%s message %d of %d\n", tag, i, count);
  }
}

// One file written by a fresh trace state with FLAGS.
void WriteSingleLayout(const std::string& path, int flags) {
  std::remove(path.c_str());
  std::string name = path;
  QXSTD::InitTrace();
  QXSTD::StartTrace(3, &name[0], flags);
  QXSTD::Trace1(u"app", u"first of two\n");
  QXSTD::Trace1(u"app", u"second of two\n");
  QXSTD::DeinitTrace();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::string mainLog = dir + "/main.log";
  std::string netLog = dir + "/net.log";
  std::remove(mainLog.c_str());
  std::remove(netLog.c_str());

  QXSTD::InitTrace();
  QXSTD::StartTrace(3, &mainLog[0], QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC |
                                        QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_MODULE);
  QXSTD::StartTraceModule(u"net", 5, &netLog[0]);
  QXSTD::StartTraceModule(u"db", 0, nullptr);
  QXSTD::StartTraceModule(u"app", 0, nullptr);

  QXSTD::Trace1(u"app", u"starting %d workers\n", 2);
  std::thread network(Worker, u"net", 5);
  std::thread storage(Worker, u"db", 4);
  network.join();
  storage.join();
  QXSTD::Trace1(u"app", u"rows:\n  id=1\n  id=2\n");
  QXSTD::Trace1(u"app", u"workers done\n");
  QXSTD::DeinitTrace();

  WriteSingleLayout(dir + "/seconds.log", QXSTD::TRACE_TIME | QXSTD::TRACE_MODULE);
  WriteSingleLayout(dir + "/bare.log", QXSTD::TRACE_THREAD_ID);
  return 0;
}

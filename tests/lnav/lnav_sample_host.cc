// Writes a small set of logs in every prefix layout the lnav format knows,
// into the directory given as the only argument, so that a script can check
// what lnav reads from them. What is written does not depend on timing: the
// threads write fixed numbers of messages, and only their order between
// each other varies. Files written one after another stay in that order in
// time, whatever zone each is written in.
//
//   main.log     flags 0x17 (time with milliseconds, thread id, tag): the main
//                log, with the db and app tags routed into it, a message that
//                spans three lines, and Started and Closed banners.
//   net.log      flags 0x17: the file of the net module target, with its own
//                Started banner.
//   seconds.log  flags 0x03: time without milliseconds, and the tag.
//   bare.log     flags 0x04: the thread id alone, no time.
//   level.log    flags 0x81: the level alone, one message at each of the
//                levels -5, 0, 1, 2, 3, 4, 5 and 100.
//   name.log     flags 0x101: the thread name alone, from an unbound thread
//                (1 message), "worker" (2) and "db pool #2" (3).
//   east.log     flags 0x397: every field (ISO time with milliseconds and
//                offset, level, thread id, name, tag), written in the zone
//                Asia/Kolkata (+05:30): an unbound thread at level 1 with
//                tag app (1 message), "worker" at level 2 with tag net (2),
//                "db pool #2" at level 4 with tag db (3).
//   utc.log      flags 0x797: the same in UTC (Z), written after east.log.
//   west.log     flags 0x201: ISO time without milliseconds alone, written
//                in the zone America/New_York (-05:00) after utc.log.
//   utc_seconds.log  flags 0x601: ISO time in UTC without milliseconds.
//   utc_plain.log    flags 0x401: UTC in the older form, which names no zone.
//
// The files in UTC are written with the zone set to UTC, so that their
// banners, whose time is always local, agree with their lines.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "razezir/trace.h"

namespace {

void Worker(const char16_t* tag, int count) {
  for (int i = 1; i <= count; ++i) {
    QXSTD::Trace2(tag, u"%s message %d of %d\n", tag, i, count);
  }
}

// Runs WRITE on a thread of its own, with ZONE as the local time zone of the
// process. The library keeps the time text of the current second per
// thread, so a thread that traced in this second before the change would
// still write the old zone's time until the next second; a new thread has
// nothing kept.
template <typename Write>
void InZone(const char* zone, Write write) {
  setenv("TZ", zone, 1);
  tzset();
  std::thread(write).join();
}

// Messages at LEVEL with TAG from a thread bound to NAME (none when null).
void NamedWorker(const char16_t* name, int level, const char16_t* tag, int count) {
  if (name != nullptr) QXSTD::SetTraceThreadName(name);
  for (int i = 1; i <= count; ++i) {
    QXSTD::Trace(level, tag, u"message %d of %d at level %d\n", i, count, level);
  }
  if (name != nullptr) QXSTD::UnregisterTraceThread();
}

// One file written by a fresh trace state with FLAGS: the calling thread,
// unbound, "worker" and "db pool #2", as the file list above says.
void WriteNamedLayout(const std::string& path, int flags) {
  std::remove(path.c_str());
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, path.c_str(), flags);
  NamedWorker(nullptr, 1, u"app", 1);
  std::thread worker(NamedWorker, u"worker", 2, u"net", 2);
  std::thread pool(NamedWorker, u"db pool #2", 4, u"db", 3);
  worker.join();
  pool.join();
  QXSTD::DeinitTrace();
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

void WriteLevels(const std::string& path) {
  std::remove(path.c_str());
  QXSTD::InitTrace();
  QXSTD::StartTrace(100, path.c_str(), QXSTD::TRACE_TIME | QXSTD::TRACE_LEVEL);
  for (int level : {-5, 0, 1, 2, 3, 4, 5, 100}) {
    QXSTD::Trace(level, u"app", u"at level %d\n", level);
  }
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
  WriteLevels(dir + "/level.log");
  WriteNamedLayout(dir + "/name.log", QXSTD::TRACE_TIME | QXSTD::TRACE_THREAD_NAME);

  const int all = QXSTD::TRACE_TIME | QXSTD::TRACE_MSEC | QXSTD::TRACE_LEVEL |
                  QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_THREAD_NAME |
                  QXSTD::TRACE_MODULE | QXSTD::TRACE_ISO_TIME;
  InZone("Asia/Kolkata", [&] { WriteNamedLayout(dir + "/east.log", all); });
  InZone("UTC", [&] { WriteNamedLayout(dir + "/utc.log", all | QXSTD::TRACE_UTC); });
  InZone("America/New_York", [&] {
    WriteSingleLayout(dir + "/west.log", QXSTD::TRACE_TIME | QXSTD::TRACE_ISO_TIME);
  });
  InZone("UTC", [&] {
    WriteSingleLayout(dir + "/utc_seconds.log",
                      QXSTD::TRACE_TIME | QXSTD::TRACE_ISO_TIME | QXSTD::TRACE_UTC);
    WriteSingleLayout(dir + "/utc_plain.log", QXSTD::TRACE_TIME | QXSTD::TRACE_UTC);
  });
  return 0;
}

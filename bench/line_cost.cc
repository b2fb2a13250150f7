// A single-thread host for counting the user-space instructions of one line
// under callgrind (see line_cost.sh): it writes COUNT lines of one KIND to
// FILE through the shared library, at main level 5 with the full prefix
// (flags 0x17).
//   int     Trace(1, u"bench", u"message %d of %s\n", i, u"run"), i the line's number
//   real    Trace(1, u"bench", u"took %.3f ms\n", i * 0.001)
//   target  the int line behind a module target "bench" without a file of its
//           own (it writes into the main log's file)
//   fields  the int line with every field of the prefix (flags 0x397: the
//           ISO time with its zone and milliseconds, the level, the thread's
//           id and bound name, the tag)
// Built twice, as C++17 and as C++20, whose front ends hand the library a
// format parsed at compile time.

#include <cstdlib>
#include <cstring>

#include "razezir/trace.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const char* kind = argv[2];
  const int count = std::atoi(argv[3]);
  const bool real = std::strcmp(kind, "real") == 0;
  const bool target = std::strcmp(kind, "target") == 0;
  const bool fields = std::strcmp(kind, "fields") == 0;
  if (!real && !target && !fields && std::strcmp(kind, "int") != 0) return 2;
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, argv[1], fields ? 0x397 : 0x17);
  if (fields) QXSTD::SetTraceThreadName(u"main");
  if (target) QXSTD::StartTraceModule(u"bench", 5, nullptr);
  for (int i = 0; i < count; ++i) {
    if (real) {
      QXSTD::Trace(1, u"bench", u"took %.3f ms\n", i * 0.001);
    } else {
      QXSTD::Trace(1, u"bench", u"message %d of %s\n", i, u"run");
    }
  }
  QXSTD::DeinitTrace();
  return 0;
}

// A single-thread host for counting the user-space instructions of one line
// under callgrind (see line_cost.sh): it writes COUNT lines of one KIND to
// FILE through the shared library, with the full prefix (flags 0x17).
//   int     u"message %d of %s\n" with 5 and u"run"
//   real    u"took %.3f ms\n" with a double
//   target  the int line, tagged "app", behind a module target without a
//           file of its own (it writes into the main log's file)

#include <cstdlib>
#include <cstring>

#include "razezir/trace.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const char* kind = argv[2];
  const int count = std::atoi(argv[3]);
  const bool real = std::strcmp(kind, "real") == 0;
  const bool target = std::strcmp(kind, "target") == 0;
  if (!real && !target && std::strcmp(kind, "int") != 0) return 2;
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, argv[1], 0x17);
  if (target) QXSTD::StartTraceModule(u"app", 0);
  for (int i = 0; i < count; ++i) {
    if (real) {
      QXSTD::Trace2(u"app", u"took %.3f ms\n", 0.25 + i);
    } else {
      QXSTD::Trace2(u"app", u"message %d of %s\n", 5, u"run");
    }
  }
  QXSTD::DeinitTrace();
  return 0;
}

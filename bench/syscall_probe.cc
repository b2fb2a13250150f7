// Emits N messages with the full prefix to a log file, for counting the
// system calls of steady-state emission (see syscalls.sh).

#include <cstdlib>

#include "razezir/trace.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int count = std::atoi(argv[2]);
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, argv[1], 0x17);
  for (int i = 0; i < count; ++i) {
    QXSTD::Trace2(u"net", u"message %d of %d: %s\n", i, count, u"payload");
  }
  QXSTD::DeinitTrace();
  return 0;
}

// Emits N messages with the full prefix to a log file, for counting the
// system calls of steady-state emission (see syscalls.sh), from one thread
// or, with a third argument T, from each of T threads at once (see
// threads_syscalls.sh).

#include <cstdlib>
#include <thread>
#include <vector>

#include "razezir/trace.h"

namespace {

void Emit(int count) {
  for (int i = 0; i < count; ++i) {
    QXSTD::Trace2(u"net", u"message %d of %d: %s\n", i, count, u"payload");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  const int count = std::atoi(argv[2]);
  const int threads = argc == 4 ? std::atoi(argv[3]) : 1;
  if (threads < 1) return 2;
  QXSTD::InitTrace();
  QXSTD::StartTrace(5, argv[1], 0x17);
  if (threads == 1) {
    Emit(count);
  } else {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(Emit, count);
    for (std::thread& thread : pool) thread.join();
  }
  QXSTD::DeinitTrace();
  return 0;
}

// A host built outside the razezir tree against an installed copy (through
// the CMake package or pkg-config) or as part of a parent project: it traces
// one line into a log file and checks that the line is there.

#include <cstdio>
#include <cstring>
#include <string>

#include "razezir/trace.h"

int main(int argc, char** argv) {
  std::string log = argc > 1 ? argv[1] : "consumer.log";
  std::remove(log.c_str());
  QXSTD::InitTrace();
  QXSTD::StartTrace(2, &log[0], QXSTD::TRACE_MODULE);
  QXSTD::Trace1(u"host", u"consumer %hs\n", "linked");
  QXSTD::DeinitTrace();

  std::FILE* in = std::fopen(log.c_str(), "r");
  if (in == nullptr) {
    std::fprintf(stderr, "no log file %s\n", log.c_str());
    return 1;
  }
  char line[256];
  bool found = false;
  while (std::fgets(line, sizeof line, in) != nullptr) {
    found = found || std::strcmp(line, "    host: consumer linked\n") == 0;
  }
  std::fclose(in);
  std::printf("%s: %s\n", log.c_str(), found ? "traced" : "line missing");
  return found ? 0 : 1;
}

// A host that knows only the public header and links only the shared
// library: it traces through every kind of call and reads its log back.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "razezir/trace.h"

namespace {

void Wrapper(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  QXSTD::TraceCommon(2, u"wrap", format, args);
  va_end(args);
}

}  // namespace

int main() {
  char path[] = "/tmp/razezir-public-host-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  QXSTD::InitTrace();
  QXSTD::StartTrace(3, path, 0);
  const unsigned short plain[] = {'p', 'l', 'a', 'i', 'n', '\n', 0};
  QXSTD::Trace(1, plain, plain);
  QXSTD::Trace(2, u"m", u"%d %s %hs\n", 2, u"wide", "narrow");
  QXSTD::Trace3(u"m", u"%.2f\n", 3.14159);
  Wrapper(u"%ls\n", u"wrapped");
  QXSTD::StartTraceModule(u"m", 0);
  QXSTD::Trace1(u"m", u"module\n");
  int size = 0;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  QXSTD::DeinitTrace();

  std::FILE* in = std::fopen(path, "r");
  std::string text;
  char chunk[512];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) text.append(chunk, n);
  std::fclose(in);
  std::remove(path);
  const char* expected = "plain\n2 wide narrow\n3.14\nwrapped\nmodule\n";
  if (text.find(expected) == std::string::npos || size != static_cast<int>(std::strlen(path) + 1)) {
    std::fprintf(stderr, "unexpected log:\n%s", text.c_str());
    return 1;
  }
  return 0;
}

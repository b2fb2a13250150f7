// A host that knows only the public header and links only the shared
// library: it traces through every kind of call and reads its log back. It
// is built with -Wwrite-strings, and names its files in every way a host
// writes them: each picks one StartTrace, without a warning.
// Built with RAZEZIR_DLOPEN_HOST, it links nothing of the library and loads
// it with dlopen instead, after a thread of its own exists, and traces from
// both threads: the library's per-thread storage must be there for a
// thread that predates it.

#include <unistd.h>
#if defined(RAZEZIR_DLOPEN_HOST)
#include <dlfcn.h>

#include <thread>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "razezir/trace.h"

namespace {

#if !defined(RAZEZIR_DLOPEN_HOST)
void Wrapper(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  QXSTD::TraceCommon(2, u"wrap", format, args);
  va_end(args);
}
#endif

std::string ReadAndRemove(const char* path) {
  std::FILE* in = std::fopen(path, "r");
  std::string text;
  char chunk[512];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) text.append(chunk, n);
  std::fclose(in);
  std::remove(path);
  return text;
}

}  // namespace

#if defined(RAZEZIR_DLOPEN_HOST)

template <typename Fn>
Fn Symbol(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  char path[] = "/tmp/razezir-dlopen-host-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  bool loaded = false;
  bool traced = false;
  using TraceFn = void (*)(const unsigned short*, const unsigned short*, ...);
  TraceFn trace = nullptr;
  std::thread early([&] {
    while (!__atomic_load_n(&loaded, __ATOMIC_ACQUIRE)) std::this_thread::yield();
    const unsigned short tag[] = {'m', 0};
    const unsigned short format[] = {'e', 'a', 'r', 'l', 'y', ' ', '%', 'd', '\n', 0};
    trace(tag, format, 1);
    __atomic_store_n(&traced, true, __ATOMIC_RELEASE);
  });
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    __atomic_store_n(&loaded, true, __ATOMIC_RELEASE);
    early.join();
    return 1;
  }
  auto init = Symbol<void (*)()>(library, "_ZN5QXSTD9InitTraceEv");
  auto start = Symbol<void (*)(int, char*, int)>(library, "_ZN5QXSTD10StartTraceEiPci");
  auto deinit = Symbol<void (*)()>(library, "_ZN5QXSTD11DeinitTraceEv");
  trace = Symbol<TraceFn>(library, "_ZN5QXSTD6Trace1EPKtS1_z");
  if (init == nullptr || start == nullptr || deinit == nullptr || trace == nullptr) return 1;
  init();
  start(1, path, 0);
  __atomic_store_n(&loaded, true, __ATOMIC_RELEASE);
  early.join();
  const unsigned short tag[] = {'m', 0};
  const unsigned short format[] = {'l', 'o', 'a', 'd', 'e', 'r', '\n', 0};
  trace(tag, format);
  deinit();
  dlclose(library);
  const std::string text = ReadAndRemove(path);
  if (!traced || text.find("early 1\nloader\n") == std::string::npos) {
    std::fprintf(stderr, "unexpected log:\n%s", text.c_str());
    return 1;
  }
  return 0;
}

#else

int main() {
  char path[] = "/tmp/razezir-public-host-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  const std::string name = path;
  QXSTD::InitTrace();
  QXSTD::StartTrace(3, name.c_str(), 0);
  const unsigned short plain[] = {'p', 'l', 'a', 'i', 'n', '\n', 0};
  QXSTD::Trace(1, plain, plain);
  QXSTD::Trace(2, u"m", u"%d %s %hs\n", 2, u"wide", "narrow");
  QXSTD::Trace3(u"m", u"%.2f\n", 3.14159);
  Wrapper(u"%ls\n", u"wrapped");
  QXSTD::StartTraceModule(u"m", 0);
  QXSTD::Trace1(u"m", u"module\n");
  int size = 0;
  QXSTD::GetTraceLogFileName(nullptr, &size);
  // Standard output, four ways.
  QXSTD::StartTrace(3, "", 0);
  QXSTD::StartTrace(3, nullptr, 0);
  QXSTD::StartTrace(3, NULL, 0);
  QXSTD::StartTrace(3, 0, 0);
  QXSTD::DeinitTrace();

  const std::string text = ReadAndRemove(path);
  const char* expected = "plain\n2 wide narrow\n3.14\nwrapped\nmodule\n";
  if (text.find(expected) == std::string::npos || size != static_cast<int>(std::strlen(path) + 1)) {
    std::fprintf(stderr, "unexpected log:\n%s", text.c_str());
    return 1;
  }
  return 0;
}

#endif  // defined(RAZEZIR_DLOPEN_HOST)

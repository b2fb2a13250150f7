// A host that knows only the public header and links only the shared
// library: it traces through every kind of call and reads its log back. It
// is built with -Wwrite-strings, and names its files in every way a host
// writes them: each picks one StartTrace, without a warning.
// Built with RAZEZIR_DLOPEN_HOST, it links nothing of the library and loads
// it with dlopen instead, after a thread of its own exists, and traces from
// both threads: the library's per-thread storage must be there for a
// thread that predates it. It loads and unloads the library twenty times,
// with both threads alive throughout: what the library keeps for a thread
// must go with it, or the heap grows at every unload.

#include <unistd.h>
#if defined(RAZEZIR_DLOPEN_HOST)
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>
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

using TraceFn = void (*)(const unsigned short*, const unsigned short*, ...);
// The loaded library's Trace1, for the early thread.
std::atomic<TraceFn> g_trace{nullptr};

// The library loaded, tracing into `path`, and the calls the host uses.
struct Loaded {
  void* library = nullptr;
  void (*deinit)() = nullptr;
  TraceFn trace = nullptr;
};

// Loads the library and starts tracing into `path`; false on any failure.
bool LoadAndStart(const char* libraryPath, const char* path, Loaded* loaded) {
  void* library = dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return false;
  }
  auto init = Symbol<void (*)()>(library, "_ZN5QXSTD9InitTraceEv");
  auto start = Symbol<void (*)(int, char*, int)>(library, "_ZN5QXSTD10StartTraceEiPci");
  loaded->library = library;
  loaded->deinit = Symbol<void (*)()>(library, "_ZN5QXSTD11DeinitTraceEv");
  loaded->trace = Symbol<TraceFn>(library, "_ZN5QXSTD6Trace1EPKtS1_z");
  if (init == nullptr || start == nullptr || loaded->deinit == nullptr ||
      loaded->trace == nullptr) {
    return false;
  }
  init();
  start(1, const_cast<char*>(path), 0);
  return true;
}

// One load of the library: the early thread and this one trace, and the
// log must hold both lines. Returns false on any failure.
bool TraceFromBothThreads(const char* libraryPath, const char* path,
                          std::atomic<int>* cycle, std::atomic<int>* traced) {
  Loaded loaded;
  if (!LoadAndStart(libraryPath, path, &loaded)) return false;
  auto trace = loaded.trace;
  g_trace.store(trace);
  const int wanted = cycle->load() + 1;
  cycle->store(wanted);
  while (traced->load() != wanted) std::this_thread::yield();
  const unsigned short tag[] = {'m', 0};
  const unsigned short format[] = {'l', 'o', 'a', 'd', 'e', 'r', '\n', 0};
  trace(tag, format);
  loaded.deinit();
  dlclose(loaded.library);
  const std::string text = ReadAndRemove(path);
  if (text.find("early " + std::to_string(wanted) + "\nloader\n") == std::string::npos) {
    std::fprintf(stderr, "unexpected log:\n%s", text.c_str());
    return false;
  }
  return true;
}

// Sanitizers map memory of their own for every thread and allocation, which
// hides what the library maps; the count is made without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The bytes of the process's anonymous writable mappings.
size_t AnonymousBytes() {
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return 0;
  size_t total = 0;
  char line[512];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long from = 0;
    unsigned long to = 0;
    char perms[8] = {};
    int pathAt = 0;
    if (std::sscanf(line, "%lx-%lx %7s %*s %*s %*s %n", &from, &to, perms, &pathAt) < 3) continue;
    // The format's last space has skipped the blanks, and the line end, of a
    // line without a path.
    if (std::strcmp(perms, "rw-p") == 0 && line[pathAt] == '\0') total += to - from;
  }
  std::fclose(maps);
  return total;
}

// More threads than the library's pool of deferred lines trace, and the
// library is unloaded while they live: once they have exited, nothing the
// library took for them is left mapped. Returns false on any failure.
bool ThreadsOutliveTheLibrary(const char* libraryPath, const char* path) {
  constexpr int kThreads = 100;
  constexpr int kRounds = 4;
  size_t before = 0;
  for (int round = 0; round < kRounds; ++round) {
    // The C library's own caches (thread stacks, arenas) fill in the first.
    if (round == 1) before = AnonymousBytes();
    Loaded loaded;
    if (!LoadAndStart(libraryPath, path, &loaded)) return false;
    struct Shared {
      TraceFn trace;
      std::atomic<int> traced{0};
      std::atomic<bool> leave{false};
    } shared;
    shared.trace = loaded.trace;
    // Small stacks, which the C library keeps for reuse, so that the
    // threads of each round take the same memory as the last.
    pthread_attr_t small;
    pthread_attr_init(&small);
    pthread_attr_setstacksize(&small, 64 << 10);
    std::vector<pthread_t> threads(kThreads);
    for (pthread_t& thread : threads) {
      pthread_create(&thread, &small, [](void* context) -> void* {
        auto* shared = static_cast<Shared*>(context);
        const unsigned short tag[] = {'m', 0};
        const unsigned short format[] = {'t', '\n', 0};
        shared->trace(tag, format);
        ++shared->traced;
        while (!shared->leave.load()) std::this_thread::yield();
        return nullptr;
      }, &shared);
    }
    pthread_attr_destroy(&small);
    while (shared.traced.load() != kThreads) std::this_thread::yield();
    loaded.deinit();
    dlclose(loaded.library);
    shared.leave = true;
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    ReadAndRemove(path);
  }
  const size_t after = AnonymousBytes();
  if (after > before && !kSanitized) {
    std::fprintf(stderr, "%zu bytes more mapped after %d rounds of %d threads\n",
                 after - before, kRounds - 1, kThreads);
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  char path[] = "/tmp/razezir-dlopen-host-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  constexpr int kCycles = 20;
  std::atomic<int> cycle{0};
  std::atomic<int> traced{0};
  std::atomic<bool> stop{false};
  std::thread early([&] {
    const unsigned short tag[] = {'m', 0};
    const unsigned short format[] = {'e', 'a', 'r', 'l', 'y', ' ', '%', 'd', '\n', 0};
    for (int done = 0; !stop.load();) {
      const int now = cycle.load();
      if (now == done) {
        std::this_thread::yield();
        continue;
      }
      g_trace.load()(tag, format, now);
      done = now;
      traced.store(now);
    }
  });
  // The C library's own bookkeeping of loaded objects grows over the first
  // few loads; the heap is measured over the last ten.
  constexpr int kMeasuredFrom = kCycles - 10;
  bool ok = true;
  size_t inUse = 0;
  for (int i = 0; i < kCycles && ok; ++i) {
    if (i == kMeasuredFrom) inUse = mallinfo2().uordblks;
    ok = TraceFromBothThreads(argv[1], path, &cycle, &traced);
  }
  // What a thread that traced has from the library (its deferred line is
  // 2 KiB) stays within the library: ten unloads with two threads alive
  // would leave 40 KiB otherwise.
  const size_t grown = mallinfo2().uordblks - inUse;
  if (ok && grown >= 2048) {
    std::fprintf(stderr, "the heap grew by %zu bytes over ten unloads\n", grown);
    ok = false;
  }
  stop.store(true);
  early.join();
  return ok && ThreadsOutliveTheLibrary(argv[1], path) ? 0 : 1;
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
  // Arguments go with their types: a long long at its width, a narrow
  // string for %s as it is, string objects directly, unsigned values whole.
  const std::string user = "h\xC3\xA9llo";
  const std::u16string wide = u"wide";
  QXSTD::Trace2(u"m", u"%d %s %s %s %x %u\n", 5000000000LL, user.c_str(), user, wide,
                0x123456789ULL, 4000000000U);
#if !RAZEZIR_FORMAT_CHECK
  // A C++17 host can still pass a string to %d: a marker takes its place,
  // and the pointer is not read.
  QXSTD::Trace2(u"m", u"%d|\n", reinterpret_cast<const char*>(16));
#endif
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
  const char* expected =
      "plain\n2 wide narrow\n3.14\nwrapped\n"
      "5000000000 h\xC3\xA9llo h\xC3\xA9llo wide 123456789 4000000000\n"
#if !RAZEZIR_FORMAT_CHECK
      "%!d(string)|\n"
#endif
      "module\n";
  if (text.find(expected) == std::string::npos || size != static_cast<int>(std::strlen(path) + 1)) {
    std::fprintf(stderr, "unexpected log:\n%s", text.c_str());
    return 1;
  }
  return 0;
}

#endif  // defined(RAZEZIR_DLOPEN_HOST)

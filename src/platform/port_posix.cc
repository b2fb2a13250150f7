// The platform contract on POSIX systems (Linux first): pthread recursive
// mutexes, the kernel thread id, clock_gettime and localtime_r, fopen with
// close-on-exec, and pthread_atfork.

#include "platform/port.h"

#include <langinfo.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace razezir {

namespace {

static_assert(sizeof(pthread_mutex_t) <= 64, "native lock storage too small");
static_assert(alignof(pthread_mutex_t) <= 16, "native lock storage misaligned");

pthread_mutex_t* Native(unsigned char* storage) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

void InitRecursive(unsigned char* storage) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  new (storage) pthread_mutex_t;
  pthread_mutex_init(Native(storage), &attr);
  pthread_mutexattr_destroy(&attr);
}

// Zero means "not asked yet": no Linux thread has id 0.
thread_local uint32_t t_threadId = 0;

std::atomic<bool> g_forkHandlersInstalled{false};
void (*g_forkPrepare)() = nullptr;
void (*g_forkParent)() = nullptr;
void (*g_forkChild)() = nullptr;

void RunForkPrepare() { g_forkPrepare(); }
void RunForkParent() { g_forkParent(); }
void RunForkChild() {
  // The child's only thread has a new kernel id; the cached one is the
  // parent's and would mark the child's lines, and key its bindings, wrongly.
  t_threadId = 0;
  g_forkChild();
}

}  // namespace

CriticalSectionLock::CriticalSectionLock() { InitRecursive(native_); }

CriticalSectionLock::~CriticalSectionLock() {
  pthread_mutex_destroy(Native(native_));
}

void CriticalSectionLock::EnterNative() { pthread_mutex_lock(Native(native_)); }

void CriticalSectionLock::LeaveNative() { pthread_mutex_unlock(Native(native_)); }

void CriticalSectionLock::ResetInForkChild() {
  // glibc's recursive mutex records its owner by kernel thread id, which
  // changes in the child, so the child cannot unlock what its parent thread
  // locked. Starting the mutex afresh is sound because the child has one
  // thread and the prepare handler left no critical section half done.
  InitRecursive(native_);
#ifndef NDEBUG
  owner_.store(0, std::memory_order_relaxed);
  depth_ = 0;
#endif  // NDEBUG
}


namespace platform {

uint32_t CurrentThreadId() {
  uint32_t id = t_threadId;
  if (id == 0) {
    id = static_cast<uint32_t>(syscall(SYS_gettid));
    t_threadId = id;
  }
  return id;
}

WallClock ReadWallClock() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return WallClock{now.tv_sec, static_cast<int>(now.tv_nsec / 1000000)};
}

bool ToLocalTime(time_t seconds, struct tm* out) {
  return localtime_r(&seconds, out) != nullptr;
}

const char* LocaleCodeset() { return nl_langinfo(CODESET); }

long double NextLongDoubleArg(va_list* args) { return va_arg(*args, long double); }

FILE* OpenAppendStream(const char* fileName) {
  // "e" is glibc's O_CLOEXEC: a log file must not leak into programs that
  // the host runs.
  FILE* stream = std::fopen(fileName, "ae");
  if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

void WriteToOwnStream(FILE* stream, const char* data, size_t nBytes) {
  const int fd = fileno(stream);
  while (nBytes > 0) {
    ssize_t written = write(fd, data, nBytes);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    nBytes -= static_cast<size_t>(written);
  }
}

void InstallForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
  if (g_forkHandlersInstalled.exchange(true)) return;
  g_forkPrepare = prepare;
  g_forkParent = parent;
  g_forkChild = child;
  pthread_atfork(RunForkPrepare, RunForkParent, RunForkChild);
}

}  // namespace platform
}  // namespace razezir

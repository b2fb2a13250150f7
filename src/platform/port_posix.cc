// The platform contract on POSIX systems: pthread recursive mutexes, a thread
// id, clock_gettime and localtime_r, nl_langinfo, log files opened with
// close-on-exec, and pthread_atfork. Linux is the system it is built and
// tested on; the two calls Linux has and POSIX lacks (the kernel thread id
// and O_CLOEXEC) are feature-tested, with a fallback for the other systems.

#include "platform/port.h"

#include <fcntl.h>
#include <langinfo.h>
#include <pthread.h>
#include <sys/stat.h>
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

#if defined(SYS_gettid)
// The kernel's id of the thread, the one that ps, top and debuggers show.
uint32_t AskThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }
#else
// POSIX has no numeric thread id (pthread_t may be a pointer or a
// structure), so threads are numbered from 1 in the order they first ask.
std::atomic<uint32_t> g_threadsNumbered{0};
uint32_t AskThreadId() {
  return g_threadsNumbered.fetch_add(1, std::memory_order_relaxed) + 1;
}
#endif  // defined(SYS_gettid)

#if defined(O_CLOEXEC)
constexpr int kOpenBaseFlags = O_CLOEXEC;
#else
constexpr int kOpenBaseFlags = 0;
#endif  // defined(O_CLOEXEC)

// Zero means "not asked yet": no thread gets id 0.
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

// Writes all `nBytes` unless the system fails, retrying after a partial
// write or a signal; returns how many bytes reached the descriptor.
size_t WriteToDescriptor(int fd, const char* data, size_t nBytes) {
  size_t done = 0;
  while (done < nBytes) {
    ssize_t written = write(fd, data + done, nBytes - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(written);
  }
  return done;
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
    id = AskThreadId();
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
  // localtime_r, unlike localtime, need not look at TZ again: without tzset
  // a zone the host changed in its environment would never be seen.
  tzset();
  return localtime_r(&seconds, out) != nullptr;
}

const char* LocaleCodeset() { return nl_langinfo(CODESET); }

long double NextLongDoubleArg(va_list* args) { return va_arg(*args, long double); }

FILE* OpenAppendStream(const char* fileName) {
  // A log file must not leak into programs that the host runs. Without
  // O_CLOEXEC the flag is set right after the open, which leaves a window in
  // which a concurrent exec inherits the file.
  int fd = open(fileName, O_WRONLY | O_CREAT | O_APPEND | kOpenBaseFlags, 0666);
  if (fd < 0) return nullptr;
  if (kOpenBaseFlags == 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  // A host that closed descriptor 0, 1 or 2 (as daemons do) would otherwise
  // get its log file there: its own printf text would land in the log, and
  // when the log is closed the number would pass to whatever the host opens
  // next. Careful daemons keep their files above 2 for the same reason.
  if (fd <= STDERR_FILENO) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    if (moved < 0) return nullptr;
    fd = moved;
  }
  FILE* stream = fdopen(fd, "a");
  if (stream == nullptr) {
    close(fd);
    return nullptr;
  }
  std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

bool EndsMidLine(const char* fileName) {
  // The log's own descriptor is open for appending only, so the last byte is
  // read through a descriptor of its own.
  const int fd = open(fileName, O_RDONLY | kOpenBaseFlags);
  if (fd < 0) return false;
  struct stat info;
  char last = '\n';
  const bool cut = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
                   pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
  close(fd);
  return cut;
}

size_t WriteToOwnStream(FILE* stream, const char* data, size_t nBytes) {
  return WriteToDescriptor(fileno(stream), data, nBytes);
}

void WriteStandardOutput(const char* data, size_t nBytes) {
  // The host's text waiting in stdout's buffer goes first, so both stay in
  // order; ours goes straight to the descriptor and never waits in that
  // buffer, where a failed flush (EINTR) would drop it, a child created by
  // fork would write it again, and a wide-oriented stream would refuse it.
  flockfile(stdout);
  std::fflush(stdout);
  WriteToDescriptor(fileno(stdout), data, nBytes);
  funlockfile(stdout);
}

void WriteStandardOutputDirect(const char* data, size_t nBytes) {
  WriteToDescriptor(STDOUT_FILENO, data, nBytes);
}

NoCancellation::NoCancellation() {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_);
}

NoCancellation::~NoCancellation() { pthread_setcancelstate(previous_, nullptr); }

void InstallForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
  if (g_forkHandlersInstalled.exchange(true)) return;
  g_forkPrepare = prepare;
  g_forkParent = parent;
  g_forkChild = child;
  pthread_atfork(RunForkPrepare, RunForkParent, RunForkChild);
}

}  // namespace platform
}  // namespace razezir

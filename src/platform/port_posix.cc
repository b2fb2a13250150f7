// The platform contract on POSIX systems: pthread recursive mutexes, a thread
// id, clock_gettime and localtime_r, nl_langinfo, log files opened with
// close-on-exec, and pthread_atfork. Linux is the system it is built and
// tested on; the two calls Linux has and POSIX lacks (the kernel thread id
// and O_CLOEXEC) are feature-tested, with a fallback for the other systems.

#include "platform/port.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/futex.h>
#endif  // defined(__linux__)

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdlib>
#include <cwchar>
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

std::atomic<bool> g_readableOpenDisabled{false};
std::atomic<bool> g_wholeAppendsDisabled{false};

// The key whose destructor releases a thread's data at its exit, and the
// key that holds, for such a thread, a reference to the library itself.
pthread_key_t g_threadExitKey;
pthread_key_t g_holdLibraryKey;
std::atomic<bool> g_threadExitKeysCreated{false};

// The release key goes when the library is unloaded, so that no thread that
// exits later calls into code that is gone. A thread whose data does not go
// with the library holds it loaded until it exits (CallAtThreadExit), so
// the library is unloaded only once those threads are gone. (A function run
// at unload, rather than a static object's destructor, which loading would
// have to register.)
__attribute__((destructor)) void DeleteThreadExitKeys() {
  if (g_threadExitKeysCreated.load(std::memory_order_acquire)) {
    pthread_key_delete(g_threadExitKey);
    pthread_key_delete(g_holdLibraryKey);
  }
}

// Zero means "not asked yet": no thread gets id 0.
thread_local uint32_t t_threadId RAZEZIR_INITIAL_EXEC_TLS = 0;

std::atomic<bool> g_forkHandlersInstalled{false};
void (*g_forkPrepare)() = nullptr;
void (*g_forkParent)() = nullptr;
void (*g_forkChild)() = nullptr;

// Threads convert times to local time one at a time: tzset replaces the
// zone data in place, and not every C library guards that against a
// conversion on another thread (glibc does, with a lock that the thread
// sanitizer cannot see). Each thread converts once a second at most.
pthread_mutex_t g_zoneLock = PTHREAD_MUTEX_INITIALIZER;

void RunForkPrepare() {
  g_forkPrepare();
  pthread_mutex_lock(&g_zoneLock);
}
void RunForkParent() {
  pthread_mutex_unlock(&g_zoneLock);
  g_forkParent();
}
void RunForkChild() {
  // The child's only thread has a new kernel id; the cached one is the
  // parent's and would mark the child's lines, and key its bindings, wrongly.
  t_threadId = 0;
  pthread_mutex_unlock(&g_zoneLock);
  g_forkChild();
}

std::atomic<platform::WriteHook> g_writeHook{nullptr};

// A fork takeover (BeginForkTakeover): waits end at once, and writes and
// syncs are dropped. The drop takes the test hook's place, so that the
// write path tests one pointer whatever is interposed; the test's own hook,
// if any, comes back when the takeover ends.
std::atomic<bool> g_forkTakeover{false};
platform::WriteHook g_hookBeforeTakeover = nullptr;
// The word the calling thread sleeps on in WaitOnWord, or null.
thread_local std::atomic<uint32_t>* t_sleepingOn RAZEZIR_INITIAL_EXEC_TLS = nullptr;

long DropWrite(int, const platform::ByteSpan* spans, int count) {
  long nBytes = 0;
  for (int i = 0; i < count; ++i) nBytes += static_cast<long>(spans[i].size);
  return nBytes;
}

static_assert(sizeof(platform::ByteSpan) == sizeof(struct iovec) &&
                  offsetof(platform::ByteSpan, data) == offsetof(struct iovec, iov_base) &&
                  offsetof(platform::ByteSpan, size) == offsetof(struct iovec, iov_len),
              "a span is laid out as the system's iovec");

#if defined(__linux__) && defined(__x86_64__)
// A three-argument system call made in place: the C library's syscall()
// passes its arguments on through a call of its own, for every line.
long SystemCall(long number, long first, long second, long third) {
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(first), "S"(second), "d"(third)
                   : "rcx", "r11", "memory");
  if (result < 0 && result > -4096) {
    errno = static_cast<int>(-result);
    return -1;
  }
  return result;
}
#else
long SystemCall(long number, long first, long second, long third) {
  return syscall(number, first, second, third);
}
#endif  // defined(__linux__) && defined(__x86_64__)

// One write or writev, made as a system call of its own, which unlike the
// C library's wrappers is not a cancellation point, or handed to the test
// hook.
ssize_t WriteOnce(int fd, const struct iovec* pieces, int count) {
  const platform::WriteHook hook = g_writeHook.load(std::memory_order_acquire);
  if (hook != nullptr) {
    return static_cast<ssize_t>(
        hook(fd, reinterpret_cast<const platform::ByteSpan*>(pieces), count));
  }
  return count == 1 ? SystemCall(SYS_write, fd, reinterpret_cast<long>(pieces[0].iov_base),
                                 static_cast<long>(pieces[0].iov_len))
                    : SystemCall(SYS_writev, fd, reinterpret_cast<long>(pieces), count);
}

// Writes all `nBytes` unless the system fails, retrying after a partial
// write or a signal; returns how many bytes reached the descriptor.
size_t WriteToDescriptor(int fd, const char* data, size_t nBytes) {
  size_t done = 0;
  while (done < nBytes) {
    const struct iovec piece = {const_cast<char*>(data + done), nBytes - done};
    ssize_t written = WriteOnce(fd, &piece, 1);
    if (written < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(written);
  }
  return done;
}

// The most spans one writev takes; a longer batch goes out in several.
constexpr size_t kMaxWriteSpans = 64;

// Writes the spans with as few system calls as the system allows: one write
// for a single span, one writev for several, and again for what a partial
// write or a signal left. Returns how many bytes reached the descriptor.
size_t WriteSpansToDescriptor(int fd, const platform::ByteSpan* spans, size_t count) {
  if (count == 1) return WriteToDescriptor(fd, spans[0].data, spans[0].size);
  size_t done = 0;
  size_t next = 0;     // The first span not wholly written.
  size_t skipped = 0;  // Bytes of spans[next] already written.
  while (next < count) {
    if (spans[next].size == skipped) {
      ++next;
      skipped = 0;
      continue;
    }
    struct iovec pieces[kMaxWriteSpans];
    const size_t nPieces = std::min(count - next, kMaxWriteSpans);
    for (size_t i = 0; i < nPieces; ++i) {
      pieces[i].iov_base = const_cast<char*>(spans[next + i].data);
      pieces[i].iov_len = spans[next + i].size;
    }
    pieces[0].iov_base = static_cast<char*>(pieces[0].iov_base) + skipped;
    pieces[0].iov_len -= skipped;
    ssize_t written = WriteOnce(fd, pieces, static_cast<int>(nPieces));
    if (written < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(written);
    size_t left = static_cast<size_t>(written);
    while (left > 0) {
      const size_t inSpan = std::min(left, spans[next].size - skipped);
      skipped += inSpan;
      left -= inSpan;
      if (skipped == spans[next].size) {
        ++next;
        skipped = 0;
      }
    }
  }
  return done;
}

#if !defined(__linux__)
// Without futexes, waiters sleep on one of a few condition variables chosen
// by the word's address.
constexpr size_t kWaitBuckets = 16;
struct WaitBucket {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
};
WaitBucket g_waitBuckets[kWaitBuckets];

WaitBucket& BucketOf(const void* word) {
  return g_waitBuckets[(reinterpret_cast<uintptr_t>(word) >> 4) % kWaitBuckets];
}
#endif  // !defined(__linux__)

}  // namespace

CriticalSectionLock::CriticalSectionLock() { InitRecursive(native_); }

CriticalSectionLock::~CriticalSectionLock() {
  pthread_mutex_destroy(Native(native_));
}

void CriticalSectionLock::EnterNative() { pthread_mutex_lock(Native(native_)); }

bool CriticalSectionLock::TryEnterNative() { return pthread_mutex_trylock(Native(native_)) == 0; }

void CriticalSectionLock::LeaveNative() { pthread_mutex_unlock(Native(native_)); }

void CriticalSectionLock::ResetInForkChild() {
  // glibc's recursive mutex records its owner by kernel thread id, which
  // changes in the child, so the child cannot unlock what its parent thread
  // locked. Starting the mutex afresh is sound because the child has one
  // thread and the prepare handler left no critical section half done.
  InitRecursive(native_);
  depth_ = 0;
#ifndef NDEBUG
  owner_.store(0, std::memory_order_relaxed);
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
  // a zone the host changed in its environment would never be seen. Reading
  // the zone's file may be a cancellation point, which must not strike with
  // the lock held or a batch waiting.
  NoCancellation noCancellation;
  pthread_mutex_lock(&g_zoneLock);
  tzset();
  const bool converted = localtime_r(&seconds, out) != nullptr;
  pthread_mutex_unlock(&g_zoneLock);
  return converted;
}

bool ToUtcTime(time_t seconds, struct tm* out) { return gmtime_r(&seconds, out) != nullptr; }

LocaleSnapshot SnapshotLocale() {
  return LocaleSnapshot{nl_langinfo(CODESET), static_cast<int>(MB_CUR_MAX), 0};
}

// The C library converts by the current locale alone (wcrtomb_l and the
// like are not everywhere), so the snapshot only tells the character size.
size_t EncodeInLocale(const LocaleSnapshot&, wchar_t c, char* dst) {
  std::mbstate_t state{};
  size_t nBytes = std::wcrtomb(dst, c, &state);
  if (nBytes == static_cast<size_t>(-1)) return nBytes;
  // Each code point goes back to the initial shift state, so that the ASCII
  // written directly after it means ASCII.
  if (!std::mbsinit(&state)) {
    size_t nReset = std::wcrtomb(dst + nBytes, L'\0', &state);
    if (nReset != static_cast<size_t>(-1) && nReset > 0) nBytes += nReset - 1;
  }
  return nBytes;
}

size_t WholeLocaleCharacters(const LocaleSnapshot& locale, const char* s, size_t nBytes) {
  if (locale.maxCharBytes == 1) return nBytes;
  std::mbstate_t state{};
  size_t kept = 0;
  while (kept < nBytes) {
    size_t n = std::mbrlen(s + kept, nBytes - kept, &state);
    if (n == static_cast<size_t>(-2)) break;
    if (n == static_cast<size_t>(-1) || n == 0) {
      state = std::mbstate_t{};
      n = 1;
    }
    kept += n;
  }
  return kept;
}

void UseLocaleDecimalPoint(char*, size_t) {}

void FindHostRuntime() {}

const char* LocaleDecimalPoint() { return nl_langinfo(RADIXCHAR); }

long double NextLongDoubleArg(va_list* args) { return va_arg(*args, long double); }

namespace {

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

}  // namespace

bool OpenAppendStream(const char* fileName, OpenedFile* opened) {
  // Only a regular file is opened for reading as well: opening a FIFO for
  // reading and writing would make it never see end of file, and a device
  // may act on being opened for reading.
  // A file that does not exist yet is created as a regular one, readable
  // too: O_EXCL makes sure that no other kind of file took the name
  // meanwhile.
  struct stat info;
  const bool found = stat(fileName, &info) == 0;
  const bool regular = found && S_ISREG(info.st_mode);
  const int mode = O_CREAT | O_APPEND | kOpenBaseFlags;
  int fd = -1;
  bool readable = false;
  if (!g_readableOpenDisabled.load(std::memory_order_relaxed)) {
    if (regular) {
      fd = open(fileName, O_RDWR | mode, 0666);
    } else if (!found && errno == ENOENT) {
      fd = open(fileName, O_RDWR | O_EXCL | mode, 0666);
    }
    readable = fd >= 0;
  }
  // A log file must not leak into programs that the host runs. Without
  // O_CLOEXEC the flag is set right after the open, which leaves a window in
  // which a concurrent exec inherits the file.
  if (fd < 0) fd = open(fileName, O_WRONLY | mode, 0666);
  if (fd < 0) return false;
  if (kOpenBaseFlags == 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  // A host that closed descriptor 0, 1 or 2 (as daemons do) would otherwise
  // get its log file there: its own printf text would land in the log, and
  // when the log is closed the number would pass to whatever the host opens
  // next. Careful daemons keep their files above 2 for the same reason.
  if (fd <= STDERR_FILENO) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    if (moved < 0) return false;
    fd = moved;
  }
  // The last byte is read through the log's own descriptor, so the check
  // needs no other one.
  opened->hasIdentity = fstat(fd, &info) == 0;
  opened->identity = IdentityOf(info);
  opened->endsMidLine = readable && ReadFileEnd(fd) == FileEnd::kMidLine;
  opened->appendsWhole = opened->hasIdentity && S_ISREG(info.st_mode) &&
                         !g_wholeAppendsDisabled.load(std::memory_order_relaxed);
  // Mode "a" whatever the descriptor allows: the stream appends, as every
  // log stream does.
  FILE* stream = fdopen(fd, "a");
  if (stream == nullptr) {
    close(fd);
    return false;
  }
  std::setvbuf(stream, nullptr, _IONBF, 0);
  opened->stream = stream;
  return true;
}

bool IdentifyFile(const char* fileName, FileIdentity* identity) {
  struct stat info;
  if (stat(fileName, &info) != 0) return false;
  *identity = IdentityOf(info);
  return true;
}

void SetWriteHookForTest(WriteHook hook) { g_writeHook.store(hook, std::memory_order_release); }

void SetReadableOpenDisabledForTest(bool disabled) {
  g_readableOpenDisabled.store(disabled, std::memory_order_relaxed);
}

void SetWholeAppendsDisabledForTest(bool disabled) {
  g_wholeAppendsDisabled.store(disabled, std::memory_order_relaxed);
}

FileHandle DuplicateFileHandle(FILE* stream) {
  // Above the standard descriptors, for the reasons OpenAppendStream keeps
  // its own there.
  const int fd = fcntl(fileno(stream), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  return fd >= 0 ? fd : kNoFile;
}

void CloseFileHandle(FileHandle file) {
  if (file != kNoFile) close(static_cast<int>(file));
}

size_t WriteToFile(FileHandle file, const ByteSpan* spans, size_t count) {
  return WriteSpansToDescriptor(static_cast<int>(file), spans, count);
}

size_t AppendOnceToFile(FileHandle file, const ByteSpan* spans, size_t count) {
  // One writev takes at most kMaxWriteSpans spans, as many as a batch has.
  static_assert(kMaxWriteSpans >= 64, "a batch goes out with one writev");
  const int nPieces = static_cast<int>(std::min(count, kMaxWriteSpans));
  for (;;) {
    const ssize_t written =
        WriteOnce(static_cast<int>(file), reinterpret_cast<const struct iovec*>(spans), nPieces);
    if (written >= 0) return static_cast<size_t>(written);
    if (errno != EINTR) return 0;
  }
}

FileHandle StandardOutputFile() {
  struct stat info;
  if (fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return kNoFile;
  return STDOUT_FILENO;
}

bool SyncToStorage(FileHandle file) {
  if (file == kNoFile) return true;
  const int fd = static_cast<int>(file);
  const platform::WriteHook hook = g_writeHook.load(std::memory_order_acquire);
  if (hook != nullptr) return hook(fd, nullptr, 0) == 0;
  // A sync is a cancellation point; a thread cancelled in it would leave
  // the threads that wait for it waiting for ever.
  NoCancellation noCancellation;
#if defined(__linux__)
  return fdatasync(fd) == 0;
#else
  return fsync(fd) == 0;
#endif
}

FileEnd ReadFileEnd(FileHandle file) {
  const int fd = static_cast<int>(file);
  struct stat info;
  char last = '\n';
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0 ||
      pread(fd, &last, 1, info.st_size - 1) != 1) {
    return FileEnd::kUnknown;
  }
  return last == '\n' ? FileEnd::kLineEnd : FileEnd::kMidLine;
}

size_t WriteStandardOutput(const ByteSpan* spans, size_t count) {
  // The host's text waiting in stdout's buffer goes first, so both stay in
  // order; ours goes straight to the descriptor and never waits in that
  // buffer, where a failed flush (EINTR) would drop it, a child created by
  // fork would write it again, and a wide-oriented stream would refuse it.
  // The flush is a cancellation point; a leader cancelled there would leave
  // its batch waiting for ever.
  NoCancellation noCancellation;
  flockfile(stdout);
  std::fflush(stdout);
  const size_t written = WriteSpansToDescriptor(fileno(stdout), spans, count);
  funlockfile(stdout);
  return written;
}

void* AllocatePages(size_t nBytes) {
  void* pages = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages != MAP_FAILED ? pages : nullptr;
}

void FreePages(void* pages, size_t nBytes) { munmap(pages, nBytes); }

bool CallAtThreadExit(void (*release)(void*), void* value, bool holdLibrary) {
  // The keys are made together, so that the release key comes first in
  // the order in which a thread's destructors run: the release runs while
  // the library is still held.
  static const bool created = [release] {
    bool made = pthread_key_create(&g_threadExitKey, release) == 0;
    // The C library's dlclose, called as a key destructor, drops the
    // thread's reference once the thread is gone; no code of the library
    // runs after it. It returns an int, which the caller ignores; the cast
    // goes through void (*)(), which compilers take as matching any type.
    auto* closeLibrary =
        reinterpret_cast<void (*)(void*)>(reinterpret_cast<void (*)()>(&dlclose));
    if (made && pthread_key_create(&g_holdLibraryKey, closeLibrary) != 0) {
      pthread_key_delete(g_threadExitKey);
      made = false;
    }
    g_threadExitKeysCreated.store(made, std::memory_order_release);
    return made;
  }();
  if (!created) return false;
  if (holdLibrary && pthread_getspecific(g_holdLibraryKey) == nullptr) {
    // Another reference to the library as the host loaded it; none where it
    // is part of the program itself, which is never unloaded.
    Dl_info self;
    void* handle = nullptr;
    if (dladdr(reinterpret_cast<void*>(&DeleteThreadExitKeys), &self) != 0 &&
        self.dli_fname != nullptr) {
      handle = dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    }
    if (handle != nullptr && pthread_setspecific(g_holdLibraryKey, handle) != 0) {
      dlclose(handle);
      return false;
    }
  }
  return pthread_setspecific(g_threadExitKey, value) == 0;
}

namespace {

#if defined(__linux__)
// Sleeps while `*word` holds `value`, until woken (or spuriously).
void SleepOnWord(std::atomic<uint32_t>* word, uint32_t value) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, value, nullptr,
          nullptr, 0);
}
#else
void SleepOnWord(std::atomic<uint32_t>* word, uint32_t value) {
  WaitBucket& bucket = BucketOf(word);
  pthread_mutex_lock(&bucket.lock);
  while (word->load(std::memory_order_acquire) == value) {
    pthread_cond_wait(&bucket.changed, &bucket.lock);
  }
  pthread_mutex_unlock(&bucket.lock);
}
#endif  // defined(__linux__)

}  // namespace

bool WaitOnWord(std::atomic<uint32_t>* word, uint32_t value) {
  // The word is published before the takeover is tested, so that a
  // takeover that begins after the test changes the word, and the sleep
  // below does not begin.
  t_sleepingOn = word;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const bool wait = !g_forkTakeover.load(std::memory_order_relaxed);
  if (wait) SleepOnWord(word, value);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_sleepingOn = nullptr;
  return wait && !g_forkTakeover.load(std::memory_order_relaxed);
}

#if defined(__linux__)
void WakeWord(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}
#else
void WakeWord(std::atomic<uint32_t>* word) {
  // Taking the lock orders the wake after a waiter's test of the word.
  WaitBucket& bucket = BucketOf(word);
  pthread_mutex_lock(&bucket.lock);
  pthread_mutex_unlock(&bucket.lock);
  pthread_cond_broadcast(&bucket.changed);
}
#endif  // defined(__linux__)

void BeginForkTakeover() {
  g_hookBeforeTakeover = g_writeHook.exchange(DropWrite, std::memory_order_acq_rel);
  g_forkTakeover.store(true, std::memory_order_relaxed);
  // A wait the thread was inside, or about to begin, ends: the value it
  // sleeps while the word holds is gone.
  if (std::atomic<uint32_t>* word = t_sleepingOn) word->fetch_add(1, std::memory_order_relaxed);
}

void EndForkTakeover() {
  g_forkTakeover.store(false, std::memory_order_relaxed);
  g_writeHook.store(g_hookBeforeTakeover, std::memory_order_release);
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
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

// The platform contract: recursive locks, thread ids, the clock and local
// time, the locale's codeset, opening and writing log files, and fork
// handling. Each platform implements all of it in one file (port_posix.cc,
// port_win.cc); no file outside src/platform tests for a platform.
//
// Everything declared here is safe to call from any thread at once unless a
// REQUIRES line says otherwise.

#ifndef RAZEZIR_SRC_PLATFORM_PORT_H_
#define RAZEZIR_SRC_PLATFORM_PORT_H_

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/thread_annotations.h"

// Marks a thread-local variable of the library as one the program reserves
// room for when it loads the library, so that reaching it is one
// instruction rather than a call into the dynamic linker. Kept for a few
// bytes that every call touches: a library loaded later (dlopen) takes such
// room from the little the system sets aside for it.
#if defined(__ELF__) && defined(__GNUC__)
#define RAZEZIR_INITIAL_EXEC_TLS __attribute__((tls_model("initial-exec")))
#else
#define RAZEZIR_INITIAL_EXEC_TLS
#endif

namespace razezir {
namespace platform {

// Returns the system's id of the calling thread (the kernel thread id where
// there is one), which identifies it among the live threads of the process
// and is never 0. Cheap enough to call for every line: platforms where asking
// the system costs a call keep the id per thread, and a child process after
// fork gets its own.
uint32_t CurrentThreadId();

}  // namespace platform

// A recursive lock: the owning thread may enter it again and must leave it
// as often as it entered. Created on the heap by the trace state; its only
// virtual operation is the destructor, which releases the lock object.
// clang's analysis knows no recursive locks, so to it entering a held lock
// is an error; the library's own code never does.
class RAZEZIR_CAPABILITY("mutex") CriticalSectionLock {
 public:
  CriticalSectionLock();
  virtual ~CriticalSectionLock();

  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  void Enter() RAZEZIR_ACQUIRE() {
    EnterNative();
    ++depth_;
#ifndef NDEBUG
    owner_.store(platform::CurrentThreadId(), std::memory_order_relaxed);
#endif  // NDEBUG
  }

  // Enters the lock when no thread holds it, the calling thread included,
  // and returns true; otherwise returns false at once. For a fork handler
  // that must not wait, nor take a lock that the call it interrupted holds.
  bool TryEnterFree() RAZEZIR_TRY_ACQUIRE(true) {
    if (!TryEnterNative()) return false;
    if (depth_ != 0) {
      LeaveNative();
      return false;
    }
    ++depth_;
#ifndef NDEBUG
    owner_.store(platform::CurrentThreadId(), std::memory_order_relaxed);
#endif  // NDEBUG
    return true;
  }

  // REQUIRES: entered by the calling thread.
  void Leave() RAZEZIR_RELEASE() {
#ifndef NDEBUG
    assert(HeldByCurrentThread());
    if (depth_ == 1) owner_.store(0, std::memory_order_relaxed);
#endif  // NDEBUG
    --depth_;
    LeaveNative();
  }

  // Returns the lock to its unlocked state in a child process after fork,
  // where the thread that held it in the parent no longer exists under the
  // same id. REQUIRES: only the calling thread runs in this process.
  void ResetInForkChild();

#ifndef NDEBUG
  // For asserts only: whether the calling thread has entered the lock.
  bool HeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == platform::CurrentThreadId();
  }
#endif  // NDEBUG

  // In debug builds, fails unless the calling thread has entered the lock;
  // the analysis takes the lock as held after the call.
  void AssertHeld() const RAZEZIR_ASSERT_CAPABILITY(this) {
    assert(HeldByCurrentThread());
  }

 private:
  // Defined by each platform.
  void EnterNative();
  bool TryEnterNative();
  void LeaveNative();

  // Storage for the native lock object, large enough for every platform's;
  // each implementation checks that its type fits.
  alignas(16) unsigned char native_[64];
  // How often the thread inside entered; guarded by the lock itself.
  int depth_ = 0;
#ifndef NDEBUG
  // Debug only: the id of the thread inside, or 0. Atomic because any
  // thread may ask whether it is the owner.
  std::atomic<uint32_t> owner_{0};
#endif  // NDEBUG
};

// Enters a lock for the lifetime of the guard.
class RAZEZIR_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(CriticalSectionLock& lock) RAZEZIR_ACQUIRE(lock) : lock_(lock) {
    lock_.Enter();
  }
  ~LockGuard() RAZEZIR_RELEASE() { lock_.Leave(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  CriticalSectionLock& lock_;
};

namespace platform {

// The current calendar time from one clock read: whole seconds since the
// epoch and the milliseconds within that second.
struct WallClock {
  time_t seconds;
  int milliseconds;
};
WallClock ReadWallClock();

// Breaks `seconds` down into local time. Returns false if it cannot.
bool ToLocalTime(time_t seconds, struct tm* out);
// Breaks `seconds` down into UTC. Returns false if it cannot.
bool ToUtcTime(time_t seconds, struct tm* out);

// The current C locale below is the calling thread's, in the C runtime
// whose locale the host set: on Windows, the host's own universal C runtime
// (ucrtbase.dll, which every host built with Visual Studio's /MD uses) when
// FindHostRuntime found it and its LC_CTYPE is not the "C" locale, else the
// library's own runtime.

// The encoding of the current C locale (LC_CTYPE) as SnapshotLocale read it,
// at one moment. Text that EncodeInLocale and WholeLocaleCharacters handle
// for one snapshot is all in that one encoding, where the platform allows
// (Windows), even while another thread changes the locale: a line that
// keeps one snapshot is written in one encoding, never in two.
struct LocaleSnapshot {
  // The encoding's name, as the C runtime spells it ("UTF-8",
  // "ANSI_X3.4-1968", ...), or null where the platform cannot name it
  // (Windows names UTF-8, code page 65001, alone). Valid until the locale
  // changes.
  const char* codeset;
  // The most bytes one character takes (MB_CUR_MAX).
  int maxCharBytes;
  // The platform's own number for the encoding: on Windows the code page,
  // 0 for the "C" locale; unused elsewhere.
  uint32_t codePage;
};

// Reads the current C locale's encoding. On Windows the code page is read
// once, and everything the snapshot says comes from that one reading.
LocaleSnapshot SnapshotLocale();

// Writes `c` in the encoding of `locale`, from the initial shift state and
// back to it, into `dst`, which has room for 2 * MB_LEN_MAX bytes. Returns
// the number of bytes, or (size_t)-1 when the encoding cannot express `c`
// itself: a look-alike does not count (Windows' best fit, such as 'e' for
// e-acute in code page 932, is refused). Windows encodes by the snapshot's
// code page alone; POSIX, whose runtime converts by the current locale only,
// uses the locale current at the call, which the host must not change while
// other threads convert text.
size_t EncodeInLocale(const LocaleSnapshot& locale, wchar_t c, char* dst);

// How many of the first `nBytes` bytes of `s` to keep so that no character
// of the encoding of `locale` is cut at `nBytes`. Bytes that form no
// character are kept. Windows cuts by the lead bytes of the snapshot's code
// page, which serves every code page of at most two bytes a character: all
// that a C runtime's setlocale takes but UTF-8, which the engine cuts itself.
// POSIX, as above, reads the locale current at the call.
size_t WholeLocaleCharacters(const LocaleSnapshot& locale, const char* s, size_t nBytes);

// The decimal point of the current C locale (LC_NUMERIC), as the locale
// spells it: "." in the "C" locale, "," in many others; on Windows, the
// host's runtime's wherever FindHostRuntime found it. Valid until the
// locale changes.
const char* LocaleDecimalPoint();

// Puts the current C locale's decimal point in place of the one that the
// library's own runtime's printf put into `text`, where the two differ and
// are one byte each (Windows, where the host's runtime was found).
void UseLocaleDecimalPoint(char* text, size_t nBytes);

// Looks for the host's C runtime, where the library's own is another one
// (Windows: ucrtbase.dll, if the process has it loaded), so that text
// follows the locale the host set there. Cheap once found; called by the
// control calls that start tracing.
void FindHostRuntime();

// Reads the next variadic argument of a `%L` real conversion. On Windows the
// library follows the ABI of Microsoft's compilers, where long double is a
// double and is passed as one; reading the compiler's wider long double there
// would take the wrong bytes (on x86-64, a pointer) and derail every later
// argument.
long double NextLongDoubleArg(va_list* args);

// Which file an open descriptor writes to: device and inode on POSIX,
// volume serial number and file index on Windows. Two streams with the
// same identity write into the same file, whatever names opened them.
struct FileIdentity {
  uint64_t device;
  uint64_t file;
  bool operator<(const FileIdentity& other) const {
    return device != other.device ? device < other.device : file < other.file;
  }
  bool operator==(const FileIdentity& other) const {
    return device == other.device && file == other.file;
  }
};

// A log file as OpenAppendStream opened it.
struct OpenedFile {
  FILE* stream;
  // Whether `identity` is known; a file without one shares nothing.
  bool hasIdentity;
  FileIdentity identity;
  // The file is a regular file that was non-empty and did not end with a
  // line end when opened: a crash or another writer cut its last line.
  bool endsMidLine;
  // The system puts every write to the file whole at its end, whatever
  // other writers do at the same time (a regular file opened for appending,
  // where the system serialises appends), so that threads may append their
  // own lines side by side.
  bool appendsWhole;
};

// Opens `fileName` for appending (created if absent, existing content kept,
// every write at the end), not inherited by programs the host executes, and
// unbuffered, so that one fwrite is one write to the file. A regular file is
// opened for reading too, through the same descriptor, so that its last
// byte can be checked; anything else (a FIFO, a device, a file that cannot
// be read) is opened for appending only and skips the check. Returns false
// if the file cannot be opened.
bool OpenAppendStream(const char* fileName, OpenedFile* opened);

// Reads the identity of the file that `fileName` names now, without
// opening it for writing. Returns false when no file has that name (or it
// cannot be looked at).
bool IdentifyFile(const char* fileName, FileIdentity* identity);

// Test-only: while set, OpenAppendStream opens every file as one it cannot
// read, so that the branch that skips the cut-line check can be tested
// where permissions cannot force it (as root).
void SetReadableOpenDisabledForTest(bool disabled);

// Test-only: while set, OpenAppendStream reports no file as appending whole,
// so that the lines of every file wait in its queue, as those of a pipe do.
void SetWholeAppendsDisabledForTest(bool disabled);

// A run of bytes to write: one line, or a piece of one.
struct ByteSpan {
  const char* data;
  size_t size;
};

// A descriptor (POSIX) or handle (Windows) through which a destination
// writes and syncs its file. It is the destination's own: a duplicate of the
// descriptor of the first stream that opened the file, so that it stays
// valid for the destination's whole life, whichever of the file's streams
// are closed meanwhile.
using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

// Duplicates the descriptor or handle of a stream that OpenAppendStream
// opened: not inherited by programs the host executes, and on POSIX never
// 0, 1 or 2. Returns kNoFile when the system refuses (no descriptor left).
FileHandle DuplicateFileHandle(FILE* stream);
void CloseFileHandle(FileHandle file);

// Writes the `count` spans, in order, to `file` as one write where the
// system allows (retrying only what a partial write or a signal left), so
// that the lines of a batch arrive together. Takes no lock and is not a
// cancellation point. Returns how many bytes of the spans were written:
// fewer than their sum when the system failed. Where log files are text
// files with CR LF line ends (Windows), every LF is written as CR LF, still
// in the one write.
size_t WriteToFile(FileHandle file, const ByteSpan* spans, size_t count);

// Writes the `count` spans to `file` with one write, retried only when a
// signal came before anything was written: the rest of a partial write is
// not written, since other writers' lines may land after the part that was.
// Returns how many bytes were written.
size_t AppendOnceToFile(FileHandle file, const ByteSpan* spans, size_t count);

// Asks the system to put what was written to `file` on stable storage, and
// returns once it has, as far as the system can promise: its data and what
// is needed to read them back, not every attribute. Not a cancellation
// point. Returns false if the system reported a failure; kNoFile needs no
// sync and succeeds.
bool SyncToStorage(FileHandle file);

// What standard output's syncs go through: its descriptor when it is a
// regular file (on Windows, a file on disk), kNoFile otherwise. Asked at
// each sync: the host may point standard output elsewhere at any time.
FileHandle StandardOutputFile();

// How `file` ends, read through it: with a line end, or inside a line;
// kUnknown when it cannot be read (opened for appending only, not a regular
// file) or is empty.
enum class FileEnd { kLineEnd, kMidLine, kUnknown };
FileEnd ReadFileEnd(FileHandle file);

// Test-only: the one way every write of log bytes, and every sync, reaches
// the system, for a log file or standard output. While a hook is set it is
// called in place of the system call (write or writev), with the
// descriptor and the spans, and answers as the system call would: the
// bytes written, or -1 with errno set; a sync comes with no spans (null,
// 0) and answers 0 or -1. Null restores the system calls. Where the system
// has no such calls (Windows), the hook is never called.
using WriteHook = long (*)(int fd, const ByteSpan* spans, int count);
void SetWriteHookForTest(WriteHook hook);

// Writes the `count` spans to standard output, after whatever the host's
// own text has waiting in the stream's buffer, under the stream's lock so
// that the host's writes and other lines stay out of the middle. Returns
// how many bytes of the spans were written.
size_t WriteStandardOutput(const ByteSpan* spans, size_t count);

// Memory straight from the system's page allocator, `nBytes` rounded up to
// whole pages and zero-filled, or null when the system has none. Safe in a
// signal handler: it takes no lock and never enters malloc.
void* AllocatePages(size_t nBytes);
void FreePages(void* pages, size_t nBytes);

// Calls `release(value)` when the calling thread exits, for the one value
// the thread set last. The process has one `release` function: the first
// call's. May allocate. Returns false if the system could not take the
// request. Should the library be unloaded first, a value is released then
// (Windows) or never (POSIX), unless `holdLibrary`: then, on POSIX, the
// thread holds the library loaded until it exits, so that its value is
// released however the host unloads it. For values that do not go with the
// library's own memory.
bool CallAtThreadExit(void (*release)(void*), void* value, bool holdLibrary);

// Cheap waiting for a 32-bit word to change, where the waker knows whether
// anyone sleeps: WaitOnWord returns true once `*word` may no longer hold
// `value` (or spuriously; callers test again), and WakeWord wakes the
// threads waiting on `word`. Waking an address nobody waits on is harmless,
// so a waker may call it after the waiter's storage went away. WaitOnWord
// returns false during a fork takeover (below): the caller stops waiting,
// since what it waits for was another thread's work.
bool WaitOnWord(std::atomic<uint32_t>* word, uint32_t value);
void WakeWord(std::atomic<uint32_t>* word);

// A fork takeover: a fork made by a signal handler that interrupted the
// calling thread inside a library call leaves that call to go on in the
// child, where the thread is the only one. Whatever the call waits for
// (a turn, a batch, a sync) was other threads' work, and whatever lines it
// writes are the parent's to write. From BeginForkTakeover on, WaitOnWord
// returns false at once, also for a wait that the thread was inside, or
// about to begin, when the fork came; and every write of log bytes and
// every sync is dropped, reported as made. EndForkTakeover, once the call
// has ended, restores both. REQUIRES: only the calling thread runs in this
// process (a fork child's handler). Platforms without fork never begin one.
void BeginForkTakeover();
void EndForkTakeover();

// Tells the processor that the calling thread spins on a memory word.
void CpuRelax();

// Spins until `done()` or until `limit` has passed; returns `done()`.
template <typename Done>
bool SpinUntil(std::chrono::nanoseconds limit, Done&& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    // The clock is read now and then only: the test is far cheaper.
    for (int spin = 0; spin < 16; ++spin) {
      if (done()) return true;
      CpuRelax();
    }
  } while (std::chrono::steady_clock::now() < deadline);
  return done();
}

// Holds off cancellation of the calling thread for the guard's lifetime. A
// thread cancelled inside a call of the C runtime that is a cancellation
// point (opening or closing a file, flushing standard output, reading the
// time zone) would otherwise unwind through code that cannot be unwound (the
// process aborts) or stop with work half done; the cancellation instead
// takes effect at the thread's next cancellation point after the call. Log
// files are written without one (WriteToOwnStream), so a line pays nothing
// for this.
class NoCancellation {
 public:
  NoCancellation();
  ~NoCancellation();
  NoCancellation(const NoCancellation&) = delete;
  NoCancellation& operator=(const NoCancellation&) = delete;

 private:
  int previous_;
};

// Registers handlers that run around fork(): `prepare` in the parent before
// it, `parent` in the parent after it and `child` in the new process, where
// CurrentThreadId already returns the child's own id. Later calls do
// nothing; platforms without fork ignore the call.
void InstallForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace platform
}  // namespace razezir

#endif  // RAZEZIR_SRC_PLATFORM_PORT_H_

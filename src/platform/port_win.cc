// The platform contract on Windows: critical sections, GetCurrentThreadId,
// the system clock and localtime_s, append-only log files written with one
// WriteFile per line, and the DLL entry point. Windows has no fork, so the
// fork hooks do nothing.

#include "platform/port.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace razezir {

namespace {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "native lock storage too small");
static_assert(alignof(CRITICAL_SECTION) <= 16, "native lock storage misaligned");

CRITICAL_SECTION* Native(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

// FILETIME counts 100-nanosecond ticks since 1601-01-01; time_t counts
// seconds since 1970-01-01.
constexpr unsigned long long kTicksFrom1601To1970 = 116444736000000000ULL;
constexpr unsigned long long kTicksPerSecond = 10000000ULL;
constexpr unsigned long long kTicksPerMillisecond = 10000ULL;

// Line ends of shorter batches are translated on the stack.
constexpr size_t kTranslateStackBytes = 8192;

std::atomic<bool> g_readableOpenDisabled{false};

void (*g_threadExitRelease)(void*) = nullptr;
std::atomic<DWORD> g_threadExitIndex{FLS_OUT_OF_INDEXES};

void NTAPI ReleaseAtThreadExit(void* data) {
  if (data != nullptr) g_threadExitRelease(data);
}

constexpr size_t kWaitBuckets = 16;
struct WaitBucket {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};
WaitBucket g_waitBuckets[kWaitBuckets];

WaitBucket& BucketOf(const void* word) {
  return g_waitBuckets[(reinterpret_cast<uintptr_t>(word) >> 4) % kWaitBuckets];
}

// Copies `data` into `out`, each LF as CR LF, until either runs out; stores
// how many bytes of `data` were taken and returns how many were stored.
size_t TranslateLineEnds(const char* data, size_t nBytes, char* out,
                         size_t nOutBytes, size_t* nTaken) {
  size_t in = 0;
  size_t n = 0;
  for (; in < nBytes; ++in) {
    if (data[in] == '\n') {
      if (nOutBytes - n < 2) break;
      out[n++] = '\r';
    } else if (n == nOutBytes) {
      break;
    }
    out[n++] = data[in];
  }
  *nTaken = in;
  return n;
}

// Retries only what a partial write left; gives up on an error. Returns how
// many bytes were written.
size_t WriteAll(HANDLE file, const char* data, size_t nBytes) {
  size_t done = 0;
  while (done < nBytes) {
    const size_t left = nBytes - done;
    const DWORD nChunk = left > MAXDWORD ? MAXDWORD : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, data + done, nChunk, &written, nullptr) || written == 0) break;
    done += written;
  }
  return done;
}

// How many bytes of the untranslated text the first `nWritten` bytes of its
// translation `text` (of `nText` bytes) stand for: every LF had a CR put
// before it, and a CR written without its LF stands for nothing yet.
size_t UntranslatedBytes(const char* text, size_t nText, size_t nWritten) {
  size_t nInserted = 0;
  for (size_t i = 0; i < nWritten; ++i) {
    if (text[i] == '\n') ++nInserted;
  }
  if (nWritten > 0 && nWritten < nText && text[nWritten - 1] == '\r' &&
      text[nWritten] == '\n') {
    ++nInserted;
  }
  return nWritten - nInserted;
}

}  // namespace

CriticalSectionLock::CriticalSectionLock() {
  new (native_) CRITICAL_SECTION;
  InitializeCriticalSection(Native(native_));
}

CriticalSectionLock::~CriticalSectionLock() {
  DeleteCriticalSection(Native(native_));
}

void CriticalSectionLock::EnterNative() { EnterCriticalSection(Native(native_)); }

bool CriticalSectionLock::TryEnterNative() { return TryEnterCriticalSection(Native(native_)) != 0; }

void CriticalSectionLock::LeaveNative() { LeaveCriticalSection(Native(native_)); }

// There is no fork on Windows, so there is never a child to repair.
void CriticalSectionLock::ResetInForkChild() {}

namespace platform {

// Reading the id from the thread's own block is as cheap as a cache.
uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

WallClock ReadWallClock() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  unsigned long long sinceEpoch = ticks.QuadPart - kTicksFrom1601To1970;
  return WallClock{static_cast<time_t>(sinceEpoch / kTicksPerSecond),
                   static_cast<int>(sinceEpoch / kTicksPerMillisecond % 1000)};
}

bool ToLocalTime(time_t seconds, struct tm* out) {
  // The runtime reads TZ once; a zone the host changed since would not show.
  // _tzset rewrites the runtime's zone globals in place, so a conversion on
  // another thread meanwhile could read them half written: threads convert
  // one at a time (once a second each, as the timestamp cache asks).
  static SRWLOCK zoneLock = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&zoneLock);
  _tzset();
  const bool converted = localtime_s(out, &seconds) == 0;
  ReleaseSRWLockExclusive(&zoneLock);
  return converted;
}

bool ToUtcTime(time_t seconds, struct tm* out) { return gmtime_s(out, &seconds) == 0; }

namespace {

// A host built with Visual Studio (/MD) formats with the universal C runtime,
// ucrtbase.dll, whose locale is its own: the library's runtime, msvcrt.dll,
// does not see a setlocale made there. The functions of ucrtbase.dll that
// the locale's text needs, found by name; they are __cdecl on both targets.
// Text is encoded by the code page alone, not by the runtime's wcrtomb,
// which would read the locale again for every character.
struct HostRuntime {
  unsigned(__cdecl* codePage)();
  struct lconv*(__cdecl* localeconv)();
};

// Written once, by the thread that finds the runtime, before g_hostRuntime
// publishes it; never changed after.
HostRuntime g_ucrt;
std::atomic<const HostRuntime*> g_hostRuntime{nullptr};
// Set while a thread looks for the runtime, so that only one writes g_ucrt.
std::atomic<bool> g_looking{false};

// The host's runtime when its LC_CTYPE is not the "C" locale (code page 0),
// with that code page; else null, and the library's own runtime decides.
const HostRuntime* HostRuntimeInUse(unsigned* codePage) {
  const HostRuntime* host = g_hostRuntime.load(std::memory_order_acquire);
  if (host == nullptr) return nullptr;
  *codePage = host->codePage();
  return *codePage != 0 ? host : nullptr;
}

// The most bytes one character of `codePage` takes; 1 for the "C" locale
// and for a code page the system does not know.
int MaxCharBytes(unsigned codePage) {
  if (codePage == 0) return 1;
  if (codePage == CP_UTF8) return 4;
  CPINFO info;
  return GetCPInfo(codePage, &info) ? static_cast<int>(info.MaxCharSize) : 1;
}

// Code pages whose conversion takes no WC_NO_BEST_FIT_CHARS: the stateful
// ISO 2022 ones, ISCII, UTF-7 and Symbol take no flags at all, UTF-8 and
// GB18030 only WC_ERR_INVALID_CHARS (and they give every character bytes of
// its own). The call fails outright when given the flag.
bool RefusesNoBestFit(unsigned codePage) {
  return codePage == 42 || (codePage >= 50220 && codePage <= 50229) ||
         (codePage >= 57002 && codePage <= 57011) || codePage == CP_UTF7 ||
         codePage == CP_UTF8 || codePage == 54936;
}

const char* DecimalPointOf(const struct lconv* numeric) {
  return numeric != nullptr && numeric->decimal_point != nullptr ? numeric->decimal_point : ".";
}

}  // namespace

void FindHostRuntime() {
  if (g_hostRuntime.load(std::memory_order_acquire) != nullptr) return;
  if (g_looking.exchange(true, std::memory_order_acquire)) return;
  HMODULE ucrt = GetModuleHandleW(L"ucrtbase.dll");
  // A debug build (/MDd) has the debug runtime instead.
  if (ucrt == nullptr) ucrt = GetModuleHandleW(L"ucrtbased.dll");
  if (ucrt != nullptr) {
    // Sets `*function` to the runtime's export `name`, or null.
    auto bind = [ucrt](auto* function, const char* name) {
      *function = reinterpret_cast<std::remove_pointer_t<decltype(function)>>(
          reinterpret_cast<void*>(GetProcAddress(ucrt, name)));
    };
    HostRuntime found{};
    bind(&found.codePage, "___lc_codepage_func");
    bind(&found.localeconv, "localeconv");
    if (found.codePage != nullptr && found.localeconv != nullptr) {
      g_ucrt = found;
      g_hostRuntime.store(&g_ucrt, std::memory_order_release);
    }
  }
  g_looking.store(false, std::memory_order_release);
}

// The code pages are not encodings that the engine's fast paths recognise,
// but for UTF-8, which the engine then writes itself: characters beyond
// the Basic Multilingual Plane come out whole, as no conversion of a 16-bit
// wchar_t alone can write them.
LocaleSnapshot SnapshotLocale() {
  unsigned codePage = 0;
  if (HostRuntimeInUse(&codePage) == nullptr) codePage = ___lc_codepage_func();
  return LocaleSnapshot{codePage == CP_UTF8 ? "UTF-8" : nullptr, MaxCharBytes(codePage), codePage};
}

size_t EncodeInLocale(const LocaleSnapshot& locale, wchar_t c, char* dst) {
  const unsigned codePage = locale.codePage;
  // The "C" locale, of either runtime, writes U+0000 ... U+00FF as the byte
  // of the same value and has nothing else; code page 0 would be the
  // system's ANSI code page to WideCharToMultiByte.
  if (codePage == 0) {
    if (static_cast<unsigned>(c) > 0xFF) return static_cast<size_t>(-1);
    dst[0] = static_cast<char>(c);
    return 1;
  }
  // Windows code pages keep no shift state from one character to the next:
  // the stateful ones end every conversion in the initial state. A
  // character that comes out as the code page's default character, or that
  // best fit would write as another one, is one the locale cannot express.
  BOOL usedDefault = FALSE;
  const bool noBestFit = !RefusesNoBestFit(codePage);
  const int nBytes = WideCharToMultiByte(
      codePage, noBestFit ? WC_NO_BEST_FIT_CHARS : 0, &c, 1, dst, 2 * MB_LEN_MAX, nullptr,
      codePage == CP_UTF7 || codePage == CP_UTF8 ? nullptr : &usedDefault);
  if (nBytes <= 0 || usedDefault) return static_cast<size_t>(-1);
  return static_cast<size_t>(nBytes);
}

// A lead byte and the byte after it are one character, as the runtimes'
// mbrlen have it; a lead byte that the cut leaves alone is dropped.
size_t WholeLocaleCharacters(const LocaleSnapshot& locale, const char* s, size_t nBytes) {
  CPINFO info;
  if (locale.maxCharBytes == 1 || !GetCPInfo(locale.codePage, &info)) return nBytes;
  auto isLead = [&info](unsigned char b) {
    for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
      if (b >= info.LeadByte[i] && b <= info.LeadByte[i + 1]) return true;
    }
    return false;
  };
  size_t kept = 0;
  while (kept < nBytes) {
    if (!isLead(static_cast<unsigned char>(s[kept]))) {
      ++kept;
    } else if (nBytes - kept < 2) {
      break;
    } else {
      kept += 2;
    }
  }
  return kept;
}

// LC_NUMERIC is a category of its own: where the host's runtime is found,
// its decimal point is the one the host's own printf writes, whatever its
// LC_CTYPE.
const char* LocaleDecimalPoint() {
  const HostRuntime* host = g_hostRuntime.load(std::memory_order_acquire);
  return DecimalPointOf(host != nullptr ? host->localeconv() : std::localeconv());
}

void UseLocaleDecimalPoint(char* text, size_t nBytes) {
  const HostRuntime* host = g_hostRuntime.load(std::memory_order_acquire);
  if (host == nullptr) return;
  const char* want = DecimalPointOf(host->localeconv());
  const char* have = DecimalPointOf(std::localeconv());
  if (want[0] == have[0] || want[0] == '\0' || want[1] != '\0' || have[1] != '\0') return;
  if (void* point = std::memchr(text, have[0], nBytes)) *static_cast<char*>(point) = want[0];
}

long double NextLongDoubleArg(va_list* args) { return va_arg(*args, double); }

namespace {

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

bool OpenAppendStream(const char* fileName, OpenedFile* opened) {
  // Append-only access (FILE_APPEND_DATA without FILE_WRITE_DATA) makes the
  // system put every write at the end of the file as one step, so that two
  // handles or two processes appending to one log never overwrite each
  // other's lines, as the runtime's seek-then-write of mode "a" can. Null
  // security attributes keep the handle out of the host's child processes.
  // Others may read and append to the file meanwhile, as with fopen, and
  // rename or delete it, so that a rotation tool can move it aside while
  // the library writes (ReopenTraceFiles then opens the new one). An
  // existing plain file is opened for reading too, so that its last byte
  // can be checked through the same handle.
  const DWORD attributes = GetFileAttributesA(fileName);
  const bool plainFile = attributes != INVALID_FILE_ATTRIBUTES &&
                         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  HANDLE file = INVALID_HANDLE_VALUE;
  bool readable = false;
  if (plainFile && !g_readableOpenDisabled.load(std::memory_order_relaxed)) {
    file = CreateFileA(fileName, FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    readable = file != INVALID_HANDLE_VALUE;
  }
  if (file == INVALID_HANDLE_VALUE) {
    file = CreateFileA(fileName, FILE_APPEND_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  opened->hasIdentity = GetFileInformationByHandle(file, &info) != 0;
  opened->identity = IdentityOf(info);
  // Appends through a handle with FILE_APPEND_DATA alone are whole, but the
  // CR LF translation below may split a line into several writes; lines
  // take turns in the queue here.
  opened->appendsWhole = false;
  opened->endsMidLine =
      readable && ReadFileEnd(reinterpret_cast<FileHandle>(file)) == FileEnd::kMidLine;
  // The stream only owns the handle, so that fclose releases it; nothing is
  // written through the stream, so its mode does no translation.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file),
                                 _O_WRONLY | _O_APPEND | _O_BINARY);
  if (fd == -1) {
    CloseHandle(file);
    return false;
  }
  FILE* stream = _fdopen(fd, "ab");
  if (stream == nullptr) {
    _close(fd);
    return false;
  }
  std::setvbuf(stream, nullptr, _IONBF, 0);
  opened->stream = stream;
  return true;
}

bool IdentifyFile(const char* fileName, FileIdentity* identity) {
  // No access beyond reading attributes; directories and files in use by
  // anyone open this way.
  HANDLE file = CreateFileA(fileName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return false;
  *identity = IdentityOf(info);
  return true;
}

void SetWriteHookForTest(WriteHook) {}

void SetReadableOpenDisabledForTest(bool disabled) {
  g_readableOpenDisabled.store(disabled, std::memory_order_relaxed);
}

void SetWholeAppendsDisabledForTest(bool) {}

FileHandle DuplicateFileHandle(FILE* stream) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  HANDLE duplicate = nullptr;
  // Not inheritable, as the stream's own handle is not.
  if (file == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(duplicate);
}

void CloseFileHandle(FileHandle file) {
  if (file != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

FileHandle StandardOutputFile() {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) return kNoFile;
  return reinterpret_cast<FileHandle>(file);
}

bool SyncToStorage(FileHandle file) {
  if (file == kNoFile) return true;
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0;
}

FileEnd ReadFileEnd(FileHandle file) {
  HANDLE handle = reinterpret_cast<HANDLE>(file);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size) || size.QuadPart <= 0) return FileEnd::kUnknown;
  OVERLAPPED at{};
  const unsigned long long lastByte = static_cast<unsigned long long>(size.QuadPart) - 1;
  at.Offset = static_cast<DWORD>(lastByte);
  at.OffsetHigh = static_cast<DWORD>(lastByte >> 32);
  char last = '\n';
  DWORD nRead = 0;
  if (!ReadFile(handle, &last, 1, &nRead, &at) || nRead != 1) return FileEnd::kUnknown;
  return last == '\n' ? FileEnd::kLineEnd : FileEnd::kMidLine;
}

// Windows files append through the queue only (OpenAppendStream reports
// none as appending whole), so this is never beside other writers.
size_t AppendOnceToFile(FileHandle file, const ByteSpan* spans, size_t count) {
  return WriteToFile(file, spans, count);
}

// Log files are Windows text files: every line end is CR LF, as the runtime
// writes a file opened in text mode. The runtime's own translation is not
// used because it hands an unbuffered stream's bytes to the system in small
// pieces, which would let another writer's line into the middle of ours.
// Here the translated spans go out together with one WriteFile; only a batch
// too long for the stack buffer needs the heap, and only when that fails is
// it written span by span, each span in pieces.
size_t WriteToFile(FileHandle handle, const ByteSpan* spans, size_t count) {
  HANDLE file = reinterpret_cast<HANDLE>(handle);
  size_t nBytes = 0;
  size_t nLineEnds = 0;
  for (size_t s = 0; s < count; ++s) {
    nBytes += spans[s].size;
    for (size_t i = 0; i < spans[s].size; ++i) {
      if (spans[s].data[i] == '\n') ++nLineEnds;
    }
  }
  if (count == 1 && nLineEnds == 0) return WriteAll(file, spans[0].data, nBytes);
  char local[kTranslateStackBytes];
  const size_t nText = nBytes + nLineEnds;
  std::unique_ptr<char[]> heap;
  if (nText > sizeof local) heap.reset(new (std::nothrow) char[nText]);
  if (nText > sizeof local && heap == nullptr) {
    size_t done = 0;
    for (size_t s = 0; s < count; ++s) {
      const char* data = spans[s].data;
      const size_t size = spans[s].size;
      size_t spanDone = 0;
      while (spanDone < size) {
        size_t nTaken = 0;
        const size_t nLocal = TranslateLineEnds(data + spanDone, size - spanDone, local,
                                                sizeof local, &nTaken);
        const size_t written = WriteAll(file, local, nLocal);
        if (written < nLocal) return done + UntranslatedBytes(local, nLocal, written);
        spanDone += nTaken;
        done += nTaken;
      }
    }
    return done;
  }
  char* text = heap != nullptr ? heap.get() : local;
  size_t nTranslated = 0;
  for (size_t s = 0; s < count; ++s) {
    size_t nTaken = 0;
    nTranslated += TranslateLineEnds(spans[s].data, spans[s].size, text + nTranslated,
                                     nText - nTranslated, &nTaken);
  }
  return UntranslatedBytes(text, nTranslated, WriteAll(file, text, nTranslated));
}

// Standard output stays with the C runtime, so that the host's own buffered
// text and ours leave in order, with the runtime's line-end translation.
size_t WriteStandardOutput(const ByteSpan* spans, size_t count) {
  _lock_file(stdout);
  size_t written = 0;
  for (size_t s = 0; s < count; ++s) {
    if (spans[s].size == 0) continue;
    const size_t n = std::fwrite(spans[s].data, 1, spans[s].size, stdout);
    written += n;
    if (n < spans[s].size) break;
  }
  // Bytes the runtime holds but cannot pass on were not written.
  if (std::fflush(stdout) != 0) written = 0;
  _unlock_file(stdout);
  return written;
}

void* AllocatePages(size_t nBytes) {
  return VirtualAlloc(nullptr, nBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreePages(void* pages, size_t) { VirtualFree(pages, 0, MEM_RELEASE); }

bool CallAtThreadExit(void (*release)(void*), void* value, bool) {
  // A fiber-local slot's callback runs at the exit of each thread that set
  // a value, which DLL_THREAD_DETACH, turned off below, would not; and for
  // every value still set when the DLL is unloaded, which frees the slot.
  static const DWORD index = [release] {
    g_threadExitRelease = release;
    const DWORD allocated = FlsAlloc(ReleaseAtThreadExit);
    g_threadExitIndex.store(allocated, std::memory_order_release);
    return allocated;
  }();
  return index != FLS_OUT_OF_INDEXES && FlsSetValue(index, value) != 0;
}

// Waiters sleep on one of a few condition variables chosen by the word's
// address. (WaitOnAddress would do the same, but it lives outside KERNEL32
// and would give the DLL an import that older systems lack.)
bool WaitOnWord(std::atomic<uint32_t>* word, uint32_t value) {
  WaitBucket& bucket = BucketOf(word);
  AcquireSRWLockExclusive(&bucket.lock);
  while (word->load(std::memory_order_acquire) == value) {
    SleepConditionVariableSRW(&bucket.changed, &bucket.lock, INFINITE, 0);
  }
  ReleaseSRWLockExclusive(&bucket.lock);
  return true;
}

void WakeWord(std::atomic<uint32_t>* word) {
  // Taking the lock orders the wake after a waiter's test of the word.
  WaitBucket& bucket = BucketOf(word);
  AcquireSRWLockExclusive(&bucket.lock);
  ReleaseSRWLockExclusive(&bucket.lock);
  WakeAllConditionVariable(&bucket.changed);
}

void CpuRelax() { YieldProcessor(); }

// Windows threads are not cancelled at cancellation points; nothing to hold
// off.
NoCancellation::NoCancellation() : previous_(0) {}
NoCancellation::~NoCancellation() {}

void InstallForkHandlers(void (*)(), void (*)(), void (*)()) {}

// Without fork there is no takeover.
void BeginForkTakeover() {}
void EndForkTakeover() {}

}  // namespace platform
}  // namespace razezir

// The library needs no per-thread attach or detach notifications, so they
// are turned off; the trace state is created and destroyed only by the
// host's InitTrace and DeinitTrace calls, never here. (Windows ignores the
// call for a DLL with static thread-local storage, which the statically
// linked runtime gives a mingw build; the runtime's thread-exit callbacks
// then keep releasing per-thread data such as the time cache.)
//
// Unloaded by FreeLibrary (not at process exit), the DLL gives back its
// fiber-local slot, so that threads that exit later do not call into code
// that is gone; freeing the slot releases the values set in it.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    const DWORD index = razezir::g_threadExitIndex.load(std::memory_order_acquire);
    if (index != FLS_OUT_OF_INDEXES) FlsFree(index);
  }
  return TRUE;
}

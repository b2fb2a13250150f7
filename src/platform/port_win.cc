// The platform contract on Windows: critical sections, GetCurrentThreadId,
// the system clock and localtime_s, fopen without handle inheritance, and
// the DLL entry point. Windows has no fork, so the fork hooks do nothing.

#include "platform/port.h"

#include <windows.h>

#include <new>

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

}  // namespace

CriticalSectionLock::CriticalSectionLock() {
  new (native_) CRITICAL_SECTION;
  InitializeCriticalSection(Native(native_));
}

CriticalSectionLock::~CriticalSectionLock() {
  DeleteCriticalSection(Native(native_));
}

void CriticalSectionLock::EnterNative() { EnterCriticalSection(Native(native_)); }

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
  return localtime_s(out, &seconds) == 0;
}

// The runtime's locale names a code page, not an encoding the engine's fast
// paths recognise; every conversion then goes through the runtime.
const char* LocaleCodeset() { return nullptr; }

FILE* OpenAppendStream(const char* fileName) {
  // "N" keeps the handle out of processes the host creates.
  FILE* stream = std::fopen(fileName, "aN");
  if (stream != nullptr) std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

// The stream layer does the text-mode line-end translation that log files
// get on Windows, so the write goes through it.
void WriteToOwnStream(FILE* stream, const char* data, size_t nBytes) {
  std::fwrite(data, 1, nBytes, stream);
}

void InstallForkHandlers(void (*)(), void (*)(), void (*)()) {}

}  // namespace platform
}  // namespace razezir

// The library needs no per-thread attach or detach notifications, so they
// are turned off; the trace state is created and destroyed only by the
// host's InitTrace and DeinitTrace calls, never here.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

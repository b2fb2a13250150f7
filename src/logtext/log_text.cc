// The time text.
//
// The text of the current second is cached per thread and only formatted
// again when the second changes: breaking the time down and running
// strftime costs far more than the rest of a line's prefix.

#include "logtext/log_text.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "format/wide_format.h"
#include "platform/port.h"
#include "razezir/trace.h"

namespace razezir {

namespace {

struct TimeCache {
  bool valid;
  time_t second;
  size_t nBytes;
  char text[kBannerTimeBytes + 1];
};

thread_local TimeCache t_timeCache RAZEZIR_INITIAL_EXEC_TLS;

// Where timestamps read the time when tests replace the system's clock.
std::atomic<platform::WallClock (*)()> g_readClock{nullptr};

constexpr char kTimeFormat[] = "%a %b %d %Y %H:%M:%S";
void RefillTimeCache(TimeCache* cache, time_t second) {
  struct tm local;
  cache->nBytes = 0;
  if (platform::ToLocalTime(second, &local)) {
    cache->nBytes = std::strftime(cache->text, sizeof cache->text, kTimeFormat, &local);
  }
  cache->second = second;
  cache->valid = true;
}

// ".mmm" after the seconds.
constexpr size_t kMillisecondBytes = 4;

// Writes the kMillisecondBytes of ".mmm" at `out`. Byte by byte into their
// place: staged in a local array and copied on as one word, the load would
// have to wait for the four byte stores before it to drain.
void PutMilliseconds(int milliseconds, char* out) {
  out[0] = '.';
  out[1] = static_cast<char>('0' + milliseconds / 100);
  out[2] = static_cast<char>('0' + milliseconds / 10 % 10);
  out[3] = static_cast<char>('0' + milliseconds % 10);
}

// Copies up to `maxBytes` of the timestamp `text`, cut on a character
// boundary, and adds the milliseconds when `flags` asks and the whole text
// fitted; returns the length written.
size_t FinishTimeText(int flags, const char* text, size_t nBytes, int milliseconds,
                      char* out, size_t maxBytes) {
  const bool withMilliseconds = (flags & QXSTD::TRACE_MSEC) != 0 && nBytes > 0;
  if (nBytes + kMillisecondBytes <= maxBytes) {
    // Everything fits, as it does in every line prefix unless a locale
    // spells its day and month names at length: no cut to look for.
    std::memcpy(out, text, nBytes);
    if (!withMilliseconds) return nBytes;
    PutMilliseconds(milliseconds, out + nBytes);
    return nBytes + kMillisecondBytes;
  }
  size_t n = CutOnCharBoundary(text, nBytes, maxBytes);
  std::memcpy(out, text, n);
  if (withMilliseconds && n == nBytes) {
    char msec[kMillisecondBytes];
    PutMilliseconds(milliseconds, msec);
    size_t room = maxBytes - n;
    size_t nMsec = room < kMillisecondBytes ? room : kMillisecondBytes;
    std::memcpy(out + n, msec, nMsec);
    n += nMsec;
  }
  return n;
}

}  // namespace

platform::WallClock ReadTraceClock() {
  platform::WallClock (*clock)() = g_readClock.load(std::memory_order_relaxed);
  return clock == nullptr ? platform::ReadWallClock() : clock();
}

size_t FormatTraceTime(int flags, char* out, size_t maxBytes) {
  return FormatTraceTimeAt(ReadTraceClock(), flags, out, maxBytes);
}

size_t FormatTraceTimeAt(platform::WallClock now, int flags, char* out, size_t maxBytes) {
  TimeCache* cache = &t_timeCache;
  // The same second as before returns on its own path: in a shared library
  // each reach for a thread_local may be a call into the dynamic linker, and
  // a path shared with the refill makes the compiler reach for it again.
  if (cache->valid && cache->second == now.seconds) {
    return FinishTimeText(flags, cache->text, cache->nBytes, now.milliseconds, out, maxBytes);
  }
  RefillTimeCache(cache, now.seconds);
  return FinishTimeText(flags, cache->text, cache->nBytes, now.milliseconds, out, maxBytes);
}

void MakePrefixTime(platform::WallClock now, int flags, int64_t key) {
  PrefixTimeText* cache = &t_prefixTime;
  char text[kPrefixTimeBytes];
  const size_t n = FormatTraceTimeAt(now, flags, text, kPrefixTimeBytes);
  std::memcpy(cache->text + kPrefixTimeBytes - n, text, n);
  cache->nBytes = n;
  cache->key = key;
}

void CloseLogStream(FILE* stream) {
  if (stream == nullptr || stream == stdout) return;
  std::fclose(stream);
}

void LogTextTestHelper::SetClock(platform::WallClock (*clock)()) {
  g_readClock.store(clock, std::memory_order_relaxed);
}

}  // namespace razezir

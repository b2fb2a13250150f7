// The time text that the library writes in line prefixes and banners, and
// the closing of log streams. (The banners themselves, and every write into
// a log, belong to the destinations.)
//
// All functions here are safe to call from several threads at once: the
// cache of the time text is per thread.

#ifndef RAZEZIR_SRC_LOGTEXT_LOG_TEXT_H_
#define RAZEZIR_SRC_LOGTEXT_LOG_TEXT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/port.h"
#include "razezir/trace.h"

namespace razezir {

// Longest timestamp text a line prefix carries, in bytes (NUL excluded). In
// the default locale the text is 24 bytes, or 28 with milliseconds, and in
// ISO 8601 at most 29 ("2026-12-10T04:12:25.123+01:00"); a host locale with
// long day or month names can make it longer, and it is then cut on a
// character boundary.
constexpr size_t kPrefixTimeBytes = 31;
// Longest timestamp text a banner carries, in bytes (NUL excluded).
constexpr size_t kBannerTimeBytes = 127;

// The room a line keeps at its start for its time, which its destination
// puts in when the line is written: kPrefixTimeBytes when `flags` asks for
// the time, else none.
inline size_t TimeGap(int flags) {
  return (flags & QXSTD::TRACE_TIME) != 0 ? kPrefixTimeBytes : 0;
}

// Writes the timestamp text of the current local time, such as
// "Mon Dec 07 2026 01:52:11" or, when `flags` has TRACE_MSEC,
// "Mon Dec 07 2026 01:52:11.123", into `out` and returns its length; with
// TRACE_ISO_TIME "2026-12-07T01:52:11.123+01:00", and with TRACE_UTC in
// UTC ("...Z" in ISO 8601). At most `maxBytes` bytes are written, cut on a
// character boundary; no NUL is added. Only those bits of `flags` are
// examined. Writes nothing when the time cannot be converted.
// REQUIRES: maxBytes <= kBannerTimeBytes.
size_t FormatTraceTime(int flags, char* out, size_t maxBytes);

// Where timestamps read the time when tests replace the system's clock
// (LogTextTestHelper::SetClock); null for the system's.
extern std::atomic<platform::WallClock (*)()> g_traceClockForTest;

// The time of a line, read once for the lines written together. Inline: it
// is on every timed line's path, in another unit than its callers.
inline platform::WallClock ReadTraceClock() {
  platform::WallClock (*clock)() = g_traceClockForTest.load(std::memory_order_relaxed);
  return clock == nullptr ? platform::ReadWallClock() : clock();
}

// FormatTraceTime for a clock reading taken earlier with ReadTraceClock, so
// that one reading can stamp several lines.
size_t FormatTraceTimeAt(platform::WallClock now, int flags, char* out, size_t maxBytes);

// A clock reading as the millisecond it falls in, counted from the epoch.
inline int64_t Milliseconds(platform::WallClock now) {
  return static_cast<int64_t>(now.seconds) * 1000 + now.milliseconds;
}

// The prefix's time text of the last millisecond (or second, without
// milliseconds) a thread gave a line, right-aligned in the gap's size:
// lines of the same millisecond copy it whole. `key` tells the reading and
// the kind of text apart in one comparison.
struct PrefixTimeText {
  int64_t key;  // INT64_MIN when empty.
  size_t nBytes;
  char text[kPrefixTimeBytes];
};
inline thread_local PrefixTimeText t_prefixTime RAZEZIR_INITIAL_EXEC_TLS = {INT64_MIN, 0, {}};

// The bits of the flags that shape the prefix's time text, all below
// bit kPrefixTimeFormShift.
constexpr int kPrefixTimeFormBits = QXSTD::TRACE_MSEC | QXSTD::TRACE_ISO_TIME | QXSTD::TRACE_UTC;
constexpr int kPrefixTimeFormShift = 11;
static_assert(kPrefixTimeFormBits < (1 << kPrefixTimeFormShift), "the form's bits fit the key");

// Makes the thread's prefix time text for `key`.
void MakePrefixTime(platform::WallClock now, int flags, int64_t key);

// Puts the time text of `now` that `flags` asks for at the end of the
// kPrefixTimeBytes at `gap`, and returns its length; the bytes before it in
// the gap are not the text's. The text is made once a millisecond (once a
// second without milliseconds) per thread, and follows the time zone and
// the locale as FormatTraceTimeAt does.
inline size_t PutPrefixTime(platform::WallClock now, int flags, char* gap) {
  // The milliseconds since the epoch, or without milliseconds the seconds,
  // above the bits of `flags` that shape the text.
  const int64_t tick =
      (flags & QXSTD::TRACE_MSEC) != 0 ? Milliseconds(now) : static_cast<int64_t>(now.seconds);
  const int64_t key = tick * (int64_t{1} << kPrefixTimeFormShift) + (flags & kPrefixTimeFormBits);
  PrefixTimeText* cache = &t_prefixTime;
  if (cache->key != key) MakePrefixTime(now, flags, key);
  // The whole gap at once: what stands before the text is never written
  // out, since the line starts after it.
  std::memcpy(gap, cache->text, kPrefixTimeBytes);
  return cache->nBytes;
}

// Closes a stream the library opened; standard output is never closed.
void CloseLogStream(FILE* stream);

// Test-only knobs of the timestamp text.
class LogTextTestHelper {
 public:
  // Makes timestamps read `clock` instead of the system's wall clock; null
  // restores the system's. REQUIRES: no other thread formats a timestamp.
  static void SetClock(platform::WallClock (*clock)());
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_LOGTEXT_LOG_TEXT_H_

// The time text.
//
// The text of the current second is cached per thread and only formatted
// again when the second or its form (local or UTC, as text or ISO 8601)
// changes: breaking the time down and running strftime costs far more than
// the rest of a line's prefix.

#include "logtext/log_text.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "format/wide_format.h"
#include "platform/port.h"
#include "razezir/trace.h"

namespace razezir {

namespace {

// The forms of the time text: bit 0 UTC, bit 1 ISO 8601.
constexpr int kUtcForm = 1;
constexpr int kIsoForm = 2;

int TimeFormOf(int flags) {
  return ((flags & QXSTD::TRACE_UTC) != 0 ? kUtcForm : 0) |
         ((flags & QXSTD::TRACE_ISO_TIME) != 0 ? kIsoForm : 0);
}

// "+hh:mm" (or "-hh:mm"), or "Z" in UTC, after an ISO time's seconds.
constexpr size_t kZoneBytes = 6;

struct TimeCache {
  bool valid;
  int form;
  time_t second;
  size_t nBytes;
  char text[kBannerTimeBytes + 1];
  size_t nZoneBytes;
  char zone[kZoneBytes];
};

thread_local TimeCache t_timeCache RAZEZIR_INITIAL_EXEC_TLS;

constexpr char kTimeFormat[] = "%a %b %d %Y %H:%M:%S";

// The seconds since the epoch that `broken`, read as UTC, stands for.
int64_t SecondsAsUtc(const struct tm& broken) {
  // Days from 1970-01-01 to the civil date, in the proleptic Gregorian
  // calendar (an era is 400 years).
  int64_t year = static_cast<int64_t>(broken.tm_year) + 1900;
  const int64_t month = broken.tm_mon + 1;
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + broken.tm_mday - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t days = era * 146097 + dayOfEra - 719468;
  return days * 86400 + broken.tm_hour * 3600 + broken.tm_min * 60 + broken.tm_sec;
}

// Writes the local zone's offset from UTC as "+hh:mm" into `zone`.
void PutOffset(int64_t offsetSeconds, char* zone) {
  zone[0] = offsetSeconds < 0 ? '-' : '+';
  const int64_t minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
  const int64_t hours = minutes / 60 % 100;
  zone[1] = static_cast<char>('0' + hours / 10);
  zone[2] = static_cast<char>('0' + hours % 10);
  zone[3] = ':';
  zone[4] = static_cast<char>('0' + minutes % 60 / 10);
  zone[5] = static_cast<char>('0' + minutes % 10);
}

void RefillTimeCache(TimeCache* cache, time_t second, int form) {
  struct tm broken;
  cache->nBytes = 0;
  cache->nZoneBytes = 0;
  const bool utc = (form & kUtcForm) != 0;
  if (utc ? platform::ToUtcTime(second, &broken) : platform::ToLocalTime(second, &broken)) {
    if ((form & kIsoForm) == 0) {
      cache->nBytes = std::strftime(cache->text, sizeof cache->text, kTimeFormat, &broken);
    } else {
      const int n = std::snprintf(cache->text, sizeof cache->text, "%04d-%02d-%02dT%02d:%02d:%02d",
                                  broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday,
                                  broken.tm_hour, broken.tm_min, broken.tm_sec);
      cache->nBytes = n > 0 ? std::min(static_cast<size_t>(n), sizeof cache->text - 1) : 0;
      if (utc) {
        cache->zone[0] = 'Z';
        cache->nZoneBytes = 1;
      } else {
        PutOffset(SecondsAsUtc(broken) - static_cast<int64_t>(second), cache->zone);
        cache->nZoneBytes = kZoneBytes;
      }
    }
  }
  cache->second = second;
  cache->form = form;
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

// Writes the cache's time text at `out`, with the milliseconds when
// `flags` asks and the zone of an ISO time after them; returns its length.
// REQUIRES: room for cache.nBytes + kMillisecondBytes + kZoneBytes.
size_t PutTimeText(int flags, const TimeCache& cache, int milliseconds, char* out) {
  std::memcpy(out, cache.text, cache.nBytes);
  size_t n = cache.nBytes;
  if ((flags & QXSTD::TRACE_MSEC) != 0 && n > 0) {
    PutMilliseconds(milliseconds, out + n);
    n += kMillisecondBytes;
  }
  std::memcpy(out + n, cache.zone, cache.nZoneBytes);
  return n + cache.nZoneBytes;
}

// PutTimeText into `out`, cut to `maxBytes` on a character boundary.
size_t FinishTimeText(int flags, const TimeCache& cache, int milliseconds, char* out,
                      size_t maxBytes) {
  // Everything fits, as it does in every line prefix unless a locale
  // spells its day and month names at length: no cut to look for.
  if (cache.nBytes + kMillisecondBytes + kZoneBytes <= maxBytes) {
    return PutTimeText(flags, cache, milliseconds, out);
  }
  char whole[kBannerTimeBytes + 1 + kMillisecondBytes + kZoneBytes];
  const size_t nWhole = PutTimeText(flags, cache, milliseconds, whole);
  const size_t n = CutOnCharBoundary(whole, nWhole, maxBytes);
  std::memcpy(out, whole, n);
  return n;
}

}  // namespace

size_t FormatTraceTime(int flags, char* out, size_t maxBytes) {
  return FormatTraceTimeAt(ReadTraceClock(), flags, out, maxBytes);
}

size_t FormatTraceTimeAt(platform::WallClock now, int flags, char* out, size_t maxBytes) {
  TimeCache* cache = &t_timeCache;
  const int form = TimeFormOf(flags);
  // The same second as before returns on its own path: in a shared library
  // each reach for a thread_local may be a call into the dynamic linker, and
  // a path shared with the refill makes the compiler reach for it again.
  if (cache->valid && cache->second == now.seconds && cache->form == form) {
    return FinishTimeText(flags, *cache, now.milliseconds, out, maxBytes);
  }
  RefillTimeCache(cache, now.seconds, form);
  return FinishTimeText(flags, *cache, now.milliseconds, out, maxBytes);
}

void MakePrefixTime(platform::WallClock now, int flags, int64_t key) {
  PrefixTimeText* cache = &t_prefixTime;
  char text[kPrefixTimeBytes];
  const size_t n = FormatTraceTimeAt(now, flags, text, kPrefixTimeBytes);
  std::memcpy(cache->text + kPrefixTimeBytes - n, text, n);
  cache->nBytes = n;
  cache->key = key;
}

std::atomic<platform::WallClock (*)()> g_traceClockForTest{nullptr};

void CloseLogStream(FILE* stream) {
  if (stream == nullptr || stream == stdout) return;
  std::fclose(stream);
}

void LogTextTestHelper::SetClock(platform::WallClock (*clock)()) {
  g_traceClockForTest.store(clock, std::memory_order_relaxed);
}

}  // namespace razezir

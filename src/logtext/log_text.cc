// Timestamp text, banners and the writing of log streams.
//
// The timestamp text of the current second is cached per thread and only
// formatted again when the second changes: breaking the time down and
// running strftime costs far more than the rest of a line's prefix.
//
// A write that fails part-way leaves its file ending in the middle of a line.
// The streams that were left so are remembered here, and the next write to
// such a stream starts with a line end, so the fragment stays one broken line
// and the next good line stays whole instead of being glued to it. A file
// opened with a cut last line (a crash, another writer) is remembered the
// same way before its Started banner is written.

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

constexpr size_t kRuleBytes = 76;

struct TimeCache {
  bool valid;
  time_t second;
  size_t nBytes;
  char text[kBannerTimeBytes + 1];
};

thread_local TimeCache t_timeCache;

// Where timestamps read the time; only tests replace it.
std::atomic<platform::WallClock (*)()> g_readClock{platform::ReadWallClock};

constexpr char kTimeFormat[] = "%a %b %d %Y %H:%M:%S";
constexpr long kUnknownOffset = LONG_MIN;
constexpr int64_t kSecondsPerDay = 86400;

// Local time minus UTC, in seconds, as of the last time any thread broke a
// time down; lets a line written from a signal handler, which must not call
// localtime, give the local time all the same.
std::atomic<long> g_utcOffset{kUnknownOffset};

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and
// back; plain arithmetic (H. Hinnant's algorithms), so safe anywhere.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, struct tm* out) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  const int month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  out->tm_mday = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  out->tm_mon = month - 1;
  out->tm_year = static_cast<int>(yearOfEra + era * 400 + (month <= 2) - 1900);
}

void RefillTimeCache(TimeCache* cache, time_t second) {
  struct tm local;
  cache->nBytes = 0;
  if (platform::ToLocalTime(second, &local)) {
    cache->nBytes = std::strftime(cache->text, sizeof cache->text, kTimeFormat, &local);
    const int64_t asIfUtc =
        DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) * kSecondsPerDay +
        local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    g_utcOffset.store(static_cast<long>(asIfUtc - second), std::memory_order_relaxed);
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

// The streams whose file was left in the middle of a line. A slot holds a
// stream or null; g_nMidLine counts the streams held, so that writes pay one
// load while no write has failed. With more streams torn at once than there
// are slots, the excess ones are not remembered (their next line may be
// glued); no host has that many log files failing together.
constexpr int kMidLineSlots = 64;
std::atomic<FILE*> g_midLine[kMidLineSlots] = {};
std::atomic<int> g_nMidLine{0};

bool IsMidLine(FILE* stream) {
  if (g_nMidLine.load(std::memory_order_acquire) == 0) return false;
  for (auto& slot : g_midLine) {
    if (slot.load(std::memory_order_relaxed) == stream) return true;
  }
  return false;
}

void MarkMidLine(FILE* stream) {
  if (IsMidLine(stream)) return;
  for (auto& slot : g_midLine) {
    FILE* expected = nullptr;
    if (slot.compare_exchange_strong(expected, stream)) {
      g_nMidLine.fetch_add(1, std::memory_order_release);
      return;
    }
  }
}

void UnmarkMidLine(FILE* stream) {
  if (g_nMidLine.load(std::memory_order_acquire) == 0) return;
  for (auto& slot : g_midLine) {
    FILE* expected = stream;
    if (slot.compare_exchange_strong(expected, nullptr)) {
      g_nMidLine.fetch_sub(1, std::memory_order_release);
    }
  }
}

// `head` and `tail` surround the timestamp on the middle line.
void WriteBanner(FILE* stream, const char* head, const char* tail) {
  static const char kRule[kRuleBytes + 1] =
      "============================================================================";
  static_assert(sizeof kRule == kRuleBytes + 1, "a banner rule is 76 bytes");
  char line[3 * (kRuleBytes + 1) + 64 + kBannerTimeBytes];
  size_t n = 0;
  auto put = [&](const char* s, size_t nBytes) {
    std::memcpy(line + n, s, nBytes);
    n += nBytes;
  };
  put(kRule, kRuleBytes);
  put("\n", 1);
  put(head, std::strlen(head));
  n += FormatTraceTime(QXSTD::TRACE_MSEC, line + n, kBannerTimeBytes);
  put(tail, std::strlen(tail));
  put(kRule, kRuleBytes);
  put("\n", 1);
  WriteLogBytes(stream, line, n);
}

}  // namespace

platform::WallClock ReadTraceClock() { return g_readClock.load(std::memory_order_relaxed)(); }

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

size_t FormatTraceTimeUnlocked(int flags, char* out, size_t maxBytes) {
  const long offset = g_utcOffset.load(std::memory_order_relaxed);
  if (offset == kUnknownOffset) return 0;
  platform::WallClock now = g_readClock.load(std::memory_order_relaxed)();
  const int64_t local = static_cast<int64_t>(now.seconds) + offset;
  int64_t days = local / kSecondsPerDay;
  int64_t secondOfDay = local % kSecondsPerDay;
  if (secondOfDay < 0) {
    secondOfDay += kSecondsPerDay;
    --days;
  }
  struct tm broken {};
  CivilFromDays(days, &broken);
  broken.tm_hour = static_cast<int>(secondOfDay / 3600);
  broken.tm_min = static_cast<int>(secondOfDay / 60 % 60);
  broken.tm_sec = static_cast<int>(secondOfDay % 60);
  broken.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  char text[kBannerTimeBytes + 1];
  size_t nBytes = std::strftime(text, sizeof text, kTimeFormat, &broken);
  return FinishTimeText(flags, text, nBytes, now.milliseconds, out, maxBytes);
}

void WriteStartedBanner(FILE* stream) {
  WriteBanner(stream, "========== Trace Log File. Started - ", " ===========\n");
}

void WriteClosedBanner(FILE* stream) {
  // One letter shorter than Started, so one more equals sign at the end.
  WriteBanner(stream, "========== Trace Log File. Closed - ", " ============\n");
}

namespace {

// Whether the first `nWritten` bytes of the spans end inside a line.
bool EndsInsideLine(const platform::ByteSpan* spans, size_t nWritten) {
  for (const platform::ByteSpan* span = spans;; ++span) {
    if (nWritten <= span->size) return span->data[nWritten - 1] != '\n';
    nWritten -= span->size;
  }
}

bool WriteOwnStream(FILE* stream, const platform::ByteSpan* spans, size_t count,
                    bool continuesLine) {
  if (IsMidLine(stream)) {
    // Until the fragment is closed off, nothing more goes after it: a line
    // that cannot be written whole is lost whole.
    const platform::ByteSpan lineEnd{"\n", 1};
    if (platform::WriteToOwnStream(stream, &lineEnd, 1) != 1) return false;
    UnmarkMidLine(stream);
  }
  size_t nBytes = 0;
  for (size_t i = 0; i < count; ++i) nBytes += spans[i].size;
  const size_t written = platform::WriteToOwnStream(stream, spans, count);
  if (written == nBytes) return true;
  const bool leftMidLine = written > 0 ? EndsInsideLine(spans, written) : continuesLine;
  if (leftMidLine) MarkMidLine(stream);
  return false;
}

}  // namespace

bool WriteLogSpans(FILE* stream, const platform::ByteSpan* spans, size_t count,
                   bool continuesLine) {
  if (stream == stdout) {
    platform::WriteStandardOutput(spans, count);
    return true;
  }
  return WriteOwnStream(stream, spans, count, continuesLine);
}

void WriteLogBytesUnlocked(FILE* stream, const char* data, size_t nBytes) {
  if (stream == stdout) {
    platform::WriteStandardOutputDirect(data, nBytes);
  } else {
    const platform::ByteSpan span{data, nBytes};
    WriteOwnStream(stream, &span, 1, false);
  }
}

FILE* OpenLogStream(const char* fileName) {
  FILE* stream = platform::OpenAppendStream(fileName);
  if (stream != nullptr && platform::EndsMidLine(fileName)) MarkMidLine(stream);
  return stream;
}

void CloseLogStream(FILE* stream) {
  if (stream == nullptr || stream == stdout) return;
  // The address may come back for another stream, which must not inherit
  // this one's state.
  UnmarkMidLine(stream);
  std::fclose(stream);
}

void LogTextTestHelper::SetClock(platform::WallClock (*clock)()) {
  g_readClock.store(clock != nullptr ? clock : platform::ReadWallClock,
                    std::memory_order_relaxed);
}

}  // namespace razezir

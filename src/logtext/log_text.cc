// Timestamp text, banners and the writing of log streams.
//
// The timestamp text of the current second is cached per thread and only
// formatted again when the second changes: breaking the time down and
// running strftime costs far more than the rest of a line's prefix.

#include "logtext/log_text.h"

#include <atomic>
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

void RefillTimeCache(TimeCache* cache, time_t second) {
  struct tm local;
  cache->nBytes = 0;
  if (platform::ToLocalTime(second, &local)) {
    cache->nBytes = std::strftime(cache->text, sizeof cache->text,
                                  "%a %b %d %Y %H:%M:%S", &local);
  }
  cache->second = second;
  cache->valid = true;
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

size_t FormatTraceTime(int flags, char* out, size_t maxBytes) {
  platform::WallClock now = g_readClock.load(std::memory_order_relaxed)();
  TimeCache* cache = &t_timeCache;
  if (!cache->valid || cache->second != now.seconds) {
    RefillTimeCache(cache, now.seconds);
  }
  size_t n = CutOnCharBoundary(cache->text, cache->nBytes, maxBytes);
  std::memcpy(out, cache->text, n);
  if ((flags & QXSTD::TRACE_MSEC) != 0 && n > 0 && n == cache->nBytes) {
    char msec[4] = {'.', static_cast<char>('0' + now.milliseconds / 100),
                    static_cast<char>('0' + now.milliseconds / 10 % 10),
                    static_cast<char>('0' + now.milliseconds % 10)};
    size_t room = maxBytes - n;
    size_t nMsec = room < sizeof msec ? room : sizeof msec;
    std::memcpy(out + n, msec, nMsec);
    n += nMsec;
  }
  return n;
}

void WriteStartedBanner(FILE* stream) {
  WriteBanner(stream, "========== Trace Log File. Started - ", " ===========\n");
}

void WriteClosedBanner(FILE* stream) {
  // One letter shorter than Started, so one more equals sign at the end.
  WriteBanner(stream, "========== Trace Log File. Closed - ", " ============\n");
}

void WriteLogBytes(FILE* stream, const char* data, size_t nBytes) {
  // Standard output belongs to the host too: its buffer may hold the host's
  // own text, so the bytes join that buffer and leave with it. The library's
  // own streams are unbuffered and need no flush.
  if (stream == stdout) {
    if (nBytes > 0) std::fwrite(data, 1, nBytes, stream);
    std::fflush(stream);
  } else {
    platform::WriteToOwnStream(stream, data, nBytes);
  }
}

FILE* OpenLogStream(const char* fileName) {
  return platform::OpenAppendStream(fileName);
}

void CloseLogStream(FILE* stream) {
  if (stream != nullptr && stream != stdout) std::fclose(stream);
}

void LogTextTestHelper::SetClock(platform::WallClock (*clock)()) {
  g_readClock.store(clock != nullptr ? clock : platform::ReadWallClock,
                    std::memory_order_relaxed);
}

}  // namespace razezir

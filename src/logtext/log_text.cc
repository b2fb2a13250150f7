// Timestamp text, banners and the writing of log streams.
//
// The timestamp text of the current second is cached per thread and only
// formatted again when the second changes: breaking the time down and
// running strftime costs far more than the rest of a line's prefix.
//
// A write that fails part-way leaves its file ending in the middle of a line.
// The caller's LineState for that file remembers it, and the next write
// there starts with a line end.

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

thread_local TimeCache t_timeCache RAZEZIR_INITIAL_EXEC_TLS;

// Where timestamps read the time; only tests replace it.
std::atomic<platform::WallClock (*)()> g_readClock{platform::ReadWallClock};

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

// `head` and `tail` surround the timestamp on the middle line.
void WriteBanner(FILE* stream, LineState* lineState, bool durable, const char* head,
                 const char* tail) {
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
  WriteLogBytes(stream, lineState, line, n);
  if (durable) platform::SyncToStorage(stream);
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

void WriteStartedBanner(FILE* stream, LineState* lineState, bool durable) {
  WriteBanner(stream, lineState, durable, "========== Trace Log File. Started - ",
              " ===========\n");
}

void WriteClosedBanner(FILE* stream, LineState* lineState, bool durable) {
  // One letter shorter than Started, so one more equals sign at the end.
  WriteBanner(stream, lineState, durable, "========== Trace Log File. Closed - ",
              " ============\n");
}

namespace {

size_t WriteSpans(FILE* stream, const platform::ByteSpan* spans, size_t count) {
  return stream == stdout ? platform::WriteStandardOutput(spans, count)
                          : platform::WriteToOwnStream(stream, spans, count);
}

// Whether the first `nWritten` bytes of the spans end inside a line.
bool EndsInsideLine(const platform::ByteSpan* spans, size_t nWritten) {
  for (const platform::ByteSpan* span = spans;; ++span) {
    if (nWritten <= span->size) return span->data[nWritten - 1] != '\n';
    nWritten -= span->size;
  }
}

// Writes the spans with `write` after closing off a cut line, and marks the
// place mid-line when the write leaves it there.
template <typename Write>
bool WriteAfterCutLine(LineState* lineState, const platform::ByteSpan* spans, size_t count,
                       bool continuesLine, Write&& write) {
  if (lineState->midLine.load(std::memory_order_relaxed)) {
    // Until the fragment is closed off, nothing more goes after it: a line
    // that cannot be written whole is lost whole.
    const platform::ByteSpan lineEnd{"\n", 1};
    if (write(&lineEnd, 1) != 1) return false;
    lineState->midLine.store(false, std::memory_order_relaxed);
  }
  size_t nBytes = 0;
  for (size_t i = 0; i < count; ++i) nBytes += spans[i].size;
  const size_t written = write(spans, count);
  if (written == nBytes) return true;
  const bool leftMidLine = written > 0 ? EndsInsideLine(spans, written) : continuesLine;
  if (leftMidLine) lineState->midLine.store(true, std::memory_order_relaxed);
  return false;
}

}  // namespace

bool WriteLogSpans(FILE* stream, LineState* lineState, const platform::ByteSpan* spans,
                   size_t count, bool continuesLine) {
  return WriteAfterCutLine(lineState, spans, count, continuesLine,
                           [stream](const platform::ByteSpan* s, size_t n) {
                             return WriteSpans(stream, s, n);
                           });
}

bool AppendLogLine(FILE* stream, LineState* lineState, const char* data, size_t nBytes) {
  const platform::ByteSpan line{data, nBytes};
  return WriteAfterCutLine(lineState, &line, 1, false,
                           [stream](const platform::ByteSpan* s, size_t) {
                             return platform::AppendOnceToOwnStream(stream, s->data, s->size);
                           });
}

void CloseLogStream(FILE* stream) {
  if (stream == nullptr || stream == stdout) return;
  std::fclose(stream);
}

void LogTextTestHelper::SetClock(platform::WallClock (*clock)()) {
  g_readClock.store(clock != nullptr ? clock : platform::ReadWallClock,
                    std::memory_order_relaxed);
}

}  // namespace razezir

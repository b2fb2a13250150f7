// The fixed text the library writes around its callers' messages: the
// timestamp text and the Started and Closed banners, and the one way every
// log stream is written.
//
// All functions here are safe to call from several threads at once: the
// timestamp cache is per thread, and each write is one call on the stream.

#ifndef RAZEZIR_SRC_LOGTEXT_LOG_TEXT_H_
#define RAZEZIR_SRC_LOGTEXT_LOG_TEXT_H_

#include <cstddef>
#include <cstdio>

#include "platform/port.h"

namespace razezir {

// Longest timestamp text a line prefix carries, in bytes (NUL excluded). In
// the default locale the text is 24 bytes, or 28 with milliseconds; a host
// locale with long day or month names can make it longer, and it is then cut
// on a character boundary.
constexpr size_t kPrefixTimeBytes = 31;
// Longest timestamp text a banner carries, in bytes (NUL excluded).
constexpr size_t kBannerTimeBytes = 127;

// Writes the timestamp text of the current local time, such as
// "Mon Dec 07 2026 01:52:11" or, when `flags` has TRACE_MSEC,
// "Mon Dec 07 2026 01:52:11.123", into `out` and returns its length. At most
// `maxBytes` bytes are written, cut on a character boundary; no NUL is
// added. Only the milliseconds bit of `flags` is examined. Writes nothing
// when the time cannot be converted.
// REQUIRES: maxBytes <= kBannerTimeBytes.
size_t FormatTraceTime(int flags, char* out, size_t maxBytes);

// FormatTraceTime for a clock reading taken earlier with ReadTraceClock, so
// that one reading can stamp several lines.
platform::WallClock ReadTraceClock();
size_t FormatTraceTimeAt(platform::WallClock now, int flags, char* out, size_t maxBytes);

// Write the Started or Closed banner, three lines with the timestamp
// (milliseconds always), to `stream` and flush it. The stream stays open.
void WriteStartedBanner(FILE* stream);
void WriteClosedBanner(FILE* stream);

// The timestamp text as FormatTraceTime gives it, for a line written while
// the calling thread may be inside the library already (in a signal
// handler): it takes no lock and allocates nothing, so it neither calls
// localtime nor touches the thread's cache. The local time comes from the
// zone offset seen by the last time broken down in the process; before any,
// nothing is written.
size_t FormatTraceTimeUnlocked(int flags, char* out, size_t maxBytes);

// Writes the `count` spans to `stream` as one write and flushes it, so that
// the bytes are in the file when this returns. Standard output takes the
// host's waiting text first. Returns false if the system failed to take them
// all; the stream is then remembered as left mid-line when it was, and its
// next write starts with a line end. `continuesLine` says that earlier bytes
// of the same line were written to the stream, so that a failure leaves it
// mid-line even when none of these bytes were written.
bool WriteLogSpans(FILE* stream, const platform::ByteSpan* spans, size_t count,
                   bool continuesLine = false);

inline bool WriteLogBytes(FILE* stream, const char* data, size_t nBytes,
                          bool continuesLine = false) {
  const platform::ByteSpan span{data, nBytes};
  return WriteLogSpans(stream, &span, 1, continuesLine);
}

// WriteLogBytes for a line written while the calling thread may be inside
// the library already, holding locks (in a signal handler): it takes no
// lock, not even standard output's.
void WriteLogBytesUnlocked(FILE* stream, const char* data, size_t nBytes);

// Opens a log file for appending, or returns null. A file that does not end
// with a line end gets one before the first bytes written to it.
FILE* OpenLogStream(const char* fileName);

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

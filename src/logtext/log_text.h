// The fixed text the library writes around its callers' messages: the
// timestamp text and the Started and Closed banners, and the one way every
// log stream is written.
//
// All functions here are safe to call from several threads at once: the
// timestamp cache is per thread, and each write is one call on the stream.
// Whose turn it is to write to a file is decided by the caller.

#ifndef RAZEZIR_SRC_LOGTEXT_LOG_TEXT_H_
#define RAZEZIR_SRC_LOGTEXT_LOG_TEXT_H_

#include <atomic>
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

// Whether the last write into a file, or into standard output, left it in
// the middle of a line: a write that failed part-way, or a file found with a
// cut last line when it was opened. Every stream that writes into the same
// file shares one, so the next line into that file, whichever stream writes
// it, starts with a line end; the fragment stays one broken line and the
// next good line stays whole instead of being glued to it.
struct LineState {
  std::atomic<bool> midLine{false};
};

// Write the Started or Closed banner, three lines with the timestamp
// (milliseconds always), to `stream` and flush it, and when `durable`, sync
// it to stable storage. The stream stays open.
void WriteStartedBanner(FILE* stream, LineState* lineState, bool durable);
void WriteClosedBanner(FILE* stream, LineState* lineState, bool durable);

// Writes the `count` spans to `stream`, whose bytes land where `lineState`
// describes, as one write, and flushes it, so that the bytes are in the
// file when this returns. Standard output takes the host's waiting text
// first. Returns false if the system failed to take them all; the place is
// then marked as left mid-line when it was, and its next write starts with
// a line end. `continuesLine` says that earlier bytes of the same line were
// written there, so that a failure leaves it mid-line even when none of
// these bytes were written.
bool WriteLogSpans(FILE* stream, LineState* lineState, const platform::ByteSpan* spans,
                   size_t count, bool continuesLine = false);

inline bool WriteLogBytes(FILE* stream, LineState* lineState, const char* data,
                          size_t nBytes, bool continuesLine = false) {
  const platform::ByteSpan span{data, nBytes};
  return WriteLogSpans(stream, lineState, &span, 1, continuesLine);
}

// Appends one whole line to a log file's stream beside other writers' lines,
// with one write that is not retried: were the rest of a partial write
// written, another writer's line could have landed before it. A write cut
// short leaves the place mid-line and loses the rest of the line. Returns
// false if the system failed to take the line whole.
bool AppendLogLine(FILE* stream, LineState* lineState, const char* data, size_t nBytes);

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

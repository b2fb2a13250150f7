// Message emission: the exported trace calls, the level test, routing to the
// main log or a target, the line prefix, and the single write of each line.
//
// A line (prefix and message) is rendered into one buffer on the stack and
// handed to its stream with one write and one flush, so that it is whole in
// the file when the call returns, even if the process dies right after.
// Without TRACE_NO_LOCK the global lock is held from routing to the flush,
// so lines from different threads never interleave. Routing takes the list
// lock only while it looks a target up, and never while writing.

#include <cstdarg>
#include <cstdint>
#include <optional>

#include "core/trace_state.h"
#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "logtext/log_text.h"
#include "razezir/trace.h"

namespace razezir {

namespace {

// Lines up to this size are rendered without touching the heap.
constexpr size_t kLineStackBytes = 4096;
// Lines written from a signal handler must fit here: that path never
// allocates, and drops a line that does not fit rather than cut it.
constexpr size_t kNestedLineBytes = 4096;
// The module tag is right-aligned in a field of at least this many units.
constexpr int kTagFieldUnits = 6;
// The thread id is written as this many hex digits.
constexpr int kThreadIdDigits = 8;

// The stream a line goes to, for the chunks of a line longer than the
// buffer's spill size. Once a chunk fails, the rest of the line is left out
// rather than written after a gap.
struct SpillTarget {
  FILE* stream;
  bool started;  // A chunk of the line was written.
  bool failed;   // A chunk did not reach the stream whole.
};

// The global lock (when taken) keeps other threads' lines out of the middle
// of a chunked line; leaving the writing phase keeps a signal handler's out.
void SpillToStream(void* context, const char* data, size_t nBytes) {
  auto* target = static_cast<SpillTarget*>(context);
  LibraryCall::Set(CallPhase::kBusy);
  if (target->failed) return;
  target->failed = !WriteLogBytes(target->stream, data, nBytes, target->started);
  target->started = true;
}

// Appends "<time> <id><tag>: ", each part present only when its flag is.
// A null tag is written "(null)". `nested` picks the timestamp that takes
// no lock.
void AppendPrefix(OutBuffer* line, int flags, const char16_t* module, bool nested) {
  if ((flags & QXSTD::TRACE_TIME) != 0) {
    char time[kPrefixTimeBytes];
    line->Append(time, nested ? FormatTraceTimeUnlocked(flags, time, sizeof time)
                              : FormatTraceTime(flags, time, sizeof time));
  }
  line->Append(' ');
  if ((flags & QXSTD::TRACE_THREAD_ID) != 0) {
    line->Append(' ');
    AppendUpperHex(line, platform::CurrentThreadId(), kThreadIdDigits);
  }
  if ((flags & QXSTD::TRACE_MODULE) != 0) {
    line->Append(' ');
    AppendRightAligned(line, module, kTagFieldUnits);
  }
  line->Append(": ", 2);
}

// Routes a message with tag `module` from the calling thread. On entry
// `stream` and `limit` hold the main stream and level; a module target, then
// a thread target, replaces them. Returns false when the message must be
// dropped: module targets exist and none has this tag (a null tag matches
// none), or thread targets exist and the calling thread is unbound or bound
// to a name without a target.
bool RouteMessage(const TraceState& state, const char16_t* module,
                  FILE** stream, int* limit) {
  if (state.hasModules.load(std::memory_order_acquire)) {
    LockGuard list(*state.listLock);
    const TraceTarget* target = FindTarget(state, state.modules, module);
    if (target == nullptr) return false;
    *stream = target->out;
    *limit = target->level;
  }
  if (state.hasThreadTargets.load(std::memory_order_acquire)) {
    const uint32_t threadId = platform::CurrentThreadId();
    LockGuard list(*state.listLock);
    auto binding = state.threadBindings.find(threadId);
    if (binding == state.threadBindings.end()) return false;
    const TraceTarget* target =
        FindTarget(state, state.threadTargets, binding->second->name.c_str());
    if (target == nullptr) return false;
    *stream = target->out;
    *limit = target->level;
  }
  return true;
}

// A message above the ceiling is dropped by every route, so the front ends
// test it before they start their argument lists or take any lock.
bool MayAdmit(const TraceState* state, int level) {
  return state != nullptr && level <= LevelCeiling(*state);
}

// A trace call made by a signal handler that interrupted its thread inside
// the library. It writes its line only when the interrupted call is
// formatting or writing a line of its own (so the main stream is settled and
// the list lock is free to take), and then without the global lock or the
// stream's, from the stack alone, in one write so that it stays whole.
// Otherwise, or when the line does not fit, the line is dropped: waiting
// could hang the thread on a lock it holds itself.
void EmitNested(TraceState* state, int level, const unsigned short* module,
                const unsigned short* format, va_list args) {
  if (LibraryCall::Current() != CallPhase::kWriting) return;
  // A handler interrupted in turn by another signal finds this thread busy.
  LibraryCall::Set(CallPhase::kBusy);
  const int flags = state->flags.load(std::memory_order_relaxed);
  FILE* stream = state->out.load(std::memory_order_relaxed);
  int limit = state->level.load(std::memory_order_relaxed);
  if (RouteMessage(*state, AsUnits(module), &stream, &limit) && level <= limit) {
    char storage[kNestedLineBytes];
    OutBuffer line(storage, sizeof storage);
    line.ForbidHeap();
    if (flags != 0) AppendPrefix(&line, flags, AsUnits(module), true);
    FormatWideV(&line, AsUnits(format), args);
    if (!line.truncated()) WriteLogBytesUnlocked(stream, line.data(), line.size());
  }
  LibraryCall::Set(CallPhase::kWriting);
}

// REQUIRES: MayAdmit(state, level).
void Emit(TraceState* state, int level, const unsigned short* module,
          const unsigned short* format, va_list args) {
  if (LibraryCall::Nested()) {
    EmitNested(state, level, module, format, args);
    return;
  }
  LibraryCall call;
  const int flags = state->flags.load(std::memory_order_relaxed);
  // With TRACE_NO_LOCK this function takes no lock of its own. A line up to
  // the buffer's spill size still reaches the file in one write; a longer
  // one goes out in chunks that other threads' lines may come between.
  std::optional<LockGuard> guard;
  if ((flags & QXSTD::TRACE_NO_LOCK) == 0) guard.emplace(GlobalLock());
  FILE* stream = state->out.load(std::memory_order_relaxed);
  int limit = state->level.load(std::memory_order_relaxed);
  if (!RouteMessage(*state, AsUnits(module), &stream, &limit)) return;
  if (level > limit) return;

  // Writing is where a cancellation could strike; routing has no
  // cancellation point, so a dropped message pays nothing for this.
  platform::NoCancellation noCancellation;
  LibraryCall::Set(CallPhase::kWriting);
  char storage[kLineStackBytes];
  OutBuffer line(storage, sizeof storage);
  SpillTarget spill{stream, false, false};
  line.SetSpill(SpillToStream, &spill);
  if (flags != 0) AppendPrefix(&line, flags, AsUnits(module), false);
  FormatWideV(&line, AsUnits(format), args);
  if (!spill.failed) WriteLogBytes(stream, line.data(), line.size(), spill.started);
  // Busy again before the lock is released: from then on another thread may
  // switch the main stream.
  LibraryCall::Set(CallPhase::kBusy);
}

}  // namespace
}  // namespace razezir

void QXSTD::TraceCommon(int level, const unsigned short* module,
                        const unsigned short* format, va_list args) {
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  if (!razezir::MayAdmit(state, level)) return;
  razezir::Emit(state, level, module, format, args);
}

void QXSTD::Trace(int level, const unsigned short* module,
                  const unsigned short* format, ...) {
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  // Trace alone also tests the main level, even when a target would admit
  // the message.
  if (state == nullptr || level > state->level.load(std::memory_order_relaxed) ||
      !razezir::MayAdmit(state, level)) {
    return;
  }
  va_list args;
  va_start(args, format);
  razezir::Emit(state, level, module, format, args);
  va_end(args);
}

// Trace1 ... Trace5 differ only in their fixed level.
#define RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(name, fixedLevel)                    \
  void QXSTD::name(const unsigned short* module, const unsigned short* format, \
                   ...) {                                                      \
    razezir::TraceState* state =                                               \
        razezir::g_state.load(std::memory_order_acquire);                      \
    if (!razezir::MayAdmit(state, fixedLevel)) return;                         \
    va_list args;                                                              \
    va_start(args, format);                                                    \
    razezir::Emit(state, fixedLevel, module, format, args);                    \
    va_end(args);                                                              \
  }

RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace1, 1)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace2, 2)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace3, 3)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace4, 4)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace5, 5)

#undef RAZEZIR_DEFINE_FIXED_LEVEL_TRACE

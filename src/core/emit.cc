// Message emission: the exported trace calls, the level test, routing to the
// main log or a target, the line prefix, and the writing of each line.
//
// A line (prefix and message) is rendered into one buffer on the stack,
// outside any lock, and then committed to its stream's queue: alone, it goes
// out with one write; when other threads are writing to the same stream, it
// goes out with theirs in one write. Either way it is whole in the file when
// the call returns, even if the process dies right after, and lines from
// different threads never interleave. The timestamp is put into the line's
// prefix by the thread that writes it, from one clock reading per write, so
// a stream's lines carry times that never go backwards. Routing takes the
// list lock only while it looks a target up, and never while writing.
//
// The control calls that change or read the main stream take an exclusive
// turn of its queue: they wait for the lines before them, and the lines
// after them go to the stream that is main when they are written, if the
// main level then still admits them. No line is ever written to a stream
// that has been closed.

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "core/commit_queue.h"
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

// Where a message goes: a target's stream, or with no target the main
// stream, whichever stream is main when the line is written.
struct Route {
  const TraceTarget* target;
  int limit;  // Messages above it are dropped.
};

// REQUIRES: the main stream cannot change meanwhile (the caller leads the
// main queue, holds its exclusive turn, or emits with TRACE_NO_LOCK).
FILE* StreamOf(const TraceState& state, const Route& route) {
  return route.target != nullptr ? route.target->out
                                 : state.out.load(std::memory_order_relaxed);
}

// Appends " <id><tag>: ", the id and the tag present only when their flags
// are. A null tag is written "(null)".
void AppendIdAndTag(OutBuffer* line, int flags, const char16_t* module) {
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

// The room a line's prefix keeps for its timestamp, which is put in when
// the line is written.
size_t TimeGap(int flags) { return (flags & QXSTD::TRACE_TIME) != 0 ? kPrefixTimeBytes : 0; }

// Starts a line with its prefix, "<time> <id><tag>: ", when `flags` asks
// for one, with TimeGap(flags) blanks standing in for the time.
void BeginLine(OutBuffer* line, int flags, const char16_t* module) {
  if (flags == 0) return;
  line->AppendRepeated(' ', TimeGap(flags));
  AppendIdAndTag(line, flags, module);
}

// The timestamp texts of one clock reading, with and without milliseconds,
// for the lines written together. The clock is read, and each text
// formatted, when first needed.
class TimeStamp {
 public:
  // Puts the text that `flags` asks for at the end of the line's time gap
  // (TimeGap(flags) bytes at `start`). Returns where the line now starts.
  size_t Put(char* start, int flags) {
    const size_t gap = TimeGap(flags);
    if (gap == 0) return 0;
    if (!read_) {
      now_ = ReadTraceClock();
      read_ = true;
    }
    const int variant = (flags & QXSTD::TRACE_MSEC) != 0 ? 1 : 0;
    if (size_[variant] == kUnformatted) {
      size_[variant] = FormatTraceTimeAt(now_, flags, text_[variant], kPrefixTimeBytes);
    }
    const size_t n = size_[variant];
    std::memcpy(start + gap - n, text_[variant], n);
    return gap - n;
  }

 private:
  static constexpr size_t kUnformatted = ~size_t{0};
  bool read_ = false;
  platform::WallClock now_{};
  char text_[2][kPrefixTimeBytes];
  size_t size_[2] = {kUnformatted, kUnformatted};
};

// A line formatted whole, waiting in its stream's queue for the leader to
// stamp and write it.
struct QueuedLine : CommitEntry {
  char* start;  // The line, beginning with the timestamp's gap.
  size_t size;  // With the gap.
  int flags;
  int level;  // The message's.
};

// A line chosen for the main stream goes to the stream that is main when it
// is written, and is judged by the main level in force then: it is written
// as the main log stands at that moment, all of it, even if a StartTrace
// came between its routing and its turn.
// REQUIRES: the main stream cannot change meanwhile.
bool StillAdmitted(const TraceState& state, const Route& route, int level) {
  return route.target != nullptr || level <= state.level.load(std::memory_order_relaxed);
}

// One line on its way to its stream.
struct LineJob {
  TraceState* state;
  Route route;
  // The stream's queue; null with TRACE_NO_LOCK, where each line, or each
  // piece of a long one, is written at once.
  CommitQueue* queue;
  QueuedLine line;
  bool started;  // A piece of the line was written.
  bool failed;   // A piece did not reach the stream whole.
};

// How many batches a leader writes before it passes the lead on, when lines
// keep coming: a thread already running writes what queued up while it
// wrote; past the first number it passes the lead to a thread that is awake
// only, and past the second to any, so that its own call returns.
constexpr int kBatchesKept = 4;
constexpr int kBatchesKeptForSleepers = 64;

CommitQueue::LeadChoice ChoiceAfter(int batches) {
  if (batches < kBatchesKept) return CommitQueue::LeadChoice::kKeep;
  if (batches < kBatchesKeptForSleepers) return CommitQueue::LeadChoice::kPassIfAwake;
  return CommitQueue::LeadChoice::kPass;
}

// Stamps and writes the lines of `job` and of those queued behind it, in
// one write per batch, and passes the lead on. REQUIRES: `job` leads its
// queue.
void WriteBatches(LineJob* job) {
  const bool main = job->route.target == nullptr;
  if (main) LibraryCall::Set(CallPhase::kWritingMain);
  job->queue->AwaitCompany(&job->line);
  CommitEntry* first = &job->line;
  for (int round = 1; first != nullptr; ++round) {
    CommitQueue::Batch batch;
    job->queue->TakeBatch(first, &batch);
    // One clock reading for the whole batch: its lines are written together.
    TimeStamp now;
    platform::ByteSpan spans[CommitQueue::kMaxBatch];
    size_t nSpans = 0;
    for (size_t i = 0; i < batch.count; ++i) {
      // Every entry but exclusive ones is a QueuedLine, and a batch has none.
      auto* line = static_cast<QueuedLine*>(batch.entries[i]);
      if (!StillAdmitted(*job->state, job->route, line->level)) continue;
      const size_t offset = now.Put(line->start, line->flags);
      spans[nSpans++] = platform::ByteSpan{line->start + offset, line->size - offset};
    }
    if (nSpans > 0) WriteLogSpans(StreamOf(*job->state, job->route), spans, nSpans);
    // Back before the lead may go: from then on another thread may switch
    // the main stream.
    if (main) LibraryCall::Set(CallPhase::kWriting);
    first = job->queue->FinishBatch(batch, &job->line, ChoiceAfter(round));
    if (main && first != nullptr) LibraryCall::Set(CallPhase::kWritingMain);
  }
}

// Commits a line formatted whole in `buffer`: writes it, on its own or with
// the lines of other threads.
void CommitLine(LineJob* job, OutBuffer* buffer) {
  QueuedLine* line = &job->line;
  line->start = buffer->data();
  line->size = buffer->size();
  if (job->queue == nullptr) {
    const size_t offset = TimeStamp().Put(line->start, line->flags);
    WriteLogBytes(StreamOf(*job->state, job->route), line->start + offset,
                  line->size - offset);
    return;
  }
  if (job->queue->Join(line) || CommitQueue::Await(line)) WriteBatches(job);
}

// Receives the pieces of a line too long to be held whole (past the
// buffer's spill size, or with no memory to grow). The first piece takes
// the stream for this line alone, so that nothing comes between the pieces;
// once a piece fails, the rest of the line is left out rather than written
// after a gap.
void SpillLine(void* context, const char* data, size_t nBytes) {
  auto* job = static_cast<LineJob*>(context);
  // A signal handler's line would land inside this one.
  LibraryCall::Set(CallPhase::kBusy);
  if (job->failed) return;
  // The piece is the line's own buffer, lent for writing; the first one
  // still has the timestamp's gap to fill, once the stream is this line's.
  char* piece = const_cast<char*>(data);
  size_t offset = 0;
  if (!job->started) {
    if (job->queue != nullptr) {
      job->queue->TakeAlone(&job->line);
      if (!StillAdmitted(*job->state, job->route, job->line.level)) {
        job->started = job->failed = true;
        return;
      }
    }
    offset = TimeStamp().Put(piece, job->line.flags);
  }
  job->failed = !WriteLogBytes(StreamOf(*job->state, job->route), piece + offset,
                               nBytes - offset, job->started);
  job->started = true;
}

// Writes the last piece of a line that went out in pieces, and gives the
// stream back.
void FinishPieces(LineJob* job, const OutBuffer& line) {
  if (!job->failed) {
    WriteLogBytes(StreamOf(*job->state, job->route), line.data(), line.size(), true);
  }
  if (job->queue != nullptr) job->queue->PassLead(&job->line);
}

// Routes a message with tag `module` from the calling thread. On entry
// `route` is the main stream with the main level; a module target, then a
// thread target, replaces it. Returns false when the message must be
// dropped: module targets exist and none has this tag (a null tag matches
// none), or thread targets exist and the calling thread is unbound or bound
// to a name without a target.
bool RouteMessage(const TraceState& state, const char16_t* module, Route* route) {
  if (state.hasModules.load(std::memory_order_acquire)) {
    LockGuard list(*state.listLock);
    const TraceTarget* target = FindTarget(state, state.modules, module);
    if (target == nullptr) return false;
    *route = Route{target, target->level};
  }
  if (state.hasThreadTargets.load(std::memory_order_acquire)) {
    const uint32_t threadId = platform::CurrentThreadId();
    LockGuard list(*state.listLock);
    auto binding = state.threadBindings.find(threadId);
    if (binding == state.threadBindings.end()) return false;
    const TraceTarget* target =
        FindTarget(state, state.threadTargets, binding->second->name.c_str());
    if (target == nullptr) return false;
    *route = Route{target, target->level};
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
// formatting, queueing or writing a line of its own (so the list lock is
// free to take), to a target's stream or, when the interrupted call keeps
// the main stream from changing, to that; and then without any lock, from
// the stack alone, in one write so that it stays whole. Otherwise, or when
// the line does not fit, the line is dropped: waiting could hang the thread
// on a lock or a turn it holds itself. Such a line bypasses the queue, so
// its time may run ahead of lines queued before it.
void EmitNested(TraceState* state, int level, const unsigned short* module,
                const unsigned short* format, va_list args) {
  const CallPhase phase = LibraryCall::Current();
  if (phase != CallPhase::kWriting && phase != CallPhase::kWritingMain) return;
  // A handler interrupted in turn by another signal finds this thread busy.
  LibraryCall::Set(CallPhase::kBusy);
  const int flags = state->flags.load(std::memory_order_relaxed);
  Route route{nullptr, state->level.load(std::memory_order_relaxed)};
  if (RouteMessage(*state, AsUnits(module), &route) && level <= route.limit &&
      (route.target != nullptr || phase == CallPhase::kWritingMain)) {
    char storage[kNestedLineBytes];
    OutBuffer line(storage, sizeof storage);
    line.ForbidHeap();
    if (flags != 0) {
      if ((flags & QXSTD::TRACE_TIME) != 0) {
        char time[kPrefixTimeBytes];
        line.Append(time, FormatTraceTimeUnlocked(flags, time, sizeof time));
      }
      AppendIdAndTag(&line, flags, AsUnits(module));
    }
    FormatWideV(&line, AsUnits(format), args);
    if (!line.truncated()) {
      WriteLogBytesUnlocked(StreamOf(*state, route), line.data(), line.size());
    }
  }
  LibraryCall::Set(phase);
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
  Route route{nullptr, state->level.load(std::memory_order_relaxed)};
  if (!RouteMessage(*state, AsUnits(module), &route)) return;
  if (level > route.limit) return;

  // Writing is where a cancellation could strike; routing has no
  // cancellation point, so a dropped message pays nothing for this.
  platform::NoCancellation noCancellation;
  // With TRACE_NO_LOCK lines are not serialised: each is written at once,
  // in one write up to the buffer's spill size, and a longer one in pieces
  // that other threads' lines may come between.
  const bool queued = (flags & QXSTD::TRACE_NO_LOCK) == 0;
  CommitQueue* queue = nullptr;
  if (queued) {
    queue = route.target != nullptr ? &route.target->queue : &state->mainQueue;
  }
  LibraryCall::Set(!queued && route.target == nullptr ? CallPhase::kWritingMain
                                                      : CallPhase::kWriting);
  char storage[kLineStackBytes];
  OutBuffer line(storage, sizeof storage);
  LineJob job{state, route, queue, {}, false, false};
  job.line.flags = flags;
  job.line.level = level;
  line.SetSpill(SpillLine, &job);
  BeginLine(&line, flags, AsUnits(module));
  FormatWideV(&line, AsUnits(format), args);
  if (job.started) {
    FinishPieces(&job, line);
  } else {
    CommitLine(&job, &line);
  }
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

// Message emission: the exported trace calls, the level test, routing to the
// main log or a target, the line prefix, and the writing of each line.
//
// A message is routed first, then rendered with its prefix into one buffer
// on the stack, outside any lock, and then written to its destination, the
// file it lands in. Into a regular file, which the system appends to whole,
// a line goes out with one write of its own under a shared turn, beside
// other threads' lines: where the kernel overlaps appends, that is as fast
// as the writes alone. Elsewhere (a pipe, standard output), or when the
// file is held for a long line or a stream's change, or when the line's
// time would overtake a line still on its way, the line is committed to
// the destination's queue: alone, it goes out with one write; when other
// threads are writing to the same file, through any stream, it goes out
// with theirs in one write. Either way it is whole in the file when the
// call returns, even if the process dies right after, and lines from
// different threads never interleave. The timestamp is put into the line's
// prefix just before it is written, so a file's lines carry times that
// never go backwards. Routing takes the list lock only while it looks a
// target up, and never while writing.
//
// A line for the main log holds a reference to the destination it joined.
// The control calls that change or read the main stream take an exclusive
// turn of its destination: they wait for the lines before them, and a line
// after them that finds the main log moved elsewhere joins the destination
// that is main then, so it is written as the main log stands at that
// moment. No line is ever written to a stream that has been closed.
//
// A trace call made by a signal handler while its thread is inside the
// library takes no lock, makes no system call and reads no time: it formats
// its message into the thread's deferred line and returns, and the
// interrupted call writes that line through the ordinary path before it
// returns to its own caller.

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/commit_queue.h"
#include "core/destination.h"
#include "core/trace_state.h"
#include "format/out_buffer.h"
#include "format/wide_format.h"
#include "logtext/log_text.h"
#include "razezir/trace.h"

namespace razezir {

namespace {

// Lines up to this size are rendered without touching the heap.
constexpr size_t kLineStackBytes = 4096;
// The module tag is right-aligned in a field of at least this many units.
constexpr int kTagFieldUnits = 6;
// The thread id is written as this many hex digits.
constexpr int kThreadIdDigits = 8;

// A deferred line keeps a tag of up to this many code units (a handler's
// line with a longer tag is dropped, since it could not be routed by it)
// and up to this many bytes of message, cut on a character boundary and
// ended with a line end when the message is longer.
constexpr size_t kDeferredTagUnits = 64;
constexpr size_t kDeferredTextBytes = 2048;

}  // namespace

struct DeferredLine {
  enum State : int {
    kEmpty,    // Free for a handler's line.
    kFilling,  // A handler is formatting into it.
    kPending,  // Waiting for the interrupted call to write it.
    kWriting,  // Being written; a handler's line meanwhile is dropped.
  };
  std::atomic<int> state{kEmpty};
  int level = 0;
  bool hasTag = false;
  char16_t tag[kDeferredTagUnits + 1] = {};
  size_t size = 0;
  char text[kDeferredTextBytes];
};

namespace {

// Where a message goes: a target's stream, or with no target the main
// stream, whichever stream is main when the line is written.
struct Route {
  const TraceTarget* target;
  int limit;  // Messages above it are dropped.
};

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

// A clock reading as the millisecond it falls in.
int64_t Milliseconds(platform::WallClock now) {
  return static_cast<int64_t>(now.seconds) * 1000 + now.milliseconds;
}

// The timestamp texts of one clock reading, with and without milliseconds,
// for the lines written together. The clock is read, and each text
// formatted, when first needed.
class TimeStamp {
 public:
  TimeStamp() = default;
  // Stamps with a clock reading already made.
  explicit TimeStamp(platform::WallClock now) : read_(true), now_(now) {}
  // Stamps the batch that the caller leads in `queue`: when the clock is
  // read, the caller takes a shared turn with its reading, which it gives
  // back once the batch is written, if EnteredGate().
  explicit TimeStamp(CommitQueue* queue) : leaderOf_(queue->SharedTurns() ? queue : nullptr) {}

  bool EnteredGate() const { return leaderOf_ != nullptr && read_; }

  // Puts the text that `flags` asks for at the end of the line's time gap
  // (TimeGap(flags) bytes at `start`). Returns where the line now starts.
  size_t Put(char* start, int flags) {
    const size_t gap = TimeGap(flags);
    if (gap == 0) return 0;
    if (!read_) {
      read_ = true;
      if (leaderOf_ != nullptr) {
        leaderOf_->EnterSharedAsLeader([this] {
          now_ = ReadTraceClock();
          return Milliseconds(now_);
        });
      } else {
        now_ = ReadTraceClock();
      }
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
  CommitQueue* leaderOf_ = nullptr;
  bool read_ = false;
  platform::WallClock now_{};
  char text_[2][kPrefixTimeBytes];
  size_t size_[2] = {kUnformatted, kUnformatted};
};

// A line formatted whole, waiting in its destination's queue for the leader
// to stamp and write it. Its size, with the time gap, is the entry's bytes.
struct QueuedLine : CommitEntry {
  char* start;  // The line, beginning with the timestamp's gap.
  const TraceTarget* target;  // Null for the main log.
  int flags;
  int level;  // The message's.
  // Set by the leader: the line is for the main log, which has moved to
  // another destination since the line joined this one.
  bool moved;
};

// The main stream's destination, with a reference that keeps it from being
// reused while the caller holds it. Standard output's is never given back,
// so it needs no reference.
Destination* HoldMainDestination(TraceState* state) {
  Destination* const standardOutput = state->destinations.StandardOutput();
  for (;;) {
    Destination* destination = state->mainDestination.load();
    if (destination == standardOutput) return destination;
    DestinationTable::Ref(destination);
    // The destination may have been given back, and even reused, between
    // the read and the reference; if it is main still, the reference holds.
    if (state->mainDestination.load() == destination) return destination;
    state->destinations.Unref(destination);
  }
}

void ReleaseMainDestination(TraceState* state, Destination* destination) {
  if (destination != state->destinations.StandardOutput()) {
    state->destinations.Unref(destination);
  }
}

bool IsDurableLine(int flags) { return (flags & QXSTD::TRACE_DURABLE) != 0; }

// What the leader of a destination's queue needs to write its batches.
struct BatchContext {
  TraceState* state;
  Destination* destination;
};

// Stamps the lines of a batch from one clock reading and writes them with
// one write, then, when a line is durable, waits for a sync that covers
// them all before their threads are told. A line for the main log is
// written only while the main stream writes to this destination (the
// leader then holds it still), and only if the main level in force now
// admits it; otherwise it is marked moved, and its thread takes it to the
// main log's destination of the moment.
void WriteBatch(void* context, CommitEntry* const* entries, size_t count) {
  const auto* batch = static_cast<const BatchContext*>(context);
  TraceState* state = batch->state;
  const bool mainIsHere =
      state->mainDestination.load(std::memory_order_acquire) == batch->destination;
  TimeStamp now(&batch->destination->queue);
  platform::ByteSpan spans[CommitQueue::kMaxBatch];
  size_t nSpans = 0;
  // Every stream in a destination writes into the same file, so the batch
  // goes out through the stream of its first line.
  FILE* stream = nullptr;
  bool durable = false;
  for (size_t i = 0; i < count; ++i) {
    // Every entry but exclusive ones is a QueuedLine, and a batch has none.
    auto* line = static_cast<QueuedLine*>(entries[i]);
    FILE* lineStream;
    if (line->target != nullptr) {
      lineStream = line->target->out;
    } else if (!mainIsHere) {
      line->moved = true;
      continue;
    } else if (line->level > state->level.load(std::memory_order_relaxed)) {
      continue;
    } else {
      lineStream = state->out.load(std::memory_order_relaxed);
    }
    if (stream == nullptr) stream = lineStream;
    durable |= IsDurableLine(line->flags);
    const size_t offset = now.Put(line->start, line->flags);
    spans[nSpans++] = platform::ByteSpan{line->start + offset, line->bytes - offset};
  }
  if (nSpans > 0) WriteLogSpans(stream, &batch->destination->lineState, spans, nSpans);
  if (now.EnteredGate()) batch->destination->queue.LeaveShared();
  if (durable) batch->destination->sync.CoverWrittenLines(platform::SyncHandleOf(stream));
}

// One line on its way to its destination.
struct LineJob {
  TraceState* state;
  Route route;
  // Whether lines take turns in their destination's queue; with
  // TRACE_NO_LOCK each line, or each piece of a long one, is written at once.
  bool queued;
  QueuedLine line;
  // The destination of a line written in pieces, once the first piece was
  // written (held, when it is the main log's).
  Destination* destination;
  bool started;  // A piece of the line was written.
  bool failed;   // A piece did not reach the stream whole.
};

// The line's stream: its target's, or the main stream as it stands, which
// cannot change while the line holds the main destination's turn (or, with
// TRACE_NO_LOCK, while the host keeps control calls away).
FILE* StreamOf(const LineJob& job) {
  return job.route.target != nullptr ? job.route.target->out
                                     : job.state->out.load(std::memory_order_relaxed);
}

// With TRACE_NO_LOCK: the line's destination as it stands.
Destination* UnqueuedDestination(const LineJob& job) {
  return job.route.target != nullptr ? job.route.target->destination
                                     : job.state->mainDestination.load(std::memory_order_relaxed);
}

// After a durable line was written to `stream` in `destination`: waits for a
// sync that covers it, shared with other threads' lines, or with
// TRACE_NO_LOCK makes one of its own.
void SyncDurableLine(const LineJob& job, Destination* destination, FILE* stream) {
  if (!IsDurableLine(job.line.flags)) return;
  if (job.queued) {
    destination->sync.CoverWrittenLines(platform::SyncHandleOf(stream));
  } else {
    platform::SyncToStorage(stream);
  }
}

// What became of a line offered to its destination under a shared turn.
enum class Append {
  kDone,     // Written, or dropped by the main level now in force.
  kQueue,    // Not written: the line takes the queue.
  kMoved,    // Not written: the main log is elsewhere now.
};

// Appends a line to `destination` under a shared turn, beside other
// threads' lines, when the destination grants one and the line's time
// allows: the line is stamped with a clock reading made in the turn, so it
// lands after every line stamped earlier.
Append AppendShared(const LineJob& job, Destination* destination) {
  CommitQueue& queue = destination->queue;
  if (!queue.EnterShared()) return Append::kQueue;
  const QueuedLine& line = job.line;
  Append result = Append::kDone;
  platform::SyncHandle toSync = platform::kNothingToSync;
  FILE* stream = nullptr;
  if (job.route.target != nullptr) {
    stream = job.route.target->out;
  } else if (job.state->mainDestination.load(std::memory_order_acquire) != destination) {
    // The stream cannot change while the turn is held, but it may have
    // changed before.
    result = Append::kMoved;
  } else if (line.level <= job.state->level.load(std::memory_order_relaxed)) {
    stream = job.state->out.load(std::memory_order_relaxed);
  }
  if (stream != nullptr) {
    const bool timed = TimeGap(line.flags) != 0;
    const platform::WallClock clock = timed ? ReadTraceClock() : platform::WallClock{};
    if (timed && !queue.StampShared(Milliseconds(clock))) {
      result = Append::kQueue;
    } else {
      const size_t offset = TimeStamp(clock).Put(line.start, line.flags);
      AppendLogLine(stream, &destination->lineState, line.start + offset, line.bytes - offset);
      // The turn keeps the stream open while its handle is taken.
      if (IsDurableLine(line.flags)) toSync = platform::SyncHandleOf(stream);
    }
  }
  queue.LeaveShared();
  // The sync is waited for outside the turn: a thread in a turn holds up
  // any that needs the file alone.
  destination->sync.CoverWrittenLines(toSync);
  return result;
}

// Commits a line formatted whole in `buffer`: writes it, on its own or with
// the lines of other threads.
void CommitLine(LineJob* job, OutBuffer* buffer) {
  QueuedLine* line = &job->line;
  line->start = buffer->data();
  line->bytes = buffer->size();
  if (!job->queued) {
    const size_t offset = TimeStamp().Put(line->start, line->flags);
    FILE* stream = StreamOf(*job);
    Destination* destination = UnqueuedDestination(*job);
    WriteLogBytes(stream, &destination->lineState, line->start + offset, line->bytes - offset);
    SyncDurableLine(*job, destination, stream);
    return;
  }
  if (job->route.target != nullptr) {
    BatchContext context{job->state, job->route.target->destination};
    if (AppendShared(*job, context.destination) == Append::kDone) return;
    context.destination->queue.Commit(line, WriteBatch, &context);
    return;
  }
  for (;;) {
    BatchContext context{job->state, HoldMainDestination(job->state)};
    const Append append = AppendShared(*job, context.destination);
    if (append != Append::kQueue) {
      ReleaseMainDestination(job->state, context.destination);
      if (append == Append::kDone) return;
      continue;
    }
    line->moved = false;
    context.destination->queue.Commit(line, WriteBatch, &context);
    ReleaseMainDestination(job->state, context.destination);
    if (!line->moved) return;
  }
}

// Takes the turn of the line's destination for a line written in pieces;
// a line for the main log takes the turn of the destination that is main
// once the turn is had.
Destination* TakeTurnForPieces(LineJob* job) {
  CommitEntry* entry = &job->line;
  if (job->route.target != nullptr) {
    job->route.target->destination->queue.TakeAlone(entry);
    return job->route.target->destination;
  }
  for (;;) {
    Destination* destination = HoldMainDestination(job->state);
    destination->queue.TakeAlone(entry);
    if (job->state->mainDestination.load() == destination) return destination;
    destination->queue.PassLead(entry);
    ReleaseMainDestination(job->state, destination);
  }
}

// Receives the pieces of a line too long to be held whole (past the
// buffer's spill size, or with no memory to grow). The first piece takes
// the destination for this line alone, so that nothing from any stream
// comes between the pieces; once a piece fails, the rest of the line is
// left out rather than written after a gap.
void SpillLine(void* context, const char* data, size_t nBytes) {
  auto* job = static_cast<LineJob*>(context);
  if (job->failed) return;
  // The piece is the line's own buffer, lent for writing; the first one
  // still has the timestamp's gap to fill, once the destination is this
  // line's.
  char* piece = const_cast<char*>(data);
  size_t offset = 0;
  if (!job->started) {
    if (job->queued) {
      job->destination = TakeTurnForPieces(job);
      // A line for the main log is judged by the main level now in force.
      if (job->route.target == nullptr &&
          job->line.level > job->state->level.load(std::memory_order_relaxed)) {
        job->started = job->failed = true;
        return;
      }
    } else {
      job->destination = UnqueuedDestination(*job);
    }
    offset = TimeStamp().Put(piece, job->line.flags);
  }
  job->failed = !WriteLogBytes(StreamOf(*job), &job->destination->lineState, piece + offset,
                               nBytes - offset, job->started);
  job->started = true;
}

// Writes the last piece of a line that went out in pieces, and gives the
// destination back.
void FinishPieces(LineJob* job, const OutBuffer& line) {
  if (!job->failed) {
    WriteLogBytes(StreamOf(*job), &job->destination->lineState, line.data(), line.size(), true);
  }
  SyncDurableLine(*job, job->destination, StreamOf(*job));
  if (!job->queued) return;
  job->destination->queue.PassLead(&job->line);
  if (job->route.target == nullptr) ReleaseMainDestination(job->state, job->destination);
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

// Routes, renders and writes one message whose text `appendBody` appends
// to the line. REQUIRES: the thread is marked inside the library.
template <typename AppendBody>
void EmitRouted(TraceState* state, int level, const char16_t* module, AppendBody&& appendBody) {
  const int flags = state->flags.load(std::memory_order_relaxed);
  Route route{nullptr, state->level.load(std::memory_order_relaxed)};
  if (!RouteMessage(*state, module, &route)) return;
  if (level > route.limit) return;

  // Nothing from here on is a cancellation point but what holds off
  // cancellation itself (standard output's flush, the time zone's refresh):
  // log files are written with calls that are not.
  char storage[kLineStackBytes];
  OutBuffer line(storage, sizeof storage);
  // With TRACE_NO_LOCK lines are not serialised: each is written at once,
  // in one write up to the buffer's spill size, and a longer one in pieces
  // that other threads' lines may come between.
  LineJob job{state, route, (flags & QXSTD::TRACE_NO_LOCK) == 0, {}, nullptr, false, false};
  job.line.target = route.target;
  job.line.flags = flags;
  job.line.level = level;
  line.SetSpill(SpillLine, &job);
  BeginLine(&line, flags, module);
  appendBody(&line);
  if (job.started) {
    FinishPieces(&job, line);
  } else {
    CommitLine(&job, &line);
  }
}

// The ordinary path of a trace call. REQUIRES: MayAdmit(state, level), and
// the thread is outside the library. Not inlined into the front ends, so
// that a call nested in a signal handler does not pay for its stack frame.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void Emit(TraceState* state, int level, const unsigned short* module,
          const unsigned short* format, va_list args) {
  LibraryCall call;
  EmitRouted(state, level, AsUnits(module),
             [&](OutBuffer* line) { FormatWideV(line, AsUnits(format), args); });
}

// A trace call made while the thread is inside the library, by a signal
// handler: formats the message into the thread's deferred line, if that is
// free, and returns. Takes no lock, makes no system call, reads no time and
// allocates nothing.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void Defer(int level, const unsigned short* module, const unsigned short* format,
           va_list args) {
  DeferredLine* deferred = LibraryCall::Deferred();
  if (deferred == nullptr) return;
  int expected = DeferredLine::kEmpty;
  if (!deferred->state.compare_exchange_strong(expected, DeferredLine::kFilling,
                                               std::memory_order_acquire)) {
    return;
  }
  deferred->hasTag = module != nullptr;
  if (module != nullptr) {
    const char16_t* tag = AsUnits(module);
    size_t n = 0;
    while (n <= kDeferredTagUnits && tag[n] != u'\0') ++n;
    if (n > kDeferredTagUnits) {
      deferred->state.store(DeferredLine::kEmpty, std::memory_order_release);
      return;
    }
    std::memcpy(deferred->tag, tag, n * sizeof *tag);
    deferred->tag[n] = u'\0';
  }
  // One byte is kept for the line end of a message that is cut.
  OutBuffer text(deferred->text, sizeof deferred->text - 1);
  text.ForbidHeap();
  FormatWideV(&text, AsUnits(format), args);
  size_t n = text.size();
  if (text.truncated()) {
    n = CutOnCharBoundary(deferred->text, n + 1, n);
    deferred->text[n++] = '\n';
  }
  deferred->size = n;
  deferred->level = level;
  deferred->state.store(DeferredLine::kPending, std::memory_order_release);
}

}  // namespace

void ReleaseDeferredLine(DeferredLine* line) {
  LibraryCall::t_thread.deferred = nullptr;
  delete line;
}

namespace {

void ReleaseDeferredLineAtExit(void* line) {
  ReleaseDeferredLine(static_cast<DeferredLine*>(line));
}

}  // namespace

void LibraryCall::PrepareDeferredLine() {
  auto* line = new (std::nothrow) DeferredLine;
  if (line == nullptr) return;
  if (!platform::CallAtThreadExit(ReleaseDeferredLineAtExit, line)) {
    delete line;
    return;
  }
  t_thread.deferred = line;
}

void LibraryCall::WriteDeferredLines() {
  DeferredLine* deferred = t_thread.deferred;
  // A handler may defer another line while one is written; that one is
  // dropped, but one deferred after is written in the next round.
  while (deferred->state.load(std::memory_order_acquire) == DeferredLine::kPending) {
    SetInside(true);
    int expected = DeferredLine::kPending;
    if (deferred->state.compare_exchange_strong(expected, DeferredLine::kWriting,
                                                std::memory_order_acquire)) {
      // The state is read again: the interrupted call may have been the one
      // that made it, or the one that tore it down.
      TraceState* state = g_state.load(std::memory_order_acquire);
      if (state != nullptr && MayAdmit(state, deferred->level)) {
        EmitRouted(state, deferred->level, deferred->hasTag ? deferred->tag : nullptr,
                   [&](OutBuffer* line) { line->Append(deferred->text, deferred->size); });
      }
      deferred->state.store(DeferredLine::kEmpty, std::memory_order_release);
    }
    SetInside(false);
  }
}

// The front ends' one way in: a call nested in a signal handler defers its
// line; any other call writes it.
inline void EmitOrDefer(TraceState* state, int level, const unsigned short* module,
                        const unsigned short* format, va_list args) {
  if (LibraryCall::Nested()) {
    Defer(level, module, format, args);
  } else {
    Emit(state, level, module, format, args);
  }
}

}  // namespace razezir

void QXSTD::TraceCommon(int level, const unsigned short* module,
                        const unsigned short* format, va_list args) {
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  if (!razezir::MayAdmit(state, level)) return;
  razezir::EmitOrDefer(state, level, module, format, args);
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
  razezir::EmitOrDefer(state, level, module, format, args);
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
    razezir::EmitOrDefer(state, fixedLevel, module, format, args);                    \
    va_end(args);                                                              \
  }

RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace1, 1)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace2, 2)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace3, 3)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace4, 4)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace5, 5)

#undef RAZEZIR_DEFINE_FIXED_LEVEL_TRACE

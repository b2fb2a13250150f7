// Message emission: the exported trace calls, the level test, routing to the
// main log or a target, the line prefix, and the handing of each finished
// line to its destination.
//
// A message is routed first, then rendered with its prefix into one buffer
// on the stack, outside any lock, with room left at its start for its time,
// and then handed to its destination (DestinationTable::Deliver), which
// writes it whole before the call returns. A line longer than the buffer's
// spill size goes to its destination in pieces (LongLine). Routing takes
// the list lock only while it looks a target up, and never while writing.
//
// A trace call made by a signal handler while its thread is inside the
// library takes no lock, makes no system call but, on a thread's first call,
// the page allocator's, and reads no time: it formats its message into the
// thread's deferred line and returns, and the interrupted call writes that
// line through the ordinary path before it returns to its own caller.

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <new>

#include "write/commit_queue.h"
#include "write/destination.h"
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
  char text[kDeferredTextBytes] = {};
};

namespace {

// The deferred lines of the first kPooledLines threads at once come from a
// pool inside the library, taken and given back with compare-and-swap on a
// bitmap, so that a handler can take one too; the pool goes with the
// library when it is unloaded, threads still running or not. Further
// threads get theirs from the system's page allocator, given back at their
// exit, and hold the library loaded until then, so that an unload cannot
// leave their pages behind. Nothing here ever calls malloc, which a handler
// must not reach.
constexpr size_t kPooledLines = 64;
DeferredLine g_pooledLines[kPooledLines];
std::atomic<uint64_t> g_pooledLinesTaken{0};
static_assert(kPooledLines == 64, "one bitmap word marks the pool");

DeferredLine* TakeDeferredLine() {
  uint64_t taken = g_pooledLinesTaken.load(std::memory_order_relaxed);
  while (taken != ~uint64_t{0}) {
    int free = 0;
    while ((taken >> free) & 1) ++free;
    if (g_pooledLinesTaken.compare_exchange_weak(taken, taken | (uint64_t{1} << free),
                                                 std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
      return &g_pooledLines[free];
    }
  }
  void* pages = platform::AllocatePages(sizeof(DeferredLine));
  return pages != nullptr ? new (pages) DeferredLine : nullptr;
}

std::atomic<void (*)(LibraryCallTestHelper::TestPoint)> g_libraryCallHook{nullptr};

void Reach(LibraryCallTestHelper::TestPoint point) {
  if (auto hook = g_libraryCallHook.load(std::memory_order_acquire)) hook(point);
}

// Whether `line` is one of the pool's, which goes with the library.
bool IsPooled(const DeferredLine* line) {
  return line >= g_pooledLines && line < g_pooledLines + kPooledLines;
}

void GiveDeferredLineBack(DeferredLine* line) {
  const auto index = static_cast<size_t>(line - g_pooledLines);
  if (IsPooled(line)) {
    line->state.store(DeferredLine::kEmpty, std::memory_order_relaxed);
    g_pooledLinesTaken.fetch_and(~(uint64_t{1} << index), std::memory_order_release);
    return;
  }
  line->~DeferredLine();
  platform::FreePages(line, sizeof(DeferredLine));
}

// Where a message goes: the route of its line (a target's stream, or the
// main stream, whichever is main when the line is written) and the level it
// is first tested against.
struct Route {
  LineRoute line;
  int limit;  // Messages above it are dropped.
};

// The bits of the flags that shape the id-and-tag part of the prefix.
constexpr int kIdAndTagShape =
    QXSTD::TRACE_THREAD_ID | QXSTD::TRACE_THREAD_NAME | QXSTD::TRACE_MODULE;

// Counts the calling thread's changes of its binding (SetTraceThreadName,
// UnregisterTraceThread), which only the thread itself makes: its cached
// name is good while this and the state stay.
thread_local uint32_t t_bindingChanges RAZEZIR_INITIAL_EXEC_TLS = 0;

// Appends the calling thread's bound name as it stands in `state`, with
// each control character written '?', so that a name can never end or
// break the line; nothing for an unbound thread.
void AppendThreadName(const TraceState& state, OutBuffer* line, Narrowing* narrowing) {
  LockGuard list(*state.listLock);
  auto binding = state.threadBindings.find(platform::CurrentThreadId());
  if (binding == state.threadBindings.end()) return;
  const std::u16string& name = binding->second->name;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] >= 0x20 && name[i] != 0x7F) continue;
    NarrowUnits(line, narrowing, name.data() + start, i - start);
    if (i < name.size()) line->Append('?');
    start = i + 1;
  }
}

// Appends "<id> [name] <tag>: ", each field present only when its flag is,
// every one after a space of its own. A null tag is written "(null)".
void AppendIdAndTag(const TraceState& state, OutBuffer* line, int flags, const char16_t* module,
                    Narrowing* narrowing) {
  if ((flags & QXSTD::TRACE_THREAD_ID) != 0) {
    line->Append(' ');
    AppendUpperHex(line, platform::CurrentThreadId(), kThreadIdDigits);
  }
  if ((flags & QXSTD::TRACE_THREAD_NAME) != 0) {
    line->Append(" [", 2);
    AppendThreadName(state, line, narrowing);
    line->Append(']');
  }
  if ((flags & QXSTD::TRACE_MODULE) != 0) {
    line->Append(' ');
    AppendRightAligned(line, module, kTagFieldUnits, narrowing);
  }
  line->Append(": ", 2);
}

// The id-and-tag part of the prefix as the calling thread made it last: it
// changes only with the flags that shape it, the thread's id (which only a
// fork child gets anew: the child forgets the part), its bound name and the
// tag. Kept for tags of plain ASCII text, which every encoding writes as
// the same bytes, and told by the tag's units, not its address: a host may
// trace with tags from one buffer that it rewrites.
constexpr size_t kCachedTagUnits = 14;
constexpr size_t kCachedIdAndTagBytes = 48;

// Whether `module` is the `nUnits` units of `tag`, unit by unit, so that
// none is read past the module's NUL.
inline bool SameUnits(const char16_t* tag, size_t nUnits, const char16_t* module) {
  for (size_t i = 0; i < nUnits; ++i) {
    if (module[i] != tag[i]) return false;
  }
  return module[nUnits] == u'\0';
}

struct IdAndTagCache {
  int shape;  // The flags' kIdAndTagShape bits; -1 when empty.
  // With TRACE_THREAD_NAME: the state and the thread's binding changes the
  // name was read under.
  uint64_t stateSerial;
  uint32_t bindingChanges;
  uint8_t nTagUnits;
  uint8_t nBytes;
  char16_t tag[kCachedTagUnits];
  char text[kCachedIdAndTagBytes];
};

thread_local IdAndTagCache t_idAndTag RAZEZIR_INITIAL_EXEC_TLS = {-1, 0, 0, 0, 0, {}, {}};

// Whether the cache holds the part for `module` and the name as it stands.
bool CacheServes(const IdAndTagCache& cache, const TraceState& state, const char16_t* module) {
  if ((cache.shape & QXSTD::TRACE_THREAD_NAME) != 0 &&
      (cache.stateSerial != state.serial || cache.bindingChanges != t_bindingChanges)) {
    return false;
  }
  if ((cache.shape & QXSTD::TRACE_MODULE) == 0) return true;
  return module != nullptr && SameUnits(cache.tag, cache.nTagUnits, module);
}

// Keeps the id-and-tag part just appended at `text`, when the tag can be
// kept.
void KeepIdAndTag(IdAndTagCache* cache, const TraceState& state, int shape,
                  const char16_t* module, const char* text, size_t nBytes) {
  size_t nUnits = 0;
  if ((shape & QXSTD::TRACE_MODULE) != 0) {
    if (module == nullptr) return;
    while (nUnits < kCachedTagUnits && module[nUnits] > u'\0' && module[nUnits] < 0x80) ++nUnits;
    if (module[nUnits] != u'\0') return;
  }
  if (nBytes > kCachedIdAndTagBytes) return;
  cache->shape = shape;
  cache->stateSerial = state.serial;
  cache->bindingChanges = t_bindingChanges;
  cache->nTagUnits = static_cast<uint8_t>(nUnits);
  cache->nBytes = static_cast<uint8_t>(nBytes);
  // Without the tag in the prefix, `module` may be null: nothing is copied.
  if (nUnits != 0) std::memcpy(cache->tag, module, nUnits * sizeof *module);
  std::memcpy(cache->text, text, nBytes);
}

// The level field's room: a space and an int's digits and sign.
constexpr size_t kLevelFieldBytes = 12;

// Writes " %2d" of `level` at `dst` and returns where it ends.
char* PutLevel(char* dst, int level) {
  *dst++ = ' ';
  if (level >= 0 && level < 100) {
    dst[0] = level < 10 ? ' ' : static_cast<char>('0' + level / 10);
    dst[1] = static_cast<char>('0' + level % 10);
    return dst + 2;
  }
  char digits[kLevelFieldBytes];
  size_t n = 0;
  uint32_t magnitude = level < 0 ? 0u - static_cast<uint32_t>(level) : static_cast<uint32_t>(level);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (level < 0) digits[n++] = '-';
  if (n < 2) *dst++ = ' ';
  while (n > 0) *dst++ = digits[--n];
  return dst;
}

// BeginLine when the thread's cached id-and-tag part does not serve.
void BeginLineAfresh(const TraceState& state, OutBuffer* line, int flags, int level,
                     const char16_t* module, Narrowing* narrowing) {
  const size_t gap = TimeGap(flags);
  if (gap != 0 && line->Reserve(gap) != nullptr) line->Commit(gap);
  line->Append(' ');
  if ((flags & QXSTD::TRACE_LEVEL) != 0) {
    if (char* dst = line->Reserve(kLevelFieldBytes)) line->CommitTo(PutLevel(dst, level));
  }
  const size_t start = line->size();
  AppendIdAndTag(state, line, flags, module, narrowing);
  // Only a part that went whole into the line's own storage is kept.
  if (line->size() > start && !line->truncated()) {
    KeepIdAndTag(&t_idAndTag, state, flags & kIdAndTagShape, module, line->data() + start,
                 line->size() - start);
  }
}

// Starts a line with its prefix, "<time> <level><id><name><tag>: ", when
// `flags` asks for one, with TimeGap(flags) bytes of room for the time,
// which its destination puts in when it writes the line.
inline void BeginLine(const TraceState& state, OutBuffer* line, int flags, int level,
                      const char16_t* module, Narrowing* narrowing) {
  if (flags == 0) return;
  const size_t gap = TimeGap(flags);
  const IdAndTagCache* cache = &t_idAndTag;
  if (cache->shape == (flags & kIdAndTagShape) &&
      line->room() >= gap + 1 + kLevelFieldBytes + kCachedIdAndTagBytes &&
      CacheServes(*cache, state, module)) {
    char* dst = line->Cursor() + gap;
    *dst++ = ' ';
    if ((flags & QXSTD::TRACE_LEVEL) != 0) dst = PutLevel(dst, level);
    // The whole of the cached text at once: what follows its part is
    // overwritten by the message.
    std::memcpy(dst, cache->text, kCachedIdAndTagBytes);
    line->CommitTo(dst + cache->nBytes);
    return;
  }
  BeginLineAfresh(state, line, flags, level, module, narrowing);
}

// Hands the pieces of a line too long to be held whole to its destination.
void SpillLine(void* context, const char* data, size_t nBytes) {
  static_cast<LongLine*>(context)->Write(const_cast<char*>(data), nBytes);
}

// The route of a target's lines, which are judged by no level once past
// the target's.
Route RouteOf(const TraceTarget& target) {
  return Route{{&target.destination.atomic(), nullptr},
               target.level.load(std::memory_order_relaxed)};
}

// The module target a thread's last line with a module target went to, by
// its tag, so that a thread that traces one module line after line finds
// its target with one comparison of the tag. Targets are never removed
// from a state, so a target found stays the tag's for the state's life;
// the state's serial tells a later state at the same address apart. A tag
// without a target is not kept: one may be registered at any time.
struct ModuleRouteCache {
  uint64_t stateSerial;  // 0 when empty.
  const TraceTarget* target;
  size_t nTagUnits;
  char16_t tag[kCachedTagUnits];
};

thread_local ModuleRouteCache t_moduleRoute RAZEZIR_INITIAL_EXEC_TLS = {0, nullptr, 0, {}};

const TraceTarget* FindModuleTarget(const TraceState& state, const char16_t* module) {
  if (module == nullptr) return nullptr;
  ModuleRouteCache* cache = &t_moduleRoute;
  if (cache->stateSerial == state.serial && SameUnits(cache->tag, cache->nTagUnits, module)) {
    return cache->target;
  }
  const TraceTarget* target = FindTarget(state.modules, module);
  if (target != nullptr && target->name.size() <= kCachedTagUnits) {
    cache->stateSerial = state.serial;
    cache->target = target;
    cache->nTagUnits = target->name.size();
    std::memcpy(cache->tag, target->name.data(), target->name.size() * sizeof(char16_t));
  }
  return target;
}

// RouteMessage where targets exist: a module target is found without a
// lock; a thread's binding is looked up under the list lock.
bool RouteToTargets(const TraceState& state, const char16_t* module, Route* route) {
  if (state.hasModules.load(std::memory_order_acquire)) {
    const TraceTarget* target = FindModuleTarget(state, module);
    if (target == nullptr) return false;
    *route = RouteOf(*target);
  }
  if (state.hasThreadTargets.load(std::memory_order_acquire)) {
    const uint32_t threadId = platform::CurrentThreadId();
    LockGuard list(*state.listLock);
    auto binding = state.threadBindings.find(threadId);
    if (binding == state.threadBindings.end()) return false;
    const TraceTarget* target = FindTarget(state.threadTargets, binding->second->name.c_str());
    if (target == nullptr) return false;
    *route = RouteOf(*target);
  }
  return true;
}

// Routes a message with tag `module` from the calling thread. On entry
// `route` is the main stream with the main level; a module target, then a
// thread target, replaces it. Returns false when the message must be
// dropped: module targets exist and none has this tag (a null tag matches
// none), or thread targets exist and the calling thread is unbound or bound
// to a name without a target.
inline bool RouteMessage(const TraceState& state, const char16_t* module, Route* route) {
  // Without targets, as a rule, the message stays on the main log's route.
  if (!state.hasModules.load(std::memory_order_acquire) &&
      !state.hasThreadTargets.load(std::memory_order_acquire)) {
    return true;
  }
  return RouteToTargets(state, module, route);
}

// A message above the ceiling is dropped by every route, so the front ends
// test it before they start their argument lists or take any lock.
bool MayAdmit(const TraceState* state, int level) {
  return state != nullptr && level <= LevelCeiling(*state);
}

// Routes, renders and writes one message whose text `appendBody` appends
// to the line. REQUIRES: the thread is marked inside the library.
template <typename AppendBody>
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void EmitRouted(TraceState* state, int level, const char16_t* module,
                       AppendBody&& appendBody) {
  const int flags = state->flags.load(std::memory_order_relaxed);
  Route route{{&state->mainDestination.atomic(), &state->level.atomic()},
              state->level.load(std::memory_order_relaxed)};
  if (!RouteMessage(*state, module, &route)) return;
  if (level > route.limit) return;

  // Nothing from here on is a cancellation point but what holds off
  // cancellation itself (standard output's flush, the time zone's refresh):
  // log files are written with calls that are not.
  char storage[kLineStackBytes];
  OutBuffer buffer(storage, sizeof storage);
  OutgoingLine line;
  line.flags = flags;
  line.level = level;
  line.route = route.line;
  // With TRACE_NO_LOCK lines are not serialised: each is written at once,
  // in one write up to the buffer's spill size, and a longer one in pieces
  // that other threads' lines may come between.
  const bool serialised = (flags & QXSTD::TRACE_NO_LOCK) == 0;
  LongLine pieces(&line, &state->destinations, serialised);
  buffer.SetSpill(SpillLine, &pieces);
  // The tag and the message narrow their text under one reading of the
  // locale, so that a line is in one encoding whatever another thread
  // does to the locale meanwhile.
  Narrowing narrowing;
  BeginLine(*state, &buffer, flags, level, module, &narrowing);
  appendBody(&buffer, &narrowing);
  if (pieces.Started()) {
    pieces.Finish(buffer.data(), buffer.size());
    return;
  }
  line.start = buffer.data();
  line.bytes = buffer.size();
  if (serialised) {
    state->destinations.Deliver(&line);
  } else {
    state->destinations.DeliverAtOnce(&line);
  }
}

// The ordinary path of a trace call. REQUIRES: MayAdmit(state, level), and
// the thread is outside the library. Not inlined into the front ends, so
// that a call nested in a signal handler does not pay for its stack frame.
template <typename AppendBody>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void Emit(TraceState* state, int level, const unsigned short* module, AppendBody&& appendBody) {
  LibraryCall call;
  EmitRouted(state, level, AsUnits(module), appendBody);
}

// A trace call made while the thread is inside the library, by a signal
// handler: formats the message into the thread's deferred line, if that is
// free, and returns. Takes no lock, makes no system call, reads no time and
// allocates nothing.
template <typename AppendBody>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void Defer(int level, const unsigned short* module, AppendBody&& appendBody) {
  DeferredLine* deferred = LibraryCall::DeferredForHandler();
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
  Narrowing narrowing;
  appendBody(&text, &narrowing);
  size_t n = text.size();
  if (text.truncated()) {
    n = CutOnCharBoundary(deferred->text, n + 1, n);
    deferred->text[n++] = '\n';
  }
  deferred->size = n;
  deferred->level = level;
  deferred->state.store(DeferredLine::kPending, std::memory_order_release);
  LibraryCall::NoteDeferred();
}

}  // namespace

void ForgetLinePrefixInForkChild() { t_idAndTag.shape = -1; }

void NoteBindingChanged() { ++t_bindingChanges; }

void ReleaseDeferredLine(DeferredLine* line) {
  LibraryCall::t_thread.pending.store(LibraryCall::kUnprepared, std::memory_order_relaxed);
  LibraryCall::t_thread.deferred.store(nullptr, std::memory_order_relaxed);
  GiveDeferredLineBack(line);
}

namespace {

void ReleaseDeferredLineAtExit(void* line) {
  ReleaseDeferredLine(static_cast<DeferredLine*>(line));
}

}  // namespace

DeferredLine* LibraryCall::DeferredForHandler() {
  DeferredLine* installed = t_thread.deferred.load(std::memory_order_relaxed);
  if (installed != nullptr) return installed;
  DeferredLine* taken = TakeDeferredLine();
  if (taken == nullptr) return nullptr;
  // A handler that interrupted this very call may have given the thread
  // its line meanwhile: then that one stays, and this one goes back.
  if (t_thread.deferred.compare_exchange_strong(installed, taken, std::memory_order_relaxed)) {
    return taken;
  }
  GiveDeferredLineBack(taken);
  return installed;
}

void LibraryCallTestHelper::SetTestHook(void (*hook)(TestPoint)) {
  g_libraryCallHook.store(hook, std::memory_order_release);
}

void LibraryCallTestHelper::Reach(TestPoint point) { razezir::Reach(point); }

// Once per thread: kept out of the calls that would otherwise inline it.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void LibraryCall::PrepareDeferredLine() {
  Reach(LibraryCallTestHelper::TestPoint::kFirstCall);
  DeferredLine* deferred = DeferredForHandler();
  // Without memory a handler's line is dropped; the thread tries again at
  // its next call.
  if (deferred == nullptr) return;
  // A thread whose release cannot be arranged keeps its line for good,
  // rather than ask the system again at every call.
  platform::CallAtThreadExit(ReleaseDeferredLineAtExit, deferred, !IsPooled(deferred));
  t_thread.pending.fetch_and(~kUnprepared, std::memory_order_relaxed);
}

// Out of line, as everything that runs only when `pending` is not clear, so
// that the ordinary call pays for none of it.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void LibraryCall::Attend() {
  if ((t_thread.pending.load(std::memory_order_relaxed) & kServed) != 0) ServePending();
  if ((t_thread.pending.load(std::memory_order_relaxed) & kUnprepared) != 0) {
    PrepareDeferredLine();
  }
}

void LibraryCall::ServePending() {
  if ((t_thread.pending.fetch_and(~kTakeover, std::memory_order_seq_cst) & kTakeover) != 0) {
    EndForkTakeover();
  }
  WriteDeferredLines();
}

#if defined(__GNUC__)
__attribute__((noinline))
#endif
void LibraryCall::LeaveWithPending() {
  Reach(LibraryCallTestHelper::TestPoint::kLeftWithLinePending);
  // A handler that comes now, outside, writes the waiting line before its
  // own (the constructor above); one that comes inside defers its line,
  // which the next round writes.
  do {
    SetInside(true);
    ServePending();
    SetInside(false);
  } while ((t_thread.pending.load(std::memory_order_relaxed) & kServed) != 0);
}

void LibraryCall::WriteDeferredLines() {
  t_thread.pending.fetch_and(~kLineDeferred, std::memory_order_seq_cst);
  DeferredLine* deferred = t_thread.deferred.load(std::memory_order_relaxed);
  if (deferred == nullptr) return;
  // A handler may defer another line while one is written; that one is
  // dropped, but one deferred after is written in the next round.
  while (deferred->state.load(std::memory_order_acquire) == DeferredLine::kPending) {
    int expected = DeferredLine::kPending;
    if (deferred->state.compare_exchange_strong(expected, DeferredLine::kWriting,
                                                std::memory_order_acquire)) {
      // The state is read again: the interrupted call may have been the one
      // that made it, or the one that tore it down.
      TraceState* state = g_state.load(std::memory_order_acquire);
      if (state != nullptr && MayAdmit(state, deferred->level)) {
        EmitRouted(state, deferred->level, deferred->hasTag ? deferred->tag : nullptr,
                   [&](OutBuffer* line, Narrowing*) {
                     line->Append(deferred->text, deferred->size);
                   });
      }
      deferred->state.store(DeferredLine::kEmpty, std::memory_order_release);
    }
  }
}

// The front ends' one way in: a call nested in a signal handler defers its
// line; any other call writes it.
template <typename AppendBody>
inline void EmitOrDefer(TraceState* state, int level, const unsigned short* module,
                        AppendBody&& appendBody) {
  if (LibraryCall::Nested()) {
    Defer(level, module, appendBody);
  } else {
    Emit(state, level, module, appendBody);
  }
}

// EmitOrDefer of a format and its va_list.
inline void EmitOrDefer(TraceState* state, int level, const unsigned short* module,
                        const unsigned short* format, va_list args) {
  EmitOrDefer(state, level, module, [&](OutBuffer* line, Narrowing* narrowing) {
    FormatWideV(line, AsUnits(format), args, narrowing);
  });
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

void QXSTD::TraceTyped(int level, const unsigned short* module, const TraceFormat* format,
                       const TraceArgument* arguments, int count, int how) {
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  if ((how & kTraceMainLevelToo) != 0 &&
      (state == nullptr || level > state->level.load(std::memory_order_relaxed))) {
    return;
  }
  if (!razezir::MayAdmit(state, level) || format == nullptr) return;
  const size_t nArguments = arguments != nullptr && count > 0 ? static_cast<size_t>(count) : 0;
  razezir::EmitOrDefer(state, level, module,
                       [&](razezir::OutBuffer* line, razezir::Narrowing* narrowing) {
                         razezir::FormatTyped(line, *format, arguments, nArguments, narrowing);
                       });
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
    razezir::EmitOrDefer(state, fixedLevel, module, format, args);             \
    va_end(args);                                                              \
  }

RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace1, 1)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace2, 2)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace3, 3)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace4, 4)
RAZEZIR_DEFINE_FIXED_LEVEL_TRACE(Trace5, 5)

#undef RAZEZIR_DEFINE_FIXED_LEVEL_TRACE

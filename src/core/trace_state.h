// The one process-wide trace state and the records it owns: the main log's
// level, flags, stream and file name, the module targets, the thread targets
// and the thread-name bindings, and the two locks that guard them; the
// lookup of a target by name, and the one policy for running out of memory.
//
// Lock order: the global lock, then the list lock, then the turns of
// destinations, then the destination table's lock. clang's analysis checks
// the order where it can name the locks (the global lock, the list lock, the
// main stream's turn); debug builds check at run time that a thread enters
// the global lock holding no turn (GlobalLockGuard). A thread takes several
// turns only while it holds the global lock (a control call, the fork
// handler), so no two threads ever wait for each other's turns; the fork
// handler takes them in the table's record order. The global lock guards
// every change of the main level, flags, stream and file name, and
// serialises the control calls; the list lock guards the target sequences
// and the binding map. Emission takes neither to write: it reads a few
// fields without any lock (those fields are atomics, written only under
// their lock, and the streams' destinations also only in turns), and lines
// reach their file through its destination.

#ifndef RAZEZIR_SRC_CORE_TRACE_STATE_H_
#define RAZEZIR_SRC_CORE_TRACE_STATE_H_

#include <atomic>
#include <cassert>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "razezir/trace.h"

#include "write/commit_queue.h"
#include "write/destination.h"
#include "platform/out_of_memory.h"
#include "platform/port.h"
#include "platform/thread_annotations.h"

namespace razezir {

struct TraceState;

// Non-null between InitTrace and DeinitTrace.
extern std::atomic<TraceState*> g_state;
extern std::atomic<CriticalSectionLock*> g_globalLock;

// The name under which clang's analysis knows the global lock, which lives
// behind g_globalLock: declared for the annotations, never defined or used.
extern CriticalSectionLock& g_analysisGlobalLock;

// The global lock. REQUIRES: between InitTrace and DeinitTrace.
inline CriticalSectionLock& GlobalLock() RAZEZIR_RETURN_CAPABILITY(g_analysisGlobalLock) {
  return *g_globalLock.load(std::memory_order_acquire);
}

// The name under which the analysis knows the turn of the main stream's
// destination, whichever destination that is (MainDestination): declared
// for the annotations, never defined or used. It is taken after the global
// lock, and the analysis checks that order.
extern Destination g_analysisMainTurn RAZEZIR_ACQUIRED_AFTER(g_analysisGlobalLock);

// For the analysis: the caller holds neither the global lock nor the main
// stream's turn, as a thread that enters a control call holds nothing of the
// library's. Marks the functions that enter the global lock or take that
// turn, and their callers up to the exported calls.
#define RAZEZIR_UNLOCKED_CALLER \
  RAZEZIR_REQUIRES(!&::razezir::g_analysisGlobalLock, !&::razezir::g_analysisMainTurn)

// Enters the global lock for the guard's lifetime. The only way the control
// calls enter it (the fork handlers excepted): a thread that holds a turn
// must not wait for the global lock, whose holder may be waiting for that
// turn, and debug builds check that it holds none.
class RAZEZIR_SCOPED_CAPABILITY GlobalLockGuard {
 public:
  GlobalLockGuard() RAZEZIR_ACQUIRE(g_analysisGlobalLock) : lock_(GlobalLock()) {
#ifndef NDEBUG
    assert(TurnsHeldByCallingThread() == 0);
#endif  // NDEBUG
    lock_.Enter();
  }
  ~GlobalLockGuard() RAZEZIR_RELEASE() { lock_.Leave(); }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;

 private:
  CriticalSectionLock& lock_;
};

// An atomic written only under a lock and read anywhere without one. A
// write names the lock it holds, and clang's analysis checks that it does.
template <typename T>
class WrittenUnderLock {
 public:
  constexpr explicit WrittenUnderLock(T initial) : value_(initial) {}
  WrittenUnderLock(const WrittenUnderLock&) = delete;
  WrittenUnderLock& operator=(const WrittenUnderLock&) = delete;

  T load(std::memory_order order = std::memory_order_seq_cst) const { return value_.load(order); }
  void store(T value, const CriticalSectionLock& lock,
             std::memory_order order = std::memory_order_seq_cst) RAZEZIR_REQUIRES(lock) {
    lock.AssertHeld();
    value_.store(value, order);
  }
  // For readers that take the atomic along (a line's route).
  const std::atomic<T>& atomic() const { return value_; }

 private:
  std::atomic<T> value_;
};

// The main level: read anywhere without a lock, and changed only by a
// thread that holds the global lock and the turn of the main stream's
// destination, so that a line judged in a place there sees its level stay
// (StopTrace lowers it for the lines still on their way).
class MainLevelField : private WrittenUnderLock<int> {
 public:
  using WrittenUnderLock<int>::WrittenUnderLock;
  using WrittenUnderLock<int>::load;
  using WrittenUnderLock<int>::atomic;
  void store(int value, std::memory_order order = std::memory_order_seq_cst)
      RAZEZIR_REQUIRES(g_analysisGlobalLock, g_analysisMainTurn) {
    WrittenUnderLock<int>::store(value, GlobalLock(), order);
  }
};

// The main stream or its destination: read anywhere without a lock, and
// changed only by a thread that holds the global lock and the turns of the
// destination the main stream leaves and the one it joins (the same one
// when it stays). So a thread that holds a place in a destination (its
// turn, its queue's lead, a place in its gate) sees the main stream stay on
// it, or stay away from it, while it writes.
template <typename T>
class MainStreamField : private WrittenUnderLock<T> {
 public:
  using WrittenUnderLock<T>::WrittenUnderLock;
  using WrittenUnderLock<T>::load;
  using WrittenUnderLock<T>::atomic;
  // The turns are named for the analysis, which checks that they are held.
  void store(T value, [[maybe_unused]] const Destination& from,
             [[maybe_unused]] const Destination& to)
      RAZEZIR_REQUIRES(g_analysisGlobalLock, from, to) {
    WrittenUnderLock<T>::store(value, GlobalLock());
  }
};

// A target's level: read anywhere without a lock, changed under both
// locks (the list lock is named, the global lock is implied).
class TargetLevelField : private WrittenUnderLock<int> {
 public:
  using WrittenUnderLock<int>::WrittenUnderLock;
  using WrittenUnderLock<int>::load;
  void store(int value, const CriticalSectionLock& listLock,
             std::memory_order order = std::memory_order_seq_cst)
      RAZEZIR_REQUIRES(g_analysisGlobalLock, listLock) {
    listLock.AssertHeld();
    WrittenUnderLock<int>::store(value, GlobalLock(), order);
  }
};

// A target's destination: read anywhere without a lock, and moved only
// under both locks and the turns of the destination it leaves and the one
// it joins, as the main stream's is.
class TargetDestinationField : private WrittenUnderLock<Destination*> {
 public:
  using WrittenUnderLock<Destination*>::WrittenUnderLock;
  using WrittenUnderLock<Destination*>::load;
  using WrittenUnderLock<Destination*>::atomic;
  // Before the target is published, when nothing else reads it.
  void Initialise(Destination* value) RAZEZIR_REQUIRES(g_analysisGlobalLock) {
    WrittenUnderLock<Destination*>::store(value, GlobalLock());
  }
  void store(Destination* value, const CriticalSectionLock& listLock,
             [[maybe_unused]] const Destination& from, [[maybe_unused]] const Destination& to)
      RAZEZIR_REQUIRES(g_analysisGlobalLock, listLock, from, to) {
    listLock.AssertHeld();
    WrittenUnderLock<Destination*>::store(value, GlobalLock());
  }
};

// A module target or a thread target. Kept from registration until
// DeinitTrace, so emission may use it after leaving the list lock. Its
// level, stream and destination change at run time (a level set anew, a
// file reopened) under both locks; the level and the destination are
// atomics, which emission reads without a lock, and the destination is
// read again when a line of the target is written, as the main log's is.
// The stream and the file name belong to the control calls: emission, which
// holds no global lock, must not read them.
struct TraceTarget {
  std::u16string name;   // The module tag or the thread name.
  // Messages above it are dropped.
  TargetLevelField level{0};
  // Empty exactly when `out` is standard output.
  std::string fileName RAZEZIR_GUARDED_BY(g_analysisGlobalLock);
  // Standard output, or a stream this target opened.
  FILE* out RAZEZIR_GUARDED_BY(g_analysisGlobalLock) = stdout;
  // Where `out` writes: the file's destination, or standard output's.
  TargetDestinationField destination{nullptr};
  // The table that holds `destination`.
  DestinationTable* table = nullptr;
};

// Destroys a target together with the stream it opened, without a banner.
// REQUIRES: the global lock (DeinitTrace holds it while the targets go).
struct TargetCloser {
  void operator()(TraceTarget* target) const RAZEZIR_REQUIRES(g_analysisGlobalLock);
};
using TargetPtr = std::unique_ptr<TraceTarget, TargetCloser>;

// The module targets or the thread targets: the records in registration
// order (teardown and the tests walk them, under the list lock), and an
// index by name, which emission reads without any lock. The index is an
// open-addressed table of pointers to the records, which are whole before
// they enter it and never change or move; a full table is replaced by one
// twice its size, and the old ones are kept until the list goes, so a
// reader may finish its walk of a table that was just replaced. The tables
// together take at most twice the room of the last.
class TargetList {
 public:
  TargetList() = default;
  TargetList(const TargetList&) = delete;
  TargetList& operator=(const TargetList&) = delete;

  // REQUIRES for these: the list lock.
  size_t size() const { return targets_.size(); }
  const TargetPtr& at(size_t index) const { return targets_.at(index); }
  std::vector<TargetPtr>::const_iterator begin() const { return targets_.begin(); }
  std::vector<TargetPtr>::const_iterator end() const { return targets_.end(); }

  // The target named exactly `name` (NUL-terminated), or null. Takes no
  // lock and allocates nothing; safe on any thread, also while another
  // thread adds a target.
  const TraceTarget* Find(const char16_t* name) const { return FindIn(name); }
  // The same for a caller that changes the target's level or stream.
  TraceTarget* FindToChange(const char16_t* name, const CriticalSectionLock& lock) const
      RAZEZIR_REQUIRES(lock) {
    lock.AssertHeld();
    return FindIn(name);
  }

  // Appends `target`, whose name no target here has, and makes it
  // findable. Throws std::bad_alloc with the list unchanged (and `target`
  // still owned by the caller) when the room for it cannot be had.
  void Add(TargetPtr& target, const CriticalSectionLock& lock) RAZEZIR_REQUIRES(lock);

 private:
  struct Index {
    size_t mask;  // Slots minus one; slots are a power of two.
    std::unique_ptr<std::atomic<TraceTarget*>[]> slots;
  };

  TraceTarget* FindIn(const char16_t* name) const {
    const Index* index = index_.load(std::memory_order_acquire);
    if (index == nullptr) return nullptr;
    // The name is hashed and measured in one pass: tags are a few units.
    uint32_t hash = kHashBasis;
    size_t nUnits = 0;
    for (; name[nUnits] != u'\0'; ++nUnits) hash = (hash ^ name[nUnits]) * kHashPrime;
    for (size_t slot = hash & index->mask;; slot = (slot + 1) & index->mask) {
      TraceTarget* target = index->slots[slot].load(std::memory_order_acquire);
      if (target == nullptr) return nullptr;
      if (target->name.size() == nUnits &&
          std::char_traits<char16_t>::compare(target->name.data(), name, nUnits) == 0) {
        return target;
      }
    }
  }

  // FNV-1a over the name's units.
  static constexpr uint32_t kHashBasis = 2166136261u;
  static constexpr uint32_t kHashPrime = 16777619u;
  static size_t Hash(const std::u16string& name) {
    uint32_t hash = kHashBasis;
    for (char16_t unit : name) hash = (hash ^ unit) * kHashPrime;
    return hash;
  }
  // Enters `target` into `index`, which has a free slot for it.
  static void Insert(const Index& index, TraceTarget* target);

  std::vector<TargetPtr> targets_;
  // Every index made, the current one last.
  std::vector<std::unique_ptr<Index>> indexes_;
  std::atomic<const Index*> index_{nullptr};
};

// The name a thread bound itself to.
struct ThreadBinding {
  std::u16string name;
  uint32_t threadId;  // Also the binding's key in TraceState::threadBindings.
};

// A number that no other trace state of the process has had, for caches
// that must not take a later state at the same address for this one.
uint64_t NextTraceStateSerial();

struct TraceState {
  // The destinations of the main stream and the targets' streams. Declared
  // first, so that it outlives every stream that refers to it.
  DestinationTable destinations;
  const uint64_t serial = NextTraceStateSerial();
  // The main level; 0 means stopped. Read without the lock by Trace and by
  // the early drop test of emission.
  MainLevelField level{0};
  // The main stream and its destination, which lines of the main log are
  // judged by.
  MainStreamField<FILE*> out{stdout};
  MainStreamField<Destination*> mainDestination{destinations.StandardOutput()};
  std::string fileName RAZEZIR_GUARDED_BY(g_analysisGlobalLock);
  // Read without the lock at the start of emission.
  WrittenUnderLock<int> flags{0};
  // Taken after the global lock, when both are, and before the table's.
  std::unique_ptr<CriticalSectionLock> listLock RAZEZIR_ACQUIRED_AFTER(g_analysisGlobalLock)
      RAZEZIR_ACQUIRED_BEFORE(destinations.TableLock());
  // In registration order, indexed by name. Added to under the list lock;
  // found by name without it.
  TargetList modules;
  TargetList threadTargets;
  // Keyed by thread id.
  std::map<uint32_t, std::unique_ptr<ThreadBinding>> threadBindings
      RAZEZIR_GUARDED_BY(listLock);

  // Whether `modules` and `threadTargets` are non-empty, readable without
  // the list lock. Set once the first target is in.
  WrittenUnderLock<bool> hasModules{false};
  WrittenUnderLock<bool> hasThreadTargets{false};
  // The highest level among the module targets and among the thread
  // targets, so that emission can drop a message that no target would
  // admit without taking a lock.
  WrittenUnderLock<int> maxModuleLevel{INT_MIN};
  WrittenUnderLock<int> maxThreadLevel{INT_MIN};
  // The highest message level that some route could still admit, made
  // from the fields above whenever one changes (UpdateLevelCeiling), so
  // that a dropped call reads one word.
  WrittenUnderLock<int> levelCeiling{0};
};

// A line traced by a signal handler while its thread was inside the library,
// waiting for the interrupted call to write it.
struct DeferredLine;
// Gives a thread's deferred line back, at the thread's exit.
void ReleaseDeferredLine(DeferredLine* line);

// Marks the calling thread as inside a library call for the guard's
// lifetime. A call that finds its thread inside already was made by a
// signal handler that interrupted the outer call (the library calls out to
// nothing). Such a call must not wait for a lock or a turn the outer call
// may hold, nor read what it may be changing: a control call does nothing,
// and a trace call only formats its message into the thread's deferred
// line, which the outer call writes before it returns to its caller.
// REQUIRES: the thread is outside the library (LibraryCall::Nested() is
// false).
class LibraryCall {
 public:
  // Inside first: a handler that comes meanwhile must not run the ordinary
  // path inside the call. (In the thread's first call, it takes a deferred
  // line itself if the thread has none yet, from memory that never passes
  // through malloc; this call then keeps that one.)
  LibraryCall() {
    SetInside(true);
    if (t_thread.pending.load(std::memory_order_relaxed) != 0) Attend();
  }
  // After every lock and turn of the call was released (the guard is the
  // first local of every exported call), the thread is marked outside and
  // then writes what handlers deferred meanwhile.
  ~LibraryCall() {
    SetInside(false);
    if ((t_thread.pending.load(std::memory_order_relaxed) & kServed) != 0) LeaveWithPending();
  }
  LibraryCall(const LibraryCall&) = delete;
  LibraryCall& operator=(const LibraryCall&) = delete;

  static bool Nested() { return t_thread.inside != 0; }
  // For a call nested in a handler: the thread's deferred line, taken now
  // if the thread has none yet, or null when no memory could be had.
  // Takes no lock and calls nothing but the system's page allocator.
  static DeferredLine* DeferredForHandler();
  // For a call nested in a handler, once its line waits in the deferred
  // line: the interrupted call writes it before it returns.
  static void NoteDeferred() {
    t_thread.pending.fetch_or(kLineDeferred, std::memory_order_seq_cst);
  }
  // For the fork child handler, when the fork interrupted this thread
  // inside a call: once that call has ended in the child, the child's
  // library ends the takeover (EndForkTakeover) before anything else.
  static void NoteTakeover() { t_thread.pending.fetch_or(kTakeover, std::memory_order_seq_cst); }

  // The mark changes only at points where a signal may find the thread in
  // either state; the fences keep the compiler from moving the thread's own
  // work across them.
  static void SetInside(bool inside) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_thread.inside = inside ? 1 : 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }

 private:
  friend void ReleaseDeferredLine(DeferredLine* line);
  // What the thread's `pending` word says, one bit each. Handlers set bits
  // with atomic operations on the thread's own word, which the thread
  // itself may be changing when they interrupt it.
  static constexpr int kLineDeferred = 1;  // A handler's line waits.
  static constexpr int kTakeover = 2;      // A fork takeover is to end.
  static constexpr int kUnprepared = 4;    // The thread has no deferred line
                                           // and no release at exit yet.
  static constexpr int kServed = kLineDeferred | kTakeover;

  // A call's first steps when `pending` is not clear: a handler's line that
  // an earlier call had not written yet when it left (this call may be made
  // by a handler that came just then) goes first, so that the thread's
  // lines keep the order of their calls; then the thread gets its deferred
  // line, on its first call.
  static void Attend();
  // Gives the thread a deferred line, unless a handler gave it one, and
  // arranges for its release at thread exit.
  static void PrepareDeferredLine();
  // What `pending` says: ends a fork takeover, then writes the deferred
  // line, if one waits, through the ordinary path. REQUIRES: inside.
  static void ServePending();
  // ServePending for a call that has left: inside again until nothing is
  // served.
  static void LeaveWithPending();
  static void WriteDeferredLines();

  // One record, so that a call finds all with one look-up of the thread's
  // storage; inline, so that every user sees its constant initialiser and
  // the library needs no thread-local initialisation function. `deferred`
  // is set by compare-and-swap, since a handler may set it in the middle of
  // the thread's own call; `pending` (the k* bits above) spares every other
  // call a look at the deferred line, and at whether the thread has one.
  struct ThreadMark {
    volatile int inside;
    std::atomic<int> pending;
    std::atomic<DeferredLine*> deferred;
  };
  static inline thread_local ThreadMark t_thread RAZEZIR_INITIAL_EXEC_TLS = {0, kUnprepared,
                                                                             nullptr};
};

// Forgets the calling thread's line prefix, which carries its thread id: in
// a fork child, whose thread has a new one. REQUIRES: only the calling
// thread runs in this process.
void ForgetLinePrefixInForkChild();

// Tells the calling thread's line prefix that the thread's binding changed
// (it bound itself to a name, or unbound itself), so that its next line
// reads the name afresh.
void NoteBindingChanged();

// Ends the fork takeover that the child handler began when the fork
// interrupted the thread inside a call, once that call has ended: every
// destination starts afresh, and each file's next line on a line of its
// own. REQUIRES: only the calling thread runs in this process.
void EndForkTakeover();

// Test-only knobs of LibraryCall.
class LibraryCallTestHelper {
 public:
  enum class TestPoint {
    kFirstCall,            // A thread's first call, marked inside, before it
                           // has a deferred line.
    kLeftWithLinePending,  // A call has left the library with a handler's
                           // line still to write, and is about to write it.
    kTargetAnnouncing,     // A target with a file of its own is registered,
                           // and its Started banner is about to be written.
  };
  // Runs `hook` at each point; null removes it.
  static void SetTestHook(void (*hook)(TestPoint point));
  static void Reach(TestPoint point);
};

// The exported calls take 16-bit strings as unsigned short, the internals
// as char16_t: the same units under another name.
inline const char16_t* AsUnits(const unsigned short* s) {
  return reinterpret_cast<const char16_t*>(s);
}

// Whether lines and banners must reach stable storage before calls return.
inline bool IsDurable(const TraceState& state) {
  return (state.flags.load(std::memory_order_relaxed) & QXSTD::TRACE_DURABLE) != 0;
}

// The highest message level that some route could still admit: a message
// above it is dropped by every path through emission.
inline int LevelCeiling(const TraceState& state) {
  return state.levelCeiling.load(std::memory_order_relaxed);
}

// Makes the ceiling anew after a change of the main level or of a target's.
// REQUIRES: the global lock, under which every such change is made.
inline void UpdateLevelCeiling(TraceState* state) RAZEZIR_REQUIRES(g_analysisGlobalLock) {
  int ceiling = state->level.load(std::memory_order_relaxed);
  if (state->hasThreadTargets.load(std::memory_order_acquire)) {
    ceiling = state->maxThreadLevel.load(std::memory_order_relaxed);
  } else if (state->hasModules.load(std::memory_order_acquire)) {
    ceiling = state->maxModuleLevel.load(std::memory_order_relaxed);
  }
  state->levelCeiling.store(ceiling, GlobalLock(), std::memory_order_relaxed);
}

// The main stream's destination, whose turn the analysis knows as
// g_analysisMainTurn: a caller that takes the turn names the destination
// by this call, so that the analysis sees which turn it holds. The
// destination stays the main stream's while the global lock is held.
inline Destination& MainDestination(const TraceState& state)
    RAZEZIR_RETURN_CAPABILITY(g_analysisMainTurn) {
  return *state.mainDestination.load();
}

// Returns the target named exactly `name` (case-sensitive, unit by unit),
// or null; a null name matches none. Registration keeps names unique, so at
// most one target matches. Takes no lock and allocates nothing.
inline const TraceTarget* FindTarget(const TargetList& targets, const char16_t* name) {
  return name != nullptr ? targets.Find(name) : nullptr;
}

// Read access to the state's records for tests, so that a change of the
// records' fields touches the tests in one place. Each call takes the lock
// the fields need. REQUIRES, but for the first two: between InitTrace and
// DeinitTrace.
class TraceStateTestHelper {
 public:
  // The state and the global lock, null outside InitTrace..DeinitTrace.
  static const TraceState* State();
  static const CriticalSectionLock* GlobalLockOrNull();
  static int Flags();
  static size_t ModuleCount();
  // The file name and stream of the module target registered `index`th.
  static std::string ModuleFileName(size_t index);
  static FILE* ModuleStream(size_t index);
  // The name the thread with id `threadId` is bound to; false if unbound.
  static bool BoundName(uint32_t threadId, std::u16string* name);
  // How many destination records exist, in use or kept for reuse.
  static size_t DestinationObjects();
};

}  // namespace razezir

#endif  // RAZEZIR_SRC_CORE_TRACE_STATE_H_

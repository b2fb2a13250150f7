// Creation, configuration, queries and teardown of the trace state, the
// lookup of targets by name, and the fork handlers that keep the locks usable
// in a child process.
//
// InitTrace takes no lock: the host calls it before other threads use the
// library, and DeinitTrace after they have left it. Every other control call
// here holds the global lock for its whole work (DeinitTrace too, so that
// the targets close their streams under it, as their fields require), and
// within it the turn of the main stream's destination, so that it waits
// for the lines on their way there; StartTrace also takes the turn of the
// destination it switches to, and closes the replaced stream and waits for
// syncs only once it has passed both turns. The lookup and the test helper
// take the list lock.

#include "core/trace_state.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "logtext/log_text.h"
#include "razezir/trace.h"

namespace razezir {

std::atomic<TraceState*> g_state{nullptr};
std::atomic<CriticalSectionLock*> g_globalLock{nullptr};

uint64_t NextTraceStateSerial() {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

namespace {

// Set for the life of the process until the first StartTrace without a file
// name writes the Started banner to standard output; nothing sets it again.
bool g_consoleBannerPending RAZEZIR_GUARDED_BY(GlobalLock()) = true;

// What the fork prepare handler took, per forking thread, so that the
// parent and child handlers release exactly that.
struct ForkHold {
  CriticalSectionLock* globalLock = nullptr;
  CriticalSectionLock* listLock = nullptr;
  DestinationTable* table = nullptr;  // Its lock is held.
  // How many destinations' turns were taken, in record order.
  size_t turns = 0;
  // The fork was made by a signal handler that interrupted the thread
  // inside the library.
  bool nested = false;
  // Nested, and a lock was held: the child's library does nothing.
  bool refused = false;
  // The forking thread's id in the parent.
  uint32_t threadId = 0;
};
thread_local ForkHold t_fork;

// A fork while another thread is inside the library would leave the child
// with a lock that no thread of its own will ever release, or a line half
// written. So the prepare handler takes the locks, and then the turn of
// every destination: it waits for the lines on their way and for a line
// being written in pieces, and no thread is in any gate or inside standard
// output's lock when the process forks (the child may flush standard
// output, as exit() does).
//
// A fork made by a signal handler that interrupted its thread inside the
// library must not wait at all: the thread may hold a lock or a turn
// itself, and another thread holding a lock may be waiting for that turn.
// So the locks are only tried, and no turn is taken. If any lock is held,
// by whichever thread, what it guards may be half changed: the child's
// library then does nothing. Otherwise the interrupted call goes on in the
// child under a takeover until it ends (see ForkChild).
//
// The locks and turns are taken here and released by the other two
// handlers, which the analysis cannot follow.
void ForkPrepare() RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  ForkHold& hold = t_fork;
  hold = ForkHold{};
  hold.threadId = platform::CurrentThreadId();
  hold.nested = LibraryCall::Nested();
  CriticalSectionLock* global = g_globalLock.load(std::memory_order_acquire);
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (hold.nested) {
    if (state == nullptr) return;
    if (global == nullptr || !global->TryEnterFree()) {
      hold.refused = true;
      return;
    }
    hold.globalLock = global;
    if (state->listLock->TryEnterFree()) {
      hold.listLock = state->listLock.get();
      if (state->destinations.TryLockForFork()) {
        hold.table = &state->destinations;
        return;
      }
      hold.listLock->Leave();
      hold.listLock = nullptr;
    }
    hold.globalLock->Leave();
    hold.globalLock = nullptr;
    hold.refused = true;
    return;
  }
  hold.globalLock = global;
  if (global != nullptr) global->Enter();
  if (state == nullptr) return;
  hold.listLock = state->listLock.get();
  hold.listLock->Enter();
  hold.table = &state->destinations;
  // Records are added only under the global lock, which this thread holds.
  for (Destination* destination; (destination = hold.table->Record(hold.turns)) != nullptr;
       ++hold.turns) {
    destination->TakeTurnForFork();
  }
  hold.table->LockForFork();
}

// Releases what the prepare handler took, a set known only at run time.
void ForkParent() RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  ForkHold& hold = t_fork;
  if (hold.table != nullptr) {
    hold.table->UnlockAfterFork();
    for (size_t i = 0; i < hold.turns; ++i) hold.table->Record(i)->PassTurnAfterFork();
  }
  if (hold.listLock != nullptr) hold.listLock->Leave();
  if (hold.globalLock != nullptr) hold.globalLock->Leave();
  hold = ForkHold{};
}

// The thread that forked goes on in the child under a new id, so its binding
// moves to that id and its lines keep their route. The other bound threads
// do not exist in the child; their bindings go, lest a thread the child
// starts later get one of their ids, and with it a name. The child has one
// thread and its locks were just reset, so nothing needs them here.
void RekeyBindingsInChild(TraceState* state, uint32_t parentId) RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  auto kept = state->threadBindings.extract(parentId);
  state->threadBindings.clear();
  if (kept.empty()) return;
  const uint32_t childId = platform::CurrentThreadId();
  kept.key() = childId;
  kept.mapped()->threadId = childId;
  state->threadBindings.insert(std::move(kept));
}

// Lines that other threads of the parent had queued are the parent's to
// write; in the child their threads do not exist, and a line queued behind
// them would wait for ever. Their references stay counted, so those
// destinations are kept for the child's life.
//
// After a nested fork the interrupted call goes on in the child, inside
// gates, queues or syncs that other threads shared with it; starting those
// afresh under it would break it. So it runs under a takeover (its waits
// end, its writes are dropped: its lines are the parent's), and the
// destinations start afresh once it has ended (EndForkTakeover). Where the
// prepare handler found a lock held, the child's library does nothing from
// here on: the state is left as it is, unreferenced, and the interrupted
// call runs out under a takeover that never ends.
void ForkChild() {
  const ForkHold hold = t_fork;
  t_fork = ForkHold{};
  if (hold.refused) {
    g_globalLock.store(nullptr, std::memory_order_release);
    g_state.store(nullptr, std::memory_order_release);
    platform::BeginForkTakeover();
    return;
  }
  if (hold.listLock != nullptr) hold.listLock->ResetInForkChild();
  if (hold.globalLock != nullptr) hold.globalLock->ResetInForkChild();
  if (hold.table != nullptr) {
    hold.table->ResetLockInForkChild();
    if (hold.nested) {
      platform::BeginForkTakeover();
      LibraryCall::NoteTakeover();
    } else {
      hold.table->ResetDestinationsInForkChild(true);
    }
  }
  ForgetLinePrefixInForkChild();
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (state != nullptr) RekeyBindingsInChild(state, hold.threadId);
}

}  // namespace

void EndForkTakeover() {
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (state != nullptr) state->destinations.ResetDestinationsInForkChild(false);
  platform::EndForkTakeover();
}

namespace {

bool HasFileName(const char* fileName) {
  return fileName != nullptr && fileName[0] != '\0';
}

// Makes `stream` the main stream, moving from the destination `old` to
// `to`, and writes its Started banner when `banner`.
void PublishMain(TraceState* state, FILE* stream, Destination& old, Destination& to, bool banner)
    RAZEZIR_REQUIRES(GlobalLock(), old, to) {
  state->out.store(stream, old, to);
  state->mainDestination.store(&to, old, to);
  if (banner) WriteStartedBanner(to);
}

// Makes `now` the main stream and writes its Started banner (when
// `banner`), in a turn of its destination when that is not `old`, whose
// turn the caller holds.
void BecomeMain(TraceState* state, const LogStream& now, Destination& old, bool banner)
    RAZEZIR_REQUIRES(GlobalLock(), old) {
  if (now.destination == &old) {
    PublishMain(state, now.stream, old, old, banner);
  } else {
    ExclusiveTurn turn(*now.destination);
    PublishMain(state, now.stream, old, *now.destination, banner);
  }
}

// Switches the main log to the file `fileName`, or to standard output when
// it cannot be opened. Returns the replaced stream, which the caller closes
// once it has passed the turns (null when it was standard output).
// REQUIRES: global lock held, and the turn of `old`, the main stream's
// destination.
LogStream SwitchToFile(TraceState* state, const char* fileName, Destination& old)
    RAZEZIR_REQUIRES(GlobalLock(), old) {
  GlobalLock().AssertHeld();
  FILE* oldStream = state->out.load(std::memory_order_relaxed);
  LogStream opened{};
  const bool isOpen = state->destinations.Open(fileName, &opened);
  bool named = false;
  if (isOpen) {
    named = UnlessOutOfMemory([&] {
      GlobalLock().AssertHeld();
      state->fileName = fileName;
    });
    // Without memory for the name the file cannot be recorded as the main
    // log; it is closed and the output falls back as for a failed open.
    if (!named) state->destinations.Close(opened, false);
  }
  // The replaced stream gets its Closed banner only when a new file takes
  // over; after a failed open it is closed without one.
  if (oldStream != stdout && named) WriteClosedBanner(old);
  const LogStream now =
      named ? opened : LogStream{stdout, state->destinations.StandardOutput()};
  BecomeMain(state, now, old, true);
  return LogStream{oldStream != stdout ? oldStream : nullptr, &old};
}

// REQUIRES: global lock held, and the turn of `old`, the main stream's
// destination. Returns the replaced stream, as SwitchToFile does.
LogStream SwitchToConsole(TraceState* state, Destination& old) RAZEZIR_REQUIRES(GlobalLock(), old) {
  GlobalLock().AssertHeld();
  FILE* oldStream = state->out.load(std::memory_order_relaxed);
  if (oldStream != stdout) WriteClosedBanner(old);
  state->fileName.clear();
  const bool banner = g_consoleBannerPending;
  g_consoleBannerPending = false;
  BecomeMain(state, LogStream{stdout, state->destinations.StandardOutput()}, old, banner);
  return LogStream{oldStream != stdout ? oldStream : nullptr, &old};
}

// The turns of several destinations, for a control call that holds the
// global lock: taken in record order within each Take, each once, and
// passed in the reverse order. The set is known only at run time, so to the
// analysis the object stands for the turns it holds: Take and Pass acquire
// and release it, and AssertHolds names one of its destinations, which
// debug builds check is among them. Each turn is held by a guard of its own.
class RAZEZIR_CAPABILITY("turns") Turns {
 public:
  Turns() = default;
  // Passes what is still held, were Pass not reached.
  ~Turns() { PassHeld(); }
  Turns(const Turns&) = delete;
  Turns& operator=(const Turns&) = delete;

  // Room for `capacity` turns. Throws std::bad_alloc.
  void Reserve(size_t capacity) {
    guards_.reset(new std::optional<ExclusiveTurn>[capacity]);
    held_.reserve(capacity);
  }

  // Takes the turns of `places` that neither this nor `besides` (turns the
  // caller took before, or null) holds. `places` may name a destination
  // more than once; it is sorted. REQUIRES: room for them.
  void Take(std::vector<Destination*>& places, const Turns* besides = nullptr)
      RAZEZIR_ACQUIRE() RAZEZIR_REQUIRES(g_analysisGlobalLock) {
    besides_ = besides;
    std::sort(places.begin(), places.end(), [](const Destination* a, const Destination* b) {
      return a->record() < b->record();
    });
    for (size_t i = 0; i < places.size(); ++i) {
      if (i > 0 && places[i] == places[i - 1]) continue;
      if (Holds(*places[i])) continue;
      guards_[held_.size()].emplace(*places[i]);
      held_.push_back(places[i]);
    }
  }
  void Pass() RAZEZIR_RELEASE() { PassHeld(); }

  // `destination`'s turn is held here or by `besides`: debug builds check
  // it, and the analysis takes it as held from here on.
  void AssertHolds([[maybe_unused]] const Destination& destination) const
      RAZEZIR_REQUIRES(this) RAZEZIR_ASSERT_CAPABILITY(destination) {
    assert(Holds(destination));
  }

 private:
  bool Holds(const Destination& destination) const {
    if (std::find(held_.begin(), held_.end(), &destination) != held_.end()) return true;
    return besides_ != nullptr && besides_->Holds(destination);
  }
  void PassHeld() {
    for (size_t i = held_.size(); i > 0; --i) guards_[i - 1].reset();
    held_.clear();
  }

  std::unique_ptr<std::optional<ExclusiveTurn>[]> guards_;
  std::vector<Destination*> held_;  // Whose turns guards_ hold, in order.
  const Turns* besides_ = nullptr;
};

// A stream that ReopenTraceFiles opens again by its name.
struct Reopening {
  TraceTarget* target;  // Null for the main log.
  bool isModule;        // A module target (not a thread target).
  FILE* stream;         // The stream it replaces, and its destination.
  Destination* old;
  LogStream now;        // Where it writes from now on.
};

// Whether the stream that `each` opened announces itself with a Started
// banner: the main log always, on its new file or on standard output; a
// target as at registration, only on a new file of its own, which for a
// module target is not the main log's name.
bool AnnouncesItself(const TraceState& state, const Reopening& each)
    RAZEZIR_REQUIRES(GlobalLock()) {
  if (each.target == nullptr) return true;
  if (each.now.stream == stdout || each.now.stream == each.stream) return false;
  return !each.isModule || each.target->fileName != state.fileName;
}

// Whether `name` names another file now than the one `destination` stands
// for, or no file. A destination whose file is not known by its identity
// is left alone.
bool MovedAway(DestinationTable& table, const std::string& name, const Destination& destination) {
  platform::FileIdentity had{};
  platform::FileIdentity now{};
  if (!table.IdentityOf(destination, &had)) return false;
  return !platform::IdentifyFile(name.c_str(), &now) || !(now == had);
}

// Whether a target that `work` does not move writes to `destination`.
// REQUIRES: the list lock.
bool KeepsWritingTo(const TraceState& state, const std::vector<Reopening>& work,
                    const Destination* destination) RAZEZIR_REQUIRES(*state.listLock) {
  for (const TargetList* targets : {&state.modules, &state.threadTargets}) {
    for (const TargetPtr& target : *targets) {
      if (target->destination.load() != destination) continue;
      auto moved = [&](const Reopening& each) { return each.target == target.get(); };
      if (std::none_of(work.begin(), work.end(), moved)) return true;
    }
  }
  return false;
}

// The work of ReopenTraceFiles. REQUIRES: the global lock and the list
// lock, so that neither the main stream nor the targets change meanwhile.
void ReopenMovedFiles(TraceState* state)
    RAZEZIR_REQUIRES(g_analysisGlobalLock, *state->listLock) {
  DestinationTable& table = state->destinations;
  std::vector<Reopening> work;
  std::vector<Destination*> places;
  std::vector<LogStream> replaced;
  std::vector<Destination*> written;
  // The turns of the files the streams leave, then of those they join.
  Turns oldFiles;
  Turns newFiles;
  if (!UnlessOutOfMemory([&] {
        GlobalLock().AssertHeld();
        state->listLock->AssertHeld();
        FILE* mainStream = state->out.load(std::memory_order_relaxed);
        Destination* mainPlace = state->mainDestination.load();
        if (mainStream != stdout && !state->fileName.empty() &&
            MovedAway(table, state->fileName, *mainPlace)) {
          work.push_back(Reopening{nullptr, false, mainStream, mainPlace, {}});
        }
        for (const TargetList* targets : {&state->modules, &state->threadTargets}) {
          const bool isModule = targets == &state->modules;
          for (const TargetPtr& target : *targets) {
            Destination* place = target->destination.load();
            if (target->out != stdout && !target->fileName.empty() &&
                MovedAway(table, target->fileName, *place)) {
              work.push_back(Reopening{target.get(), isModule, target->out, place, {}});
            }
          }
        }
        places.reserve(work.size());
        replaced.reserve(work.size());
        written.reserve(work.size());
        oldFiles.Reserve(work.size());
        newFiles.Reserve(work.size());
      }) ||
      work.empty()) {
    return;
  }
  // Lines for the old files wait from here until every stream has moved.
  for (const Reopening& each : work) places.push_back(each.old);
  oldFiles.Take(places);
  // The main log's old file is closed before any new file is made, so that a
  // reader that follows the name (a forwarding daemon) has the whole old
  // file, banner included, before it turns to the new one. Streams move by
  // the names they were opened by; a target whose name still names the old
  // file (another link to it) stays there, and then the file is not closed:
  // no line may follow its Closed banner.
  Destination* mainOld = nullptr;
  for (const Reopening& each : work) {
    if (each.target == nullptr) mainOld = each.old;
  }
  if (mainOld != nullptr && !KeepsWritingTo(*state, work, mainOld)) {
    oldFiles.AssertHolds(*mainOld);
    WriteClosedBanner(*mainOld);
  }
  places.clear();
  for (Reopening& each : work) {
    const std::string& name = each.target != nullptr ? each.target->fileName : state->fileName;
    if (!table.Open(name.c_str(), &each.now)) {
      // The main log falls back to standard output when its file does not
      // open, as StartTrace does, and so does a target on the main log's
      // old file, which must not write after its Closed banner. Any other
      // target keeps its old stream, and its name: a later call tries the
      // name again.
      const bool withMain = each.target == nullptr || each.old == mainOld;
      each.now = withMain ? LogStream{stdout, table.StandardOutput()}
                          : LogStream{each.stream, each.old};
    }
    places.push_back(each.now.destination);
  }
  newFiles.Take(places, &oldFiles);
  for (const Reopening& each : work) {
    if (each.now.stream == each.stream) continue;
    oldFiles.AssertHolds(*each.old);
    newFiles.AssertHolds(*each.now.destination);
    if (each.target != nullptr) {
      each.target->out = each.now.stream;
      each.target->destination.store(each.now.destination, *state->listLock, *each.old,
                                     *each.now.destination);
    } else {
      state->out.store(each.now.stream, *each.old, *each.now.destination);
      state->mainDestination.store(each.now.destination, *each.old, *each.now.destination);
    }
    replaced.push_back(LogStream{each.stream, each.old});
  }
  // The main log, first in the work when it moved, announces itself first.
  for (const Reopening& each : work) {
    if (AnnouncesItself(*state, each)) {
      newFiles.AssertHolds(*each.now.destination);
      WriteStartedBanner(*each.now.destination);
      written.push_back(each.now.destination);
    }
  }
  newFiles.Pass();
  oldFiles.Pass();
  const bool durable = IsDurable(*state);
  for (const LogStream& stream : replaced) table.Close(stream, durable);
  if (durable) {
    for (Destination* destination : written) destination->SyncWritten();
  }
}

}  // namespace

void TargetCloser::operator()(TraceTarget* target) const {
  // Standard output holds no reference: its destination is never given back.
  if (target->out != stdout) {
    target->table->Close(LogStream{target->out, target->destination.load()}, false);
  }
  delete target;
}

void TargetList::Insert(const Index& index, TraceTarget* target) {
  size_t slot = Hash(target->name) & index.mask;
  while (index.slots[slot].load(std::memory_order_relaxed) != nullptr) {
    slot = (slot + 1) & index.mask;
  }
  // Released: a reader that finds the pointer sees the record whole.
  index.slots[slot].store(target, std::memory_order_release);
}

void TargetList::Add(TargetPtr& target, const CriticalSectionLock& lock) {
  lock.AssertHeld();
  // Everything that may fail is had first: the slot in the order, and a
  // larger index when this one would be over half full.
  if (targets_.size() == targets_.capacity()) {
    targets_.reserve(targets_.empty() ? 4 : 2 * targets_.size());
  }
  const Index* current = index_.load(std::memory_order_relaxed);
  if (current == nullptr || 2 * (targets_.size() + 1) > current->mask + 1) {
    const size_t nSlots = current == nullptr ? 8 : 2 * (current->mask + 1);
    indexes_.reserve(indexes_.size() + 1);
    auto larger = std::make_unique<Index>();
    larger->mask = nSlots - 1;
    larger->slots = std::make_unique<std::atomic<TraceTarget*>[]>(nSlots);
    for (size_t slot = 0; slot < nSlots; ++slot) {
      larger->slots[slot].store(nullptr, std::memory_order_relaxed);
    }
    for (const TargetPtr& each : targets_) Insert(*larger, each.get());
    Insert(*larger, target.get());
    index_.store(larger.get(), std::memory_order_release);
    indexes_.push_back(std::move(larger));
  } else {
    Insert(*current, target.get());
  }
  targets_.push_back(std::move(target));
}

const TraceState* TraceStateTestHelper::State() {
  return g_state.load(std::memory_order_acquire);
}

const CriticalSectionLock* TraceStateTestHelper::GlobalLockOrNull() {
  return g_globalLock.load(std::memory_order_acquire);
}

int TraceStateTestHelper::Flags() {
  return g_state.load(std::memory_order_acquire)->flags.load(std::memory_order_relaxed);
}

size_t TraceStateTestHelper::ModuleCount() {
  TraceState* state = g_state.load(std::memory_order_acquire);
  LockGuard list(*state->listLock);
  return state->modules.size();
}

std::string TraceStateTestHelper::ModuleFileName(size_t index) RAZEZIR_UNLOCKED_CALLER {
  TraceState* state = g_state.load(std::memory_order_acquire);
  GlobalLockGuard global;
  LockGuard list(*state->listLock);
  return state->modules.at(index)->fileName;
}

FILE* TraceStateTestHelper::ModuleStream(size_t index) RAZEZIR_UNLOCKED_CALLER {
  TraceState* state = g_state.load(std::memory_order_acquire);
  GlobalLockGuard global;
  LockGuard list(*state->listLock);
  return state->modules.at(index)->out;
}

bool TraceStateTestHelper::BoundName(uint32_t threadId, std::u16string* name) {
  TraceState* state = g_state.load(std::memory_order_acquire);
  LockGuard list(*state->listLock);
  auto binding = state->threadBindings.find(threadId);
  if (binding == state->threadBindings.end()) return false;
  *name = binding->second->name;
  return true;
}

size_t TraceStateTestHelper::DestinationObjects() {
  return g_state.load(std::memory_order_acquire)->destinations.RecordCount();
}

}  // namespace razezir

using razezir::g_globalLock;
using razezir::g_state;
using razezir::GlobalLock;

using razezir::LibraryCall;

// A control call made from a signal handler while its thread was inside the
// library does nothing: the interrupted call may hold the locks or be
// changing what they guard. Only IsTraceStarted answers, from the atomic
// level.

void QXSTD::InitTrace() {
  using razezir::CriticalSectionLock;
  using razezir::TraceState;
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  if (g_globalLock.load(std::memory_order_acquire) != nullptr) return;
  // Text follows the locale the host set in its own C runtime, where that
  // is another than the library's.
  razezir::platform::FindHostRuntime();
  std::unique_ptr<CriticalSectionLock> globalLock;
  std::unique_ptr<TraceState> state;
  // Out of memory leaves the library uninitialised: every later call then
  // does nothing, which is the documented behaviour before InitTrace.
  if (!razezir::UnlessOutOfMemory([&] {
        globalLock = std::make_unique<CriticalSectionLock>();
        state = std::make_unique<TraceState>();
        state->listLock = std::make_unique<CriticalSectionLock>();
      })) {
    return;
  }
  razezir::platform::InstallForkHandlers(razezir::ForkPrepare, razezir::ForkParent,
                                         razezir::ForkChild);
  // The state is published before the lock, so that a call that sees the
  // lock also sees the state.
  g_state.store(state.release(), std::memory_order_release);
  g_globalLock.store(globalLock.release(), std::memory_order_release);
}

void QXSTD::DeinitTrace() RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::platform::NoCancellation noCancellation;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr) return;
  {
    razezir::GlobalLockGuard guard;
    FILE* out = state->out.load(std::memory_order_relaxed);
    razezir::Destination* destination = &razezir::MainDestination(*state);
    {
      razezir::ExclusiveTurn turn(razezir::MainDestination(*state));
      razezir::WriteClosedBanner(razezir::MainDestination(*state));
    }
    const bool durable = razezir::IsDurable(*state);
    if (out != stdout) {
      state->destinations.Close(razezir::LogStream{out, destination}, durable);
    } else if (durable) {
      destination->SyncWritten();
    }
    g_state.store(nullptr, std::memory_order_release);
    // The targets close their streams, without a banner, as they go.
    delete state;
  }
  std::unique_ptr<razezir::CriticalSectionLock> globalLock(
      g_globalLock.exchange(nullptr, std::memory_order_acq_rel));
}

void QXSTD::StartTrace(int level, char* fileName, int flags) RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::platform::NoCancellation noCancellation;
  if (g_globalLock.load(std::memory_order_acquire) == nullptr) return;
  // A host may have loaded its runtime since InitTrace.
  razezir::platform::FindHostRuntime();
  razezir::GlobalLockGuard guard;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  // The old destination is held until the replaced stream is closed.
  razezir::Destination* old = &razezir::MainDestination(*state);
  razezir::DestinationRef holdOld(old);
  // The old file's Closed banner, and the new one's Started banner, are
  // synced when lines were durable before or are from now on.
  const bool durable = razezir::IsDurable(*state) || (flags & TRACE_DURABLE) != 0;
  razezir::LogStream replaced;
  {
    // MainDestination names `old` for the analysis until the switch.
    razezir::ExclusiveTurn turn(razezir::MainDestination(*state));
    if (level >= 1) state->level.store(level, std::memory_order_relaxed);
    razezir::UpdateLevelCeiling(state);
    state->flags.store(flags, GlobalLock(), std::memory_order_relaxed);
    replaced = razezir::HasFileName(fileName)
                   ? razezir::SwitchToFile(state, fileName, razezir::MainDestination(*state))
                   : razezir::SwitchToConsole(state, razezir::MainDestination(*state));
  }
  // No line writes through a stream: each goes through its destination's
  // own handle, so the replaced stream is closed, and the syncs waited for,
  // once the other threads' lines may go on.
  if (replaced.stream != nullptr) {
    state->destinations.Close(replaced, durable);
  } else if (durable) {
    old->SyncWritten();
  }
  if (durable) state->mainDestination.load()->SyncWritten();
}

void QXSTD::StopTrace() RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  if (g_globalLock.load(std::memory_order_acquire) == nullptr) return;
  razezir::GlobalLockGuard guard;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  razezir::ExclusiveTurn turn(razezir::MainDestination(*state));
  state->level.store(0, std::memory_order_relaxed);
  razezir::UpdateLevelCeiling(state);
}

bool QXSTD::IsTraceStarted(int* level) RAZEZIR_UNLOCKED_CALLER {
  if (g_globalLock.load(std::memory_order_acquire) == nullptr) return false;
  int current;
  if (LibraryCall::Nested()) {
    // The interrupted call may be DeinitTrace, past the state's teardown.
    const razezir::TraceState* state = g_state.load(std::memory_order_acquire);
    if (state == nullptr) return false;
    current = state->level.load(std::memory_order_relaxed);
  } else {
    LibraryCall call;
    razezir::GlobalLockGuard guard;
    razezir::TraceState* state = g_state.load(std::memory_order_acquire);
    razezir::ExclusiveTurn turn(razezir::MainDestination(*state));
    current = state->level.load(std::memory_order_relaxed);
  }
  if (level != nullptr) *level = current;
  return current > 0;
}

void QXSTD::GetTraceLogFileName(char* buffer, int* size) RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr || size == nullptr) return;
  razezir::GlobalLockGuard guard;
  razezir::ExclusiveTurn turn(razezir::MainDestination(*state));
  const std::string& name = state->fileName;
  *size = static_cast<int>(name.size() + 1);
  if (buffer != nullptr) std::memcpy(buffer, name.c_str(), name.size() + 1);
}

void QXSTD::SyncTraceFiles() {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  // A sync is a cancellation point, and the files are held meanwhile.
  razezir::platform::NoCancellation noCancellation;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr) return;
  state->destinations.SyncOpenFiles();
}

void QXSTD::ReopenTraceFiles() RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::platform::NoCancellation noCancellation;
  if (g_globalLock.load(std::memory_order_acquire) == nullptr) return;
  razezir::GlobalLockGuard guard;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  razezir::LockGuard list(*state->listLock);
  razezir::ReopenMovedFiles(state);
}

// Creation, configuration, queries and teardown of the trace state, the
// lookup of targets by name, and the fork handlers that keep the locks usable
// in a child process.
//
// InitTrace and DeinitTrace take no lock: the host calls the first before
// other threads use the library and the second after they have left it.
// Every other control call here holds the global lock for its whole work,
// and within it an exclusive turn of the main stream's destination, so that
// it waits for the lines queued before it and no line is written to a
// stream it closes; StartTrace also takes the turn of the destination it
// switches to. The lookup and the test helper take the list lock.

#include "core/trace_state.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "logtext/log_text.h"
#include "razezir/trace.h"

namespace razezir {

std::atomic<TraceState*> g_state{nullptr};
std::atomic<CriticalSectionLock*> g_globalLock{nullptr};

namespace {

// Set for the life of the process until the first StartTrace without a file
// name writes the Started banner to standard output; nothing sets it again.
bool g_consoleBannerPending RAZEZIR_GUARDED_BY(GlobalLock()) = true;

// The locks the fork prepare handler entered, per forking thread, so that
// the parent and child handlers release exactly those.
thread_local CriticalSectionLock* t_forkGlobalLock = nullptr;
thread_local CriticalSectionLock* t_forkListLock = nullptr;
thread_local DestinationTable* t_forkTable = nullptr;
// The forking thread's id in the parent.
thread_local uint32_t t_forkThreadId = 0;
// The fork prepare handler's turn of standard output, taken under the
// global lock, so one at a time.
CommitEntry g_forkStdoutTurn;
thread_local bool t_forkHoldsStdout = false;

// A fork while another thread is inside the library would leave the child
// with a lock that no thread of its own will ever release. Holding the locks
// across fork means no critical section is half done in the child. The
// handler also waits for the lines on their way to standard output and
// holds its destination, so that no thread is inside standard output's
// lock, or the runtime's bookkeeping around it, when the process forks: the
// child may still flush standard output, as exit() does. Log files need no
// such care; the child forgets the queues anyway. The locks are taken here
// and released by the other two handlers, which the analysis cannot follow.
void ForkPrepare() RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  t_forkThreadId = platform::CurrentThreadId();
  t_forkGlobalLock = g_globalLock.load(std::memory_order_acquire);
  if (t_forkGlobalLock != nullptr) t_forkGlobalLock->Enter();
  TraceState* state = g_state.load(std::memory_order_acquire);
  t_forkListLock = state != nullptr ? state->listLock.get() : nullptr;
  if (t_forkListLock != nullptr) t_forkListLock->Enter();
  if (state == nullptr) return;
  // A fork from a signal handler that interrupted this thread inside the
  // library could wait here for a turn the thread holds itself.
  t_forkHoldsStdout = !LibraryCall::Nested();
  if (t_forkHoldsStdout) state->destinations.StandardOutput()->queue.TakeAlone(&g_forkStdoutTurn);
  t_forkTable = &state->destinations;
  t_forkTable->LockForFork();
}

void ForkParent() RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (t_forkTable != nullptr) t_forkTable->UnlockAfterFork();
  if (t_forkHoldsStdout && state != nullptr) {
    state->destinations.StandardOutput()->queue.PassLead(&g_forkStdoutTurn);
  }
  t_forkHoldsStdout = false;
  t_forkTable = nullptr;
  if (t_forkListLock != nullptr) t_forkListLock->Leave();
  if (t_forkGlobalLock != nullptr) t_forkGlobalLock->Leave();
  t_forkListLock = t_forkGlobalLock = nullptr;
}

// The thread that forked goes on in the child under a new id, so its binding
// moves to that id and its lines keep their route. The other bound threads
// do not exist in the child; their bindings go, lest a thread the child
// starts later get one of their ids, and with it a name. The child has one
// thread and its locks were just reset, so nothing needs them here.
void RekeyBindingsInChild(TraceState* state) RAZEZIR_NO_THREAD_SAFETY_ANALYSIS {
  auto kept = state->threadBindings.extract(t_forkThreadId);
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
void ForkChild() {
  if (t_forkListLock != nullptr) t_forkListLock->ResetInForkChild();
  if (t_forkGlobalLock != nullptr) t_forkGlobalLock->ResetInForkChild();
  t_forkListLock = t_forkGlobalLock = nullptr;
  if (t_forkTable != nullptr) t_forkTable->ResetInForkChild();
  t_forkTable = nullptr;
  t_forkHoldsStdout = false;
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (state != nullptr) {
    RekeyBindingsInChild(state);
    state->destinations.ForEach([](Destination* destination) {
      destination->queue.ResetInForkChild();
      destination->sync.ResetInForkChild();
    });
  }
}

// A reference to a destination for the holder's lifetime.
class DestinationRef {
 public:
  DestinationRef(DestinationTable& table, Destination* destination)
      : table_(table), destination_(destination) {
    DestinationTable::Ref(destination_);
  }
  ~DestinationRef() { table_.Unref(destination_); }
  DestinationRef(const DestinationRef&) = delete;
  DestinationRef& operator=(const DestinationRef&) = delete;

 private:
  DestinationTable& table_;
  Destination* destination_;
};

bool HasFileName(const char* fileName) {
  return fileName != nullptr && fileName[0] != '\0';
}

// Makes `now` the main stream and writes its Started banner, in a turn of
// its destination when that is not `old`, whose turn the caller holds.
// REQUIRES: global lock held, and the exclusive turn of `old`.
void BecomeMain(TraceState* state, const LogStream& now, Destination* old, bool banner)
    RAZEZIR_REQUIRES(GlobalLock()) {
  std::optional<ExclusiveTurn> newTurn;
  if (now.destination != old) newTurn.emplace(now.destination->queue);
  state->out.store(now.stream, GlobalLock(), std::memory_order_relaxed);
  state->mainDestination.store(now.destination, GlobalLock());
  if (banner) WriteStartedBanner(now.stream, &now.destination->lineState, IsDurable(*state));
}

// REQUIRES: global lock held, and the exclusive turn of `old`, the main
// stream's destination. The old stream's Closed banner is synced when
// `closeDurably`.
void SwitchToFile(TraceState* state, const char* fileName, Destination* old, bool closeDurably)
    RAZEZIR_REQUIRES(GlobalLock()) {
  GlobalLock().AssertHeld();
  FILE* oldStream = state->out.load(std::memory_order_relaxed);
  LogStream opened{};
  const bool isOpen = state->destinations.Open(fileName, &opened);
  bool named = false;
  if (isOpen) {
    named = UnlessOutOfMemory(
        [&]() RAZEZIR_REQUIRES(GlobalLock()) { state->fileName = fileName; });
    // Without memory for the name the file cannot be recorded as the main
    // log; it is closed and the output falls back as for a failed open.
    if (!named) state->destinations.Close(opened);
  }
  // The replaced stream is closed so that a host switching files often does
  // not run out of descriptors. It gets its Closed banner only when a new
  // file takes over; after a failed open it is closed without one.
  if (oldStream != stdout) {
    if (named) WriteClosedBanner(oldStream, &old->lineState, closeDurably);
    state->destinations.Close(LogStream{oldStream, old});
  }
  const LogStream now =
      named ? opened : LogStream{stdout, state->destinations.StandardOutput()};
  BecomeMain(state, now, old, true);
}

// REQUIRES: global lock held, and the exclusive turn of `old`, the main
// stream's destination.
void SwitchToConsole(TraceState* state, Destination* old, bool closeDurably)
    RAZEZIR_REQUIRES(GlobalLock()) {
  GlobalLock().AssertHeld();
  FILE* oldStream = state->out.load(std::memory_order_relaxed);
  if (oldStream != stdout) {
    WriteClosedBanner(oldStream, &old->lineState, closeDurably);
    state->destinations.Close(LogStream{oldStream, old});
  }
  state->fileName.clear();
  const bool banner = g_consoleBannerPending;
  g_consoleBannerPending = false;
  BecomeMain(state, LogStream{stdout, state->destinations.StandardOutput()}, old, banner);
}

}  // namespace

void TargetCloser::operator()(TraceTarget* target) const {
  // Standard output holds no reference: its destination is never given back.
  if (target->out != stdout) target->table->Close(LogStream{target->out, target->destination});
  delete target;
}

const TraceTarget* FindTarget(const TraceState& state, const TargetList& targets,
                              const char16_t* name) {
  state.listLock->AssertHeld();
  if (name == nullptr) return nullptr;
  return targets.Find(std::u16string_view(name));
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

std::string TraceStateTestHelper::ModuleFileName(size_t index) {
  TraceState* state = g_state.load(std::memory_order_acquire);
  LockGuard list(*state->listLock);
  return state->modules.at(index)->fileName;
}

FILE* TraceStateTestHelper::ModuleStream(size_t index) {
  TraceState* state = g_state.load(std::memory_order_acquire);
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
  return g_state.load(std::memory_order_acquire)->destinations.ObjectCount();
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

void QXSTD::DeinitTrace() {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::platform::NoCancellation noCancellation;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr) return;
  FILE* out = state->out.load(std::memory_order_relaxed);
  razezir::Destination* destination = state->mainDestination.load();
  razezir::WriteClosedBanner(out, &destination->lineState, razezir::IsDurable(*state));
  if (out != stdout) state->destinations.Close(razezir::LogStream{out, destination});
  g_state.store(nullptr, std::memory_order_release);
  std::unique_ptr<razezir::CriticalSectionLock> globalLock(
      g_globalLock.exchange(nullptr, std::memory_order_acq_rel));
  // The targets close their streams, without a banner, as they go.
  std::unique_ptr<razezir::TraceState> owned(state);
}

void QXSTD::StartTrace(int level, char* fileName, int flags) {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::platform::NoCancellation noCancellation;
  if (g_globalLock.load(std::memory_order_acquire) == nullptr) return;
  razezir::LockGuard guard(GlobalLock());
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  // The old destination is held until both turns are passed.
  razezir::Destination* old = state->mainDestination.load();
  razezir::DestinationRef holdOld(state->destinations, old);
  razezir::ExclusiveTurn turn(old->queue);
  if (level >= 1) state->level.store(level, GlobalLock(), std::memory_order_relaxed);
  // Durable lines written before the switch may still wait for their sync,
  // which the old file's Closed banner then covers.
  const bool closeDurably = razezir::IsDurable(*state) || (flags & TRACE_DURABLE) != 0;
  state->flags.store(flags, GlobalLock(), std::memory_order_relaxed);
  if (razezir::HasFileName(fileName)) {
    razezir::SwitchToFile(state, fileName, old, closeDurably);
  } else {
    razezir::SwitchToConsole(state, old, closeDurably);
  }
}

void QXSTD::StopTrace() {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  if (g_globalLock.load(std::memory_order_acquire) == nullptr) return;
  razezir::LockGuard guard(GlobalLock());
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  razezir::ExclusiveTurn turn(state->mainDestination.load()->queue);
  state->level.store(0, GlobalLock(), std::memory_order_relaxed);
}

bool QXSTD::IsTraceStarted(int* level) {
  if (g_globalLock.load(std::memory_order_acquire) == nullptr) return false;
  int current;
  if (LibraryCall::Nested()) {
    // The interrupted call may be DeinitTrace, past the state's teardown.
    const razezir::TraceState* state = g_state.load(std::memory_order_acquire);
    if (state == nullptr) return false;
    current = state->level.load(std::memory_order_relaxed);
  } else {
    LibraryCall call;
    razezir::LockGuard guard(GlobalLock());
    razezir::TraceState* state = g_state.load(std::memory_order_acquire);
    razezir::ExclusiveTurn turn(state->mainDestination.load()->queue);
    current = state->level.load(std::memory_order_relaxed);
  }
  if (level != nullptr) *level = current;
  return current > 0;
}

void QXSTD::GetTraceLogFileName(char* buffer, int* size) {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr || size == nullptr) return;
  razezir::LockGuard guard(GlobalLock());
  razezir::ExclusiveTurn turn(state->mainDestination.load()->queue);
  const std::string& name = state->fileName;
  *size = static_cast<int>(name.size() + 1);
  if (buffer != nullptr) std::memcpy(buffer, name.c_str(), name.size() + 1);
}

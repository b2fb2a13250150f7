// Registration of module targets, thread targets and thread-name bindings:
// the exported StartTraceModule, StartTraceThread, SetTraceThreadName and
// UnregisterTraceThread; and the change of a target's level at run time,
// SetTraceModuleLevel and SetTraceThreadLevel. Routing a message to a target
// is part of emission, the reopening of targets' files part of the control
// calls, and destroying the targets part of the state's teardown.
//
// Registration holds the global lock and then the list lock across the
// search, the opening of the target's file and the insertion, so two threads
// registering the same name create one target, and the main level and file
// name it copies cannot change under it. Emission finds module targets
// without a lock, but waits on the list lock to look a thread's binding up,
// so a slow open stalls the tracing of threads while thread targets exist;
// registrations are rare and usually come before the host's threads start.
// The Started banner of a new target is written after both locks are left,
// in a turn of the target's destination, so that lines already on their way
// to that file stay whole. A target's level and destination are atomics that
// emission reads as they stand; a level change holds both locks. A target's
// stream and file name are read and changed only under the global lock.

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>

#include "core/trace_state.h"
#include "logtext/log_text.h"
#include "razezir/trace.h"

namespace razezir {

namespace {

enum class TargetKind { kModule, kThread };

// Creates the record of a new target named `name`, its file open. Returns
// null when memory runs out; the registration is then skipped.
// REQUIRES: both locks held (the main level and file name are read).
TargetPtr NewTarget(TraceState& state, const char16_t* name, int level, const char* fileName)
    RAZEZIR_REQUIRES(g_analysisGlobalLock, *state.listLock) {
  GlobalLock().AssertHeld();
  TargetPtr target;
  if (!UnlessOutOfMemory([&] {
        GlobalLock().AssertHeld();
        target.reset(new TraceTarget);
        target->name = name;
        target->table = &state.destinations;
        if (fileName != nullptr) target->fileName = fileName;
        if (target->fileName.empty()) target->fileName = state.fileName;
      })) {
    return nullptr;
  }
  // Level 0 takes a copy of the main level: later changes of the main level
  // do not reach the target.
  target->level.store(level != 0 ? level : state.level.load(std::memory_order_relaxed),
                      *state.listLock);
  Destination* destination = state.destinations.StandardOutput();
  LogStream opened{};
  if (!target->fileName.empty()) {
    if (state.destinations.Open(target->fileName.c_str(), &opened)) {
      target->out = opened.stream;
      destination = opened.destination;
    } else {
      target->fileName.clear();
    }
  }
  target->destination.Initialise(destination);
  return target;
}

void RegisterTarget(TargetKind kind, const unsigned short* name, int level,
                    const char* fileName) RAZEZIR_UNLOCKED_CALLER {
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr || name == nullptr) return;
  const bool isModule = kind == TargetKind::kModule;
  // The registration and its Started banner are one step for the other
  // control calls: a reopen or a StartTrace that moved or freed the target's
  // destination in between would leave the banner out of the file the target
  // opened, or put it in whatever file came next at that address.
  GlobalLockGuard global;
  Destination* announced = nullptr;
  {
    LockGuard list(*state->listLock);
    TargetList& targets = isModule ? state->modules : state->threadTargets;
    if (FindTarget(targets, AsUnits(name)) != nullptr) return;
    TargetPtr target = NewTarget(*state, AsUnits(name), level, fileName);
    if (target == nullptr) return;
    const TraceTarget& added = *target;
    // Without memory for its slot or its index entry the target is not
    // added at all, and closes its file as it goes.
    if (!UnlessOutOfMemory([&] {
          state->listLock->AssertHeld();
          targets.Add(target, *state->listLock);
        })) {
      return;
    }
    WrittenUnderLock<int>& maxLevel =
        isModule ? state->maxModuleLevel : state->maxThreadLevel;
    const int addedLevel = added.level.load(std::memory_order_relaxed);
    if (addedLevel > maxLevel.load(std::memory_order_relaxed)) {
      maxLevel.store(addedLevel, *state->listLock, std::memory_order_relaxed);
    }
    (isModule ? state->hasModules : state->hasThreadTargets)
        .store(true, *state->listLock, std::memory_order_release);
    UpdateLevelCeiling(state);
    // A module target that shares the main log file (by the exact same
    // name) adds no banner to it; a thread target always announces itself.
    if (!added.fileName.empty() &&
        (!isModule || added.fileName != state->fileName)) {
      announced = added.destination.load();
    }
  }
  if (announced == nullptr) return;
  LibraryCallTestHelper::Reach(LibraryCallTestHelper::TestPoint::kTargetAnnouncing);
  // Lines may already be on their way to the new target: the banner takes
  // its turn with them.
  {
    ExclusiveTurn turn(*announced);
    WriteStartedBanner(*announced);
  }
  if (IsDurable(*state)) announced->SyncWritten();
}

// Sets the level of the target named `name`; 0 takes the main level of the
// moment. The ceiling that the front ends test first follows, down as well
// as up.
void SetTargetLevel(TargetKind kind, const unsigned short* name, int level)
    RAZEZIR_UNLOCKED_CALLER {
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr || name == nullptr) return;
  GlobalLockGuard global;
  LockGuard list(*state->listLock);
  const bool isModule = kind == TargetKind::kModule;
  const TargetList& targets = isModule ? state->modules : state->threadTargets;
  TraceTarget* target = targets.FindToChange(AsUnits(name), *state->listLock);
  if (target == nullptr) return;
  target->level.store(level != 0 ? level : state->level.load(std::memory_order_relaxed),
                      *state->listLock);
  int highest = INT_MIN;
  for (const TargetPtr& each : targets) {
    highest = std::max(highest, each->level.load(std::memory_order_relaxed));
  }
  (isModule ? state->maxModuleLevel : state->maxThreadLevel).store(highest, *state->listLock);
  UpdateLevelCeiling(state);
}

// The level of the target `name` of `kind`, if there is one. Targets are
// found without a lock, and a level is one atomic word.
bool ReadTargetLevel(TargetKind kind, const unsigned short* name, int* level) {
  const TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr) return false;
  const TraceTarget* target = FindTarget(
      kind == TargetKind::kModule ? state->modules : state->threadTargets, AsUnits(name));
  if (target == nullptr) return false;
  if (level != nullptr) *level = target->level.load(std::memory_order_relaxed);
  return true;
}

}  // namespace
}  // namespace razezir

using razezir::LibraryCall;

// Made from a signal handler while the thread was inside the library, these
// calls do nothing: the interrupted call may hold the locks they need.

void QXSTD::StartTraceModule(const unsigned short* module, int level,
                             char* fileName) RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::platform::NoCancellation noCancellation;
  razezir::RegisterTarget(razezir::TargetKind::kModule, module, level, fileName);
}

void QXSTD::StartTraceThread(const unsigned short* name, int level,
                             char* fileName) RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::platform::NoCancellation noCancellation;
  razezir::RegisterTarget(razezir::TargetKind::kThread, name, level, fileName);
}

void QXSTD::SetTraceThreadName(const unsigned short* name) {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  if (state == nullptr || name == nullptr) return;
  // The binding is made before the lock is taken, to keep the allocation
  // out of the other threads' way; it is thrown away if the thread is bound.
  razezir::UnlessOutOfMemory([&] {
    auto binding = std::make_unique<razezir::ThreadBinding>(razezir::ThreadBinding{
        razezir::AsUnits(name), razezir::platform::CurrentThreadId()});
    const uint32_t threadId = binding->threadId;
    razezir::LockGuard list(*state->listLock);
    state->threadBindings.emplace(threadId, std::move(binding));
  });
  razezir::NoteBindingChanged();
}

void QXSTD::UnregisterTraceThread() {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  if (state == nullptr) return;
  const uint32_t threadId = razezir::platform::CurrentThreadId();
  {
    razezir::LockGuard list(*state->listLock);
    state->threadBindings.erase(threadId);
  }
  razezir::NoteBindingChanged();
}

bool QXSTD::GetTraceModuleLevel(const unsigned short* module, int* level) {
  if (LibraryCall::Nested()) return false;
  LibraryCall call;
  return razezir::ReadTargetLevel(razezir::TargetKind::kModule, module, level);
}

bool QXSTD::GetTraceThreadLevel(const unsigned short* name, int* level) {
  if (LibraryCall::Nested()) return false;
  LibraryCall call;
  return razezir::ReadTargetLevel(razezir::TargetKind::kThread, name, level);
}

void QXSTD::SetTraceModuleLevel(const unsigned short* module, int level) RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::SetTargetLevel(razezir::TargetKind::kModule, module, level);
}

void QXSTD::SetTraceThreadLevel(const unsigned short* name, int level) RAZEZIR_UNLOCKED_CALLER {
  if (LibraryCall::Nested()) return;
  LibraryCall call;
  razezir::SetTargetLevel(razezir::TargetKind::kThread, name, level);
}

// Registration and lookup of module targets, thread targets and thread-name
// bindings.
//
// Registration holds the global lock and then the list lock across the
// search, the opening of the target's file and the insertion, so two threads
// registering the same name create one target, and the main level and file
// name it copies cannot change under it. The Started banner of a new target
// is written after both locks are left: a file being created must not stall
// every other thread's tracing, and the target never changes once visible.

#include "targets/targets.h"

#include <new>
#include <string>

#include "logtext/log_text.h"
#include "razezir/trace.h"

namespace razezir {

namespace {

enum class TargetKind { kModule, kThread };

// Exact, case-sensitive comparison, code unit by code unit.
bool SameName(const std::u16string& name, const char16_t* other) {
  const char16_t* mine = name.c_str();
  while (*mine != 0 && *mine == *other) {
    ++mine;
    ++other;
  }
  return *mine == *other;
}

// REQUIRES: list lock held.
const TraceTarget* FindTarget(const std::vector<TraceTarget*>& targets,
                              const char16_t* name) {
  for (const TraceTarget* target : targets) {
    if (SameName(target->name, name)) return target;
  }
  return nullptr;
}

// Creates the record of a new target named `name`. Returns null when memory
// runs out; the registration is then skipped.
// REQUIRES: global lock held (the main level and file name are read).
TraceTarget* NewTarget(const TraceState& state, const char16_t* name,
                       int level, const char* fileName) {
  auto* target = new (std::nothrow) TraceTarget;
  if (target == nullptr) return nullptr;
  try {
    target->name = name;
    if (fileName != nullptr) target->fileName = fileName;
    if (target->fileName.empty()) target->fileName = state.fileName;
  } catch (...) {
    delete target;
    return nullptr;
  }
  // Level 0 takes a copy of the main level: later changes of the main level
  // do not reach the target.
  target->level = level != 0 ? level : state.level.load(std::memory_order_relaxed);
  target->out = stdout;
  if (!target->fileName.empty()) {
    target->out = OpenLogStream(target->fileName.c_str());
    if (target->out == nullptr) {
      target->out = stdout;
      target->fileName.clear();
    }
  }
  return target;
}

void RegisterTarget(TargetKind kind, const unsigned short* name, int level,
                    const char* fileName) {
  TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr || name == nullptr) return;
  const bool isModule = kind == TargetKind::kModule;
  FILE* bannerStream = nullptr;
  {
    LockGuard global(g_globalLock.load(std::memory_order_acquire));
    LockGuard list(state->listLock);
    std::vector<TraceTarget*>& targets =
        isModule ? state->modules : state->threadTargets;
    if (FindTarget(targets, AsUnits(name)) != nullptr) return;
    TraceTarget* target = NewTarget(*state, AsUnits(name), level, fileName);
    if (target == nullptr) return;
    try {
      targets.push_back(target);
    } catch (...) {
      CloseLogStream(target->out);
      delete target;
      return;
    }
    std::atomic<int>& maxLevel = isModule ? state->maxModuleLevel : state->maxThreadLevel;
    if (target->level > maxLevel.load(std::memory_order_relaxed)) {
      maxLevel.store(target->level, std::memory_order_relaxed);
    }
    (isModule ? state->hasModules : state->hasThreadTargets)
        .store(true, std::memory_order_release);
    // A module target that shares the main log file (by the exact same
    // name) adds no banner to it; a thread target always announces itself.
    if (!target->fileName.empty() &&
        (!isModule || target->fileName != state->fileName)) {
      bannerStream = target->out;
    }
  }
  if (bannerStream != nullptr) WriteStartedBanner(bannerStream);
}

}  // namespace

bool RouteMessage(TraceState* state, const char16_t* module, FILE** stream,
                  int* limit) {
  if (state->hasModules.load(std::memory_order_acquire)) {
    LockGuard list(state->listLock);
    const TraceTarget* target =
        module != nullptr ? FindTarget(state->modules, module) : nullptr;
    if (target == nullptr) return false;
    *stream = target->out;
    *limit = target->level;
  }
  if (state->hasThreadTargets.load(std::memory_order_acquire)) {
    const uint32_t threadId = platform::CurrentThreadId();
    LockGuard list(state->listLock);
    auto binding = state->threadBindings.find(threadId);
    if (binding == state->threadBindings.end()) return false;
    const TraceTarget* target =
        FindTarget(state->threadTargets, binding->second->name.c_str());
    if (target == nullptr) return false;
    *stream = target->out;
    *limit = target->level;
  }
  return true;
}

void DestroyTargetsAndBindings(TraceState* state) {
  for (std::vector<TraceTarget*>* targets :
       {&state->modules, &state->threadTargets}) {
    for (TraceTarget* target : *targets) {
      CloseLogStream(target->out);
      delete target;
    }
    targets->clear();
  }
  for (auto& entry : state->threadBindings) delete entry.second;
  state->threadBindings.clear();
}

}  // namespace razezir

void QXSTD::StartTraceModule(const unsigned short* module, int level,
                             char* fileName) {
  razezir::RegisterTarget(razezir::TargetKind::kModule, module, level, fileName);
}

void QXSTD::StartTraceThread(const unsigned short* name, int level,
                             char* fileName) {
  razezir::RegisterTarget(razezir::TargetKind::kThread, name, level, fileName);
}

void QXSTD::SetTraceThreadName(const unsigned short* name) {
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  if (state == nullptr || name == nullptr) return;
  // The binding is made before the lock is taken, to keep the allocation
  // out of the other threads' way; it is thrown away if the thread is bound.
  auto* binding = new (std::nothrow) razezir::ThreadBinding;
  if (binding == nullptr) return;
  bool inserted = false;
  try {
    binding->name = razezir::AsUnits(name);
    binding->threadId = razezir::platform::CurrentThreadId();
    razezir::LockGuard list(state->listLock);
    inserted = state->threadBindings.emplace(binding->threadId, binding).second;
  } catch (...) {
    inserted = false;
  }
  if (!inserted) delete binding;
}

void QXSTD::UnregisterTraceThread() {
  razezir::TraceState* state = razezir::g_state.load(std::memory_order_acquire);
  if (state == nullptr) return;
  const uint32_t threadId = razezir::platform::CurrentThreadId();
  razezir::LockGuard list(state->listLock);
  auto binding = state->threadBindings.find(threadId);
  if (binding == state->threadBindings.end()) return;
  delete binding->second;
  state->threadBindings.erase(binding);
}

// The one process-wide trace state and the records it owns: the main log's
// level, flags, stream and file name, the module targets, the thread targets
// and the thread-name bindings, and the two locks that guard them.
//
// Lock order: a thread that holds both locks took the global lock first. The
// global lock guards every change of the main level, flags, stream and file
// name, and serialises whole message emissions; the list lock guards the
// target sequences and the binding map. Emission reads a few fields without
// any lock; those fields are atomics.

#ifndef RAZEZIR_SRC_CORE_TRACE_STATE_H_
#define RAZEZIR_SRC_CORE_TRACE_STATE_H_

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/port.h"

namespace razezir {

// Bits of TraceState::flags.
constexpr int kTraceTime = 0x01;
constexpr int kTraceModule = 0x02;
constexpr int kTraceThreadId = 0x04;
constexpr int kTraceMsec = 0x10;
constexpr int kTraceNoLock = 0x20;

// A module target or a thread target. Never changed after registration, so
// emission may use `out` and `level` after leaving the list lock.
struct TraceTarget {
  std::u16string name;   // The module tag or the thread name.
  int level;             // Messages above it are dropped.
  std::string fileName;  // Empty exactly when `out` is standard output.
  FILE* out;             // Standard output, or a stream this target opened.
};

// The name a thread bound itself to.
struct ThreadBinding {
  std::u16string name;
  uint32_t threadId;  // Also the binding's key in TraceState::threadBindings.
};

struct TraceState {
  // The main level; 0 means stopped. Written under the global lock, read
  // without it by Trace and by the early drop test of emission.
  std::atomic<int> level{0};
  // The main stream. Guarded by the global lock; atomic because emission
  // with TRACE_NO_LOCK reads it without the lock.
  std::atomic<FILE*> out{stdout};
  // Guarded by the global lock.
  std::string fileName;
  // Written under the global lock; read without it at the start of emission.
  std::atomic<int> flags{0};
  CriticalSectionLock* listLock = nullptr;  // Owned.
  // Guarded by listLock. Owned records, in registration order.
  std::vector<TraceTarget*> modules;
  // Guarded by listLock. Owned records, in registration order.
  std::vector<TraceTarget*> threadTargets;
  // Guarded by listLock. Owned records keyed by thread id.
  std::map<uint32_t, ThreadBinding*> threadBindings;

  // Whether `modules` and `threadTargets` are non-empty, readable without
  // the list lock. Set under the list lock once the first target is in.
  std::atomic<bool> hasModules{false};
  std::atomic<bool> hasThreadTargets{false};
  // The highest level among the module targets and among the thread
  // targets, so that emission can drop a message that no target would
  // admit without taking a lock. Written under the list lock.
  std::atomic<int> maxModuleLevel{INT_MIN};
  std::atomic<int> maxThreadLevel{INT_MIN};
};

// Non-null between InitTrace and DeinitTrace.
extern std::atomic<TraceState*> g_state;
extern std::atomic<CriticalSectionLock*> g_globalLock;

// The exported calls take 16-bit strings as unsigned short, the internals
// as char16_t: the same units under another name.
inline const char16_t* AsUnits(const unsigned short* s) {
  return reinterpret_cast<const char16_t*>(s);
}

// The highest message level that some route could still admit: a message
// above it is dropped by every path through emission.
inline int LevelCeiling(const TraceState& state) {
  if (state.hasThreadTargets.load(std::memory_order_acquire)) {
    return state.maxThreadLevel.load(std::memory_order_relaxed);
  }
  if (state.hasModules.load(std::memory_order_acquire)) {
    return state.maxModuleLevel.load(std::memory_order_relaxed);
  }
  return state.level.load(std::memory_order_relaxed);
}

}  // namespace razezir

#endif  // RAZEZIR_SRC_CORE_TRACE_STATE_H_

// Creation, configuration, queries and teardown of the trace state, and the
// fork handlers that keep the locks usable in a child process.
//
// InitTrace and DeinitTrace take no lock: the host calls the first before
// other threads use the library and the second after they have left it.
// Every other operation here holds the global lock for its whole work.

#include "core/trace_state.h"

#include <cstring>
#include <new>

#include "logtext/log_text.h"
#include "razezir/trace.h"
#include "targets/targets.h"

namespace razezir {

std::atomic<TraceState*> g_state{nullptr};
std::atomic<CriticalSectionLock*> g_globalLock{nullptr};

namespace {

// Set for the life of the process until the first StartTrace without a file
// name writes the Started banner to standard output; nothing sets it again.
// Guarded by the global lock.
bool g_consoleBannerPending = true;

// The locks the fork prepare handler entered, per forking thread, so that
// the parent and child handlers release exactly those.
thread_local CriticalSectionLock* t_forkGlobalLock = nullptr;
thread_local CriticalSectionLock* t_forkListLock = nullptr;

// A fork while another thread is inside the library would leave the child
// with a lock that no thread of its own will ever release. Holding both
// locks across fork means no critical section is half done in the child.
void ForkPrepare() {
  t_forkGlobalLock = g_globalLock.load(std::memory_order_acquire);
  if (t_forkGlobalLock != nullptr) t_forkGlobalLock->Enter();
  TraceState* state = g_state.load(std::memory_order_acquire);
  t_forkListLock = state != nullptr ? state->listLock : nullptr;
  if (t_forkListLock != nullptr) t_forkListLock->Enter();
}

void ForkParent() {
  if (t_forkListLock != nullptr) t_forkListLock->Leave();
  if (t_forkGlobalLock != nullptr) t_forkGlobalLock->Leave();
  t_forkListLock = t_forkGlobalLock = nullptr;
}

void ForkChild() {
  if (t_forkListLock != nullptr) t_forkListLock->ResetInForkChild();
  if (t_forkGlobalLock != nullptr) t_forkGlobalLock->ResetInForkChild();
  t_forkListLock = t_forkGlobalLock = nullptr;
}

bool HasFileName(const char* fileName) {
  return fileName != nullptr && fileName[0] != '\0';
}

// REQUIRES: global lock held.
void SwitchToFile(TraceState* state, const char* fileName) {
  FILE* old = state->out.load(std::memory_order_relaxed);
  FILE* opened = OpenLogStream(fileName);
  bool named = false;
  if (opened != nullptr) {
    try {
      state->fileName = fileName;
      named = true;
    } catch (...) {
      // Without memory for the name the file cannot be recorded as the main
      // log; it is closed and the output falls back as for a failed open.
      CloseLogStream(opened);
      opened = nullptr;
    }
  }
  // The replaced stream is closed so that a host switching files often does
  // not run out of descriptors. It gets its Closed banner only when a new
  // file takes over; after a failed open it is closed without one.
  if (old != stdout) {
    if (named) WriteClosedBanner(old);
    CloseLogStream(old);
  }
  FILE* now = opened != nullptr ? opened : stdout;
  state->out.store(now, std::memory_order_relaxed);
  WriteStartedBanner(now);
}

// REQUIRES: global lock held.
void SwitchToConsole(TraceState* state) {
  FILE* old = state->out.load(std::memory_order_relaxed);
  if (old != stdout) {
    WriteClosedBanner(old);
    CloseLogStream(old);
  }
  state->out.store(stdout, std::memory_order_relaxed);
  state->fileName.clear();
  if (g_consoleBannerPending) {
    g_consoleBannerPending = false;
    WriteStartedBanner(stdout);
  }
}

}  // namespace
}  // namespace razezir

using razezir::g_globalLock;
using razezir::g_state;

void QXSTD::InitTrace() {
  using razezir::CriticalSectionLock;
  using razezir::TraceState;
  if (g_globalLock.load(std::memory_order_acquire) != nullptr) return;
  // Out of memory leaves the library uninitialised: every later call then
  // does nothing, which is the documented behaviour before InitTrace.
  auto* globalLock = new (std::nothrow) CriticalSectionLock;
  auto* listLock = new (std::nothrow) CriticalSectionLock;
  auto* state = new (std::nothrow) TraceState;
  if (globalLock == nullptr || listLock == nullptr || state == nullptr) {
    delete globalLock;
    delete listLock;
    delete state;
    return;
  }
  state->listLock = listLock;
  razezir::platform::InstallForkHandlers(razezir::ForkPrepare, razezir::ForkParent,
                                         razezir::ForkChild);
  // The state is published before the lock, so that a call that sees the
  // lock also sees the state.
  g_state.store(state, std::memory_order_release);
  g_globalLock.store(globalLock, std::memory_order_release);
}

void QXSTD::DeinitTrace() {
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr) return;
  FILE* out = state->out.load(std::memory_order_relaxed);
  razezir::WriteClosedBanner(out);
  razezir::CloseLogStream(out);
  g_state.store(nullptr, std::memory_order_release);
  razezir::CriticalSectionLock* globalLock =
      g_globalLock.exchange(nullptr, std::memory_order_acq_rel);
  razezir::DestroyTargetsAndBindings(state);
  delete state->listLock;
  delete state;
  delete globalLock;
}

void QXSTD::StartTrace(int level, char* fileName, int flags) {
  razezir::CriticalSectionLock* globalLock =
      g_globalLock.load(std::memory_order_acquire);
  if (globalLock == nullptr) return;
  razezir::LockGuard guard(globalLock);
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (level >= 1) state->level.store(level, std::memory_order_relaxed);
  state->flags.store(flags, std::memory_order_relaxed);
  if (razezir::HasFileName(fileName)) {
    razezir::SwitchToFile(state, fileName);
  } else {
    razezir::SwitchToConsole(state);
  }
}

void QXSTD::StopTrace() {
  razezir::CriticalSectionLock* globalLock =
      g_globalLock.load(std::memory_order_acquire);
  if (globalLock == nullptr) return;
  razezir::LockGuard guard(globalLock);
  g_state.load(std::memory_order_acquire)->level.store(0, std::memory_order_relaxed);
}

bool QXSTD::IsTraceStarted(int* level) {
  razezir::CriticalSectionLock* globalLock =
      g_globalLock.load(std::memory_order_acquire);
  if (globalLock == nullptr) return false;
  razezir::LockGuard guard(globalLock);
  int current = g_state.load(std::memory_order_acquire)->level.load(std::memory_order_relaxed);
  if (level != nullptr) *level = current;
  return current > 0;
}

void QXSTD::GetTraceLogFileName(char* buffer, int* size) {
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr || size == nullptr) return;
  razezir::LockGuard guard(g_globalLock.load(std::memory_order_acquire));
  const std::string& name = state->fileName;
  *size = static_cast<int>(name.size() + 1);
  if (buffer != nullptr) std::memcpy(buffer, name.c_str(), name.size() + 1);
}

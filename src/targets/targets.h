// Module targets, thread targets and thread-name bindings: their
// registration (the exported StartTraceModule, StartTraceThread,
// SetTraceThreadName and UnregisterTraceThread), the lookups that route a
// message, and their teardown.
//
// Registration takes the global lock, then the list lock; lookups take only
// the list lock, and never hold it while anything is written.

#ifndef RAZEZIR_SRC_TARGETS_TARGETS_H_
#define RAZEZIR_SRC_TARGETS_TARGETS_H_

#include <cstdio>

#include "core/trace_state.h"

namespace razezir {

// Routes a message with tag `module` from the calling thread. On entry
// `stream` and `limit` hold the main stream and level; a module target, then
// a thread target, replaces them. Returns false when the message must be
// dropped: module targets exist and none has this tag (a null tag matches
// none), or thread targets exist and the calling thread is unbound or bound
// to a name without a target.
bool RouteMessage(TraceState* state, const char16_t* module, FILE** stream,
                  int* limit);

// Closes the targets' streams (no banner) and destroys every target and
// binding. REQUIRES: no other thread uses the state.
void DestroyTargetsAndBindings(TraceState* state);

}  // namespace razezir

#endif  // RAZEZIR_SRC_TARGETS_TARGETS_H_

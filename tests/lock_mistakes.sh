#!/usr/bin/env bash
# Usage: bash tests/lock_mistakes.sh [SOURCE_DIR]
#
# Proves that clang's thread-safety analysis refuses the lock and turn
# mistakes listed below. Each mistake is a row: a name, the file it changes,
# an exact anchor in that file and its replacement (the anchor must occur
# exactly once, so that a row cannot rot silently when the code moves). The
# script copies src/ and include/ of SOURCE_DIR (the repository by default)
# into a scratch directory, checks that each file the rows touch compiles
# clean as it is, then makes each mistake in a fresh copy and requires the
# compile to fail with a thread-safety diagnostic: any other error (a
# mistake that merely breaks the syntax) does not count.
set -euo pipefail

source_dir=$(cd "${1:-$(dirname "$0")/..}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cxx=${CXX_FOR_LOCK_MISTAKES:-clang++}

names=() files=() anchors=() replacements=()
# mistake NAME FILE ANCHOR REPLACEMENT: FILE is a translation unit under src/.
mistake() {
  names+=("$1") files+=("$2") anchors+=("$3") replacements+=("$4")
}

# --- The control calls (src/core/trace_state.cc) ---------------------------

mistake "StopTrace changes the level without the main destination's turn" \
  src/core/trace_state.cc \
$'  razezir::ExclusiveTurn turn(razezir::MainDestination(*state));
  state->level.store(0, std::memory_order_relaxed);' \
$'  state->level.store(0, std::memory_order_relaxed);'

mistake "a turn is taken before the global lock" \
  src/core/trace_state.cc \
$'  razezir::GlobalLockGuard guard;
  razezir::ExclusiveTurn turn(razezir::MainDestination(*state));' \
$'  razezir::ExclusiveTurn turn(razezir::MainDestination(*state));
  razezir::GlobalLockGuard guard;'

mistake "a reopen moves streams without the new files' turns" \
  src/core/trace_state.cc \
$'  newFiles.Take(places, &oldFiles);\n' ''

mistake "a reopen moves streams without the old files' turns" \
  src/core/trace_state.cc \
$'  oldFiles.Take(places);\n' ''

mistake "a target's stream is moved with only the list lock" \
  src/core/trace_state.cc \
$'void ReopenMovedFiles(TraceState* state)
    RAZEZIR_REQUIRES(g_analysisGlobalLock, *state->listLock) {' \
$'void ReopenMovedFiles(TraceState* state) RAZEZIR_REQUIRES(*state->listLock) {'

mistake "a reopen takes only the list lock" \
  src/core/trace_state.cc \
$'  razezir::GlobalLockGuard guard;
  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  razezir::LockGuard list(*state->listLock);
  razezir::ReopenMovedFiles(state);' \
$'  razezir::TraceState* state = g_state.load(std::memory_order_acquire);
  razezir::LockGuard list(*state->listLock);
  razezir::ReopenMovedFiles(state);'

# --- Targets and bindings (src/targets/targets.cc) --------------------------

mistake "the thread bindings are changed without the list lock" \
  src/targets/targets.cc \
$'    razezir::LockGuard list(*state->listLock);
    state->threadBindings.erase(threadId);' \
$'    state->threadBindings.erase(threadId);'

mistake "a target's level is changed without the global lock" \
  src/targets/targets.cc \
$'    razezir::LockGuard list(*state->listLock);
    state->threadBindings.erase(threadId);' \
$'    razezir::LockGuard list(*state->listLock);
    for (const razezir::TargetPtr& each : state->threadTargets) {
      each->level.store(0, *state->listLock);
    }
    state->threadBindings.erase(threadId);'

# --- Emission (src/core/emit.cc), which holds no global lock ----------------

mistake "the thread bindings are read without the list lock" \
  src/core/emit.cc \
$'  LockGuard list(*state.listLock);
  auto binding = state.threadBindings.find(platform::CurrentThreadId());' \
$'  auto binding = state.threadBindings.find(platform::CurrentThreadId());'

mistake "emission reads a target's file name and stream" \
  src/core/emit.cc \
$'    const TraceTarget* target = FindModuleTarget(state, module);
    if (target == nullptr) return false;' \
$'    const TraceTarget* target = FindModuleTarget(state, module);
    if (target == nullptr || (target->fileName.empty() && target->out != stdout)) return false;'

# --- The write of a line (src/write/destination.cc) ------------------------

mistake "a line written in pieces writes without its turn" \
  src/write/destination.cc \
$'    destination_->ClaimKeptTurn();
    written = destination_->WriteAlone(&piece, 1, !first);' \
$'    written = destination_->WriteAlone(&piece, 1, !first);'

mistake "a line written in pieces never passes its turn" \
  src/write/destination.cc \
$'    destination_->PassTurn(line_);\n' ''

mistake "a sync waits while its thread holds the turn" \
  src/write/destination.cc \
$'    destination_->PassTurn(line_);
  }' \
$'    destination_->SyncIfDurable(*line_, inTurn_);
    destination_->PassTurn(line_);
  }'

mistake "a batch is written without leading the queue" \
  src/write/destination.cc \
$'  if (queue_.Enqueue(line)) {
    LedBatch batch(queue_, line);' \
$'  if (!queue_.Enqueue(line) || true) {
    LedBatch batch(queue_, line);'

mistake "a write for the file alone is made from the gate" \
  src/write/destination.cc \
$'    AppendBeside(&span, 1);\n' \
$'    WriteAlone(&span, 1, false);\n'

mistake "the table's index is read without its lock" \
  src/write/destination.cc \
$'    LockGuard hold(lock_);
    if (file.hasIdentity) {
      auto found = byIdentity_.find(file.identity);' \
$'    if (file.hasIdentity) {
      auto found = byIdentity_.find(file.identity);'

mistake "the gate is closed without leading the queue" \
  src/write/destination.cc \
$'bool Destination::TryAppend(OutgoingLine* line) {
  if (!EnterGate()) return false;' \
$'bool Destination::TryAppend(OutgoingLine* line) {
  CloseForAlone();
  OpenAfterAlone();
  if (!EnterGate()) return false;'

# --- The run -----------------------------------------------------------------

fresh_copy() {
  rm -rf "$scratch/copy"
  mkdir -p "$scratch/copy"
  cp -R "$source_dir/src" "$source_dir/include" "$scratch/copy/"
}

# compile UNIT: syntax and the analysis only, warnings as errors.
compile() {
  "$cxx" -std=c++17 -fsyntax-only -Wthread-safety -Wthread-safety-beta \
    -Wthread-safety-negative -Werror -DRAZEZIR_BUILDING \
    -I"$scratch/copy/src" -I"$scratch/copy/include" "$scratch/copy/$1" \
    > "$scratch/out" 2>&1
}

# Replaces the one occurrence of the anchor; fails if there is not exactly one.
replace_once() {
  python3 - "$@" <<'EOF'
import sys
path, anchor, replacement = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
count = text.count(anchor)
if count != 1:
    sys.exit(f"anchor found {count} times, not once")
open(path, "w", encoding="utf-8").write(text.replace(anchor, replacement))
EOF
}

status=0
fresh_copy
for unit in $(printf '%s\n' "${files[@]}" | sort -u); do
  if ! compile "$unit"; then
    echo "$unit does not compile clean as it is:"
    cat "$scratch/out"
    exit 1
  fi
done

for i in "${!names[@]}"; do
  fresh_copy
  if ! why=$(replace_once "$scratch/copy/${files[$i]}" "${anchors[$i]}" \
                          "${replacements[$i]}" 2>&1); then
    echo "ANCHOR MISSING  ${names[$i]} (${files[$i]}: $why)"
    status=1
  elif compile "${files[$i]}"; then
    echo "NOT refused     ${names[$i]}: it compiles"
    status=1
  elif grep -q -- '-Wthread-safety' "$scratch/out"; then
    echo "refused         ${names[$i]}"
    grep -m 1 -- '-Wthread-safety' "$scratch/out" | sed "s|$scratch/copy/|    |"
  else
    echo "NOT refused     ${names[$i]}: another error"
    grep -m 3 'error' "$scratch/out" | sed 's/^/    /'
    status=1
  fi
done
exit $status

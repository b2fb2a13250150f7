#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine; the arguments are Wine's
# command line. When Wine loses its connection to the Wine server ("wine
# client error"), the failure belongs to the machine, not to the program, and
# the program runs once more. So does a listing of tests (--gtest_list_tests)
# that failed without printing anything at all, which no test program does by
# itself: the second run shows Wine's own error messages, so that the cause
# is on record. Anything else the program does, a crash included, stands as
# it is.
err=$(mktemp)
out=$(mktemp)
trap 'rm -f "$err" "$out"' EXIT
listing=false
for arg in "$@"; do
  [ "$arg" = --gtest_list_tests ] && listing=true
done
command=("$@")
for attempt in 1 2; do
  if $listing; then
    "${command[@]}" > "$out" 2> >(tee "$err" >&2)
    status=$?
    wait $!  # until tee has passed on all of standard error
    cat "$out"
  else
    "${command[@]}" 2> >(tee "$err" >&2)
    status=$?
    wait $!
  fi
  [ $status -eq 0 ] || [ $attempt -eq 2 ] && exit $status
  if grep -q '^wine client error' "$err"; then
    echo "run_under_wine: Wine lost its server; running the program once more" >&2
  elif $listing && [ ! -s "$out" ] && [ ! -s "$err" ]; then
    echo "run_under_wine: the listing failed ($status) and printed nothing;" \
         "running it once more with Wine's error messages" >&2
    command=("${command[@]/#WINEDEBUG=*/WINEDEBUG=err+all}")
  else
    exit $status
  fi
done

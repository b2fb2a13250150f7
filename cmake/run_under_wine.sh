#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine; the arguments are Wine's
# command line. When Wine loses its connection to the Wine server ("wine
# client error"), the failure belongs to the machine, not to the program, and
# the program runs once more. So does a program that failed without printing
# anything at all, which no test program does by itself (it prints before it
# runs a test, and lists its tests when asked): Wine never started it. The
# second run shows Wine's own error messages, so that the cause is on
# record. Anything else the program does, a crash included, stands as it
# is.
err=$(mktemp)
out=$(mktemp)
trap 'rm -f "$err" "$out"' EXIT
command=("$@")
for attempt in 1 2; do
  # Both streams pass through as they come, and are kept to be judged.
  exec {toOut}> >(tee "$out")
  outTee=$!
  exec {toErr}> >(tee "$err" >&2)
  errTee=$!
  "${command[@]}" >&"$toOut" 2>&"$toErr"
  status=$?
  exec {toOut}>&- {toErr}>&-
  wait "$outTee" "$errTee"  # until both have passed on everything
  [ $status -eq 0 ] || [ $attempt -eq 2 ] && exit $status
  if grep -q '^wine client error' "$err"; then
    echo "run_under_wine: Wine lost its server; running the program once more" >&2
  elif [ ! -s "$out" ] && [ ! -s "$err" ]; then
    echo "run_under_wine: the program failed ($status) and printed nothing;" \
         "running it once more with Wine's error messages" >&2
    command=("${command[@]/#WINEDEBUG=*/WINEDEBUG=err+all}")
  else
    exit $status
  fi
done

#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine; the arguments are Wine's
# command line. When Wine loses its connection to the Wine server ("wine
# client error"), the failure belongs to the machine, not to the program, and
# the program runs once more. Anything else the program does, a crash
# included, stands as it is.
err=$(mktemp)
trap 'rm -f "$err"' EXIT
for attempt in 1 2; do
  "$@" 2> >(tee "$err" >&2)
  status=$?
  wait $!  # until tee has passed on all of standard error
  if [ $status -eq 0 ] || [ $attempt -eq 2 ] || ! grep -q '^wine client error' "$err"; then
    exit $status
  fi
  echo "run_under_wine: Wine lost its server; running the program once more" >&2
done

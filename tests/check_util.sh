# Helpers for the test scripts that drive a host together with outside
# programs (logrotate, rsyslogd): a fresh work directory, failures counted
# rather than fatal, and waits for a condition that give up after a while.
# Sourced by the scripts, after `set -euo pipefail`.

failures=0

# start_work DIR: empties DIR and works there; $work is its full path.
start_work() {
  rm -rf "$1"
  mkdir -p "$1"
  cd "$1"
  work=$PWD
}

fail() {
  printf 'FAIL %s\n' "$*"
  failures=$((failures + 1))
}

# wait_for WHAT COMMAND...: waits up to 20 seconds for COMMAND to succeed.
wait_for() {
  local what=$1 deadline=$((SECONDS + 20))
  shift
  while ((SECONDS < deadline)); do
    "$@" && return 0
    sleep 0.01
  done
  fail "timed out waiting for $what"
  return 1
}

# finish WHAT: ends the script, failing it if a check failed.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures $1 check(s) failed; files in $work"
    exit 1
  fi
}

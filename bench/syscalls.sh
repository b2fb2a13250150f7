#!/usr/bin/env bash
# Counts the system calls of emission with strace: the probe runs once with
# 10,000 and once with 20,000 messages, and the difference must be exactly
# 10,000 writes and nothing else (no gettid, no stat, no second write, no
# seek per message). The one exception is not per message: with TZ unset
# the C library checks the time zone file once for each new second that a
# line's time stamp enters, so each run may stat up to once for each second
# of the clock it spanned. Usage: syscalls.sh BUILD_DIR
set -euo pipefail
probe="$1/bench/syscall_probe"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! strace -o /dev/null true 2>/dev/null; then
  echo "strace cannot trace here; system call count not checked"
  exit 0
fi
count() {  # prints "syscall calls" lines for a run with $1 messages
  local start end
  start=$(date +%s)
  strace -f -c -o "$work/c$1" "$probe" "$work/log$1" "$1"
  end=$(date +%s)
  echo $((end - start + 1)) > "$work/seconds$1"
  awk '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {print $NF, $4}' \
    "$work/c$1" | sort
}
count 10000 > "$work/a"
count 20000 > "$work/b"
join -a1 -a2 -e 0 -o 0,1.2,2.2 "$work/a" "$work/b" |
  awk '{d = $3 - $2; if (d != 0) print $1, d}' > "$work/diff"
echo "system calls added by 10,000 more messages:"
cat "$work/diff"
# Time zone checks within the seconds the runs spanned are left out.
awk -v fewer="$(cat "$work/seconds10000")" -v more="$(cat "$work/seconds20000")" \
  '!($1 == "newfstatat" && $2 >= -fewer && $2 <= more)' "$work/diff" > "$work/checked"
if [ "$(cat "$work/checked")" != "write 10000" ]; then
  echo "FAIL: expected exactly 10000 more writes and nothing else"
  exit 1
fi
echo "OK: one write per message"

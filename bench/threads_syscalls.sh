#!/usr/bin/env bash
# Reports the system calls of emission under contention with strace: the
# probe runs 8 threads (or THREADS) at once, once with no messages and once
# with 10,000 messages per thread, and the difference, divided by the
# messages, gives the system calls per message of each kind: startup,
# thread creation and teardown cancel out. (Two runs with messages would
# not do: how often threads meet on the stream varies more between runs
# than the added messages change it.) It reports and checks nothing: strace
# slows every system call, so the contention it sees is heavier than
# without it. Usage: threads_syscalls.sh BUILD_DIR [THREADS]
set -euo pipefail
probe="$1/bench/syscall_probe"
threads="${2:-8}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! strace -o /dev/null true 2>/dev/null; then
  echo "strace cannot trace here; system calls not counted"
  exit 0
fi
count() {  # prints "syscall calls" lines for a run with $1 messages a thread
  strace -f -c -o "$work/c$1" "$probe" "$work/log$1" "$1" "$threads"
  awk '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {print $NF, $4}' \
    "$work/c$1" | sort
}
count 0 > "$work/a"
count 10000 > "$work/b"
added=$((10000 * threads))
echo "system calls per message, $threads threads tracing to one file at once:"
join -a1 -a2 -e 0 -o 0,1.2,2.2 "$work/a" "$work/b" |
  awk -v added="$added" '{ d = $3 - $2; total += d
         # Calls that do not grow with the messages (thread stacks, ...)
         # differ by a few between runs; they are left out.
         if (d * 1000 >= added || -d * 1000 >= added) printf "  %-12s %.3f\n", $1, d / added }
       END { printf "  %-12s %.3f\n", "all", total / added }'

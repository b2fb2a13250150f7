#!/usr/bin/env bash
# User-space instructions per line, counted by callgrind: line_cost writes
# 4,000 and then 8,000 lines of a kind, and the difference of the two totals
# over 4,000 is the cost of one line, whatever the start and the end cost.
# Each count is the lowest of three runs: a run that spans more seconds of
# the clock formats the time text, and reads the time zone, more often.
# Usage: line_cost.sh BUILD_DIR [KIND=LIMIT ...]
# prints "KIND instructions" for each kind, and with a limit fails when a
# kind costs more. A KIND is int, real, target or fields, counted with the
# host built as C++17, or cxx20/int, cxx20/real, cxx20/target or
# cxx20/fields, with the host built as C++20 (skipped where the build has
# none). A LIMIT is a count of instructions, or a share of the int line of
# the same standard counted earlier in the same run, such as 115%.
set -euo pipefail
build="$1"
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! command -v valgrind >/dev/null; then
  echo "valgrind not found; instructions per line not counted"
  exit 0
fi
total() {  # total instructions of one run: kind, lines
  local host="$build/bench/line_cost"
  case "$1" in cxx20/*) host="$build/bench/line_cost_cxx20" ;; esac
  set -- "${1#cxx20/}" "$2"
  rm -f "$work/log"
  if ! valgrind --tool=callgrind --callgrind-out-file="$work/out" \
      "$host" "$work/log" "$1" "$2" >"$work/valgrind.txt" 2>&1; then
    cat "$work/valgrind.txt" >&2
    echo "line_cost $1 $2 failed under callgrind" >&2
    exit 1
  fi
  awk '/^summary:/ {print $2}' "$work/out"
}
lowest() {  # lowest total of three runs
  local best="" n
  for _ in 1 2 3; do
    n=$(total "$1" "$2")
    if [ -z "$best" ] || [ "$n" -lt "$best" ]; then best=$n; fi
  done
  echo "$best"
}
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(int real target fields cxx20/int cxx20/real cxx20/target cxx20/fields)
status=0
declare -A counted
for entry in "${kinds[@]}"; do
  kind=${entry%%=*}
  limit=""
  [ "$entry" = "$kind" ] || limit=${entry#*=}
  if [[ $kind == cxx20/* ]] && [ ! -x "$build/bench/line_cost_cxx20" ]; then
    echo "$kind: no C++20 host in this build; not counted"
    continue
  fi
  if [[ $limit == *% ]]; then
    # A share of the int line of the same standard, counted before.
    base=int
    [[ $kind == cxx20/* ]] && base=cxx20/int
    if [ -z "${counted[$base]:-}" ]; then
      echo "$kind: a limit of $limit needs $base counted first" >&2
      exit 2
    fi
    limit=$(( counted[$base] * ${limit%\%} / 100 ))
  fi
  small=$(lowest "$kind" 4000) || exit 1
  big=$(lowest "$kind" 8000) || exit 1
  per=$(( (big - small) / 4000 ))
  counted[$kind]=$per
  if [ -n "$limit" ] && [ "$per" -gt "$limit" ]; then
    echo "$kind $per instructions per line: FAIL, more than $limit"
    status=1
  else
    echo "$kind $per instructions per line${limit:+ (limit $limit)}"
  fi
done
exit $status

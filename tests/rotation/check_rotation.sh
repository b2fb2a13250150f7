#!/usr/bin/env bash
# Rotates the logs of a live host with logrotate, as the operations page
# says to, and checks what it promises.
#
# create: logrotate renames the main log and the targets' files, compresses
# the older ones, and its postrotate sends SIGHUP, on which the host calls
# ReopenTraceFiles. The host has a module target without a file of its own,
# one with a file of its own, a thread target with a file of its own and one
# without, and four threads. Every message is in exactly one file, whole,
# each writer's in order; every file begins with a Started banner; each of
# the main log's files ends with a Closed banner, so nothing reached an old
# file after the host left it.
#
# copytruncate: logrotate copies a target file and truncates it while the
# host writes on. No file holds a zero byte (the host appends, so the file
# grows again from its start); a message is in at most one file, in order,
# and whole, but for the last one of a copy, which the copy may cut; the
# messages written between the copy and the truncation are lost, and the
# script reports how many.
#
# usage: check_rotation.sh HOST WORK_DIR [LOGROTATE]
set -euo pipefail
# logrotate skips a directory that others may write to.
umask 022
host=$(realpath "$1") logrotate=${3:-logrotate}
rounds=4
source "$(dirname "$0")/../check_util.sh"
start_work "$2"

host_pid=
stop_host() { if [ -n "$host_pid" ]; then kill -TERM "$host_pid" 2>/dev/null || true; fi; }
trap stop_host EXIT

has_messages() { local f; for f; do grep -q " message " "$f" 2>/dev/null || return 1; done; }

# Reads the files given, oldest first, and prints one line per event:
#   msg TAG N FILE       message N of TAG, whole, in the FILE-th file
#   short TAG N FILE     message N cut short by the end of the file
#   bad FILE LINE        a line that is not one the host writes
#   file FILE FIRST LAST LINES   what opens and ends a file (started,
#                        closed, message), and its number of lines
scan() {
  awk '
    function finish() {
      if (tag != "") print (got == want ? "msg" : "short"), tag, n, file
      tag = ""
    }
    function seen(kind) { if (first == "") first = kind; last = kind }
    function close_file() {
      finish()
      if (file) print "file", file, first, last, lines
      first = last = ""
    }
    FNR == 1 { close_file(); file++ }
    { lines = FNR }
    /^=+$/ { finish(); next }
    /^=+ Trace Log File\. Started - .* =+$/ { finish(); seen("started"); next }
    /^=+ Trace Log File\. Closed - .* =+$/ { finish(); seen("closed"); next }
    /^[A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9][0-9] [0-9][0-9][0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]  [0-9A-F]+ +[a-z]+: [a-z]+[0-9]* message [1-9][0-9]*$/ {
      finish(); seen("message"); tag = $8; n = $10; got = 1; want = n % 4 == 0 ? 3 : 1; next
    }
    /^  line [23] of [a-z]+[0-9]* message [1-9][0-9]*$/ && $4 == tag && $6 == n && $2 == got + 1 {
      got++; next
    }
    { finish(); print "bad", file, FNR }
    END { close_file() }
  ' "$@"
}

# Prints the files given as arguments for eval, each read through zcat,
# which passes a file that is not compressed as it is.
plain() { printf '<(zcat -f %s) ' "$@"; }

# The files of a rotated log, oldest first; logrotate has compressed all
# but the newest rotated one.
rotated() {
  local i
  for ((i = rounds; i >= 2; i--)); do echo "$1.$i.gz"; done
  echo "$1.1"
  echo "$1"
}

# rotate_live DIR DIRECTIVES LOGS WAIT_LOGS HOST_ARGUMENT...: runs the host
# in DIR/ and rotates the files LOGS (names in DIR/) with logrotate and
# DIRECTIVES (PID stands for the host's) ROUNDS times, each time once every
# file of WAIT_LOGS holds messages, so that every rotation catches the
# writers on their way. Then, once the last live files hold messages too,
# stops the host; the host's counts are in DIR/counts.
rotate_live() {
  local dir=$1 directives=$2 logs=() waits=() round name
  for name in $3; do logs+=("$work/$dir/$name"); done
  for name in $4; do waits+=("$dir/$name"); done
  shift 4
  mkdir "$dir"
  "$host" "$@" > "$dir/counts" &
  host_pid=$!
  printf '%s {\n  rotate %d\n%s\n}\n' "${logs[*]}" "$rounds" "${directives//PID/$host_pid}" \
    > "$dir.conf"
  for ((round = 0; round <= rounds; round++)); do
    wait_for "messages in ${waits[*]}" has_messages "${waits[@]}"
    if ((round < rounds)); then "$logrotate" -s state -f "$dir.conf"; fi
  done
  stop_host
  wait "$host_pid"
  host_pid=
}

# ---- create, and the host opening its files again on SIGHUP ---------------
rotate_live create "  create
  compress
  delaycompress
  sharedscripts
  postrotate
    kill -HUP PID
  endscript" "app.log net.log io.log" "app.log io.log" create create

: > create/events
for log in app net io; do
  mapfile -t files < <(rotated "create/$log.log")
  for f in "${files[@]}"; do
    [ -z "$(zcat -f "$f" | tail -c 1)" ] || fail "create: $f ends inside a line"
  done
  eval "scan $(plain "${files[@]}")" | sed "s/^/$log /" >> create/events
done
[ -z "$(grep ' bad \| short ' create/events)" ] ||
  fail "create: lines not whole: $(grep ' bad \| short ' create/events | head -5)"
# Every file opens with a Started banner; the main log's files run to a
# Closed banner, the targets' files have none.
files_total=$(grep -c '^[a-z]* file ' create/events || true)
[ "$files_total" -eq $((3 * (rounds + 1))) ] || fail "create: $files_total files, not $((3 * (rounds + 1)))"
[ -z "$(awk '$2 == "file" && $4 != "started"' create/events)" ] ||
  fail "create: files that do not begin with a Started banner: $(awk '$2 == "file" && $4 != "started"' create/events)"
[ -z "$(awk '$2 == "file" && $1 == "app" && $5 != "closed"' create/events)" ] ||
  fail "create: main log files that do not end with a Closed banner: $(awk '$2 == "file" && $1 == "app" && $5 != "closed"' create/events)"
# Each writer's messages 1 to its count, each once, in the order written.
while read -r writer count; do
  diff <(seq 1 "$count") <(awk -v w="$writer" '$2 == "msg" && $3 == w { print $4 }' create/events) \
    > /dev/null || fail "create: the $writer messages 1 to $count are not each in exactly one file, in order"
done < create/counts
echo "create: $(grep -c ' msg ' create/events) messages of $(wc -l < create/counts) writers in" \
     "$files_total files"

# ---- copytruncate, on a target file ---------------------------------------
rotate_live copytruncate "  copytruncate" net.log net.log copytruncate copytruncate/main.log \
  copytruncate/net.log
mapfile -t files < <(for ((i = rounds; i >= 1; i--)); do echo "copytruncate/net.log.$i"; done
                     echo copytruncate/net.log)
scan "${files[@]}" > copytruncate/events

for f in "${files[@]}"; do
  [ "$(tr -d '\000' < "$f" | wc -c)" -eq "$(wc -c < "$f")" ] || fail "copytruncate: $f holds zero bytes"
done
# A cut line or message may only end a copy.
while read -r kind a b c; do
  if [ "$kind" = bad ]; then file=$a line=$b; else file=$c line=; fi
  lines=$(awk -v f="$file" '$1 == "file" && $2 == f { print $5 }' copytruncate/events)
  if [ "$file" -gt "$rounds" ] || { [ -n "$line" ] && [ "$line" != "$lines" ]; }; then
    fail "copytruncate: file $file holds a cut line or message: $kind $a $b $c"
  fi
done < <(grep '^bad\|^short' copytruncate/events || true)
# Each file starts with a message written after the last one of the file
# before, and holds the messages between its first and last, of which only
# the last may be cut.
read -r _ count < copytruncate/counts
lost=$(awk -v count="$count" '
  BEGIN { file = 1 }
  $1 == "msg" || $1 == "short" {
    if ($3 <= last) { print "out of order: " $0 > "/dev/stderr"; bad = 1 }
    if ($3 != last + 1 && $4 == file) { print "missing before: " $0 > "/dev/stderr"; bad = 1 }
    if (cut && $4 == file) { print "after a cut message: " $0 > "/dev/stderr"; bad = 1 }
    cut = $1 == "short"
    lost += $3 - last - 1; last = $3; file = $4
  }
  END { if (last != count) { print "last is " last " of " count > "/dev/stderr"; bad = 1 }
        print lost; exit bad }' copytruncate/events) ||
  fail "copytruncate: messages out of order, or missing or cut inside a file"
echo "copytruncate: $count messages, $lost lost between a copy and its truncation," \
     "$(grep -c '^bad\|^short' copytruncate/events || true) cut at the end of a copy"

finish rotation

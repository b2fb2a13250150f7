#!/usr/bin/env bash
# Rotates the logs of a live host with logrotate, as the operations page
# says to, and checks what it promises.
#
# create: logrotate renames the main log and its postrotate sends SIGHUP, on
# which the host starts the main log again under the same name. Every
# message is in exactly one file, whole; each file opens with a Started
# banner and ends with a Closed banner, so nothing reached an old file after
# the host left it.
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

has_messages() { grep -q " message " "$1" 2>/dev/null; }

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
    /^[A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9][0-9] [0-9][0-9][0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]  [0-9A-F]+ +[a-z]+: [a-z]+ message [1-9][0-9]*$/ && $7 == $8 ":" {
      finish(); seen("message"); tag = $8; n = $10; got = 1; want = n % 4 == 0 ? 3 : 1; next
    }
    /^  line [23] of [a-z]+ message [1-9][0-9]*$/ && $4 == tag && $6 == n && $2 == got + 1 {
      got++; next
    }
    { finish(); print "bad", file, FNR }
    END { close_file() }
  ' "$@"
}

# The files of a rotated log, oldest first.
rotated() { local i; for ((i = rounds; i >= 1; i--)); do echo "$1.$i"; done; echo "$1"; }

# rotate_live DIR LOG DIRECTIVES HOST_ARGUMENT...: runs the host in DIR/ and
# rotates DIR/LOG with logrotate and DIRECTIVES (PID stands for the host's)
# ROUNDS times, each time once the live file holds messages, so that every
# rotation catches the writers on their way. Then, once the last live file
# holds messages too, stops the host and scans the files into DIR/events,
# which $files names; the host's counts are in DIR/counts.
rotate_live() {
  local dir=$1 log=$1/$2 directives=$3 round
  shift 3
  mkdir "$dir"
  "$host" "$@" > "$dir/counts" &
  host_pid=$!
  printf '%s {\n  rotate %d\n%s\n}\n' "$work/$log" "$rounds" "${directives//PID/$host_pid}" \
    > "$dir.conf"
  for ((round = 0; round <= rounds; round++)); do
    wait_for "messages in $log" has_messages "$log"
    if ((round < rounds)); then "$logrotate" -s state -f "$dir.conf"; fi
  done
  stop_host
  wait "$host_pid"
  host_pid=
  mapfile -t files < <(rotated "$log")
  scan "${files[@]}" > "$dir/events"
}

# ---- create, and the host starting the main log again on SIGHUP ----------
rotate_live create main.log "  create
  postrotate
    kill -HUP PID
  endscript" create/main.log

for f in "${files[@]}"; do
  [ -z "$(tail -c 1 "$f")" ] || fail "create: $f ends inside a line"
done
[ -z "$(grep '^bad\|^short' create/events)" ] ||
  fail "create: lines not whole: $(grep '^bad\|^short' create/events | head -5)"
opened_closed=$(grep -c '^file [0-9]* started closed ' create/events || true)
[ "$opened_closed" -eq $((rounds + 1)) ] ||
  fail "create: not every file runs from a Started to a Closed banner: $(grep '^file' create/events)"
while read -r tag count; do
  diff <(seq 1 "$count") <(awk -v t="$tag" '$1 == "msg" && $2 == t { print $3 }' create/events |
                           sort -n) > /dev/null ||
    fail "create: the $tag messages 1 to $count are not each in exactly one file"
done < create/counts
echo "create: $(grep -c '^msg' create/events) messages in $((rounds + 1)) files"

# ---- copytruncate, on a target file ---------------------------------------
rotate_live copytruncate net.log "  copytruncate" copytruncate/main.log copytruncate/net.log

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

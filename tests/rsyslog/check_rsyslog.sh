#!/usr/bin/env bash
# Forwards a host's logs through two rsyslogd on this machine, set up with
# the shipped sender and central configurations, and checks what arrives.
# The daemons run on the loopback interface with configurations, pid files
# and work directories of their own under WORK_DIR, and are stopped by their
# pids however the script ends; the system's rsyslog is not touched.
#
# The host writes N messages, some of three lines, switching its main log
# from part1.log to part2.log half way, and stays running so that the last
# message is sent only because its file went quiet. Each message must
# arrive as one record, whole with its line ends, into the file named after
# its source on the central side. Four runs: without a break, every
# message arrives exactly once and the central files equal the host's byte
# for byte, as does a file of messages with the time prefix in each of its
# forms; with the central rsyslogd stopped and started again mid-run,
# every message arrives at least once, and the duplicates RELP's resending
# made are counted; with logrotate rotating the host's app.log four times
# while the host writes 2000 messages, some into the renamed file before it
# reopens, every message arrives exactly once and the central app.log is the
# host's files in order, less the last line of each rotated file; and the
# same for 40,000 messages written at 12,000 a second, through two
# rotations and a second in which the central rsyslogd stands still, with
# each message's number checked to arrive once and in order. The last run
# prints the rate the host kept and what arrived.
#
# usage: check_rsyslog.sh HOST SENDER_CONF CENTRAL_CONF WORK_DIR [RSYSLOGD [LOGROTATE]]
set -euo pipefail
host=$(realpath "$1") sender_conf=$(realpath "$2") central_conf=$(realpath "$3")
rsyslogd=${5:-rsyslogd} logrotate=${6:-logrotate}
n=80
source "$(dirname "$0")/../check_util.sh"
start_work "$4"

central_pid= sender_pid= host_pid=
# Stops the daemon whose pid is in the variable named NAME, and clears it.
stop() {
  local name=$1 pid=${!1} i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 1000; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  printf -v "$name" ''
}
stop_all() { stop host_pid; stop sender_pid; stop central_pid; }
trap stop_all EXIT

# Whether process PID listens on 127.0.0.1:PORT.
listening() {
  local pid=$1 inode
  for inode in $(awk -v port="$(printf ':%04X' "$2")" \
                   '$2 == "0100007F" port && $4 == "0A" { print $10 }' /proc/net/tcp); do
    ls -l "/proc/$pid/fd" 2>/dev/null | grep -q "socket:\[$inode\]" && return 0
  done
  return 1
}
# A port that nothing on this machine uses now, below the range the system
# hands out to outgoing connections.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12000))
    ! awk -v port="$(printf ':%04X' "$port")" '$2 ~ port "$" { found = 1 } END { exit !found }' \
        /proc/net/tcp /proc/net/tcp6 && break
  done
  echo "$port"
}

# rsyslogd_for NAME CONFIG: runs rsyslogd in the background, its work
# directory, pid file and own messages (stderr) in NAME/. Its main queue is
# set up as a busy machine's rsyslog.conf may set it up, with several
# workers that start as soon as a few records wait: the shipped
# configurations must keep the order whatever the main queue does.
rsyslogd_for() {
  local name=$1 config=$2
  mkdir -p "$name"
  { printf 'global(workDirectory="%s")\n' "$work/$name"
    echo 'main_queue(queue.workerThreads="4" queue.workerThreadMinimumMessages="100")'
    cat "$config"
  } > "$name.conf"
  "$rsyslogd" -n -f "$work/$name.conf" -i "$work/$name/rsyslogd.pid" >> "$name/stderr" 2>&1 &
}

start_central() {
  rsyslogd_for central central-test.conf
  central_pid=$!
  wait_for "the central rsyslogd to listen on port $port" listening "$central_pid" "$port"
}

# The messages of the records file, one line each, line ends as \n.
received() { sed -n "s/^[^ ]* .* app: //p" central/records 2>/dev/null | sort | uniq -c; }
# (Counting the records first spares the sort while they are too few.)
arrived() {
  local records
  records=$(grep -c ' app: message ' central/records 2>/dev/null) || true
  [ "${records:-0}" -ge "$1" ] && [ "$(received | wc -l)" -ge "$1" ]
}
all_arrived() { arrived "$n"; }
expected() {
  local i
  for ((i = 1; i <= n; i++)); do
    if ((i % 3 == 0)); then
      echo "message $i\\n  line 2 of message $i\\n  line 3 of message $i"
    else
      echo "message $i"
    fi
  done | sort
}

# write FILE FIRST LAST: the host writes messages FIRST to LAST into FILE.
write() {
  local reply
  echo "$work/logs/$1 $2 $3" >&"${HOST[1]}"
  read -r -t 20 reply <&"${HOST[0]}" && [ "${reply%% *}" = ok ] ||
    { fail "the host did not write $1 $2 $3"; return 1; }
}

# Messages with the time prefix in each form the sender's startmsg.regex
# knows, with and without milliseconds, one a line, their lines parted by
# "|". Only the first line of each starts a record: the lines below it
# look like a prefix, but are not one.
prefix_forms=(
  "2026-12-10T04:12:25.123+01:00  00001A2B    iso: message 1"
  "2026-12-10T04:12:25+01:00  00001A2B    iso: message 2|  line 2 of message 2"
  "2026-12-10T04:12:25.123Z  00001A2B    iso: message 3|2026-12-10 04:12:25.123+01:00 no T|2026-12-10T04:12:25.123 no offset|2026-12-10T04:12:25+0100 no colon in the offset|2026-12-10T04:12:25Z|2026-12-10T04:12:25.123Z"
  "2026-12-10T04:12:25-05:00  00001A2B    iso: message 4"
  "Mon Dec 07 2026 01:52:11  00001A2B    iso: message 5|Mon Dec 07 2026 01:52 no seconds|Mon Dec 07 2026 01:52:11|========== not only '='"
  "Mon Dec 07 2026 01:52:11.123  00001A2B    iso: message 6|2026-12-10T04:12:25.123+01:00"
  "Mon Dec 07 2026 01:52:11.123 message 7, without thread or tag|  line 2 of message 7"
)
# The records they must make, as the records file holds them.
prefix_records() {
  local m
  for m in "${prefix_forms[@]}"; do echo "${m//|/\\n}"; done
}

# Whether the central copy of FILE ends with the same two lines as the
# host's: its Closed banner's line with the time and the line of '=' below
# it (a line of '=' alone is also the end of every banner).
ends_alike() {
  [ "$(tail -n 2 "logs/$1")" = "$(tail -n 2 central/logs/*/"$1" 2>/dev/null)" ]
}

# rotate: logrotate renames the host's logs and compresses older ones, as
# docs/operations.md sets it up for forwarded logs (nocreate: the host makes
# the new file when it reopens). reopen: the host reopens its files.
rotate() {
  "$logrotate" -f -s logrotate.state logrotate.conf || fail "logrotate failed"
}
reopen() {
  local reply
  echo reopen >&"${HOST[1]}"
  read -r -t 20 reply <&"${HOST[0]}" && [ "$reply" = ok ] || fail "the host did not reopen"
}

# What the central app.log must hold after the rotate run: the host's files
# oldest first, each rotated one without its last line (the closing line of
# its Closed banner, which imfile holds back until another line begins a
# record, and drops when it turns to the new file).
forwarded_app_log() {
  local f
  for f in $(ls logs/app.log.*[0-9]* | sort -t. -k3,3nr); do
    zcat -f "$f" | head -n -1
  done
  cat logs/app.log
}

# The number of the last message in the host's FILE so far (app.log
# unless named), nothing while there is no such file.
last_written() {
  { tail -c 512 "logs/${1:-app.log}" 2>/dev/null || true; } |
    sed -n 's/.* app: message \([0-9]*\)$/\1/p' | tail -n 1
}
written() { [ "$(last_written)" -ge "$1" ] 2>/dev/null; }
# Whether the sender rsyslogd has read the host's FILE to its end, or no
# longer has it open: what the file offsets of its descriptors say.
read_through() {
  local file=$work/logs/$1 fd pos
  for fd in /proc/"$sender_pid"/fd/*; do
    [ "$(readlink "$fd")" = "$file" ] || continue
    pos=$(sed -n 's/^pos:[[:space:]]*//p' /proc/"$sender_pid"/fdinfo/"${fd##*/}")
    [ "${pos:-0}" -ge "$(stat -c %s "$file")" ] || return 1
  done
}
# rotate_hup: a rotation as docs/operations.md sets it up, its postrotate
# sending the host SIGHUP.
rotate_hup() {
  "$logrotate" -f -s logrotate.state logrotate-hup.conf || fail "logrotate failed"
}

# run NAME MODE: one run of the host; MODE restart stops the central
# rsyslogd and starts it again mid-run, rotate rotates the logs four times
# between the host's writes, fast rotates them twice while the host writes
# at $rate messages a second.
run() {
  local name=$1 mode=$2
  rm -rf central sender logs
  mkdir logs
  if [ "$mode" = steady ]; then
    local m
    for m in "${prefix_forms[@]}"; do echo "${m//|/$'\n'}"; done > logs/prefixes.log
  fi
  start_central
  rsyslogd_for sender sender-test.conf
  sender_pid=$!
  coproc HOST { exec "$host"; }
  host_pid=$HOST_PID
  case $mode in
  rotate)
    # Four rotations; after each, messages go into the renamed file until
    # the host reopens. As with rotations hours apart, imfile has read the
    # file before the next one renames it again and compresses it.
    local b=$((n / 10)) i
    for ((i = 0; i < 4; i++)); do
      write app.log $((2 * i * b + 1)) $(((2 * i + 1) * b))
      wait_for "$((2 * i * b)) messages at the central rsyslogd" arrived $((2 * i * b))
      rotate
      write app.log $(((2 * i + 1) * b + 1)) $(((2 * i + 2) * b))
      reopen
    done
    write app.log $((8 * b + 1)) "$n"
    ;;
  fast)
    # The host writes all n messages at the rate asked for. logrotate
    # rotates its app.log a quarter of the way, the host reopening on
    # SIGHUP; half way the central rsyslogd stands still for a second
    # (SIGSTOP), as a busy or distant one may, so that a backlog builds up
    # in the sender's queues and then drains while the host goes on
    # writing; three quarters of the way logrotate rotates again. That compresses the file the first rotation renamed, so it
    # waits until imfile has read that file.
    local reply us first_end paused
    echo "$host_pid" > host.pid
    echo "$work/logs/app.log 1 $n $rate" >&"${HOST[1]}"
    wait_for "message $((n / 4)) in the host's app.log" written $((n / 4))
    rotate_hup
    wait_for "message $((n / 2)) in the host's app.log" written $((n / 2))
    kill -STOP "$central_pid"
    paused=$(last_written)
    sleep 1
    kill -CONT "$central_pid"
    wait_for "message $((3 * n / 4)) in the host's app.log" written $((3 * n / 4))
    first_end=$(last_written app.log.1)
    wait_for "the sender rsyslogd to read app.log.1" read_through app.log.1
    rotate_hup
    if read -r -t 60 reply <&"${HOST[0]}" && [ "${reply%% *}" = ok ]; then
      us=${reply#ok }
      echo "$name: the host wrote $n messages in $((us / 1000)) ms," \
           "$((n * 1000000 / (us > 0 ? us : 1))) messages/s (asked for $rate);" \
           "app.log rotated after messages $first_end and $(last_written app.log.1)," \
           "the central rsyslogd stopped for a second after message $paused"
    else
      fail "the host did not write app.log 1 $n $rate"
    fi
    # In case the second rotation came after the last message: the host
    # then had nothing more to write, and did not reopen.
    reopen
    ;;
  *)
    write part1.log 1 $((n / 4))
    write part2.log $((n / 4 + 1)) $((n / 2))
    if [ "$mode" = restart ]; then stop central_pid; fi
    write part2.log $((n / 2 + 1)) $((3 * n / 4))
    if [ "$mode" = restart ]; then start_central; fi
    write part2.log $((3 * n / 4 + 1)) "$n"
    ;;
  esac
  wait_for "all $n messages at the central rsyslogd ($name)" all_arrived
  eval "exec ${HOST[1]}>&-"
  wait "$host_pid" || fail "$name: the host failed"
  host_pid=
  # The Closed banner's last line goes once the file is quiet.
  local last=part2.log
  if [ "$mode" = rotate ] || [ "$mode" = fast ]; then last=app.log; fi
  wait_for "the end of $last at the central rsyslogd ($name)" ends_alike "$last"
  if [ "$mode" = steady ]; then
    wait_for "the end of prefixes.log at the central rsyslogd" ends_alike prefixes.log
  fi
  stop sender_pid
  stop central_pid

  diff <(expected) <(received | sed 's/^ *[0-9]* //') > "$name.diff" ||
    fail "$name: messages missing, cut or not one record each (see $name.diff)"
  local part1 duplicates
  part1=$(grep -c "^$work/logs/part1.log .* app: message " central/records || true)
  duplicates=$(($(grep -c " app: message " central/records) - n))
  if [ "$mode" != restart ]; then
    [ "$duplicates" -eq 0 ] || fail "$name: $duplicates messages arrived twice"
  fi
  if [ "$mode" = steady ]; then
    [ "$part1" -eq $((n / 4)) ] || fail "$name: $part1 messages under part1.log"
    for f in part1.log part2.log prefixes.log; do
      cmp logs/$f central/logs/*/$f || fail "$name: the central $f differs from the host's"
    done
    diff <(prefix_records) <(sed -n "s|^$work/logs/prefixes.log ||p" central/records) \
      > prefixes.diff || fail "$name: the time prefixes did not start records (see prefixes.diff)"
  fi
  echo "$name: $(received | wc -l) of $n messages arrived, $duplicates duplicates"
  if [ "$mode" = fast ]; then
    # Each message's number, in the order of the central app.log: every one
    # once, each greater than the one before.
    sed -n 's/^[^ ].* app: message \([0-9]*\)$/\1/p' central/logs/*/app.log |
      awk -v n="$n" -v name="$name" '
        { if (seen[$1]++) twice++; if ($1 < top) late++; else top = $1; count++ }
        END {
          printf "%s: %d messages sent, %d arrived, %d of them twice, %d out of order\n",
                 name, n, count, twice, late
          exit count != n || twice || late
        }' || fail "$name: the central app.log does not hold messages 1 to $n once each, in order"
  fi
  if [ "$mode" = rotate ] || [ "$mode" = fast ]; then
    cmp <(forwarded_app_log) central/logs/*/app.log ||
      fail "$name: the central app.log is not the host's files, in order, less their last lines"
    local files written arrived
    files=$(ls logs | wc -l)
    written=$(for f in logs/*; do zcat -f "$f"; done | wc -l)
    arrived=$(wc -l < central/logs/*/app.log)
    echo "$name: $written lines in $files files on the host, $arrived arrived," \
         "$((written - arrived)) held back at the ends of rotated files"
  fi
}

port=$(free_port)
# Each record also goes, as one line, to a file of its own, written by the
# same ruleset as the central files, so in the same order.
{
  echo 'template(name="record" type="string" string="%$!file% %$!msg:::json%\n")'
  sed -e "s|port=\"2514\" ruleset=|port=\"$port\" address=\"127.0.0.1\" ruleset=|" \
      -e "s|/var/log/razezir/|$work/central/logs/|" \
      -e "s|^\( *\)action(type=\"omfile\" dynaFile=.*|&\n\1action(type=\"omfile\" file=\"$work/central/records\" template=\"record\")|" \
      "$central_conf"
} > central-test.conf
sed -e "s|/var/log/myhost/|$work/logs/|" -e "s|target=\"logs.example.net\"|target=\"127.0.0.1\"|" \
    -e "s|port=\"2514\"|port=\"$port\"|" "$sender_conf" > sender-test.conf
# Nothing of the system's may be left in them: no system path, port or host.
if sed 's/#.*//' central-test.conf sender-test.conf | grep -E '/var/log/(razezir|myhost)/|port="2514"|example\.net' ||
   ! grep -q 'file="'"$work"'/central/records"' central-test.conf; then
  echo "FAIL the shipped configurations no longer read as this script expects"
  exit 1
fi

# logrotate's configuration, with the lines given (if any) before its end.
rotate_conf() {
  printf '%s/logs/*.log {\n  rotate 4\n  nocreate\n  compress\n  delaycompress\n  missingok\n' \
    "$work"
  [ $# -eq 0 ] || printf '%s\n' "$@"
  printf '}\n'
}
rotate_conf > logrotate.conf
rotate_conf '  sharedscripts' '  postrotate' "    kill -HUP \"\$(cat $work/host.pid)\"" \
  '  endscript' > logrotate-hup.conf

run steady steady
run restart restart
n=2000
run rotate rotate
n=40000 rate=12000
run fast fast

finish rsyslog

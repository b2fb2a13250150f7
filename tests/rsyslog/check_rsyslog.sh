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
# its source on the central side. Run three times: without a break, every
# message arrives exactly once and the central files equal the host's byte
# for byte; with the central rsyslogd stopped and started again mid-run,
# every message arrives at least once, and the duplicates RELP's resending
# made are counted; with logrotate rotating the host's app.log four times
# while the host writes 2000 messages, some into the renamed file before it
# reopens, every message arrives exactly once and the central app.log is the
# host's files in order, less the last line of each rotated file.
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
# directory, pid file and own messages (stderr) in NAME/
rsyslogd_for() {
  local name=$1 config=$2
  mkdir -p "$name"
  { printf 'global(workDirectory="%s")\n' "$work/$name"; cat "$config"; } > "$name.conf"
  "$rsyslogd" -n -f "$work/$name.conf" -i "$work/$name/rsyslogd.pid" >> "$name/stderr" 2>&1 &
}

start_central() {
  rsyslogd_for central central-test.conf
  central_pid=$!
  wait_for "the central rsyslogd to listen on port $port" listening "$central_pid" "$port"
}

# The messages of the records file, one line each, line ends as \n.
received() { sed -n "s/^[^ ]* .* app: //p" central/records 2>/dev/null | sort | uniq -c; }
arrived() { [ "$(received | wc -l)" -ge "$1" ]; }
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
  read -r -t 20 reply <&"${HOST[0]}" && [ "$reply" = ok ] ||
    { fail "the host did not write $1 $2 $3"; return 1; }
}

# Whether the central copy of FILE ends with the same line as the host's.
ends_alike() {
  [ "$(tail -n 1 "logs/$1")" = "$(tail -n 1 central/logs/*/"$1" 2>/dev/null)" ]
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

# run NAME MODE: one run of the host; MODE restart stops the central
# rsyslogd and starts it again mid-run, rotate rotates the logs twice.
run() {
  local name=$1 mode=$2
  rm -rf central sender logs
  mkdir logs
  start_central
  rsyslogd_for sender sender-test.conf
  sender_pid=$!
  coproc HOST { "$host"; }
  host_pid=$HOST_PID
  if [ "$mode" = rotate ]; then
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
  else
  write part1.log 1 $((n / 4))
  write part2.log $((n / 4 + 1)) $((n / 2))
  if [ "$mode" = restart ]; then stop central_pid; fi
  write part2.log $((n / 2 + 1)) $((3 * n / 4))
  if [ "$mode" = restart ]; then start_central; fi
  write part2.log $((3 * n / 4 + 1)) "$n"
  fi
  wait_for "all $n messages at the central rsyslogd ($name)" all_arrived
  eval "exec ${HOST[1]}>&-"
  wait "$host_pid" || fail "$name: the host failed"
  host_pid=
  # The Closed banner's last line goes once the file is quiet.
  local last=part2.log
  if [ "$mode" = rotate ]; then last=app.log; fi
  wait_for "the end of $last at the central rsyslogd ($name)" ends_alike "$last"
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
    for f in part1.log part2.log; do
      cmp logs/$f central/logs/*/$f || fail "$name: the central $f differs from the host's"
    done
  fi
  echo "$name: $(received | wc -l) of $n messages arrived, $duplicates duplicates"
  if [ "$mode" = rotate ]; then
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
sed -e "s|port=\"2514\" ruleset=\"razezir_central\"|port=\"$port\" address=\"127.0.0.1\" ruleset=\"records\"|" \
    -e "s|/var/log/razezir/|$work/central/logs/|" "$central_conf" > central-test.conf
# Each record also goes, as one line, to a file of its own.
cat >> central-test.conf <<EOF
template(name="record" type="string" string="%\$!file% %\$!msg:::json%\n")
ruleset(name="records") {
  call razezir_central
  action(type="omfile" file="$work/central/records" template="record")
}
EOF
sed -e "s|/var/log/myhost/|$work/logs/|" -e "s|target=\"logs.example.net\"|target=\"127.0.0.1\"|" \
    -e "s|port=\"2514\"|port=\"$port\"|" "$sender_conf" > sender-test.conf
# Nothing of the system's may be left in them: no system path, port or host.
if sed 's/#.*//' central-test.conf sender-test.conf | grep -E '/var/log/(razezir|myhost)/|port="2514"|example\.net'; then
  echo "FAIL the shipped configurations no longer read as this script expects"
  exit 1
fi

cat > logrotate.conf <<EOF
$work/logs/*.log {
  rotate 4
  nocreate
  compress
  delaycompress
  missingok
}
EOF

run steady steady
run restart restart
n=2000
run rotate rotate

finish rsyslog

#!/usr/bin/env bash
# Checks that lnav, given the shipped format, reads the logs the library
# writes: it parses the time, thread id and tag of every prefixed line, keeps
# lines without a prefix with their message, tells banners apart, merges the
# main log with a target file into one timeline, and answers SQL on the
# fields. The host writes fixed numbers of messages per thread and tag, so
# the counts do not depend on timing.
#
# usage: check_lnav_format.sh SAMPLE_HOST FORMAT_JSON WORK_DIR [LNAV_CONFIG_DIR]
# Without LNAV_CONFIG_DIR, FORMAT_JSON is put into a fresh configuration
# directory; with it, lnav reads the format from there (an installed copy).
set -euo pipefail
host=$1 format=$2 work=$3 config=${4:-}

rm -rf "$work"
mkdir -p "$work/logs" "$work/home"
if [ -z "$config" ]; then
  config=$work/config
  mkdir -p "$config/formats/razezir"
  cp "$format" "$config/formats/razezir/"
fi
"$host" "$work/logs"

# lnav keeps sessions and installed formats under HOME: use an empty one so
# that nothing of the user's changes what is checked.
run_lnav() {
  HOME=$work/home XDG_CONFIG_HOME=$work/home/.config \
    lnav -I "$config" -n "$@"
}

# A file that opens with the same Started banner as one already open (a
# target registered in the same millisecond as the main log) is taken for a
# copy of it and hidden; :show-file brings it back.
show_all=':show-file *'

failures=0
expect() {
  local what=$1 expected=$2 actual=$3
  if [ "$expected" != "$actual" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- actual\n%s\n' "$what" "$expected" "$actual"
    failures=$((failures + 1))
  else
    printf 'ok   %s\n' "$what"
  fi
}
query() {
  local files=$1 sql=$2
  # shellcheck disable=SC2086
  run_lnav -c "$show_all" -c ";$sql" -c ':write-csv-to -' $files
}

warnings=$(run_lnav -W -c ';SELECT 1' "$work/logs/net.log" 2>&1 >/dev/null || true)
expect "the format loads without warnings" "" "$(grep -i razezir <<<"$warnings" || true)"

two="$work/logs/main.log $work/logs/net.log"
expect "both files are read as razezir logs" \
"format,files
razezir_log,2" \
  "$(query "$two" "SELECT format, count(*) AS files FROM lnav_file GROUP BY format")"

expect "lines per tag" \
"tag,lines
app,3
db,4
net,5" \
  "$(query "$two" "SELECT tag, count(*) AS lines FROM razezir_log
                   WHERE tag IS NOT NULL GROUP BY tag ORDER BY tag")"

expect "lines per thread, each thread with one tag" \
"lines,tags
3,app
4,db
5,net" \
  "$(query "$two" "SELECT count(*) AS lines, group_concat(DISTINCT tag) AS tags
                   FROM razezir_log WHERE thread IS NOT NULL
                   GROUP BY thread ORDER BY lines")"

expect "thread ids are 8 hex digits" "n
0" \
  "$(query "$two" "SELECT count(*) AS n FROM razezir_log
                   WHERE thread IS NOT NULL AND thread NOT GLOB
                   '[0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]'")"

expect "banners" \
"banner,n
Closed,1
Started,2" \
  "$(query "$two" "SELECT banner, count(*) AS n FROM razezir_log
                   WHERE banner IS NOT NULL GROUP BY banner ORDER BY banner")"

expect "lines without a prefix stay with their message" \
"body
rows:|  id=1|  id=2" \
  "$(query "$two" "SELECT replace(log_body, char(10), '|') AS body
                   FROM razezir_log WHERE log_body LIKE 'rows:%'")"

# The first command the documentation shows, without the UI: the merged view
# holds the target file's lines, and the rest of a message that spans lines
# right under its first line.
# shellcheck disable=SC2086
view=$(run_lnav -c "$show_all" $two)
expect "the merged view shows the target file" "5" "$(grep -c ' net: net message' <<<"$view")"
expect "the rest of a message follows its first line in the merged view" \
"app: rows:
  id=1
  id=2" \
  "$(grep -A2 ' app: rows:' <<<"$view" | sed 's/^.* app: rows:/app: rows:/')"

expect "one timeline: messages of both files in time order" \
"files,backwards
2,0" \
  "$(query "$two" "SELECT count(DISTINCT log_path) AS files,
                          sum(previous > log_time) AS backwards
                   FROM (SELECT log_path, log_time,
                                lag(log_time) OVER (ORDER BY log_line) AS previous
                         FROM razezir_log)")"

expect "time without milliseconds (flags 0x03)" \
"tag,lines,parsed
app,2,2" \
  "$(query "$work/logs/seconds.log" \
     "SELECT tag, count(*) AS lines, sum(log_time IS NOT NULL) AS parsed
      FROM razezir_log WHERE tag IS NOT NULL GROUP BY tag")"

if [ "$failures" -ne 0 ]; then
  echo "$failures lnav check(s) failed; logs in $work/logs"
  exit 1
fi

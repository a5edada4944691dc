#!/bin/sh
# Replays a traffic script through monfeed while a second monfeed watches as
# the alarm reader, then checks what the reader took, what the table still
# holds, and that the table file and its semaphores are gone once the feeder
# stops.  Also checks stdin scripts, quoting, explicit keys and script errors.
#
# usage: monfeed_test.sh MONFEED TRAFFIC_FEED
set -eu

MONFEED=$1
FEED=$2
TABLE_FILES="/tmp/mon.mmap /tmp/mon.free.mutex /tmp/mon.hash.mutex"
WORK=$(mktemp -d)
FEEDER=
WATCHER=

cleanup() {
  for pid in $FEEDER $WATCHER; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*; do
    [ -f "$f" ] || continue
    echo "--- ${f##*/}" >&2
    cat "$f" >&2
  done
  exit 1
}

# wait_for FILE TEXT SECONDS ERRFILE: waits until FILE holds TEXT; gives up
# early when ERRFILE gets anything.
wait_for() {
  n=$(($3 * 10))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    [ ! -s "$4" ] || return 1
    [ "$n" -gt 0 ] || return 1
    n=$((n - 1))
    sleep 0.1
  done
}

# reap PID SECONDS: waits for a background child, killing it after SECONDS;
# leaves its exit status in $status.
reap() {
  (sleep "$2"; kill -KILL "$1") >/dev/null 2>&1 &
  dog=$!
  status=0
  wait "$1" || status=$?
  kill -KILL "$dog" 2>/dev/null || true  # SIGTERM would run the EXIT trap in it
}

# stop NAME PID: SIGTERM, then expect exit status 0.
stop() {
  kill -TERM "$2"
  reap "$2" 10
  [ "$status" -eq 0 ] || fail "$1 exited with status $status after SIGTERM"
}

semaphores() { ipcs -s | awk '$2 ~ /^[0-9]+$/ { print $2 }' | sort; }

table_gone() {
  for f in $TABLE_FILES; do
    [ ! -e "$f" ] || fail "$1: $f left behind"
  done
  [ "$(semaphores)" = "$SEMS_BEFORE" ] || fail "$1: semaphores left: $(ipcs -s)"
}

# has LINE WORD...: every WORD occurs in LINE between blanks.
has() {
  line=" $1 "
  shift
  for w in "$@"; do
    case $line in *" $w "*) ;; *) return 1 ;; esac
  done
}

# dumped FILE KEY WORD...: the dump line of KEY has every WORD.
dumped() {
  file=$1 key=$2
  shift 2
  line=$(grep "^<$key> " "$file") || fail "dump lacks <$key>"
  has "$line" "$@" || fail "dump of <$key> lacks one of: $*"
}

# watched N BITS STATE WORD...: the reader's lines for key N.  The start
# comes first and once; the change bits seen add up to BITS; only the last
# line may show the end; the last line has STATE and every WORD.
watched() {
  key="$FEEDER,$1" bits=$2 state=$3
  shift 3
  grep "^<$key> " "$WORK/watch.out" >"$WORK/key" ||
    fail "reader saw nothing of <$key>"
  case $(head -n 1 "$WORK/key") in
    *" chg=start"*) ;;
    *) fail "<$key>: first change taken is not the start" ;;
  esac
  [ "$(grep -c 'chg=start' "$WORK/key")" -eq 1 ] ||
    fail "<$key>: start taken more than once"
  seen=
  for bit in start update error; do
    if grep -q "chg=[a-z+]*$bit" "$WORK/key"; then seen="$seen+$bit"; fi
  done
  [ "${seen#+}" = "$bits" ] || fail "<$key>: reader saw ${seen#+}, not $bits"
  ends=$(grep -c ' ended ' "$WORK/key" || true)
  if [ "$state" = ended ]; then want=1; else want=0; fi
  [ "$ends" -eq "$want" ] || fail "<$key>: $ends lines show the end"
  has "$(tail -n 1 "$WORK/key")" "$state" "$@" ||
    fail "<$key>: last change lacks one of: $state $*"
}

SEMS_BEFORE=$(semaphores)

# --- Replay with a watching reader.
"$MONFEED" "$FEED" >"$WORK/feed.out" 2>"$WORK/feed.err" &
FEEDER=$!
wait_for "$WORK/feed.out" "table created" 10 "$WORK/feed.err" ||
  fail "feeder did not create the table"
"$MONFEED" --watch >"$WORK/watch.out" 2>"$WORK/watch.err" &
WATCHER=$!
wait_for "$WORK/feed.out" "script done" 60 "$WORK/feed.err" ||
  fail "feeder did not finish the script"

timeout 10 "$MONFEED" --dump >"$WORK/dump.out" 2>"$WORK/dump.err" ||
  fail "dump failed"
[ "$(wc -l <"$WORK/dump.out")" -eq 5 ] || fail "dump should list 5 records"
dumped "$WORK/dump.out" "$FEEDER,1" ended user=alice in=48213 out=2210 chg=-
dumped "$WORK/dump.out" "$FEEDER,2" ended user=bob cmd=udp chg=-
dumped "$WORK/dump.out" "$FEEDER,3" ended user=carol cmd=bind chg=-
dumped "$WORK/dump.out" "$FEEDER,4" ended user=dave err=5 chg=-
dumped "$WORK/dump.out" "$FEEDER,5" active user=backup \
  app=nightly-backup-2 out=7340032 chg=-

stop watcher "$WATCHER"
WATCHER=
watched 1 start+update ended alarm=0 user=alice auth=2 cmd=connect \
  src=192.168.10.21:51514 srchost=ws-alice.example.net \
  proxy=192.168.10.1:1080 proxyhost=gw.example.net \
  dst=93.184.216.34:443 dsthost=www.example.com in=48213 out=2210 app=browser
watched 2 start+update ended alarm=1 user=bob cmd=udp \
  dst=192.168.1.53:53 in=312 out=96
watched 3 start+update ended alarm=2 user=carol cmd=bind \
  dst=203.0.113.5:20 in=1048576 out=0
watched 4 start+update+error ended alarm=3 user=dave cmd=connect err=5 \
  dst=198.51.100.7:25 "msg=connection refused"
watched 5 start+update active alarm=4 user=backup end=0 \
  app=nightly-backup-2 in=2048 out=7340032
[ ! -s "$WORK/watch.err" ] || fail "reader reported errors"

stop feeder "$FEEDER"
FEEDER=
[ ! -s "$WORK/feed.err" ] || fail "feeder reported errors"
table_gone "after the replay"
if timeout 10 "$MONFEED" --dump >/dev/null 2>&1; then
  fail "dump without a table succeeded"
fi

# --- A script on stdin, with an explicit key and a quoted value.
printf '%s\n' 'start 1,7 user="a b" src=10.0.0.1:1080 time=1000' \
  'update 1,7 in=5 app=x time=1010' 'update 1,7 out=6' >"$WORK/stdin.feed"
"$MONFEED" - <"$WORK/stdin.feed" >"$WORK/feed.out" 2>"$WORK/feed.err" &
FEEDER=$!
wait_for "$WORK/feed.out" "script done" 10 "$WORK/feed.err" ||
  fail "stdin script did not finish"
timeout 10 "$MONFEED" --dump >"$WORK/dump.out" 2>&1 || fail "dump failed"
dumped "$WORK/dump.out" "1,7" active start=1000 "user=a b" \
  src=10.0.0.1:1080 in=5 out=6 app=x
stop feeder "$FEEDER"
FEEDER=
table_gone "after the stdin script"

# --- Script errors name the line, exit 1 and remove the table.
# bad LINE TEXT SCRIPT: the script fails at LINE with TEXT in the message.
bad() {
  printf '%s' "$3" >"$WORK/bad.feed"
  status=0
  timeout 10 "$MONFEED" "$WORK/bad.feed" >/dev/null 2>"$WORK/bad.err" ||
    status=$?
  [ "$status" -eq 1 ] || fail "bad script exited $status, not 1: $3"
  grep -q "bad.feed:$1: .*$2" "$WORK/bad.err" ||
    fail "no \"line $1: $2\" in: $(cat "$WORK/bad.err")"
  table_gone "after a bad script"
}
bad 3 'unknown word "frobnicate"' '# comment

frobnicate 1
'
bad 2 'no connection' 'start 1
update 2 in=1
'
bad 1 'timed out' 'wait-reader 0.2
'
echo "monfeed test passed"

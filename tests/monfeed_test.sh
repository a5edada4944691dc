#!/bin/sh
# usage: monfeed_test.sh MONFEED TRAFFIC_FEED
# Replays the traffic script through monfeed while a second monfeed watches as
# the alarm reader; checks what the reader took, what --dump shows, and that
# the table and its semaphores go with the feeder.  Then stdin scripts,
# quoting, explicit keys and script errors.
set -eu
MONFEED=$1 FEED=$2 WORK=$(mktemp -d) FEEDER= WATCHER=
trap 'for p in $FEEDER $WATCHER; do kill -KILL $p 2>/dev/null || true; done; rm -rf "$WORK"' EXIT

fail() {
  echo "FAIL: $*" >&2; tail -n +1 "$WORK"/*.out "$WORK"/*.err >&2 2>/dev/null; exit 1
}

# wait_for FILE TEXT SECONDS: waits until FILE holds TEXT; gives up early when
# the feeder reports an error.
wait_for() {
  n=$(($3 * 10))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    [ ! -s "$WORK/feed.err" ] && [ "$n" -gt 0 ] || return 1
    n=$((n - 1))
    sleep 0.1
  done
}

# stop NAME PID: SIGTERM, then expect exit status 0 within 10 seconds.
stop() {
  kill -TERM "$2"
  (sleep 10; kill -KILL "$2") >/dev/null 2>&1 &
  dog=$! status=0
  wait "$2" || status=$?
  kill -KILL "$dog" 2>/dev/null || true  # SIGTERM would run the EXIT trap in it
  [ "$status" -eq 0 ] || fail "$1 exited with status $status after SIGTERM"
}

semaphores() { ipcs -s | awk '$2 ~ /^[0-9]+$/ { print $2 }' | sort; }

table_gone() {
  for f in mmap free.mutex hash.mutex; do [ ! -e "/tmp/mon.$f" ] || fail "$1: mon.$f left"; done
  [ "$(semaphores)" = "$SEMS_BEFORE" ] || fail "$1: semaphores left: $(ipcs -s)"
}

# has FILE KEY WORD...: the last line of KEY in FILE has every WORD between blanks.
has() {
  line=" $(grep "^<$2> " "$1" | tail -n 1) "
  shift 2
  for w in "$@"; do
    case $line in *" $w "*) ;; *) fail "last line lacks \"$w\": $line" ;; esac
  done
}

# watched N STATE BITS WORD...: the reader took the start of key N first and
# once, change bits adding up to BITS, the end at most on its last line, and
# that last line has STATE and every WORD.
watched() {
  grep "^<$FEEDER,$1> " "$WORK/watch.out" >"$WORK/key" || fail "reader saw nothing of key $1"
  head -n 1 "$WORK/key" | grep -q ' chg=start' || fail "key $1: start not taken first"
  seen=$(grep -c 'chg=start' "$WORK/key")
  for bit in start update error; do
    if grep -q "chg=[a-z+]*$bit" "$WORK/key"; then seen="$seen+$bit"; fi
  done
  [ "$seen" = "1+$3" ] || fail "key $1: reader took $seen, not 1+$3"
  [ "$(grep -c ' ended ' "$WORK/key")" = "$([ "$2" = ended ] && echo 1 || echo 0)" ] ||
    fail "key $1: the end taken more than once or not last"
  k=$1 state=$2
  shift 3
  has "$WORK/watch.out" "$FEEDER,$k" "$state" "$@"
}

SEMS_BEFORE=$(semaphores)
# --- Replay with a watching reader.
"$MONFEED" "$FEED" >"$WORK/feed.out" 2>"$WORK/feed.err" &
FEEDER=$!
wait_for "$WORK/feed.out" "table created" 10 || fail "feeder did not create the table"
"$MONFEED" --watch >"$WORK/watch.out" 2>"$WORK/watch.err" &
WATCHER=$!
wait_for "$WORK/feed.out" "script done" 60 || fail "feeder did not finish the script"

timeout 10 "$MONFEED" --dump >"$WORK/dump.out" 2>"$WORK/dump.err" || fail "dump failed"
[ "$(wc -l <"$WORK/dump.out")" -eq 5 ] || fail "dump should list 5 records"
has "$WORK/dump.out" "$FEEDER,1" ended user=alice in=48213 out=2210 chg=-
has "$WORK/dump.out" "$FEEDER,4" ended user=dave err=5 chg=-
has "$WORK/dump.out" "$FEEDER,5" active user=backup app=nightly-backup-2 out=7340032 chg=-

stop watcher "$WATCHER"
WATCHER=
watched 1 ended start+update alarm=0 user=alice auth=2 cmd=connect \
  src=192.168.10.21:51514 srchost=ws-alice.example.net proxy=192.168.10.1:1080 \
  proxyhost=gw.example.net dst=93.184.216.34:443 dsthost=www.example.com \
  in=48213 out=2210 app=browser
watched 2 ended start+update alarm=1 user=bob cmd=udp dst=192.168.1.53:53 in=312 out=96
watched 3 ended start+update alarm=2 user=carol cmd=bind dst=203.0.113.5:20 in=1048576 out=0
watched 4 ended start+update+error alarm=3 user=dave cmd=connect err=5 \
  dst=198.51.100.7:25 "msg=connection refused"
watched 5 active start+update alarm=4 user=backup end=0 app=nightly-backup-2 in=2048 \
  out=7340032
[ ! -s "$WORK/watch.err" ] || fail "reader reported errors"

stop feeder "$FEEDER"
FEEDER=
[ ! -s "$WORK/feed.err" ] || fail "feeder reported errors"
table_gone "after the replay"
! timeout 10 "$MONFEED" --dump >/dev/null 2>&1 || fail "dump without a table succeeded"

# --- A script on stdin, with an explicit key and a quoted value.  The old
# output goes first: the background job truncates it only when it starts.
rm -f "$WORK/feed.out" "$WORK/feed.err"
printf '%s\n' 'start 1,7 user="a b" src=10.0.0.1:1080 time=1000' \
  'update 1,7 in=5 app=x time=1010' 'update 1,7 out=6' |
  "$MONFEED" - >"$WORK/feed.out" 2>"$WORK/feed.err" &
FEEDER=$!
wait_for "$WORK/feed.out" "script done" 10 || fail "stdin script did not finish"
timeout 10 "$MONFEED" --dump >"$WORK/dump.out" 2>&1 || fail "dump failed"
has "$WORK/dump.out" 1,7 active start=1000 "user=a b" src=10.0.0.1:1080 in=5 out=6 app=x
stop feeder "$FEEDER"
FEEDER=
table_gone "after the stdin script"

# bad LINE TEXT SCRIPT: the script fails at LINE with TEXT in the message,
# exits 1 and removes the table.
bad() {
  printf '%b' "$3" >"$WORK/bad.feed"
  status=0
  timeout 10 "$MONFEED" "$WORK/bad.feed" >/dev/null 2>"$WORK/bad.err" || status=$?
  [ "$status" -eq 1 ] || fail "bad script exited $status, not 1: $3"
  grep -q "bad.feed:$1: .*$2" "$WORK/bad.err" || fail "no \"line $1: $2\" in bad.err"
  table_gone "after a bad script"
}
bad 3 'unknown word "frobnicate"' '# comment\n\nfrobnicate 1\n'
bad 2 'no connection' 'start 1\nupdate 2 in=1\n'
bad 1 'timed out' 'wait-reader 0.2\n'
echo "monfeed test passed"

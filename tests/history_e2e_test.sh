#!/usr/bin/env bash
# The history end to end: tollwatch in the foreground counts connections that
# monfeed writes into the table in its history files, across restarts and
# refreshes; twhistory lists and ages the files in between.  Run it through
# nsrun.sh: history_e2e_test.sh TOLLWATCH TWPARSER MONFEED TWHISTORY SRCDIR
set -euo pipefail

TW=$1 TWP=$2 MF=$3 TWH=$4 SRC=$5
PATH=$(dirname "$TWP"):$PATH  # tollwatch runs twparser from the path
WORK=$(mktemp -d)
FEEDER= DAEMON= TICKER= MAIN=$BASHPID
cleanup() {
  [ "$BASHPID" = "$MAIN" ] || return 0  # a subshell that inherited the trap
  exec 3>&- 2>/dev/null || true
  for pid in $TICKER $DAEMON $FEEDER; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap '' PIPE  # a feeder that died shows as a failed write, not a silent end

fail() {
  echo "FAIL: $*" >&2
  tail -c 2000 "$WORK"/*.txt "$WORK"/*.err >&2 2>/dev/null || true
  exit 1
}
# alive PID: the process runs (an ended child is a zombie until waited for).
alive() { grep -q '^State:[[:space:]]*[^Z]' "/proc/$1/status" 2>/dev/null; }
# reap PID: waits up to 10 s for a child, then kills it; its status in $status.
reap() {
  local n=100
  while alive "$1" && [ $((n -= 1)) -gt 0 ]; do sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" && status=0 || status=$?
}
# within SECONDS COMMAND...: until COMMAND succeeds, while the daemon runs.
within() {
  local n=$(($1 * 10))
  shift
  until "$@"; do
    [ -z "$DAEMON" ] || alive "$DAEMON" || fail "tollwatch died waiting for: $*"
    [ $((n -= 1)) -gt 0 ] || fail "timed out waiting for: $*"
    sleep 0.1
  done
}
lines() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }
expect() { [ "$(cat "$1" 2>/dev/null)" = "$2" ] || fail "$1 is not \"$2\""; }
feed() { printf '%s\n' "$@" >&3 || fail "monfeed stopped reading"; }
# step FILE N EVENT...: feeds the events, then waits for line N of FILE.
step() { [ $# -lt 3 ] || feed "${@:3}"; within 20 lines "$1" "$2"; }

N=0 FAILS=0  # connections fed, failures counted
# failed USER SRC: a connection whose error is its last event, so that
# however the daemon's passes fall, it is taken failed once.
failed() {
  N=$((N + 1))
  feed "start $N user=$1 src=$2:4000" \
    "update $N cmd=connect dst=10.200.0.1:25" "end $N" "error $N code=5"
}
# failure USER COUNT: one failure of USER from 10.1.1.1, counted as COUNT.
failure() {
  failed "$1" 10.1.1.1
  within 20 lines fail.txt $((FAILS += 1))
  [ "$(tail -n 1 fail.txt)" = "fail $1 10.1.1.1 $2" ] || fail "$1 not at $2"
}
# opened USER SRC [IN]: a connection that works; its number is left in $N.
opened() {
  N=$((N + 1))
  feed "start $N user=$1 src=$2:4000" \
    "update $N cmd=connect dst=10.200.0.2:80 in=${3:-0}"
}
# start_daemon NAME: tollwatch in the foreground, tracing, its output in
# NAME.out and NAME.err, attached to the table.
start_daemon() {
  "$TW" -f -t -l -i rules.conf -d hist >"$1.out" 2>"$1.err" &
  DAEMON=$!
  within 20 grep -q mon.mmap "/proc/$DAEMON/maps"
  sleep 0.2  # from the mapping to its reader entry
}
# stop_daemon NAME: SIGQUIT, which must end it with status 0.
stop_daemon() {
  kill -QUIT "$DAEMON"
  reap "$DAEMON"
  DAEMON=
  [ "$status" -eq 0 ] && grep -q "process quits on the QUIT signal" "$1.err" ||
    fail "$1 did not quit on SIGQUIT (status $status)"
}
# listed LINE...: twhistory lists each LINE (a regular expression).
listed() {
  "$TWH" hist >history.txt 2>history.err || fail "twhistory failed"
  for l in "$@"; do grep -qx -- "$l" history.txt || fail "no line \"$l\""; done
}

cd "$WORK"
T='[0-9][0-9]*'
# fired: a third failure of a source and user; fail: every failure, counted;
# dan: traffic and accesses; zed: an aggregate that only zed's records read;
# never: a key of destination, service and error; seen: records done.
cat >rules.conf <<'EOF'
WHEN (usr != bulk & FAIL[src, usr] > 2) EXEC
  echo fired usr src FAIL[src, usr] >> fired.txt END
WHEN (err > 0 & usr != bulk) EXEC
  echo fail usr src FAIL[src, usr] >> fail.txt END
WHEN (usr == dan) EXEC
  echo dan TRAFFIC[usr] ACCESS[usr] >> dan.txt END
WHEN (usr == zed & ACCESS[src == 10.5.5.5, src] > 2) EXEC
  echo zed ACCESS[src == 10.5.5.5, src] >> zed.txt END
WHEN (usr == bulk & FAIL[src] > 1000) EXEC
  echo bulk FAIL[src] >> bulk.txt END
WHEN (FAIL[dst, app, err] > 100000) EXEC
  echo never END
WHEN (usr == carol | usr == zed) EXEC
  echo seen usr >> seen.txt END
EOF

# --- twhistory refuses a bad -s and missing files; its manual page is clean.
! "$TWH" -s 0 hist 2>x.err && grep -q "usage: twhistory" x.err || fail "-s 0"
! "$TWH" nosuch 2>x.err && grep -q "can't open nosuch1" x.err || fail "nosuch"
if command -v groff >/dev/null; then
  groff -man -Tutf8 -ww -z "$SRC/doc/twhistory.1" 2>man.err
  [ ! -s man.err ] || fail "manual page warnings"
fi

mkfifo feed.fifo
"$MF" - <feed.fifo >feed.out 2>feed.err &
FEEDER=$!
exec 3>feed.fifo
within 5 grep -q "table created" feed.out

# --- First daemon.  The third failure of alice from a source fires, bob's
# first does not.
start_daemon d1
for f in "alice 1" "bob 1" "alice 2" "alice 3"; do failure $f; done
expect fired.txt "fired alice 10.1.1.1 3"

# dan's first connection is reported three times, his second twice; each
# connection counts once, with its latest bytes.
opened dan 10.3.3.3 100; d1=$N
step dan.txt 1
step dan.txt 2 "update $d1 in=300 out=20"
opened dan 10.3.3.3 50
step dan.txt 3
step dan.txt 4 "end $d1"
step dan.txt 5 "end $N"
expect dan.txt "$(printf 'dan %s\n' '100 1' '320 1' '370 2' '370 2' '370 2')"

# carol's two connections count although no condition reads the aggregate
# for her; zed's then sees three.
seen=0
for user in carol carol zed; do
  opened $user 10.5.5.5
  step seen.txt $((seen += 1))
done
expect zed.txt "zed 3"
step seen.txt 6 "end $((N - 2))" "end $((N - 1))" "end $N"
expect zed.txt "$(printf 'zed 3\nzed 3')"

stop_daemon d1
listed "FAIL #1 src=10.1.1.1 usr=alice items=3 first=$T last=$T" \
  "FAIL #1 src=10.1.1.1 usr=bob items=1 first=$T last=$T" \
  "FAIL #3 dst=10.200.0.1 app=25/tcp err=5 items=4 first=$T last=$T" \
  "TRAFFIC #1 usr=dan items=2 first=$T last=$T sum=370" \
  "ACCESS #1 usr=dan items=2 first=$T last=$T" \
  "ACCESS #2 src=10.5.5.5 items=3 first=$T last=$T"

# --- Second daemon: the counts go on.
start_daemon d2
failure alice 4
expect fired.txt "$(printf 'fired alice 10.1.1.1 %s\n' 3 4)"

# SIGVTALRM rewrites the files, keeping what is inside the keep time.
! grep -q "refresh database" d2.err || fail "refresh traced before the signal"
inode=$(stat -c %i hist1.pag)
kill -VTALRM "$DAEMON"
within 10 grep -q "refresh database: removing everything before" d2.err
cutoff=$(grep -o "before -*[0-9]*" d2.err | head -n 1) now=$(date +%s)
cutoff=${cutoff#before }
[ "$cutoff" -le $((now - 300)) ] && [ "$cutoff" -ge $((now - 305)) ] ||
  fail "refresh cut-off $cutoff is not the keep time before $now"
[ "$(stat -c %i hist1.pag)" != "$inode" ] || fail "hist1.pag was not replaced"
failure bob 2

# 1,020 failures of one source, 15 connections at a time: past 27 records
# the writer drops ended connections that no reader has taken yet.  A
# refresh every 0.1 s keeps the daemon from sleeping between the batches.
(while kill -VTALRM "$DAEMON" 2>/dev/null; do sleep 0.1; done) &
TICKER=$!
for batch in $(seq 68); do
  for i in $(seq 15); do failed bulk 10.9.9.9; done
  feed "wait-drained 30"
done
within 60 lines bulk.txt 20
kill "$TICKER" && wait "$TICKER" 2>/dev/null || true
TICKER=
expect bulk.txt "$(seq 1001 1020 | sed 's/^/bulk /')"

stop_daemon d2
listed "FAIL #2 src=10.9.9.9 items=1020 first=$T last=$T" \
  "FAIL #1 src=10.1.1.1 usr=alice items=4 first=$T last=$T" \
  "FAIL #3 dst=10.200.0.1 app=25/tcp err=5 items=1026 first=$T last=$T"

# --- Items made 200 s older are still inside the keep time and the alert
# time (300 s) at the next start; 200 s more, and the start-up refresh
# drops them, whole records included.
first() { sed -n 's/^FAIL #1 .*alice .* first=\([0-9]*\) .*/\1/p' history.txt; }
before=$(first)
"$TWH" -s 200 hist >history.txt 2>history.err || fail "twhistory -s failed"
[ "$(first)" -eq $((before - 200)) ] || fail "items not aged by 200 s"
start_daemon d3; failure alice 5; stop_daemon d3
"$TWH" -s 200 hist >/dev/null 2>history.err || fail "twhistory -s failed"
start_daemon d4; failure alice 2; stop_daemon d4
listed "FAIL #1 src=10.1.1.1 usr=alice items=2 first=$T last=$T"
! grep -Eq "10.9.9.9|usr=bob|usr=dan" history.txt || fail "expired keys listed"

# --- Damaged history: tollwatch and twhistory stop with the file's name
# and leave every file as it was.
mkdir saved && cp hist1.* hist2.* saved/
size=$(stat -c %s hist1.pag)
for harm in empty truncated garbled nodir; do
  cp saved/* .
  case $harm in
    empty) : >hist1.pag ;;
    truncated) truncate -s $((size / 2)) hist1.pag ;;
    garbled) head -c "$size" /dev/zero | tr '\0' '\125' >hist1.pag ;;
    nodir) rm hist1.dir ;;
  esac
  file=hist1.pag
  [ $harm != nodir ] || file=hist1.dir
  sums=$(md5sum hist1.* hist2.*)
  timeout 20 "$TW" -f -l -i rules.conf -d hist >bad.out 2>bad.err &&
    status=0 || status=$?
  [ "$status" -eq 1 ] && grep -q "history file $file " bad.err ||
    fail "tollwatch on $harm history: status $status, $(cat bad.err)"
  ! "$TWH" hist >/dev/null 2>bad.err && grep -q "history file $file " bad.err ||
    fail "twhistory on $harm history: $(cat bad.err)"
  [ "$(md5sum hist1.* hist2.*)" = "$sums" ] || fail "$harm history changed"
done
cp saved/* .

exec 3>&-
kill -TERM "$FEEDER"
reap "$FEEDER"
FEEDER=
[ "$status" -eq 0 ] && [ ! -s feed.err ] || fail "monfeed ended with $status"
echo "history end-to-end test passed"

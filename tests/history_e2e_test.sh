#!/usr/bin/env bash
# The history end to end: tollwatch in the foreground takes connections that
# monfeed writes into the table, and its aggregates count them in the
# history files: failures per source and user, the traffic and accesses of
# connections reported several times, an aggregate behind a false AND, a
# count past 1,000 events, the history across restarts, the refresh on
# SIGVTALRM and the refresh at start-up that drops expired items.  twhistory
# lists the files in between and ages them.
#
# usage: history_e2e_test.sh TOLLWATCH TWPARSER MONFEED TWHISTORY SOURCE_DIR
# Run it through nsrun.sh: it creates the connection table in /tmp.
set -euo pipefail

TW=$1 TWP=$2 MF=$3 TWH=$4 SRC=$5
PATH=$(dirname "$TWP"):$PATH  # tollwatch runs twparser from the path
WORK=$(mktemp -d)
FEEDER= DAEMON= TICKER=

MAIN=$BASHPID
cleanup() {
  # A subshell killed before it has dropped the inherited trap runs it too.
  [ "$BASHPID" = "$MAIN" ] || return 0
  exec 3>&- 2>/dev/null || true
  for pid in $TICKER $DAEMON $FEEDER; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap '' PIPE  # a feeder that died shows as a failed write, not a silent end

fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.txt "$WORK"/*.err "$WORK"/*.out; do
    [ -f "$f" ] || continue
    echo "--- ${f##*/}" >&2
    tail -c 2000 "$f" >&2
  done
  exit 1
}

# reap PID SECONDS: waits for a background child, killing it after SECONDS;
# leaves its exit status in $status.
reap() {
  local n=$(($2 * 10))
  while alive "$1" && [ "$n" -gt 0 ]; do
    n=$((n - 1))
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null || true
  status=0
  wait "$1" || status=$?
}

# alive PID: the process runs (a child that ended stays a zombie until
# waited for).
alive() { grep -q '^State:[[:space:]]*[^Z]' "/proc/$1/status" 2>/dev/null; }

# lines FILE: the number of lines in FILE, 0 when there is none.
lines() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }

# wait_lines FILE N [SECONDS]: until FILE has N lines; fails when the daemon
# is gone or the time is up.
wait_lines() {
  local n=$((${3:-20} * 10))
  until [ "$(lines "$1")" -ge "$2" ]; do
    alive "$DAEMON" || fail "tollwatch died waiting for $1"
    [ "$n" -gt 0 ] || fail "$1 has $(lines "$1") lines, expected $2"
    n=$((n - 1))
    sleep 0.1
  done
}

# expect FILE TEXT: FILE holds exactly TEXT.
expect() {
  [ "$(cat "$1" 2>/dev/null)" = "$2" ] ||
    fail "$1 holds \"$(cat "$1" 2>/dev/null)\", expected \"$2\""
}

feed() { printf '%s\n' "$@" >&3 || fail "monfeed stopped reading"; }

N=0  # connection numbers used so far

# failed USER SRC: one failed connection.  The error is its last event, so
# however the daemon's passes fall, it takes the connection failed once.
failed() {
  N=$((N + 1))
  feed "start $N user=$1 src=$2:4000" \
    "update $N cmd=connect dst=10.200.0.1:25" "end $N" "error $N code=5"
}

# opened USER SRC [IN]: a connection that works; its number is left in $N.
opened() {
  N=$((N + 1))
  feed "start $N user=$1 src=$2:4000" \
    "update $N cmd=connect dst=10.200.0.2:80 in=${3:-0}"
}

# start_daemon NAME: tollwatch in the foreground, tracing, with its output
# in NAME.out and NAME.err; returns once it is attached to the table.
start_daemon() {
  tollwatch -f -t -l -i rules.conf -d hist >"$1.out" 2>"$1.err" &
  DAEMON=$!
  local n=200
  until grep -q mon.mmap "/proc/$DAEMON/maps" 2>/dev/null; do
    alive "$DAEMON" || fail "$1 did not start"
    [ "$n" -gt 0 ] || fail "$1 did not attach to the table"
    n=$((n - 1))
    sleep 0.1
  done
  sleep 0.2  # from the mapping to its reader entry
}

# stop_daemon NAME: SIGQUIT, which must end it with status 0.
stop_daemon() {
  kill -QUIT "$DAEMON"
  reap "$DAEMON" 10
  DAEMON=
  [ "$status" -eq 0 ] || fail "$1 exited with status $status on SIGQUIT"
  grep -q "process quits on the QUIT signal" "$1.err" || fail "$1 did not say it quits"
}

# history: twhistory's listing, into history.txt.
history() {
  "$TWH" hist >history.txt 2>history.err || fail "twhistory failed"
}

# listed REGEX: a line of the listing matches REGEX entirely.
listed() { grep -qx -- "$1" history.txt || fail "no history line \"$1\""; }
unlisted() { ! grep -q -- "$1" history.txt || fail "history still lists \"$1\""; }

cd "$WORK"
T='[0-9][0-9]*'
cat >rules.conf <<'EOF'
# The third failure of a source and user within the alert time.
WHEN (usr != bulk & FAIL[src, usr] > 2)
EXEC
  echo fired usr src FAIL[src, usr] >> fired.txt
END
# Every failure, with the count so far.
WHEN (err > 0 & usr != bulk)
EXEC
  echo fail usr src FAIL[src, usr] >> fail.txt
END
# Traffic and accesses of dan's connections.
WHEN (usr == dan)
EXEC
  echo dan TRAFFIC[usr] ACCESS[usr] >> dan.txt
END
# An aggregate that only zed's records look at.
WHEN (usr == zed & ACCESS[src == 10.5.5.5, src] > 2)
EXEC
  echo zed ACCESS[src == 10.5.5.5, src] >> zed.txt
END
# Many failures of one source.
WHEN (usr == bulk & FAIL[src] > 1000)
EXEC
  echo bulk FAIL[src] >> bulk.txt
END
# Failures by destination, service and error; never fires.
WHEN (FAIL[dst, app, err] > 100000)
EXEC
  echo never
END
# carol's and zed's records are done.
WHEN (usr == carol | usr == zed)
EXEC
  echo seen usr >> seen.txt
END
EOF

# --- twhistory on its own.
status=0
"$TWH" >out.txt 2>usage.err || status=$?
[ "$status" -eq 1 ] && grep -q "usage: twhistory" usage.err || fail "no usage"
status=0
"$TWH" -s 0 hist >out.txt 2>usage.err || status=$?
[ "$status" -eq 1 ] && grep -q "usage: twhistory" usage.err || fail "-s 0 taken"
status=0
"$TWH" nosuch >out.txt 2>open.err || status=$?
[ "$status" -eq 1 ] && grep -q "can't open nosuch1" open.err ||
  fail "missing files not reported"
if command -v groff >/dev/null; then
  groff -man -Tutf8 -ww -z "$SRC/doc/twhistory.1" 2>man.err
  [ ! -s man.err ] || fail "manual page warnings"
fi

mkfifo feed.fifo
"$MF" - <feed.fifo >feed.out 2>feed.err &
FEEDER=$!
exec 3>feed.fifo

# --- First daemon.
n=50
until grep -q "table created" feed.out; do
  [ "$n" -gt 0 ] || fail "monfeed did not create the table"
  n=$((n - 1))
  sleep 0.1
done
start_daemon d1

# Three failures of alice and one of bob from the same source.
failed alice 10.1.1.1
failed bob 10.1.1.1
failed alice 10.1.1.1
failed alice 10.1.1.1
wait_lines fail.txt 4
[ "$(sort fail.txt)" = "$(printf '%s\n' 'fail alice 10.1.1.1 1' \
  'fail alice 10.1.1.1 2' 'fail alice 10.1.1.1 3' 'fail bob 10.1.1.1 1')" ] ||
  fail "failures counted wrongly"
expect fired.txt "fired alice 10.1.1.1 3"

# dan's first connection is reported three times, his second twice; each
# connection counts once, with its latest bytes.
opened dan 10.3.3.3 100
d1=$N
wait_lines dan.txt 1
feed "update $d1 in=300 out=20"
wait_lines dan.txt 2
opened dan 10.3.3.3 50
d2=$N
wait_lines dan.txt 3
feed "end $d1"
wait_lines dan.txt 4
feed "end $d2"
wait_lines dan.txt 5
expect dan.txt "$(printf '%s\n' 'dan 100 1' 'dan 320 1' 'dan 370 2' \
  'dan 370 2' 'dan 370 2')"

# carol's two connections are counted although no condition reads the
# aggregate for her; zed's then sees three.
opened carol 10.5.5.5
c1=$N
wait_lines seen.txt 1
opened carol 10.5.5.5
c2=$N
wait_lines seen.txt 2
opened zed 10.5.5.5
z=$N
wait_lines seen.txt 3
expect zed.txt "zed 3"
feed "end $c1" "end $c2" "end $z"
wait_lines seen.txt 6
expect zed.txt "$(printf '%s\n' 'zed 3' 'zed 3')"

stop_daemon d1
history
listed "FAIL #1 src=10.1.1.1 usr=alice items=3 first=$T last=$T"
listed "FAIL #1 src=10.1.1.1 usr=bob items=1 first=$T last=$T"
listed "FAIL #3 dst=10.200.0.1 app=25/tcp err=5 items=4 first=$T last=$T"
listed "TRAFFIC #1 usr=dan items=2 first=$T last=$T sum=370"
listed "ACCESS #1 usr=dan items=2 first=$T last=$T"
listed "ACCESS #2 src=10.5.5.5 items=3 first=$T last=$T"

# --- Second daemon: the counts go on.
start_daemon d2
failed alice 10.1.1.1
wait_lines fail.txt 5
[ "$(tail -n 1 fail.txt)" = "fail alice 10.1.1.1 4" ] ||
  fail "alice's count did not survive the restart"
[ "$(tail -n 1 fired.txt)" = "fired alice 10.1.1.1 4" ] || fail "no alarm after the restart"

# SIGVTALRM rewrites the files, keeping what is inside the keep time.
grep -q "refresh database" d2.err && fail "refresh traced before the signal"
inode=$(stat -c %i hist1.pag)
kill -VTALRM "$DAEMON"
n=100
until grep -q "refresh database: removing everything before" d2.err; do
  [ "$n" -gt 0 ] || fail "no refresh after SIGVTALRM"
  n=$((n - 1))
  sleep 0.1
done
now=$(date +%s)
cutoff=$(grep -o "removing everything before -*[0-9]*" d2.err | head -n 1)
cutoff=${cutoff##* }
[ "$cutoff" -le $((now - 300)) ] && [ "$cutoff" -ge $((now - 305)) ] ||
  fail "refresh cut-off $cutoff is not the keep time before $now"
[ "$(stat -c %i hist1.pag)" != "$inode" ] || fail "hist1.pag was not replaced"
failed bob 10.1.1.1
wait_lines fail.txt 6
[ "$(tail -n 1 fail.txt)" = "fail bob 10.1.1.1 2" ] || fail "bob's count lost in the refresh"

# 1,020 failures of one source, 15 connections at a time: once the table
# holds more than 27 records, the writer drops ended connections that a
# reader has not taken yet.  The daemon is woken every 0.1 s with a
# refresh, so it does not sleep a second between the batches.
(while kill -VTALRM "$DAEMON" 2>/dev/null; do sleep 0.1; done) &
TICKER=$!
for batch in $(seq 68); do
  for i in $(seq 15); do failed bulk 10.9.9.9; done
  feed "wait-drained 30"
done
wait_lines bulk.txt 20 60
kill "$TICKER" 2>/dev/null || true
wait "$TICKER" 2>/dev/null || true
TICKER=
expect bulk.txt "$(seq 1001 1020 | sed 's/^/bulk /')"

stop_daemon d2
history
listed "FAIL #2 src=10.9.9.9 items=1020 first=$T last=$T"
listed "FAIL #1 src=10.1.1.1 usr=alice items=4 first=$T last=$T"
listed "FAIL #3 dst=10.200.0.1 app=25/tcp err=5 items=1026 first=$T last=$T"
alice_first() { sed -n 's/^FAIL #1 src=10.1.1.1 usr=alice .* first=\([0-9]*\) .*/\1/p' history.txt; }
first_before=$(alice_first)

# --- Items made 200 s older are still inside the keep time (300 s) and
# the alert time (300 s) at the next start.
"$TWH" -s 200 hist >history.txt 2>history.err || fail "twhistory -s failed"
first_after=$(alice_first)
[ "$first_after" -eq $((first_before - 200)) ] || fail "items not aged by 200 s"
start_daemon d3
failed alice 10.1.1.1
wait_lines fail.txt 7
[ "$(tail -n 1 fail.txt)" = "fail alice 10.1.1.1 5" ] || fail "aged items lost"
stop_daemon d3

# --- 200 s more: the start-up refresh drops everything older than the
# keep time, whole records included.
"$TWH" -s 200 hist >/dev/null 2>history.err || fail "twhistory -s failed"
start_daemon d4
failed alice 10.1.1.1
wait_lines fail.txt 8
[ "$(tail -n 1 fail.txt)" = "fail alice 10.1.1.1 2" ] ||
  fail "expired items still counted"
stop_daemon d4
history
listed "FAIL #1 src=10.1.1.1 usr=alice items=2 first=$T last=$T"
unlisted "src=10.9.9.9"
unlisted "usr=bob"
unlisted "usr=dan"

exec 3>&-
kill -TERM "$FEEDER"
reap "$FEEDER" 10
FEEDER=
[ "$status" -eq 0 ] || fail "monfeed exited with status $status"
[ ! -s feed.err ] || fail "monfeed reported errors"
echo "history end-to-end test passed"

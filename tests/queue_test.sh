#!/usr/bin/env bash
# The daemon under load, end to end: commands run off the intake path, in
# firing order, within their timeout; an orderly stop runs what is queued;
# connections the daemon never saw are counted; the status line; pacing.
# usage (through nsrun.sh): queue_test.sh TOLLWATCH TWPARSER MONFEED
set -euo pipefail

TW=$1 MF=$3
PATH=$(dirname "$2"):$PATH
WORK=$(mktemp -d)
FEEDER= DAEMON=
trap 'kill -KILL $DAEMON $FEEDER 2>/dev/null || true; pkill -f "sleep 3[01][.]" || true; rm -rf "$WORK"' EXIT
cd "$WORK"

fail() {
  echo "FAIL: $*" >&2
  for f in *.err *.txt; do [ ! -f "$f" ] || { echo "--- $f"; tail -n 40 "$f"; } >&2; done
  exit 1
}
within() {  # SECONDS COMMAND...: until COMMAND succeeds, polled every 0.1 s
  local n=$(($1 * 10))
  shift
  until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done
}
has() { grep -Eq -- "$2" "$1" 2>/dev/null; }
lines() { [ "$(wc -l <"$1" 2>/dev/null || echo 0)" -ge "$2" ]; }
dead() { ! kill -0 "$1" 2>/dev/null; }
reap() {  # PID: waits for it, killing it after 30 s; exit status in $status
  (sleep 30; kill -KILL "$1") >/dev/null 2>&1 &
  local dog=$!
  status=0 && wait "$1" || status=$?
  { kill -KILL "$dog" && wait "$dog"; } 2>/dev/null || true
}
# start NAME FLAGS...: monfeed on NAME.feed, then tollwatch on NAME.conf.
start() {
  local n=$1
  shift
  rm -f "$n.feed.txt" "$n.out" "$n.err"  # a background job truncates late
  "$MF" "$n.feed" >"$n.feed.txt" 2>&1 & FEEDER=$!
  within 10 has "$n.feed.txt" "table created" || fail "$n: no table"
  "$TW" -f "$@" -i "$n.conf" >"$n.out" 2>"$n.err" & DAEMON=$!
}
finish() {  # quits the daemon (SIG$1) and the feeder; the daemon exits 0
  kill "-$1" "$DAEMON"; reap "$DAEMON"; DAEMON=
  [ "$status" -eq 0 ] || fail "tollwatch exited $status on SIG$1"
  kill -TERM "$FEEDER"; reap "$FEEDER"; FEEDER=
}
status_line() {  # NAME FIELD: the field of a fresh status line
  local before
  before=$(grep -c '^status: ' "$1.err" || true)
  kill -USR1 "$DAEMON"
  within 5 eval '[ "$(grep -c "^status: " '"$1.err"')" -gt '"$before"' ]' ||
    fail "no status line on SIGUSR1"
  grep '^status: ' "$1.err" | tail -n 1 | tr ' ' '\n' | sed -n "s/^$2=//p"
}
# conn N USER PORT: a connection in two changes
conn() {
  echo "start $1 user=$2 src=192.168.50.1:40000"
  echo "update $1 cmd=connect dst=198.51.100.1:$3 dsthost=h.ex"
}

# ---- 1. Slow commands do not hold up the intake.  50 connections end
# within a second, 10 open at once; each end fires a command that takes
# 2 s.  Every end is taken at once, and the commands start later, in the
# order the alarms fired.  SIGTERM, like SIGQUIT, lets the queue run out.
{
  echo 'react_time = 300'
  printf 'WHEN (app == 80) EXEC\necho usr >> %s ; sleep 2\nEND\n' "$WORK/started.txt"
} >burst.conf
{
  echo "wait-reader 30"
  for i in $(seq 1 50); do
    conn "$i" "c$i" 81
    if [ "$i" -gt 10 ]; then
      echo "update $((i - 10)) dst=198.51.100.1:80"; echo "end $((i - 10))"
    fi
    echo "sleep 0.015"
  done
  for i in $(seq 41 50); do echo "update $i dst=198.51.100.1:80"; echo "end $i"; done
  echo "wait-drained 10"
} >burst.feed
start burst -t -a 10
within 20 has burst.feed.txt "script done" || fail "burst: feed stuck"
[ "$(grep -c 'true;echo c[0-9]* >>' burst.err)" -eq 50 ] ||
  fail "burst: not every end fired"
queued=$(status_line burst queued)
[ "$queued" -ge 20 ] || fail "burst: only $queued commands waiting: intake held up?"
[ "$(status_line burst missed_ends)" = 0 ] || fail "burst: ends missed"
finish TERM
[ "$(wc -l <started.txt)" -eq 50 ] || fail "burst: $(wc -l <started.txt) of 50 commands ran before the exit"
# Ten run at once, two seconds each: each ten in the order they started
# are the next ten that fired (within a ten the shells race).
tens() { awk '{ print int((NR - 1) / 10), $0 }' "$1" | sort; }
grep -o 'true;echo c[0-9]* >>' burst.err | cut -d' ' -f2 >fired.txt
[ "$(tens fired.txt)" = "$(tens started.txt)" ] ||
  fail "burst: commands did not start in firing order"
tail -n 1 burst.err | grep -q 'process quits on the QUIT signal$' || fail "burst: no quit"

# ---- 2. A command past its time is ended with its process group, logged,
# and the next queued command runs.  A second quit during the drain ends
# the daemon at once.
printf 'WHEN (usr == slow) EXEC\nsleep 30.5 & sleep 30.6\nEND\nWHEN (usr == next) EXEC\necho usr >> %s\nEND\n' \
  "$WORK/next.txt" >slow.conf
{ echo "wait-reader 30"; conn 1 slow 443; conn 2 next 443; echo "wait-drained 10"; } >slow.feed
start slow -T 1
within 4 has slow.err "^action .sleep 30.5 & sleep 30.6 ; ' timed out after 1 s$" ||
  fail "slow: no time-out logged"
within 5 has next.txt next || fail "slow: the next command did not run"
within 5 eval '! pgrep -f "sleep 30[.][56]" >/dev/null' || fail "slow: its process group lives on"
finish QUIT

printf 'WHEN (app == 443) EXEC\nsleep 30.1 ; echo usr\nEND\n' >stuck.conf
{ echo "wait-reader 30"; for i in 1 2 3 4; do conn "$i" "s$i" 443; done; echo "wait-drained 10"; } >stuck.feed
start stuck -T 0
within 10 has stuck.feed.txt "script done" || fail "stuck: feed stuck"
kill -QUIT "$DAEMON"
sleep 0.5
dead "$DAEMON" && fail "stuck: quit without running the queue"
kill -QUIT "$DAEMON"; reap "$DAEMON"; DAEMON=
[ "$status" -eq 0 ] || fail "stuck: exit $status"
has stuck.err '^quit during the drain: 3 queued commands not run$' || fail "stuck: drain not cut short"
kill -TERM "$FEEDER"; reap "$FEEDER"; FEEDER=

# ---- 2b. Two at once: a short command ends while a long one runs, and
# the daemon goes on (more commands, the status line); a quit waits for the
# long one to end, not only to start.
{
  echo 'react_time = 300'
  printf 'WHEN (usr == long) EXEC\nsleep 3 ; echo usr >> %s\nEND\n' "$WORK/done.txt"
  printf 'WHEN (usr == short*) EXEC\necho usr >> %s\nEND\n' "$WORK/done.txt"
} >mixed.conf
{
  echo "wait-reader 30"; conn 1 long 443; conn 2 short1 443
  echo "sleep 1"; conn 3 short2 443; echo "wait-drained 10"
} >mixed.feed
start mixed -a 2
within 3 has done.txt short2 || fail "mixed: no command ran after a short one ended"
[ -n "$(status_line mixed run)" ] || fail "mixed: no status while a command runs"
! has done.txt long || fail "mixed: the long command was not still running"
finish QUIT
has done.txt long || fail "mixed: the quit did not wait for the running command"

# ---- 3. Stopped for a while under a flood of short connections, the
# daemon counts as missed exactly the starts of the connections it never
# checked.
printf 'react_time = 300\nWHEN (app == 443) EXEC\necho usr >> %s\nEND\n' "$WORK/seen.txt" >flood.conf
{
  echo "wait-reader 30"
  conn 1000 ready 443
  echo "sleep 1"
  for i in $(seq 1 100); do conn "$i" "f$i" 443; echo "end $i"; done
  echo "wait-drained 30"
  conn 1001 sentinel 443
  echo "wait-drained 30"
} >flood.feed
start flood
within 10 has seen.txt ready || fail "flood: the daemon took nothing"
kill -STOP "$DAEMON"
sleep 2
kill -CONT "$DAEMON"
within 30 has seen.txt sentinel || fail "flood: the sentinel never fired"
checked=$(grep -c '^f' seen.txt || true)
missed=$(status_line flood missed_starts)
echo "flood: $checked of 100 connections checked, $missed starts missed"
[ "$checked" -lt 100 ] || fail "flood: nothing was lost; the test proves nothing"
[ "$missed" -eq $((100 - checked)) ] || fail "flood: $missed missed starts, $((100 - checked)) unchecked"
[ "$(status_line flood taken)" -ge $((checked + 2)) ] || fail "flood: taken too low"
finish QUIT

# ---- 4. Pacing: an idle daemon wakes every poll interval; -p 1000 gives
# the old pace of one pass a second.
printf 'WHEN (app == 1) EXEC\necho never\nEND\n' >idle.conf
echo "wait-reader 30" >idle.feed
for p in 10 1000; do
  start idle -p "$p"
  within 10 has idle.feed.txt "script done" || fail "idle: no reader"
  a=$(awk '/^voluntary_ctxt/ {print $2}' "/proc/$DAEMON/status")
  sleep 2
  b=$(awk '/^voluntary_ctxt/ {print $2}' "/proc/$DAEMON/status")
  echo "idle -p $p: $((b - a)) wake-ups in 2 s"
  if [ "$p" = 10 ]; then [ $((b - a)) -ge 100 ] || fail "-p 10 idles too slowly"
  else [ $((b - a)) -le 6 ] || fail "-p 1000 wakes $((b - a)) times in 2 s"; fi
  finish QUIT
done
echo "queue_test: all passed"

#!/usr/bin/env bash
# What tollwatch(8) promises: every field of the status line, a command past
# its time killed when it ignores SIGTERM, no limit with -T 0, the full
# queue's drops, a second SIGTERM during the drain, a quit with the table lost.
. "$(dirname "$0")/harness.sh" "$@"
T=30.$$  # long commands sleep 30.PID... s, so that ours are known by it
trap 'kill -KILL $DAEMON $FEEDER $(pgrep -f "sleep $T") 2>/dev/null || true; rm -rf "$WORK"' EXIT
rules() { printf 'WHEN (%s) EXEC\n%s\nEND\n' "$@"; }  # CONDITION COMMAND...
drained() { for line in "$@"; do printf '%s\nwait-drained 30\n' "$line"; done; }  # LINE...: each taken alone
status_line() {  # NAME: a fresh status line of NAME.err
  local n && n=$(count "$1.err" '^status: ') && kill -USR1 "$DAEMON"
  within 5 eval '[ "$(count '"$1.err"' "^status: ")" -gt '"$n"' ]' || fail "no status line"
  grep '^status: ' "$1.err" | tail -n 1
}
fields() {  # LINE NAME...: "NAME=value" of each, by name wherever it stands
  local line=$1 f && shift
  for f; do tr ' ' '\n' <<<"$line" | grep -m 1 "^$f=" || echo "$f missing"; done | paste -sd ' '
}
refreshed() { date -d "$(sed -E 's/.* last_refresh=([0-9-]+ [0-9:]+)( .*)?$/\1/' <<<"$1")" +%s; }  # STATUS_LINE
src() { echo "src=192.168.50.$1:40000"; }  # N

# counters: each record taken alone.  Starts without a command and a port 0
# are invalid; run1 and same fire and run, same's repeat is held back, bad
# exits 3, again's second start is an end never taken.  (Missed starts are
# counted in queue_test.sh's flood, a full queue below.)
{ echo 'react_time = 300'; rules 'usr == run*' 'echo usr >>ran.txt' 'usr == same' 'echo same >>ran.txt' \
    'usr == bad' 'exit 3' 'ACCESS[src] > 1000000' 'echo never'; } >counters.conf
d="dst=198.51.100.1:80" && { echo "wait-reader 30"
  drained "start 1 user=run1 $(src 1)" "update 1 cmd=connect $d" "start 2 user=same $(src 2)" "update 2 cmd=connect $d" \
    "update 2 in=5" "start 3 user=bad $(src 3)" "update 3 cmd=connect $d" "start 4 user=zero $(src 4)" \
    "update 4 cmd=connect app=nada dst=198.51.100.4:0" "start 5 user=again $(src 5)" "start 5 user=again $(src 5)"
} >counters.feed && t=$(date +%s) && start counters -r 0
within 20 has counters.feed.txt "script done" && within 5 has counters.err "^action .exit 3 ; ' unsuccessful$" &&
  within 5 eval '[ "$(wc -l <ran.txt)" = 2 ]' && printf 'run1\nsame\n' | same ran.txt || fail "counters: not run"
line=$(status_line counters)
same <(fields "$line" taken checked invalid fired run suppressed unsuccessful timed_out dropped queued \
  missed_starts missed_ends) <<<"taken=11 checked=4 invalid=7 fired=4 run=3 suppressed=1 unsuccessful=1 \
timed_out=0 dropped=0 queued=0 missed_starts=0 missed_ends=1"
# The last refresh: at the start, then one asked for (something stored) a second later.
when=$(refreshed "$line") && [ "$when" -ge "$t" ] && [ "$when" -le "$(date +%s)" ] ||
  fail "counters: a refresh at $when, not at the start ($t)"
within 2 eval '[ "$(date +%s)" -gt "$when" ]' && t=$(date +%s) && kill -VTALRM "$DAEMON"
when=$(refreshed "$(status_line counters)") && [ "$when" -ge "$t" ] || fail "counters: last refresh at $when, not after $t"
finish

# stubborn: ignoring SIGTERM, timed out after -T 1 s, killed 2 s later; then the next runs.
rules 'usr == stubborn' "trap '' TERM; sleep ${T}1" 'usr == next' 'echo usr >next.txt' >stubborn.conf
{ echo "wait-reader 30"; conn 1 stubborn 80; echo "wait-drained 30"; conn 2 next 80; } >stubborn.feed && start stubborn -T 1
within 5 has stubborn.err "^action .trap '' TERM; sleep ${T}1 ; ' timed out after 1 s$" || fail "stubborn: no time-out"
sleep 1.3 && pgrep -f "sleep ${T}1" >/dev/null && [ ! -e next.txt ] || fail "stubborn: ended, or the next started, before the SIGKILL"
within 3 eval '! pgrep -f "sleep ${T}1" >/dev/null' && within 2 has next.txt next || fail "stubborn: never killed, or no next"
same <(fields "$(status_line stubborn)" run timed_out unsuccessful) <<<"run=2 timed_out=1 unsuccessful=0"
finish

# unlimited: -T 0 lets a command run past any limit (here 2 s).
rules 'usr == long' 'sleep 2 ; echo usr >long.txt' >unlimited.conf
{ echo "wait-reader 30"; conn 1 long 80; } >unlimited.feed && start unlimited -T 0
within 6 has long.txt long && ! has unlimited.err 'timed out' || fail "-T 0: the command was cut short"
finish

# full: a command that never ends holds the one child; 500 alarms fire for each
# of 25 records.  The queue keeps 10,000; the rest are dropped, counted, told once.
# A second SIGTERM during the drain ends it; the running command is left alone.
{ rules 'usr == hold' "sleep ${T}2"; for i in $(seq 500); do rules 'usr == f*' "echo $i"; done; } >full.conf
{ echo "wait-reader 30"; drained "start 1 user=hold $(src 1)" "update 1 cmd=connect $d" "start 2 user=f $(src 2)" \
    "update 2 cmd=connect $d"; for i in $(seq 24); do drained "update 2 in=$i"; done; } >full.feed && start full -l -T 0
within 30 has full.feed.txt "script done" || fail "full: feed stuck"
same <(fields "$(status_line full)" fired run queued dropped) <<<"fired=12501 run=1 queued=10000 dropped=2500"
same <(grep '^action queue' full.err) <<<"action queue full: 500 commands dropped"
kill -TERM "$DAEMON" && ! within 1 dead "$DAEMON" || fail "full: quit without a drain"
finish TERM && has full.err '^quit during the drain: 10000 queued commands not run$' || fail "full: drain not cut short"
pgrep -f "sleep ${T}2" >/dev/null || fail "full: the running command was ended"

# lost: waiting for a table that went, SIGTERM or SIGQUIT ends it at once.
rules 'usr == x' 'echo x' >lost.conf
for sig in TERM QUIT; do
  pipefeed && daemon lost && within 10 is_reader5 "$DAEMON" || fail "lost: not attached"
  exec 7>&- && kill -TERM "$FEEDER" && reap "$FEEDER" && FEEDER=
  within 5 has lost.err '^connection table lost, waiting for a new one$' || fail "lost: loss not noticed"
  t=$(date +%s%N) && kill -"$sig" "$DAEMON" && reap "$DAEMON" && DAEMON= && ms=$((($(date +%s%N) - t) / 1000000))
  [ "$status" = 0 ] && [ "$ms" -lt 2000 ] && has lost.err '^process quits on the QUIT signal$' ||
    fail "lost: SIG$sig ended the wait with status $status after $ms ms"
done
echo "promises test passed"

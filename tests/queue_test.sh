#!/usr/bin/env bash
# The daemon under load: the action queue, time-outs, quits, missed
# connections, the polling pace.
. "$(dirname "$0")/harness.sh" "$@"
T=30.$$  # long commands sleep 30.PID... s, so that ours are known by it
trap 'kill -KILL $DAEMON $FEEDER $(pgrep -f "sleep $T") 2>/dev/null || true; rm -rf "$WORK"' EXIT
rules() { printf 'WHEN (%s) EXEC\n%s\nEND\n' "$@"; }  # CONDITION COMMAND...

# burst: 30 ends in half a second fire 2-s commands, 10 at a time: all taken
# at once, run in firing order (each ten races), SIGTERM lets the queue run.
rules 'app == 80' 'echo usr >>started.txt ; sleep 2' >burst.conf
{ echo "wait-reader 30"; for i in $(seq 30); do conn "$i" "c$i" 80; echo "end $i"; echo "sleep 0.015"; done; } >burst.feed
start burst -t -a 10
within 20 has burst.feed.txt "script done" && within 5 eval '[ "$(count burst.err "true;echo c")" = 30 ]' ||
  fail "burst: not every end fired"
[ "$(status_of burst queued)" -ge 10 ] || fail "burst: too few waiting: intake held up?"
finish TERM
tens() { awk '{ print int((NR - 1) / 10), $0 }' | sort; }
same <(sed -n 's/.*true;echo \(c[0-9]*\) >>.*/\1/p' burst.err | tens) < <(tens <started.txt)

# slow: a command past its time is ended with its group, logged; the next runs.
rules 'usr == slow' "sleep ${T}5 & sleep ${T}6" 'usr == next' 'echo usr >next.txt' >slow.conf
{ echo "wait-reader 30"; conn 1 slow 443; conn 2 next 443; } >slow.feed && start slow -T 1
within 4 has slow.err "^action .sleep ${T}5 & sleep ${T}6 ; ' timed out after 1 s$" || fail "slow: no time-out"
within 5 has next.txt next || fail "slow: the next command did not run"
within 5 eval '! pgrep -f "sleep $T[56]" >/dev/null' || fail "slow: its group lives on"
finish

# stuck: a second quit during the drain ends the daemon at once.
rules 'app == 443' "sleep ${T}1 ; echo usr" >stuck.conf
{ echo "wait-reader 30"; for i in 1 2 3 4; do conn "$i" "s$i" 443; done; } >stuck.feed && start stuck -T 0
within 10 eval '[ "$(count stuck.err "^sleep ${T}1")" = 4 ]' || fail "stuck: not all fired"
kill -QUIT "$DAEMON" && ! within 1 dead "$DAEMON" || fail "stuck: quit without running the queue"
finish && has stuck.err '^quit during the drain: 3 queued commands not run$' || fail "stuck: drain not cut short"

# mixed: a short command ends beside a long one; a quit waits for the long one.
rules 'usr == long' 'sleep 3 ; echo usr >>done.txt' 'usr == short*' 'echo usr >>done.txt' >mixed.conf
{ echo "wait-reader 30"; conn 1 long 443; conn 2 short1 443; echo "sleep 1"; conn 3 short2 443; } >mixed.feed
start mixed -a 2
within 3 has done.txt short2 && ! has done.txt long || fail "mixed: a short command held up by the long one"
finish && has done.txt long || fail "mixed: the quit did not wait for the running command"

# birth: a command starts at the head of its own process group, /dev/null
# on its standard descriptors (standard error is the trace with -t), 3 to
# 9 closed though the daemon inherited them open, none of the daemon's own
# open, nothing blocked, and the daemon's signals at their default though
# its parent ignored some (a background job ignores INT and QUIT as well).
# (The shell's descriptors are listed by a subshell, whose redirections
# leave the shell's alone; what the daemon inherits past 9 is closed first.)
p='/proc/$$'
rules 'usr == probe' "(ls $p/fd ; readlink $p/fd/0 $p/fd/1 $p/fd/2 ; cat $p/stat ; grep ^Sig $p/status) >probe.txt ; \
echo done >probe.done" >probe.conf
for fd in /proc/$BASHPID/fd/*; do [ "${fd##*/}" -lt 10 ] || [ "${fd##*/}" = 255 ] || eval "exec ${fd##*/}>&-"; done
{ echo "wait-reader 30"; conn 1 probe 443; } >probe.feed
mask=0 && for s in HUP INT QUIT BUS SEGV USR1 PIPE TERM CHLD VTALRM; do mask=$((mask | 1 << ($(kill -l $s) - 1))); done
while read -r flag err; do
  rm -f probe.done && trap '' PIPE HUP && exec 5<probe.conf 9<probe.conf
  start probe "$flag" && trap - PIPE HUP && exec 5<&- 9<&-
  within 10 has probe.done done || fail "birth $flag: the probe did not run"
  finish
  same <(head -n 6 probe.txt) <<<"$(printf '0\n1\n2\n/dev/null\n/dev/null\n%s' "$err")"
  read -r pid _ _ _ group _ < <(sed -n 7p probe.txt) && [ "$pid" = "$group" ] || fail "birth $flag: not a group of its own"
  sig() { printf %d "0x$(sed -n "s/^Sig$1:\s*//p" probe.txt)"; }
  [ "$(sig Blk)" = 0 ] && [ $(($(sig Ign) & mask)) = 0 ] || fail "birth $flag: signals blocked or ignored: $(grep ^Sig probe.txt)"
done <<<"-t $PWD/probe.err
-l /dev/null"

# noshell: with no shell to start, each command is reported, counted as run
# and unsuccessful, and the daemon goes on (/bin/sh hidden from it alone,
# where a mount namespace of its own can be had).
if unshare -m --propagation private true 2>/dev/null; then
  printf '#!/bin/sh\nexec unshare -m --propagation private sh -c '\''mount --bind /dev/null /bin/sh && exec "$0" "$@"'\'' %s "$@"\n' "$TW" >noshell
  chmod +x noshell && real=$TW TW=$PWD/noshell
  rules 'usr == a*' 'echo usr' >noshell.conf && { echo "wait-reader 30"; conn 1 a1 443; conn 2 a2 443; } >noshell.feed
  start noshell && TW=$real && within 10 eval '[ "$(count noshell.err "^action .echo a[12] ; . unsuccessful$")" = 2 ]' ||
    fail "noshell: not both reported"
  [ "$(status_of noshell run)/$(status_of noshell unsuccessful)" = 2/2 ] || fail "noshell: not counted as run, unsuccessful"
  [ "$(count noshell.err '^Cannot execute shell command when execl /bin/sh')" = 2 ] || fail "noshell: no reason given"
  finish
fi

# flood: stopped under 100 short connections, the daemon counts as missed
# exactly the starts of those it never checked.
{ echo 'react_time = 300'; rules 'app == 443' 'echo usr >>seen.txt'; } >flood.conf
{ echo "wait-reader 30"; conn 1000 ready 443; echo "sleep 1"; for i in $(seq 100); do conn "$i" "f$i" 443; echo "end $i"; done
  echo "wait-drained 30"; conn 1001 sentinel 443; } >flood.feed && start flood
within 10 has seen.txt ready || fail "flood: the daemon took nothing"
kill -STOP "$DAEMON"; sleep 2; kill -CONT "$DAEMON"
within 30 has seen.txt sentinel || fail "flood: the sentinel never fired"
checked=$(count seen.txt '^f') missed=$(status_of flood missed_starts)
echo "flood: $checked of 100 connections checked, $missed starts missed"
[ "$checked" -lt 100 ] && [ "$missed" -eq $((100 - checked)) ] && [ "$(status_of flood missed_ends)" = 0 ] ||
  fail "flood: $missed missed starts, $((100 - checked)) unchecked, or ends missed"
finish

# idle: the daemon wakes every poll interval (10 ms, or 1 s) and no more,
# about 200 (or 2) times in 2 s.  Half or twice the 10-ms pace fails, and
# so does a busy loop (it never sleeps); at 1 s, a wait for a signal alone.
rules 'app == 1' 'echo never' >idle.conf && echo "wait-reader 30" >idle.feed
wakes() { awk '/^voluntary_ctxt/ { print $2 }' "/proc/$DAEMON/status"; }
while read -r p low high; do  # interval, wake-ups allowed in 2 s
  start idle -p "$p" && within 10 has idle.feed.txt "script done" || fail "idle: no reader"
  a=$(wakes) && sleep 2 && n=$(($(wakes) - a)) && echo "idle -p $p: $n wake-ups in 2 s"
  [ "$n" -ge "$low" ] && [ "$n" -le "$high" ] || fail "-p $p: $n wake-ups in 2 s, not $low to $high"
  finish
done <<<$'10 120 260\n1000 1 3'
echo "queue test passed"

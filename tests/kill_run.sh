#!/usr/bin/env bash
# make kill-run: tollwatch SIGKILLed at random under load and refreshes; after
# each kill the history opens without a word and holds every user's FAIL count
# its last action printed (less one: the action may run just before the store).
#   nsrun.sh kill_run.sh TOLLWATCH TWPARSER MONFEED TWHISTORY [KILLS]
. "$(dirname "$0")/harness.sh" "${@:1:4}"
trap 'kill -KILL $DAEMON $WRITER $FEEDER 2>/dev/null || true; wait; rm -rf "$WORK"' EXIT
printf '%s\n' 'alert_time = 86400' 'WHEN (err > 0 & usr == u*) EXEC' 'echo fail usr FAIL[usr] FAIL[src, usr] >> fail.txt END' \
  'WHEN (err == 0 & usr == t*) EXEC' 'echo usr TRAFFIC[usr] ACCESS[usr] DURATION[usr] >> traffic.txt END' \
  'WHEN (usr == nobody) EXEC' 'echo FAIL[src, dst, usr] ACCESS[src, usr] END' >rules.conf
pipefeed
one() {  # USER SRC DST [FIELDS [ERROR]]: the next connection, ended
  c=$((c + 1)) && printf '%s\n' "start $c user=$1 src=$2:4000" "update $c cmd=connect dst=$3 ${4-}" "end $c" ${5:+"error $c code=$5"}
}
# Failures of 40 users, of others only the silent rule counts, some traffic.
c=0 && while :; do
  one "u$((c % 40))" "10.1.$((c % 7)).$((c % 250))" 10.200.0.1:25 "" 5
  one "s$c" "10.3.$((c % 256)).$((c / 256 % 256))" 10.200.0.3:25 "" 5
  ((c % 9 > 1)) || one "t$((c % 10))" 10.2.0.1 10.200.0.2:80 "in=$c out=7"; sleep 0.005
done >&7 & WRITER=$!
ms() { echo $(($(date +%s%N) / 1000000)); }
catching() {  # PID: SIGVTALRM has its handler
  local m; m=$(sed -n 's/^SigCgt:\s*//p' "/proc/$1/status" 2>/dev/null); [ -n "$m" ] && (((0x$m >> 25) & 1))
}
refreshes=0
for k in $(seq "${5:-20}"); do
  "$TW" -f -l -i rules.conf -d hist >"d$k.out" 2>"d$k.err" & DAEMON=$!
  # Refreshes every 20-150 ms, the kill 0-40 ms after the last, 0.1-1.5 s in.
  end=$(($(ms) + 100 + RANDOM % 1400))
  while [ "$(ms)" -lt "$end" ]; do
    grep -q '^State:\s*[^Z]' "/proc/$DAEMON/status" || fail "tollwatch $k died"
    ! catching "$DAEMON" || { kill -VTALRM "$DAEMON"; ((++refreshes)); }
    sleep "$(printf '0.%03d' $((20 + RANDOM % 131)))"
  done
  sleep "0.0$((RANDOM % 4))"
  kids=$(cat /proc/"$DAEMON"/task/*/children 2>/dev/null || true)
  kill -KILL "$DAEMON"; wait "$DAEMON" 2>/dev/null || true; DAEMON=
  for p in $kids; do within 30 dead "$p"; done  # a running action ends its line
  # (connections that come and go while no daemon runs are missed)
  ! grep -vx -e "$TW" -e twparser -e 'missed .* since the last report' "d$k.err" || fail "tollwatch $k said more"
  "$TH" hist >history.txt 2>twh.err && [ ! -s twh.err ] || fail "twhistory after kill $k: $(cat twh.err)"
  [ ! -s fail.txt ] || awk 'FILENAME == ARGV[1] { if ($2 == "#1") got[substr($3, 5)] = substr($4, 7); next }
    { want[$2] = $3; last = $2 } END { for (u in want) if (got[u] + (u == last) < want[u]) { print u; bad = 1 }; exit bad }' \
    history.txt fail.txt || fail "kill $k: the history lost these users' failures"
done
kill -KILL "$WRITER"; wait "$WRITER" 2>/dev/null || true; WRITER=
daemon rules -l -d hist && sleep 2 && finish
! grep -vx -e "$TW" -e twparser -e "process quits on the QUIT signal" rules.err || fail "the last run said more"
echo "kills: ${5:-20}, refresh signals: $refreshes, failure actions: $(count fail.txt .); kill run passed"

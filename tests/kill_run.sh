#!/usr/bin/env bash
# The kill run (not part of "make test"): tollwatch is killed with SIGKILL
# at random moments while monfeed feeds failures and traffic and the
# history is refreshed every fraction of a second.  After every kill the
# history must open without a word, at the next start and in twhistory,
# and hold every update the daemon made before the kill: each user's FAIL
# count at least the count its last action printed, less the one record
# whose action may have run just before the kill, before its store.
# Run it through nsrun.sh:
#   nsrun.sh kill_run.sh TOLLWATCH TWPARSER MONFEED TWHISTORY [KILLS]
set -euo pipefail

TW=$1 TWP=$2 MF=$3 TWH=$4 KILLS=${5:-20}
PATH=$(dirname "$TWP"):$PATH  # tollwatch runs twparser from the path
WORK=$(mktemp -d)
FEEDER= WRITER= DAEMON= MAIN=$BASHPID
cleanup() {
  [ "$BASHPID" = "$MAIN" ] || return 0
  for pid in $DAEMON $WRITER $FEEDER; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
alive() { grep -q '^State:[[:space:]]*[^Z]' "/proc/$1/status" 2>/dev/null; }
# catching PID: the process has its refresh handler (SIGVTALRM, 26) in place;
# before that the signal would end it.
catching() {
  local mask
  mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null)
  [ -n "$mask" ] && [ $((0x$mask >> 25 & 1)) = 1 ]
}
# pause MIN MAX: sleeps a random time between MIN and MAX milliseconds.
pause() { sleep "$(awk -v a="$1" -v b="$2" -v r=$RANDOM 'BEGIN { printf "%.3f", (a + (b - a) * r / 32767) / 1000 }')"; }

cd "$WORK"
cat >rules.conf <<'EOF'
alert_time = 86400
WHEN (err > 0 & usr == u*) EXEC
  echo fail usr FAIL[usr] FAIL[src, usr] >> fail.txt END
WHEN (err == 0 & usr == t*) EXEC
  echo traffic usr TRAFFIC[usr] ACCESS[usr] DURATION[usr] >> traffic.txt END
WHEN (usr == nobody) EXEC
  echo FAIL[src, dst, usr] ACCESS[src, usr] END
EOF

mkfifo feed.fifo
"$MF" - <feed.fifo >feed.out 2>feed.err &
FEEDER=$!
exec 3>feed.fifo
for _ in $(seq 50); do grep -q "table created" feed.out && break; sleep 0.1; done
grep -q "table created" feed.out || fail "monfeed did not create the table"

# The load: a failure of one of 40 users every few milliseconds, with
# three failures of others that only the aggregates of a rule that never
# fires count (under new keys, so the history and its refresh grow), and
# a connection with traffic for one of 10 others after every third.
(
  n=0
  while :; do
    n=$((n + 1))
    u=$((n % 40))
    printf '%s\n' "start $n user=u$u src=10.1.$((n % 7)).$((n % 250)):4000" \
      "update $n cmd=connect dst=10.200.0.1:25" "end $n" "error $n code=5"
    for i in 1 2 3; do
      n=$((n + 1))
      printf '%s\n' "start $n user=s$n src=10.3.$((n % 256)).$((n / 256 % 256)):4000" \
        "update $n cmd=connect dst=10.200.0.3:25" "end $n" "error $n code=5"
    done
    if [ $((n % 3)) = 0 ]; then
      n=$((n + 1))
      printf '%s\n' "start $n user=t$((n % 10)) src=10.2.0.1:4000" \
        "update $n cmd=connect dst=10.200.0.2:80 in=$n out=7" "end $n"
    fi
    sleep 0.005
  done
) >&3 &
WRITER=$!

# stored USER: the FAIL items twhistory lists for the user (0 for none).
stored() { sed -n "s/^FAIL #1 usr=$1 items=\([0-9]*\) .*/\1/p" history.txt | grep . || echo 0; }

at_start=0 marks=0 leftovers=0 checked=0 refreshes=0 behind=0
for k in $(seq "$KILLS"); do
  [ -e hist.refresh ] && marks=$((marks + 1))
  [ ! -e hist.refresh ] && ls hist.tmp* >/dev/null 2>&1 && leftovers=$((leftovers + 1))
  "$TW" -f -l -i rules.conf -d hist >"d$k.out" 2>"d$k.err" &
  DAEMON=$!
  # Refreshes every 20-150 ms until the kill, 100-1500 ms after the start;
  # the kill follows the last refresh signal by 0-40 ms, so that it often
  # lands in a refresh (or in the one at start-up).
  end=$(($(date +%s%N) / 1000000 + 100 + RANDOM % 1400))
  while [ $(($(date +%s%N) / 1000000)) -lt "$end" ]; do
    alive "$DAEMON" || fail "tollwatch $k died: $(cat "d$k.err")"
    catching "$DAEMON" && kill -VTALRM "$DAEMON" && refreshes=$((refreshes + 1))
    pause 20 150
  done
  catching "$DAEMON" && kill -VTALRM "$DAEMON" && refreshes=$((refreshes + 1))
  sleep "0.0$((RANDOM % 4))$((RANDOM % 10))"
  grep -q mon.mmap "/proc/$DAEMON/maps" 2>/dev/null || at_start=$((at_start + 1))
  children=$(cat "/proc/$DAEMON/task/"*/children 2>/dev/null || true)
  kill -KILL "$DAEMON"
  wait "$DAEMON" 2>/dev/null || true
  DAEMON=
  # An action's shell that was running finishes its line.
  for pid in $children; do
    while [ -e "/proc/$pid" ]; do sleep 0.05; done
  done
  # In the foreground the two programs name themselves; nothing else.
  ! grep -vx -e "$TW" -e twparser "d$k.err" >said.txt ||
    fail "tollwatch $k said: $(cat -A said.txt)"
  "$TWH" hist >history.txt 2>twh.err || fail "twhistory after kill $k: $(cat twh.err)"
  [ ! -s twh.err ] || fail "twhistory after kill $k said: $(cat twh.err)"
  [ -s fail.txt ] || continue
  last=$(tail -n 1 fail.txt | cut -d' ' -f2)
  while read -r user printed; do
    s=$(stored "$user")
    allowed=$printed
    [ "$user" != "$last" ] || allowed=$((printed - 1))
    [ "$s" -ge "$allowed" ] ||
      fail "kill $k: $user printed $printed, history holds $s"
    [ "$s" -ge "$printed" ] || behind=$((behind + 1))
    checked=$((checked + 1))
  done < <(awk '{ last[$2] = $3 } END { for (u in last) print u, last[u] }' fail.txt)
done

# A last start: the history opens as it is, and the daemon goes on.
kill -KILL "$WRITER"
wait "$WRITER" 2>/dev/null || true  # (the shell reports the kill)
WRITER=
"$TW" -f -l -i rules.conf -d hist >last.out 2>last.err &
DAEMON=$!
printf 'wait-drained 60\n' >&3
sleep 2
alive "$DAEMON" || fail "the last start failed: $(cat last.err)"
kill -QUIT "$DAEMON"
wait "$DAEMON" 2>/dev/null || true
DAEMON=
! grep -vx -e "$TW" -e twparser -e "process quits on the QUIT signal" last.err ||
  fail "the last run said more"
"$TWH" hist >history.txt 2>twh.err || fail "twhistory at the end: $(cat twh.err)"
fed=$(grep -c "" fail.txt)
held=$(awk '/^FAIL #1/ { sub("items=", "", $4); n += $4 } END { print n + 0 }' history.txt)

echo "kills: $KILLS (before the table was attached: $at_start)"
echo "refresh signals sent: $refreshes"
echo "starts that finished a refresh cut after its mark: $marks"
echo "starts that dropped fresh files of a refresh cut before its mark: $leftovers"
echo "per-user checks after kills: $checked (one record in flight: $behind)"
echo "failure actions run: $fed; FAIL items in the history at the end: $held"
echo "kill run passed"

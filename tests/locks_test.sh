#!/usr/bin/env bash
# tollwatch against a table others get in the way of (hash lock held or stuck, semaphores removed, file cut
# short, no slots, a slot out of the table): each told once, signals acted on meanwhile, the daemon never
# killed, and attached again once the table is fit.
. "${0%/*}/harness.sh" "$@"
for a in "$@"; do [ "${a##*/}" != semhold ] || SH=$a; done
HOLDER=
trap 'kill -KILL $DAEMON $FEEDER $HOLDER 2>/dev/null || true; rm -rf "$WORK"' EXIT
say() { conn "$1" "$2" 80 >&7 && within 10 has took.txt "^$2\$" || fail "$2 not taken"; }  # N USER
drop() { exec 7>&-; kill -TERM "$FEEDER"; reap "$FEEDER"; FEEDER=; }  # the table removed, semaphores and all
told() { [ "$(count d.err "$1")" = "$2" ]; }  # ERE TIMES
lost() { within "$2" told '^connection table lost, waiting for a new one$' "$1" || fail "$3: not lost"; }  # N SECONDS WHAT
back() { within "$2" told '^connection table back, attached again$' "$1" || fail "$3: not attached again"; }
usr1() {  # WHEN: a status line within a second
  local n && n=$(count d.err '^status: ') && kill -USR1 "$DAEMON"
  within 1 eval '[ "$(count d.err "^status: ")" -gt '"$n"' ]' || fail "SIGUSR1 not acted on $1"
}
hold() { "$SH" hold mon.hash.mutex >hold.txt 2>&1 & HOLDER=$!; within 5 has hold.txt '^held$' || fail "lock not held"; }
unhold() { kill "$HOLDER" && reap "$HOLDER" && HOLDER=; }
alive() { sleep "$1" && ! dead "$DAEMON" || fail "$2: tollwatch ended"; }  # SECONDS WHAT
locked='^connection table locked for 5 s$'
printf 'WHEN (app == 80) EXEC\necho usr >>took.txt\nEND\n' >d.conf
pipefeed && daemon d -r 0 && within 10 is_reader5 "$DAEMON" || fail "not attached"
say 1 alice
# Lock held: signals acted on while waiting; told once after 5 s; waited out until the holder goes.
hold && sleep 1 && usr1 "while the lock is waited for"
within 7 has d.err "$locked" || fail "the held lock not told"
lost 1 2 "held lock" && usr1 "while the table is lost"
sleep 1 && told "$locked" 1 && told 'locked for' 1 || fail "the held lock told more than once"
unhold && back 1 3 "held lock"; say 2 bob
# Lock stuck at 1 by a value set and left: the same, until the table is made again.
"$SH" set mon.hash.mutex 1 || fail "value not set"
within 7 told "$locked" 2 && lost 2 2 "stuck lock" || fail "the stuck lock not told"
drop && pipefeed && back 2 5 "stuck lock"; say 3 carol
# Semaphores removed: lost at the next look; failed attaches while the writer runs told at most once.
ipcrm -s "$(cat /tmp/mon.hash.mutex)" -s "$(cat /tmp/mon.free.mutex)" || fail "ipcrm"
lost 3 3 "semaphores removed" && sleep 1.5
[ "$(count d.err 'ERROR: Mon_MmapOpen')" -le 1 ] || fail "failed attaches told again and again"
drop && pipefeed && back 3 5 "semaphores removed"; say 4 dave
# File cut short under the mapping: lost, not killed by SIGBUS; taken back when whole again.
cp /tmp/mon.mmap whole && truncate -s 1000 /tmp/mon.mmap || fail "file not cut"
lost 4 3 "file cut short" && alive 1 "file cut short"
cp whole /tmp/mon.mmap && back 4 3 "file mended"; say 5 erin
# No slots in the header: waited out, taken back once mended.
slots=$(od -An -t d4 -j 8 -N 4 /tmp/mon.mmap | tr -d ' ')
edit 'p(8, 0, "i")' && lost 5 3 "nMaxConn 0" && alive 1 "nMaxConn 0"
edit "p(8, $slots, 'i')" && back 5 3 "nMaxConn mended"; say 6 frank
# frank's slot out of the table: skipped (told once), frank found gone by the sweep; no look-up
# without an answer above counted a missed end.
edit 'a, o = slot(6); p(a, 0xfffffff8)' && within 3 has d.err 'bad slot' || fail "bad slot not told"
alive 2 "bad slot" && told 'bad slot' 1 || fail "bad slot told again"
[ "$(status_of d missed_ends)" = 1 ] || fail "missed ends: $(status_of d missed_ends), expected frank's alone"
# SIGTERM while the lock is waited for: the daemon quits at once.
hold && sleep 1 && kill -TERM "$DAEMON" && t0=$(date +%s%N) && reap "$DAEMON" && DAEMON=
[ "$status" = 0 ] && [ $(($(date +%s%N) - t0)) -lt 1500000000 ] && has d.err '^process quits on the QUIT signal$' ||
  fail "SIGTERM while the lock is held: exit $status after $((($(date +%s%N) - t0) / 1000000)) ms"
unhold && drop
# At start-up a table there but cut short is waited for as a lost one, not fatal.
pipefeed && cp /tmp/mon.mmap whole && truncate -s 1000 /tmp/mon.mmap && cp d.conf s.conf && daemon s -r 0
within 5 has s.err '^connection table lost, waiting for a new one$' && sleep 0.5 && ! dead "$DAEMON" ||
  fail "start-up on a table cut short"
cp whole /tmp/mon.mmap && within 3 has s.err '^connection table back, attached again$' || fail "not attached once whole"
exec 7>&- && finish
echo "locks test passed"

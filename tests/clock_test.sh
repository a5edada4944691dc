#!/usr/bin/env bash
# Repeats held back by react_time while the daemon's wall clock steps two hours
# back, then four forward (libfaketime; the monotonic clock left alone, as a
# step of the system time leaves it): each hold lasts react_time, no more, no less.
. "$(dirname "$0")/harness.sh" "$@"
lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
[ -n "$lib" ] || { echo "libfaketime missing: make deps" >&2; exit 77; }
# A sanitized daemon needs its runtime loaded first (the commands' shell then
# hangs: commands started are counted, ended after a second, not waited for).
lib="$(ldd "$TW" | awk '/libasan/ { print $3 }') $lib"

{ echo "react_time = 3"; printf 'WHEN (usr == clk) EXEC\necho usr >>clock.txt\nEND\n'; } >clock.conf
echo +0 >clock.rc && pipefeed
LD_PRELOAD=$lib FAKETIME_TIMESTAMP_FILE=$PWD/clock.rc FAKETIME_NO_CACHE=1 FAKETIME_DONT_FAKE_MONOTONIC=1 \
  "$TW" -f -t -a 5 -T 1 -i clock.conf >clock.out 2>clock.err & DAEMON=$!
n=0
taken() { within 10 eval '[ "$(count clock.err "^-?[0-9]+: clk@")" -ge '"$n"' ]' || fail "change $n not taken"; }
change() {  # CLOCK SUPPRESSED: the daemon's clock at CLOCK, a change, SUPPRESSED held in all
  echo "$1" >clock.rc && n=$((n + 1)) && echo "update 1 in=$n" >&7 && taken
  [ "$(status_of clock suppressed)" = "$2" ] || fail "change $n: not $2 held back"
}
# Started 3 h ago, so that its duration stays positive on either clock.
printf '%s\n' "wait-reader 30" "start 1 user=clk src=192.168.50.1:40000 time=$(($(date +%s) - 10800))" \
  "update 1 cmd=connect dst=198.51.100.1:443" >&7 && n=1 && taken
change -2h 1
sleep 3.3 && change -2h 1   # runs again 3 s later, though the records' time is 2 h earlier
change +2h 2   # held, though the records' time is 4 h on
sleep 3.3 && change +2h 2
within 5 eval '[ "$(status_of clock run)" = 3 ]' || fail "not 3 commands started"
finish
# The clock did step: the record times as the trace shows them.
t=($(grep -Eo '^-?[0-9]+: clk@' clock.err | cut -d: -f1))
[ $((t[1] - t[0])) -ge -7200 ] && [ $((t[1] - t[0])) -le -7190 ] &&
  [ $((t[3] - t[2])) -ge 14400 ] && [ $((t[3] - t[2])) -le 14410 ] || fail "no clock step: ${t[*]}"
echo "clock test passed"

#!/usr/bin/env bash
# tollwatch as a service: one version and a usage for every program, SIGHUP
# reloads (keeping the rules when the new file is broken), the table made
# again, and monfeed leaving a live table alone unless forced.
. "$(dirname "$0")/harness.sh" "$@"
v=$("$TW" -V | cut -d' ' -f2) && [[ $v =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version $v"
for prog in "$TW" twparser "$MF" "$TH"; do
  n=${prog##*/}
  [ "$("$prog" -V; "$prog" --version)" = "$(printf '%s %s\n' "$n" "$v" "$n" "$v")" ] || fail "$n: version"
  for o in -h --help; do "$prog" "$o" 2>/dev/null | grep -qi "usage: *[^ ]*$n" || fail "$n $o: no usage"; done
done

say() { conn "$1" "$2" 80 >&7; }  # N USER: a connection through the pipe
fired() { within 10 has fired.txt "^$1\$" || fail "\"$1\" did not fire"; }
rule() { printf 'WHEN (%s) EXEC\necho %s usr >>fired.txt\nEND\n' "$1" "$2" >rules.conf; }  # CONDITION WORD
reloads() { [ "$(count rules.err '^reload of rules.conf failed, the running rules stay$')" = "$1" ]; }

pipefeed
rule 'user == alice' old && daemon rules -r 0 -P rules.parsed
within 10 is_reader5 "$DAEMON" || fail "daemon did not attach"
say 1 alice; fired "old alice"
rule 'user == b*' new && kill -HUP "$DAEMON"
within 10 has rules.err '^rules reloaded from rules.conf$' || fail "no reload logged"
say 2 alice; say 3 bob; fired "new bob"
[ "$(count fired.txt '^old')" = 1 ] || fail "the old rule fired after the reload"
n=0 && for broken in 'user == ' 'app == 70000'; do
  rule "$broken" broken && kill -HUP "$DAEMON"
  within 10 reloads $((n += 1)) || fail "\"$broken\": no failed reload logged"
done
has rules.err '^the parser failed$' && has rules.err 'port out of range at 70000$' || fail "reload failures not told"
say 4 bob2; fired "new bob2"

# The proxy restarts: the table goes with its semaphores and comes back.
exec 7>&-; kill -TERM "$FEEDER"; reap "$FEEDER"
within 5 has rules.err '^connection table lost, waiting for a new one$' || fail "loss not noticed"
sleep 1 && pipefeed
within 2 is_reader5 "$DAEMON" || fail "not attached to the new table within 2 s"
say 5 bob3; fired "new bob3"
[ "$(count rules.err 'connection table lost')" = 1 ] && [ "$(count rules.err '^connection table back, attached again$')" = 1 ] &&
  ! has rules.err semop || fail "expected one line on losing and one on finding the table, no semop"

# monfeed leaves a live table alone; --force takes it over.
echo 'sleep 0' >again.feed && ! "$MF" again.feed >again.txt 2>&1 && has again.txt "held by live process $FEEDER" && is_reader5 "$DAEMON" ||
  fail "monfeed took a live table"
"$MF" --force again.feed >again.txt 2>&1 &
within 10 has again.txt "script done" || fail "--force did not take the table"
kill -TERM $! && exec 7>&- && finish
echo "service test passed"

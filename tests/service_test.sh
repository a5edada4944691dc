#!/usr/bin/env bash
# tollwatch as a service: -n checks the rules, every program tells its
# version and usage, SIGHUP reloads the rules (and keeps them when the new
# file is broken), the daemon follows the proxy when the table is made
# again, and monfeed leaves a live table alone unless forced.
# usage (through nsrun.sh): service_test.sh TOLLWATCH TWPARSER MONFEED TWHISTORY SOURCE_DIR
set -euo pipefail
TW=$1 TWP=$2 MF=$3 TWH=$4 SRC=$5
WORK=$(mktemp -d)
FEEDER='' DAEMON='' FIFO_OPEN=''
trap '{ for p in $FEEDER $DAEMON; do kill -KILL "$p" || true; done
  rm -rf "$WORK"; } 2>/dev/null' EXIT
export PATH="$(dirname "$TWP"):$PATH"
cd "$WORK"

fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.out "$WORK"/*.err "$WORK"/fired; do
    [ ! -f "$f" ] || { echo "--- ${f##*/}"; tail -c 3000 "$f"; } >&2
  done
  exit 1
}
within() {  # SECONDS COMMAND...: until COMMAND succeeds, polled every 0.1 s
  local n=$(($1 * 10))
  shift
  until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done
}
has() { grep -Eq -- "$2" "$1" 2>/dev/null; }
count() { grep -Ec -- "$2" "$1" 2>/dev/null || true; }
failed_reloads() {  # N: the log holds N failed reloads
  [ "$(count tw.err '^reload of rules.conf failed, the running rules stay$')" -eq "$1" ]
}
reader5() { od -An -t d4 -j 40 -N 4 /tmp/mon.mmap 2>/dev/null | tr -d ' '; }
is_reader5() { [ "$(reader5)" = "$1" ]; }
rules() { f=$1; shift; printf '%s\n' "$@" >"$f"; }
# A rule whose action appends WORD and the user to ./fired.
rule() { printf 'WHEN (%s)\nEXEC\necho %s usr >>fired\nEND\n' "$1" "$2"; }
# feed: a monfeed reading its script from a pipe as $FEEDER; say LINE...
# sends lines to it.
feed() {
  rm -f feed.fifo feed.out feed.err && mkfifo feed.fifo
  "$MF" - <feed.fifo >feed.out 2>feed.err & FEEDER=$!
  exec 7>feed.fifo
  within 10 has feed.out "table created" || fail "monfeed made no table"
}
say() { printf '%s\n' "$@" >&7; }
unfeed() { exec 7>&-; kill -TERM "$FEEDER"; wait "$FEEDER" || true; FEEDER=; }
# conn N USER: a connection of USER, started and given its destination.
conn() { say "start $1 user=$2 src=10.1.1.$1:4000" "update $1 cmd=connect dst=10.2.2.2:80 in=1 out=1"; }
fired() { within 10 has fired "^$1\$" || fail "\"$1\" did not fire"; }

# ---- -n: the rules loaded exactly as at start-up, nothing else opened.
cp "$SRC/examples/tollwatch.conf" example.conf
"$TW" -n -i example.conf >n.out 2>n.err || fail "-n refused the example rules"
[ "$(cat n.out)" = "configuration OK" ] || fail "-n did not say OK"
"$TW" -n -i example.conf -P elsewhere.parsed >n.out 2>n.err && [ -s elsewhere.parsed ] ||
  fail "-n -P did not write the parsed file there"
while IFS='|' read -r msg text; do
  printf '%b' "$text" >bad.conf
  st=0 && "$TW" -n -i bad.conf >n.out 2>n.err || st=$?
  [ "$st" -eq 1 ] && [ "$(tail -n 1 n.err)" = "$msg" ] && [ ! -s n.out ] ||
    fail "-n on \"$text\": exit $st, \"$(tail -n 1 n.err)\"; expected \"$msg\""
done <<'EOF2'
the parser failed|WHEN (user == )\nEXEC\necho x\nEND\n
lines 1-2 (parsed 1): Blu-Fri is not in 'Sun' - 'Sat'|WHEN (time == Blu-Fri * * * *)\nEXEC\necho x\nEND\n
lines 1-2 (parsed 1): port out of range at 70000|WHEN (app == 70000)\nEXEC\necho x\nEND\n
lines 1-2 (parsed 1): error near $nosuch, symbol not found|WHEN (user == $nosuch)\nEXEC\necho x\nEND\n
no alarm read, the program quits|x = 1\n
EOF2
[ ! -e datafile1.pag ] && [ ! -e /tmp/mon.mmap ] || fail "-n opened the history or the table"

# ---- Version and usage: one version for all, usage on standard output.
version=
for prog in "$TW" "$TWP" "$MF" "$TWH"; do
  name=${prog##*/}
  for opt in -V --version; do
    out=$("$prog" "$opt") || fail "$name $opt failed"
    [[ $out =~ ^$name\ ([0-9]+\.[0-9]+\.[0-9]+)$ ]] || fail "$name $opt: \"$out\""
    [ -z "$version" ] || [ "$version" = "${BASH_REMATCH[1]}" ] || fail "$name: another version"
    version=${BASH_REMATCH[1]}
  done
  for opt in -h --help; do
    out=$("$prog" "$opt" 2>/dev/null) || fail "$name $opt failed"
    [[ ${out,,} =~ usage:\ +[^\ ]*$name ]] || fail "$name $opt: no usage"
  done
done

# ---- SIGHUP: a changed rule file replaces the rules; a broken one does not.
feed
rule 'user == alice' old >rules.conf
"$TW" -f -r 0 -i rules.conf -P rules.parsed </dev/null >tw.out 2>tw.err & DAEMON=$!
within 10 is_reader5 "$DAEMON" || fail "daemon did not attach"
conn 1 alice
fired "old alice"
rule 'user == b*' new >rules.conf
kill -HUP "$DAEMON"
within 10 has tw.err '^rules reloaded from rules.conf$' || fail "no reload logged"
conn 2 alice && conn 3 bob
fired "new bob"
[ "$(count fired '^old')" -eq 1 ] || fail "the old rule fired after the reload"
n=0
for broken in 'user == ' 'app == 70000'; do
  rule "$broken" broken >rules.conf
  kill -HUP "$DAEMON"
  n=$((n + 1))
  within 10 failed_reloads "$n" || fail "\"$broken\": no failed reload logged"
done
grep -qx 'the parser failed' tw.err && grep -q 'port out of range at 70000$' tw.err ||
  fail "the log does not say why the reloads failed"
conn 4 bob2
fired "new bob2"
kill -0 "$DAEMON" || fail "daemon gone after a broken reload"

# ---- The proxy restarts: the table goes with its semaphores and comes back.
unfeed
within 5 has tw.err '^connection table lost, waiting for a new one$' ||
  fail "the lost table was not noticed"
sleep 1
feed
within 2 is_reader5 "$DAEMON" || fail "not attached to the new table within 2 s"
conn 5 bob3
fired "new bob3"
[ "$(count tw.err 'connection table lost')" -eq 1 ] &&
  [ "$(count tw.err '^connection table back, attached again$')" -eq 1 ] ||
  fail "expected one line on losing and one on finding the table"
! grep -q semop tw.err || fail "the lost table's semaphores were used"

# ---- monfeed leaves a live table alone; --force takes it over.
rules again.feed 'sleep 0'
st=0 && "$MF" again.feed >again.out 2>again.err || st=$?
[ "$st" -eq 1 ] && has again.err "held by live process $FEEDER" ||
  fail "monfeed took a live table: exit $st"
is_reader5 "$DAEMON" || fail "the refused monfeed touched the table"
"$MF" --force again.feed >again.out 2>again.err & forced=$!
within 10 has again.out "script done" || fail "--force did not take the table"
kill -TERM "$forced" && wait "$forced" || true

kill -QUIT "$DAEMON" && wait "$DAEMON" || fail "daemon exit status $?"
DAEMON=
unfeed
echo "service test passed"

#!/usr/bin/env bash
# twcheck end to end: the same loading messages and exit status as the
# daemon for every rule file, the same command lines as the daemon on the
# example traffic, aggregate windows and repeat suppression on script
# time, and live history files left as they were.
# usage (through nsrun.sh): twcheck_test.sh TWCHECK TOLLWATCH TWPARSER MONFEED SOURCE_DIR
set -euo pipefail

TWC=$1 TW=$2 MF=$4 SRC=$5
PATH=$(dirname "$3"):$PATH
WORK=$(mktemp -d)
export TMPDIR=$WORK/tmp
mkdir "$TMPDIR"
FEEDER= DAEMON=
trap 'kill -KILL $DAEMON $FEEDER 2>/dev/null || true; rm -rf "$WORK"' EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$CASE"/*.out "$CASE"/*.err; do
    [ ! -f "$f" ] || { echo "--- ${f##*/}"; head -c 3000 "$f"; } >&2
  done
  exit 1
}
newcase() { CASE=$WORK/$1; mkdir "$CASE"; cd "$CASE"; }
within() {  # SECONDS COMMAND...: until COMMAND succeeds, polled every 0.1 s
  local n=$(($1 * 10))
  shift
  until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done
}
has() { grep -qF -- "$2" "$1" 2>/dev/null; }

# ---- 1. Loading: for each rule file, twcheck says what the daemon says
# and exits as it does; a rule set the daemon accepts (it then stops at
# the missing table) is "configuration OK" with exit 0.

newcase loading
# parity NAME: compares the two programs on NAME.conf.
parity() {
  local d=0 c=0
  timeout 20 "$TW" -f -i "$1.conf" </dev/null >"$1.tw.out" 2>"$1.tw.err" || d=$?
  rm -f datafile*
  timeout 20 "$TWC" "$1.conf" </dev/null >"$1.out" 2>"$1.err" || c=$?
  # The daemon's messages without its banner and, when it got past the
  # rules, without its failure to attach to the table.
  awk 'NR == 1 { next } /^SYSTEM ERROR: Mon_MmapOpen/ { exit }
    /^$/ { blank++; next } { for (; blank > 0; blank--) print ""; print }' "$1.tw.err" >"$1.want"
  if [ "$(tail -n 1 "$1.tw.err")" = "monitor mmap open error" ]; then
    [ "$c" -eq 0 ] && [ "$(head -n 1 "$1.out")" = "configuration OK" ] ||
      fail "$1: the daemon accepts it, twcheck exits $c"
  else
    [ "$d" -eq 1 ] && [ "$c" -eq 1 ] && [ ! -s "$1.out" ] ||
      fail "$1: daemon exits $d, twcheck $c"
  fi
  cmp -s "$1.want" "$1.err" || fail "$1: messages differ: $(diff "$1.want" "$1.err")"
  printf '%s|%s\n' "$c" "$(tail -n 1 "$1.err")" >>results
}
rules() { local f=$1; shift; printf '%s\n' "$@" >"$f.conf"; }

# The rule files of the daemon's start-up and loading tests.
rules quiet 'WHEN (src == 10.255.255.254 | ACCESS[src] > 1000000)' EXEC '  echo never' END
rules bad 'WHEN (src == 1.2.3.4)' 'EXEC' '  echo x' 'END' 'WHEN (user == |x)' 'EXEC' 'echo y' 'END'
rules defs 'x = 1' 'alert_time = 60'
rules host '# our nets' '' 'a = 1' 'WHEN (src == 300.1.2.3/h)' 'EXEC' 'echo x' 'END'
rules nosym 'a = 1' '' 'WHEN (src == 1.2.3.4 &' '  user == $nosuch)' 'EXEC' 'echo x' 'END'
rules order 'WHEN (src == 1.2.3.4) EXEC' ' echo x' 'END' \
  'WHEN (user == bob | src < 10.0.0.1) EXEC' ' echo x' 'END'
rules long "b = $(printf 'y%.0s' $(seq 300))" '# c' 'WHEN (src == 1.2.3.4)' 'EXEC' '  echo $b $b' 'END'
rules numeric 'WHEN (src == 1.2.3.4)' 'EXEC' '  echo x' 'END' 'react_time = 12x'
rules warn 'a=|x' 'WHEN ($a == user)' 'EXEC' 'echo x' 'END'
n87=$(printf 'r%.0s' $(seq 87))  # its parsed file's name is too long
cp quiet.conf "$n87.conf"
for n in quiet bad defs host nosym order long numeric warn "$n87"; do
  parity "$n"
done
# A twparser that fails, and one that writes nothing (./twparser comes
# before the search path).
printf '#!/bin/sh\nexit 3\n' >twparser && chmod +x twparser
parity quiet
printf '#!/bin/sh\nexit 0\n' >twparser
rm -f quiet.conf.parsed
parity quiet
# The parsed texts of the loader's unit tests, through a twparser that
# passes its input on as it is.
printf '#!/bin/sh\ncp "$1" "$2"\n' >twparser
i=0
while IFS= read -r text; do
  printf "$text" >"parsed$i.conf"
  parity "parsed$i"
  i=$((i + 1))
done <<'EOF'
WHEN err==1 #line:4-5-5\nx\n
WHEN ((err==1)&(err==2)|(err==3)) #line:4-5-5\nx\n
x=1\nWHEN (src,dst) #line:4-5-5\nx\n
WHEN (err==1) #line:4-6-7\n
x=1\n\n
WHEN (err==1) #line:1-2-2\necho
WHEN (err==1)   #line:1-2-2\n\nWHEN (err==2) junk #line:3-4-4\nx\n
EOF
rm twparser
# Every kind of outcome was met.
for want in "0|" "1|the parser failed" "1|no alarm read, the program quits" \
  "1|lines 4-5 (parsed 2): parse error for host specification" \
  "1|lines 3-5 (parsed 2): error near \$nosuch, symbol not found" \
  "1|parsed line 3:  12x is not numeric" "1|file \`quiet.conf.parsed' not available" \
  "1|$n87.conf: file name too long" \
  "1|lines 6-7 (parsed 2): action missing" "0|line 3: junk #line:3-4-4 discarded"; do
  grep -qF -- "$want" results || fail "no case ended in \"$want\""
done
"$TWC" quiet.conf >quiet.out 2>/dev/null
[ "$(sed -n 2p quiet.out)" = "1 alarms, 0 symbols, aggregates: FAIL 0, IN 0, OUT 0, TRAFFIC 0, ACCESS 1, DURATION 0" ] ||
  fail "summary line: $(sed -n 2p quiet.out)"

# ---- 2. The example rules on the example traffic: the dry run shows the
# command lines the daemon runs through the real table.  Record times
# differ (the daemon's clock, the script's), and so does the serving
# process id of the script's keys (monfeed, twcheck): both are masked.

newcase example
cp "$SRC/examples/tollwatch.conf" example.conf
cp "$SRC/examples/traffic.feed" example.feed
"$MF" example.feed >feed.out 2>feed.err &
FEEDER=$!
within 10 has feed.out "table created" || fail "no table"
"$TW" -f -i example.conf >daemon.out 2>daemon.err &
DAEMON=$!
within 60 has feed.out "script done" || fail "feed stuck"
kill -QUIT "$DAEMON"
wait "$DAEMON" || fail "the daemon exited $?"
DAEMON=
kill -TERM "$FEEDER"
wait "$FEEDER" || true
mask() {  # PID: the time texts and the process id
  sed -E "s/[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}/TIME/g; s/\\b$1\\b/PID/g" | sort
}
grep '^echo ' daemon.err | mask "$FEEDER" >daemon.lines
mkdir history
cp datafile* history/
"$TWC" -r example.feed example.conf >dry.out 2>dry.err &
dry=$!
wait $dry || fail "the dry run exited $?"
sed -n 's/^would run: //p' dry.out | mask "$dry" >dry.lines
[ "$(wc -l <daemon.lines)" -ge 10 ] || fail "the daemon ran only $(wc -l <daemon.lines) commands"
cmp -s daemon.lines dry.lines || fail "command lines differ: $(diff daemon.lines dry.lines)"
[ ! -s dry.err ] || [ "$(cat dry.err)" = twparser ] || fail "dry run messages: $(cat dry.err)"
grep -qE '^[0-9]+: dave@192\.168\.10\.80->198\.51\.100\.7 25/tcp err:5 ' dry.out ||
  fail "no trace line for dave's failure"
grep -q '^cond.1:false;cond.2:false;cond.3:false;cond.4:true;' dry.out || fail "no decisions traced"
[[ $(tail -n 1 dry.out) =~ ^summary:\ 11\ records,\ [0-9]+\ alarms\ fired,\ $(wc -l <dry.lines)\ commands\ would\ run,\ [0-9]+\ suppressed$ ]] ||
  fail "summary: $(tail -n 1 dry.out)"

# ---- 3. The live history: read, never written.  The daemon's files hold
# dave's failure, so one more failure from his host makes two.

sums() { (cd history && md5sum datafile1.pag datafile1.dir datafile2.pag datafile2.dir); }
sums >before.sum
# The same aggregate as the example's, so the same history key.
agg='FAIL[src == 192.168.10.0/255.255.255.0, src]'
printf 'alert_time = 3600\nWHEN (%s > 1)\nEXEC\necho again src.ip %s\nEND\n' "$agg" "$agg" >again.conf
{
  echo "start 9 user=dave src=192.168.10.80:40000"
  echo "update 9 cmd=connect dst=198.51.100.7:25"
  echo "error 9 code=5"
} >again.feed
"$TWC" -d history/datafile -r again.feed again.conf >with.out 2>&1 || fail "dry run with -d failed"
"$TWC" -r again.feed again.conf >without.out 2>&1 || fail "dry run without -d failed"
sums >after.sum
cmp -s before.sum after.sum || fail "the live history changed"
grep -Eq '^would run: echo again 192\.168\.10\.80 +[2-9] ;' with.out ||
  fail "the dry run did not count the live history"
! grep -q '^would run:' without.out || fail "a dry run without -d saw a history"
"$TWC" -d history/nosuch -r again.feed again.conf >nosuch.out 2>&1 && fail "missing history accepted"
grep -q "^can't read history/nosuch1.pag" nosuch.out || fail "missing history: $(cat nosuch.out)"
[ -z "$(ls "$TMPDIR")" ] || fail "scratch files left: $(ls "$TMPDIR")"

# ---- 4. A failure every 5 s for an hour from one host, against more
# than five failures within alert_time 60: the sixth failure fires, and
# react_time 600 lets the command run once per ten minutes, the rest
# suppressed.  A failure after the burst has left the window does not fire.

newcase burst
T=1700000000
printf 'alert_time = 60\nreact_time = 600\nWHEN (FAIL[src] > 5)\nEXEC\necho burst src.ip FAIL[src]\nEND\n' >burst.conf
for ((i = 0; i < 720; i++)); do
  t=$((T + 5 * i))
  echo "start $i src=10.0.0.1:40000 user=u time=$t"
  echo "update $i cmd=connect dst=198.51.100.1:443 time=$t"
  echo "error $i code=5 time=$t"
done >burst.feed
echo "start 999 src=10.0.0.1:40000 user=u time=$((T + 4200))
update 999 cmd=connect dst=198.51.100.1:443 time=$((T + 4200))
error 999 code=5 time=$((T + 4200))" >>burst.feed
t0=$(date +%s%N)
"$TWC" -r burst.feed burst.conf >burst.out 2>burst.err || fail "burst dry run exited $?"
ms=$((($(date +%s%N) - t0) / 1000000))
echo "an hour of failures (2163 changes) replayed in $ms ms"
[ "$ms" -lt 1000 ] || fail "the replay took $ms ms"
# The time of each record whose alarm ran, and what the aggregate held.
awk '/^[0-9]+: / { t = $1 } /^would run:/ { print t, $6 }' burst.out >runs
[ "$(head -n 1 runs)" = "$((T + 25)): 6" ] || fail "first run: $(head -n 1 runs)"
want=
for m in 0 10 20 30 40 50; do want="$want$((T + 25 + 60 * m)): "; done
[ "$(awk '{ printf "%s ", $1 }' runs)" = "$want" ] || fail "runs at $(tr '\n' ' ' <runs)"
# Before the sixth failure nothing held: 5 failures from T to T+20.
awk -v last="$((T + 25)):" '$1 == last { exit } /^cond.1:true;/ { bad = 1 } END { exit bad }' burst.out ||
  fail "fired before the sixth failure"
[ "$(tail -n 1 burst.out)" = "summary: 1442 records, 1429 alarms fired, 6 commands would run, 1423 suppressed" ] ||
  fail "burst summary: $(tail -n 1 burst.out)"
tail -n 4 burst.out | grep -q '^cond.1:false;$' || fail "fired after the burst left the window"

# ---- 5. Script errors name the script and line; the replay stops.

newcase errors
printf 'WHEN (usr == x)\nEXEC\necho x\nEND\n' >r.conf
while IFS='|' read -r line want; do
  printf 'start 1 user=a\n%s\n' "$line" >e.feed
  s=0
  "$TWC" -r e.feed r.conf >e.out 2>e.err || s=$?
  [ "$s" -eq 1 ] && grep -qxF "twcheck: e.feed:2: $want" e.err ||
    fail "\"$line\": exit $s, $(cat e.err)"
done <<'EOF'
update 7,2 cmd=connect|update: no connection <7,2>
error 1|error: missing code=N
launch 1|unknown word "launch"
start 1 color=red|start: unknown word "color=red"
EOF
echo "twcheck test passed"

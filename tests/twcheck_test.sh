#!/usr/bin/env bash
# twcheck: the daemon's loading messages and status for each rule file, the
# daemon's command lines on the example traffic, the live history only read,
# aggregate windows and repeat suppression on script time, script errors.
. "${0%/*}/harness.sh" "$@"
export TMPDIR=$PWD/tmp && mkdir tmp
parity() {  # NAME: twcheck on NAME.conf says what the daemon says, and its last line
  local d=0 c=0
  timeout 20 "$TW" -f -i "$1.conf" </dev/null >/dev/null 2>"$1.tw" || d=$?
  timeout 20 "$TC" "$1.conf" </dev/null >"$1.out" 2>"$1.err" || c=$?
  # The daemon's messages without its banner and its failure to attach.
  awk 'NR == 1 { next } /^SYSTEM ERROR: Mon_MmapOpen/ { exit }
    /^$/ { blank++; next } { for (; blank > 0; blank--) print ""; print }' "$1.tw" | same "$1.err"
  if [ "$(tail -n 1 "$1.tw")" = "monitor mmap open error" ]; then
    [ "$c" -eq 0 ] && [ "$(head -n 1 "$1.out")" = "configuration OK" ] || fail "$1: loaded, twcheck exits $c"
  else
    [ "$d" -eq 1 ] && [ "$c" -eq 1 ] && [ ! -s "$1.out" ] || fail "$1: daemon exits $d, twcheck $c"
  fi
  echo "$1|$c|$(tail -n 1 "$1.err")" >>results
}
long=$(printf 'r%.0s' {1..87})  # too long a name for the parsed file
while IFS='|' read -r name rules; do printf "$rules" >"$name.conf" && parity "$name"; done <<EOF
quiet|WHEN (src == 10.255.255.254 | ACCESS[src] > 1000000)\nEXEC\n  echo never\nEND\n
bad|WHEN (src == 1.2.3.4)\nEXEC\n  echo x\nEND\nWHEN (user == |x)\nEXEC\necho y\nEND\n
defs|x = 1\nalert_time = 60\n
host|# our nets\n\na = 1\nWHEN (src == 300.1.2.3/h)\nEXEC\necho x\nEND\n
nosym|a = 1\n\nWHEN (src == 1.2.3.4 &\n  user == \$nosuch)\nEXEC\necho x\nEND\n
order|WHEN (src == 1.2.3.4) EXEC\n echo x\nEND\nWHEN (user == bob | src < 10.0.0.1) EXEC\n echo x\nEND\n
long|b = $(printf 'y%.0s' {1..300})\n# c\nWHEN (src == 1.2.3.4)\nEXEC\n  echo \$b \$b\nEND\n
numeric|WHEN (src == 1.2.3.4)\nEXEC\n  echo x\nEND\nreact_time = 12x\n
warn|a=|x\nWHEN (\$a == user)\nEXEC\necho x\nEND\n
$long|WHEN (src == 1.2.3.4)\nEXEC\necho x\nEND\n
EOF
# A twparser that fails, one that writes nothing, and one that passes the
# parsed texts on as they are (./twparser comes before the search path).
printf '#!/bin/sh\nexit 3\n' >twparser && chmod +x twparser && cp quiet.conf fails.conf && parity fails
printf '#!/bin/sh\nexit 0\n' >twparser && cp quiet.conf none.conf && parity none
printf '#!/bin/sh\ncp "$1" "$2"\n' >twparser
i=0
while IFS= read -r text; do printf "$text" >"p$i.conf" && parity "p$((i++))"; done <<'EOF'
WHEN err==1 #line:4-5-5\nx\n
WHEN ((err==1)&(err==2)|(err==3)) #line:4-5-5\nx\n
x=1\nWHEN (src,dst) #line:4-5-5\nx\n
WHEN (err==1) #line:4-6-7\n
x=1\n\n
WHEN (err==1) #line:1-2-2\necho
WHEN (err==1)   #line:1-2-2\n\nWHEN (err==2) junk #line:3-4-4\nx\n
EOF
rm twparser
same results <<EOF
quiet|0|twparser
bad|1|the parser failed
defs|1|no alarm read, the program quits
host|1|lines 4-5 (parsed 2): parse error for host specification
nosym|1|lines 3-5 (parsed 2): error near \$nosuch, symbol not found
order|1|line 4 (parsed 3): error near 10.0.0.1, '==' or '!=' expected
long|1|lines 5-6 (parsed 3): action command too long
numeric|1|parsed line 3:  12x is not numeric
warn|0|Maybe parentheses are forgotten for a term
$long|1|$long.conf: file name too long
fails|1|the parser failed
none|1|file \`none.conf.parsed' not available
p0|1|line 4 (parsed 1): delimitor expected at err==1 #line:4-5-5
p1|1|line 4 (parsed 1): closing delimitor expected at |(err==3)) #line:4-5-5
p2|1|line 4 (parsed 2): not a normal condition at src,dst) #line:4-5-5
p3|1|lines 6-7 (parsed 2): action missing
p4|1|parsed line 2:  there is an empty line
p5|1|line 2 (parsed 2): line too long
p6|0|line 3: junk #line:3-4-4 discarded
EOF
same quiet.out <<<$'configuration OK\n1 alarms, 0 symbols, aggregates: FAIL 0, IN 0, OUT 0, TRAFFIC 0, ACCESS 1, DURATION 0'
# The example rules on the example traffic: the dry run shows the command
# lines that the daemon runs, with times and the serving process masked.
cp "$SRC/examples/tollwatch.conf" ex.conf && cp "$SRC/examples/traffic.feed" ex.feed && run ex
mask() { sed -E "s/[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}/TIME/g; s/\\b$1\\b/PID/g" | sort; }
grep '^echo ' ex.err | mask "$(grep -o '[0-9]*$' ex.feed.txt | head -n 1)" >daemon.txt
mkdir history && cp datafile* history/
"$TC" -r ex.feed ex.conf >dry.out 2>dry.err & dry=$!
wait $dry || fail "the dry run exited $?"
sed -n 's/^would run: //p' dry.out | mask $dry | same daemon.txt
[ "$(wc -l <daemon.txt)" -ge 10 ] && [ "$(grep -v '^twparser$' dry.err)" = "" ] || fail "dry run: $(cat dry.err)"
has dry.out '^[0-9]+: dave@192\.168\.10\.80->198\.51\.100\.7 25/tcp err:5 ' || fail "no trace of dave's failure"
has dry.out '^cond.1:false;cond.2:false;cond.3:false;cond.4:true;' || fail "no decisions traced"
has dry.out "^summary: 11 records, [0-9]+ alarms fired, $(wc -l <daemon.txt) commands would run, [0-9]+ suppressed$" || fail "summary"
# The live history is read, never written: dave's failure there makes two.
sums() { md5sum history/datafile[12].*; }
before=$(sums) agg='FAIL[src == 192.168.10.0/255.255.255.0, src]'
printf 'alert_time = 3600\nWHEN (%s > 1)\nEXEC\necho again src.ip %s\nEND\n' "$agg" "$agg" >again.conf
printf '%s\n' "start 9 user=dave src=192.168.10.80:40000" "update 9 cmd=connect dst=198.51.100.7:25" "error 9 code=5" >again.feed
"$TC" -d history/datafile -r again.feed again.conf >with.out 2>&1 || fail "dry run with -d failed"
"$TC" -r again.feed again.conf >without.out 2>&1 || fail "dry run without -d failed"
[ "$(sums)" = "$before" ] || fail "the live history changed"
has with.out '^would run: echo again 192\.168\.10\.80 +2 ;' || fail "the live history not counted"
! has without.out '^would run:' || fail "a dry run without -d saw a history"
! "$TC" -d history/nosuch -r again.feed again.conf >nosuch.out 2>&1 && has nosuch.out "^can't read history/nosuch1.pag" ||
  fail "missing history: $(cat nosuch.out)"
[ -z "$(ls tmp)" ] || fail "scratch files left: $(ls tmp)"
# A failure every 5 s for an hour against more than five within 60 s: the
# sixth fires, then once per react_time of 600 s; one after the burst does not.
T=1700000000
printf 'alert_time = 60\nreact_time = 600\nWHEN (FAIL[src] > 5)\nEXEC\necho burst src.ip FAIL[src]\nEND\n' >burst.conf
for i in $(seq 0 719) 840; do
  printf '%s\n' "start $i src=10.0.0.1:40000 user=u time=$((t = T + 5 * i))" "update $i cmd=connect dst=198.51.100.1:443 time=$t" "error $i code=5 time=$t"
done >burst.feed
"$TC" -r burst.feed burst.conf >burst.out 2>burst.err || fail "burst dry run exited $?"
awk '/^[0-9]+: / { t = $1 } /^would run:/ { printf "%s%s ", t, $6 } END { print "" }' burst.out >runs.txt
same runs.txt <<<'1700000025:6 1700000625:12 1700001225:12 1700001825:12 1700002425:12 1700003025:12 '
tail -n 4 burst.out | grep -q '^cond.1:false;$' || fail "fired after the burst left the window"
[ "$(tail -n 1 burst.out)" = "summary: 1442 records, 1429 alarms fired, 6 commands would run, 1423 suppressed" ] ||
  fail "burst summary: $(tail -n 1 burst.out)"
# Script errors name the script and line, and the replay stops.
printf 'WHEN (usr == x)\nEXEC\necho x\nEND\n' >r.conf
while IFS='|' read -r line want; do
  printf 'start 1 user=a\n%s\n' "$line" >e.feed
  s=0 && "$TC" -r e.feed r.conf >e.out 2>e.err || s=$?
  [ "$s" -eq 1 ] && grep -qxF "twcheck: e.feed:2: $want" e.err || fail "\"$line\": exit $s, $(cat e.err)"
done <<'EOF'
update 7,2 cmd=connect|update: no connection <7,2>
error 1|error: missing code=N
launch 1|unknown word "launch"
start 1 color=red|start: unknown word "color=red"
EOF

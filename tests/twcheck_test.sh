#!/usr/bin/env bash
# twcheck: the daemon's loading messages and status for each rule file, the
# daemon's command lines on the example traffic, the live history only read,
# aggregate windows and repeat suppression on script time, script errors.
. "${0%/*}/harness.sh" "$@"
export TMPDIR=$PWD/tmp && mkdir tmp
# Each rule file (through the real twparser, or one made of STUB beside
# copies of both programs, which comes first) gives the daemon's messages,
# STATUS and LAST as twcheck's last line.
long=$(printf 'r%.0s' {1..87})  # too long a name for the parsed file
while IFS='^' read -r name status last rules stub; do
  name=${name/LONG/$long} d=0 c=0 tw=$TW tc=$TC && printf "$rules" >"$name.conf"
  rm -rf stub && [ -z "$stub" ] || { mkdir stub && cp "$TW" "$TC" stub/ && tw=stub/${TW##*/} tc=stub/${TC##*/} &&
    printf '#!/bin/sh\n%s\n' "$stub" >stub/twparser && chmod +x stub/twparser; }
  timeout 20 "$tw" -f -i "$name.conf" </dev/null >/dev/null 2>"$name.tw" || d=$?
  timeout 20 "$tc" "$name.conf" </dev/null >"$name.out" 2>"$name.err" || c=$?
  # The daemon's messages without its banner and its failure to attach.
  awk 'NR == 1 { next } /^SYSTEM ERROR: Mon_MmapOpen/ { exit }
    /^$/ { blank++; next } { for (; blank > 0; blank--) print ""; print }' "$name.tw" | same "$name.err"
  [ "$c $d $(tail -n 1 "$name.tw" | grep -c '^monitor mmap open error$')" = "$status 1 $((1 - status))" ] &&
    [ "$(tail -n 1 "$name.err")" = "${last/LONG/$long}" ] || fail "$name: twcheck exits $c, the daemon $d"
  [ "$(head -n 1 "$name.out")" = "$([ "$c" = 1 ] || echo configuration OK)" ] || fail "$name: $(cat "$name.out")"
done <<'EOF'
quiet^0^twparser^WHEN (src == 10.255.255.254 | ACCESS[src] > 1000000)\nEXEC\n  echo never\nEND\n
bad^1^the parser failed^WHEN (src == 1.2.3.4)\nEXEC\n  echo x\nEND\nWHEN (user == |x)\nEXEC\necho y\nEND\n
defs^1^no alarm read, the program quits^x = 1\nalert_time = 60\n
host^1^lines 4-5 (parsed 2): parse error for host specification^# our nets\n\na = 1\nWHEN (src == 300.1.2.3/h)\nEXEC\necho x\nEND\n
nosym^1^lines 3-5 (parsed 2): error near $nosuch, symbol not found^a = 1\n\nWHEN (src == 1.2.3.4 &\n  user == $nosuch)\nEXEC\necho x\nEND\n
order^1^line 4 (parsed 3): error near 10.0.0.1, '==' or '!=' expected^WHEN (src == 1.2.3.4) EXEC\n echo x\nEND\nWHEN (user == bob | src < 10.0.0.1) EXEC\n echo x\nEND\n
long^1^lines 5-6 (parsed 3): action command too long^b = %0300d\n# c\nWHEN (src == 1.2.3.4)\nEXEC\n  echo $b $b\nEND\n
numeric^1^parsed line 3:  12x is not numeric^WHEN (src == 1.2.3.4)\nEXEC\n  echo x\nEND\nreact_time = 12x\n
warn^0^Maybe parentheses are forgotten for a term^a=|x\nWHEN ($a == user)\nEXEC\necho x\nEND\n
LONG^1^LONG.conf: file name too long^WHEN (src == 1.2.3.4)\nEXEC\necho x\nEND\n
fails^1^the parser failed^WHEN (src == 1.2.3.4)\nEXEC\necho x\nEND\n^exit 3
none^1^file `none.conf.parsed' not available^WHEN (src == 1.2.3.4)\nEXEC\necho x\nEND\n^exit 0
p3^1^lines 6-7 (parsed 2): action missing^WHEN (err==1) #line:4-6-7\n^cp "$1" "$2"
p6^0^line 3: junk #line:3-4-4 discarded^WHEN (err==1)   #line:1-2-2\n\nWHEN (err==2) junk #line:3-4-4\nx\n^cp "$1" "$2"
EOF
rm -rf stub
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
has dry.out '^cond.1:false;cond.2:false;cond.3:false;cond.4:true;' || fail "no decisions traced"
has dry.out "^summary: 11 records, [0-9]+ alarms fired, $(wc -l <daemon.txt) commands would run, [0-9]+ suppressed$" || fail "summary"
# The live history is read, never written: dave's failure there makes two.
sums() { md5sum history/datafile[12].*; } && before=$(sums) agg='FAIL[src == 192.168.10.0/255.255.255.0, src]'
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
T=1700000000 && printf 'alert_time = 60\nreact_time = 600\nWHEN (FAIL[src] > 5)\nEXEC\necho burst src.ip FAIL[src]\nEND\n' >burst.conf
for i in $(seq 0 719) 840; do
  printf '%s\n' "start $i src=10.0.0.1:40000 user=u time=$((t = T + 5 * i))" "update $i cmd=connect dst=198.51.100.1:443 time=$t" "error $i code=5 time=$t"
done >burst.feed
"$TC" -r burst.feed burst.conf >burst.out 2>burst.err || fail "burst dry run exited $?"
awk '/^[0-9]+: / { t = $1 } /^would run:/ { printf "%s%s ", t, $6 } END { print "" }' burst.out >runs.txt
same runs.txt <<<'1700000025:6 1700000625:12 1700001225:12 1700001825:12 1700002425:12 1700003025:12 '
tail -n 4 burst.out | grep -q '^cond.1:false;$' || fail "fired after the burst left the window"
same <(tail -n 1 burst.out) <<<'summary: 1442 records, 1429 alarms fired, 6 commands would run, 1423 suppressed'
# The script from standard input: the same dry run (the serving process masked).
"$TC" -r - burst.conf <burst.feed 2>/dev/null | sed 's/pid: *[0-9]*/pid/' | same <(sed 's/pid: *[0-9]*/pid/' burst.out)
# A script error names the script and line, and the replay stops.
printf 'start 1 user=a\nlaunch 1\nstart 2\n' >e.feed
"$TC" -r e.feed burst.conf >e.out 2>e.err && fail "a bad script replayed"
same e.err <<<$'twparser\ntwcheck: e.feed:2: unknown word "launch"'

#!/usr/bin/env bash
# The alarms end to end: each kind of comparison on connections taken from
# the table, names reaching commands as literal arguments, the trace and
# log, repeats within react_time and -l, names at their longest, and -n's
# warning of a command too long for the shell.
. "$(dirname "$0")/harness.sh" "$@"
export LC_ALL=C

# kinds: an alarm a line (tag, the one user it fires for with "_" a space,
# condition) writing "tag user"; then one printing names, one failing.
KINDS='srcmask s-hit src == 192.168.50.0/255.255.255.254
dstname d-hit dst == .corp.invalid
udp u-hit app == 53/udp
ports p-hit app == 22 {8000-8100}/tcp
admins admin usr == adm*
errors e-hit err == {1-10}
always cal tm == - - - - - & usr == cal
never - tm == - - - - {1970-1971} | tm == {Sun-Sat} {Jan-Dec} - - {1980-1981}
lists l-hit usr == l-hit l-miss & !(app == 443 8443)
trio-1 trio usr == trio
trio-2 trio usr == trio
trio-3 trio usr == trio
quoted q?q??touch_inj??d usr == q*'
while read -r tag _ cond; do printf 'WHEN (%s) EXEC\necho %s usr >>kinds.txt\nEND\n' "$cond" "$tag"; done <<<"$KINDS" >kinds.conf
printf "WHEN (src == 192.168.60.0/24) EXEC\nprintf '<%%s>\\\\n' usr src.name dst.name app.name >>kinds.txt\nEND\n" >>kinds.conf
{ printf 'WHEN (usr == fail3) EXEC\nexit 3\nEND\n'; last kinds; } >>kinds.conf
{
  echo "wait-reader 30"; conn 1 s-hit 443; conn 2 s-miss 443
  conn 3 d-hit 443 dsthost=www.corp.invalid; conn 4 d-miss 443 dsthost=www.corpx.invalid
  conn 5 u-hit 53 cmd=udp; conn 6 u-miss 53; conn 7 p-hit 8080; conn 8 p-miss 8080 cmd=udp
  conn 9 admin 443; conn 10 xadmin 443; conn 11 e-hit 443; echo "error 11 code=5"; conn 12 e-miss 443; echo "error 12 code=11"
  conn 13 cal 443; conn 14 l-hit 25; conn 15 l-miss 8443; conn 16 trio 443
  conn 17 "\"q'q';touch inj;\$d\"" 443; conn 18 fail3 443
} >kinds.feed
cat >>kinds.feed <<'EOF'
start 20 user=--version src=192.168.60.1:40000 srchost="-la /etc/shadow"
update 20 cmd=connect dst=198.51.100.1:443 dsthost="a b  c" app=*
start 21 user=x\ src=192.168.60.2:40000 srchost=/???/?????
update 21 cmd=connect dst=198.51.100.2:443 dsthost=U;u app="$(touch inj)"
wait-drained 30
EOF
{ conn 22 sentinel 443; echo "wait-drained 30"; } >>kinds.feed && run kinds -t
same <(grep -v '^<' kinds.txt | sort -u) < <(awk '$2 != "-" { print $1, $2 }' <<<"$KINDS" | tr _ ' ' | sort)
same <(grep '^<' kinds.txt | sort) < <(printf '<%s>\n' '/???/?????' '?-version' '?' '??touch inj?' '?la /etc/shadow' U?u 'a b  c' 'x\')
[ ! -e inj ] && has kinds.err "^action .exit 3 ; ' unsuccessful$" || fail "a hidden command ran, or exit 3 not reported"
# The trace: record line, each alarm's decision and the command, then the log.
same <(grep -A2 '^[0-9]*: admin@' kinds.err | sed -E 's/^[0-9]+:/T:/; s/(pid|dur): ?[0-9]+/\1:N/g; s/ ; $//') <<'EOF'
T: admin@192.168.50.9->198.51.100.9 443/tcp err:0 0(i)+0(o)=0 pid:N dur:N id:8 read=0
cond.1:false;cond.2:false;cond.3:false;cond.4:false;cond.5:true;echo admins admin >>kinds.txt
echo admins admin >>kinds.txt
EOF

# repeat: with react_time 3 a connection fires again only after 3 s of
# record time; -l keeps the commands out of the log.
{ echo "react_time = 3"; printf 'WHEN (usr == rt*) EXEC\necho usr >>repeat.txt\nEND\n'; last repeat; } >repeat.conf
{ echo "wait-reader 30"; conn 1 rt1 443; printf '%s\n' "wait-drained 30" "update 1 in=100" "wait-drained 30"
  conn 2 rt2 443; printf '%s\n' "wait-drained 30" "sleep 4.5" "update 1 in=200" "wait-drained 30"; conn 3 sentinel 443; } >repeat.feed
run repeat -t -l
printf 'rt1\nrt2\nrt1\n' | same repeat.txt
[ "$(count repeat.err 'true;echo rt')" = 3 ] && ! has repeat.err '^echo ' || fail "repeat: not 3 traced runs, or logged"

# logins: a connection that failed or ended before any command (a failed
# login) is checked with app 0 and counts for FAIL; an open one without a
# command is not checked until it has one.
{ printf 'WHEN (FAIL[usr] >= 3) EXEC\necho usr err app >>logins.txt\nEND\n'
  printf 'WHEN (usr == open*) EXEC\necho usr app >>logins.txt\nEND\n'; last logins; } >logins.conf
{ echo "wait-reader 30"; for i in 1 2 3; do printf 'start %s user=mallory src=192.168.70.%s:4000;error %s code=10;end %s\n' $i $i $i $i; done
  printf '%s\n' "start 4 user=opener src=192.168.70.4:4000" "wait-drained 30" "start 6 user=opened" "end 6" "wait-drained 30"
  conn 7 sentinel 443; } | tr ';' '\n' >logins.feed
run logins -t
printf 'mallory 10 0/udp\nopened 0/udp\n' | same logins.txt

# longest: every name at its longest in the table (user and host names 128
# characters full of shell syntax, application 16) in a command with every
# kind of value: it runs whole, far past 511 bytes, each value one word.
# A reload runs the right twparser, never one planted in the working
# directory.
fill() { local s=$1; while [ ${#s} -lt "$2" ]; do s+=$3; done; printf %s "${s:0:$2}"; }  # START LENGTH PATTERN
evil="';\$(touch inj)\`|&<>*?!\\ ~{x}#[y]"
u=$(fill L 128 "$evil") sn=$(fill s 128 "$evil.") dn=$(fill d 128 ".$evil") a=$(fill a 16 "$evil")
cat >longest.conf <<'EOF'
WHEN (usr == L*)
EXEC
printf '<%s>\n' usr src.name dst.name app.name src.ip dst.ip app.port tm "usr at src.name" 'dst.name app.name' >>longest.txt
END
EOF
last longest >>longest.conf
{ echo "wait-reader 30"; printf 'start 1 user="%s" src=192.168.80.1:40000 srchost="%s"\n' "$u" "$sn"
  printf 'update 1 cmd=connect dst=198.51.100.80:443 dsthost="%s" app="%s"\n' "$dn" "$a"
  echo "wait-drained 30"; conn 2 sentinel 443; } >longest.feed
printf '#!/bin/sh\ntouch planted\n' >twparser && chmod +x twparser
start longest -t
within 60 has longest.feed.txt "script done" && within 10 has longest.done done || fail "longest: the last alarm did not run"
kill -HUP "$DAEMON" && within 10 has longest.err "^rules reloaded from longest.conf$" || fail "longest: no reload"
finish
for v in u sn dn a; do printf -v "$v" %s "$(printf %s "${!v}" | LC_ALL=C tr -c 'a-zA-Z0-9 !@%_=+\\:,./-' '?')"; done
same <(sed -E 's/^<[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}>$/<TIME>/' longest.txt) < <(
  printf '<%s>\n' "$u" "$sn" "$dn" "$a" 192.168.80.1 198.51.100.80 443/tcp TIME "$u at $sn" "$dn $a")
[ "$(grep '^printf ' longest.err | awk '{ print length }')" -gt 800 ] && [ ! -e inj ] && [ ! -e planted ] ||
  fail "longest: a short line, a hidden command, or ./twparser ran"
rm twparser

# -n names a command that, with every name at its longest, could pass what
# the shell can be started with (made small here by a large environment
# and a small stack limit); the check still passes.
cat >wide.conf <<'EOF'
# wide
WHEN (usr == x)
EXEC
  echo "usr src.name dst.name usr src.name dst.name usr src.name dst.name usr src.name dst.name \
  usr src.name dst.name usr src.name dst.name usr src.name dst.name usr src.name dst.name"
END
WHEN (usr == y) EXEC
echo usr
END
EOF
tw -n -i wide.conf && [ "$status" = 0 ] && ! has tw.err 'may expand' || fail "-n warned with room enough"
# the environment filled to 5000 bytes short of the 128 KiB that 256 KiB of stack gives
filler=$(printf "%$((131072 - 5000 - $(env | wc -c)))s" | tr ' ' x)
(ulimit -s 256 && FILLER=$filler tw -n -i wide.conf) && [ "$(cat tw.out)" = "configuration OK" ] &&
  has tw.err '^lines 4-6 \(parsed 2\): command may expand to [0-9]{4} bytes, over the argument limit of [0-9]{4}$' &&
  [ "$(count tw.err 'may expand')" = 1 ] || fail "-n: no warning of the wide command"
echo "alarms test passed"

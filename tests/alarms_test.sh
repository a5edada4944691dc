#!/usr/bin/env bash
# End to end: monfeed writes connections into the table as the proxy would,
# tollwatch takes them in the foreground, and the actions of the alarms that
# hold write what they were given into a file.
# usage: alarms_test.sh TOLLWATCH TWPARSER MONFEED SOURCE_DIR
set -euo pipefail

TOLLWATCH=$1 MONFEED=$3 SRCDIR=$4
PATH=$(dirname "$2"):$PATH
WORK=$(mktemp -d)
FEEDER= DAEMON=
trap 'kill -KILL $DAEMON $FEEDER 2>/dev/null || true; rm -rf "$WORK"' EXIT

fail() {
  echo "FAIL: $*" >&2
  tail -n 60 "$WORK"/*.err "$WORK"/*.txt >&2 2>/dev/null || true
  exit 1
}
alive() { grep -q '^State:[[:space:]]*[^Z]' "/proc/$1/status" 2>/dev/null; }
# wait_for FILE TEXT SECONDS PID: until FILE holds TEXT, while PID runs.
wait_for() {
  local n=$(($3 * 10))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    alive "$4" && [ $((n -= 1)) -gt 0 ] || return 1
    sleep 0.1
  done
}
# stop SIGNAL PID NAME: ends a child with SIGNAL, or SIGKILL after 10 s; it
# must exit with status 0.
stop() {
  local n=100 status=0
  kill "-$1" "$2"
  while alive "$2" && [ $((n -= 1)) -gt 0 ]; do sleep 0.1; done
  kill -KILL "$2" 2>/dev/null || true
  wait "$2" || status=$?
  [ "$status" -eq 0 ] || fail "$3 exited $status on SIG$1"
}

# run NAME FLAGS...: feeds NAME.feed to tollwatch FLAGS on NAME.conf until
# monfeed's script is done and, where the rules have one, the alarm on the
# user "sentinel" (fed last) has run; then stops both.
run() {
  local n=$1
  shift
  cd "$WORK"
  rm -f "$n.feed.out" "$n.feed.err" "$n.out" "$n.err"  # truncated late by the jobs
  "$MONFEED" "$n.feed" >"$n.feed.out" 2>"$n.feed.err" &
  FEEDER=$!
  wait_for "$n.feed.out" "table created" 10 "$FEEDER" || fail "$n: no table"
  "$TOLLWATCH" -f "$@" -i "$n.conf" >"$n.out" 2>"$n.err" &
  DAEMON=$!
  wait_for "$n.feed.out" "script done" 60 "$DAEMON" || fail "$n: feed stuck"
  ! grep -q sentinel "$n.conf" || wait_for "$n.done" sentinel 10 "$DAEMON" ||
    fail "$n: the sentinel alarm did not run"
  stop QUIT "$DAEMON" tollwatch
  DAEMON=
  grep -qx "process quits on the QUIT signal" "$n.err" || fail "$n: no quit"
  stop TERM "$FEEDER" monfeed
  FEEDER=
}

# fired TAG USER [MISS]: alarm TAG ran for USER's connection, not MISS's.
fired() {
  grep -qxF -- "$1 $2" "$OUT" || fail "$1 did not fire for $2"
  [ -z "${3:-}" ] || ! grep -qxF -- "$1 $3" "$OUT" || fail "$1 fired for $3"
}

# ---- 1. Every kind of comparison, the trace and the log.

OUT=$WORK/kinds.out.txt
MARKER=$WORK/injected
{
  echo "out=$OUT"
  echo "mask = 10.1.0.0/255.255.0.0"
  while read -r tag cond; do
    printf 'WHEN (%s) EXEC\necho %s usr >> $out\nEND\n' "$cond" "$tag"
  done <<'EOF'
srcmask src == $mask
dstname dst == .corp.invalid
udp app == 53/udp
ports app == 22 {8000-8100}/tcp
admins usr == adm*
errors err == {1-10}
always tm == - - - - - & usr == cal
never tm == - - - - {1970-1971} | tm == {Sun-Sat} {Jan-Dec} - - {1980-1981}
lists usr == l-hit l-miss & !(app == 443 8443)
trio-1 usr == trio
trio-2 usr == trio
trio-3 usr == trio
quoted usr == q*
EOF
  printf 'WHEN (usr == fail3) EXEC\nexit 3\nEND\n'
  printf 'WHEN (usr == sentinel) EXEC\necho usr > %s\nEND\n' "$WORK/kinds.done"
} >"$WORK/kinds.conf"

# conn N USER PORT [DSTHOST [CMD [SRC]]]: connection N from 192.168.50.N
# to 198.51.100.N, in two changes.
conn() {
  echo "start $1 user=\"$2\" src=${6:-192.168.50.$1}:40000"
  echo "update $1 cmd=${5:-connect} dst=198.51.100.$1:$3 dsthost=${4:-h.ex}"
}
{
  echo "wait-reader 30"
  conn 1 s-hit 443 h.ex connect 10.1.2.3
  conn 2 s-miss 443 h.ex connect 10.2.0.1
  conn 3 d-hit 443 www.corp.invalid; conn 4 d-miss 443 www.corpx.invalid
  conn 5 u-hit 53 ns.example udp; conn 6 u-miss 53 ns.example connect
  conn 7 p-hit 8080; conn 8 p-miss 8080 h.ex udp
  conn 9 admin 443; conn 10 xadmin 443
  conn 11 e-hit 443; echo "error 11 code=5"
  conn 12 e-miss 443; echo "error 12 code=11"
  conn 13 cal 443; conn 14 l-hit 25; conn 15 l-miss 8443; conn 16 trio 443
  conn 17 "q'q';touch $MARKER;\$d" 443; conn 18 fail3 443
  echo "wait-drained 30"
  conn 19 sentinel 443
  echo "wait-drained 30"
} >"$WORK/kinds.feed"

run kinds -t
ERR=$WORK/kinds.err

fired srcmask s-hit s-miss; fired dstname d-hit d-miss; fired udp u-hit u-miss
fired ports p-hit p-miss; fired admins admin xadmin; fired errors e-hit e-miss
fired always cal; fired lists l-hit l-miss
tags=$(awk '{ print $1 }' "$OUT" | sort -u | tr '\n' ' ')
[ "$tags" = "admins always dstname errors lists ports quoted srcmask trio-1 \
trio-2 trio-3 udp " ] || fail "unexpected alarms ran: $tags"
trio=$(awk '/^trio-/ { printf "%s ", $1 }' "$OUT")
[[ $trio =~ ^(trio-1\ trio-2\ trio-3\ )+$ ]] || fail "trio alarms ran as: $trio"

grep -qxF "quoted q?q??touch $MARKER??d" "$OUT" || fail "user name not cleaned"
[ ! -e "$MARKER" ] || fail "a command hidden in a user name ran"
grep -qF "action \`exit 3 ; ' unsuccessful" "$ERR" || fail "exit 3 not reported"

# The trace: the record line, each alarm's decision, the command line; the
# log (standard error) then repeats the command line.
line='^[0-9]+: admin@192\.168\.50\.9->198\.51\.100\.9 443/tcp err:0'
line="$line 0\\(i\\)\\+0\\(o\\)=0 pid: ?[0-9]+ dur: ?[0-9]+ id:[0-9]+ read=0$"
grep -Eq "$line" "$ERR" || fail "no record line for admin in the trace"
cmd="echo admins admin >> $OUT ; "
decided="cond.1:false;cond.2:false;cond.3:false;cond.4:false;cond.5:true;"
grep -A1 -xF "$decided$cmd" "$ERR" | tail -n 1 | grep -qxF "$cmd" ||
  fail "admin's decisions and command line not traced, then logged"
grep -qE "^cond.1:false;.*cond.15:false;$" "$ERR" || fail "no trace of a miss"

# ---- 2. Repeats within the keep time, and -l.

OUT=$WORK/repeat.out.txt
cat >"$WORK/repeat.conf" <<EOF
react_time = 3
WHEN (usr == rt*) EXEC
echo rt usr time >> $OUT END
WHEN (usr == sentinel) EXEC
echo usr > $WORK/repeat.done END
EOF
# Record times are the moments the daemon takes the changes: rt1's second
# is taken within two seconds of its first, its third after more than four.
cat >"$WORK/repeat.feed" <<EOF
wait-reader 30
start 1 user=rt1 src=192.168.50.1:40000
update 1 cmd=connect dst=198.51.100.1:443
wait-drained 30
update 1 in=100
wait-drained 30
start 2 user=rt2 src=192.168.50.2:40000
update 2 cmd=connect dst=198.51.100.2:443
wait-drained 30
sleep 4.5
update 1 in=200
wait-drained 30
start 3 user=sentinel src=192.168.50.3:40000
update 3 cmd=connect dst=198.51.100.3:443
wait-drained 30
EOF

run repeat -t -l
ERR=$WORK/repeat.err

users=$(awk '{ printf "%s ", $2 }' "$OUT")
[ "$users" = "rt1 rt2 rt1 " ] || fail "with react_time 3 it ran for: $users"
[ "$(grep -c "true;echo rt " "$ERR")" -eq 3 ] || fail "not 3 traced runs"
! grep -q "^echo rt " "$ERR" || fail "-l did not keep commands out of the log"
[ "$(grep -c "^[0-9]*: rt1@" "$ERR")" -ge 3 ] || fail "rt1 not traced 3 times"

# ---- 2b. Names reach a command as one literal argument each: no
# splitting, globbing, options or escapes, whatever the names hold.

OUT=$WORK/literal.out.txt
touch "$WORK/Uxu" "$WORK/a"
cat >"$WORK/literal.conf" <<EOF
WHEN (usr != sentinel) EXEC
printf '<%s>\\n' usr src.name dst.name app.name >> $OUT END
WHEN (usr == sentinel) EXEC
echo usr > $WORK/literal.done END
EOF
cat >"$WORK/literal.feed" <<'EOF'
wait-reader 30
start 1 user=--version src=192.168.60.1:40000 srchost="-la /etc/shadow"
update 1 cmd=connect dst=198.51.100.1:443 dsthost="a b  c" app=*
start 2 user=x\ src=192.168.60.2:40000 srchost=/???/?????
update 2 cmd=connect dst=198.51.100.2:443 dsthost=U;u app="$(touch a)"
wait-drained 30
start 3 user=sentinel src=192.168.60.3:40000
update 3 cmd=connect dst=198.51.100.3:443
wait-drained 30
EOF
before=$(ls "$WORK" | grep -v '^literal')
run literal
for want in "<?-version>" "<?la /etc/shadow>" "<a b  c>" "<?>" "<x\\>" \
  "</???/?????>" "<U?u>" "<??touch a?>"; do
  grep -qxF -- "$want" "$OUT" || fail "no argument $want in: $(cat "$OUT")"
done
! grep -qv '^<.*>$' "$OUT" || fail "a value split: $(cat "$OUT")"
[ "$(ls "$WORK" | grep -v '^literal')" = "$before" ] ||
  fail "a value made files: $(ls "$WORK")"

# ---- 3. The example rules on the example traffic: each alarm that holds
# runs once, repeats of a connection falling within react_time.

cp "$SRCDIR/examples/tollwatch.conf" "$WORK/example.conf"
cp "$SRCDIR/examples/traffic.feed" "$WORK/example.feed"
run example
ERR=$WORK/example.err
while IFS= read -r text; do
  [ "$(grep -c "^echo  tollwatch: $text" "$ERR" || true)" -eq 1 ] ||
    fail "example: not exactly one run of: $text"
done <<'EOF'
web: alice from ws-alice.example.net at 192.168.10.21 to www.example.com
example.com: alice at 
dns: bob asked 192.168.1.53 from ws-bob.example.net ; $
ftp: carol on 20/tcp with ftp.example.org ; $
servers: carol from ws-carol.example.net to ftp.example.org 20/tcp ; $
failure: dave to mx.example.org 25/tcp failed with code 5 ; $
mail: dave sends to mx.example.org ; $
servers: dave from ws-dave.example.net to mx.example.org 25/tcp ; $
detail: ws-dave.example.net 192.168.10.80 mx.example.org 198.51.100.7
privileged: backup from nas.example.net to backup.example.org 22/tcp
EOF
! grep -Eq "servers: backup|too many|heavy traffic|unsuccessful" "$ERR" ||
  fail "example: an alarm fired that should not"

echo "alarms test passed"

#!/usr/bin/env bash
# End to end: monfeed writes connections into the table as the proxy would,
# tollwatch runs in the foreground on a rule file and takes them, and the
# actions of the alarms that hold write what they were given into a file.
#
#   1. one alarm per kind of variable fires on its connection and not on a
#      near miss; three alarms on one record run in file order; a hostile
#      user name reaches the command cleaned; a failing command is logged;
#      the trace shows records, decisions and commands; without -l the log
#      (standard error in the foreground) repeats each command line.
#   2. react_time: a repeat inside the keep time is suppressed, one after
#      it runs; with -l the log no longer repeats the command line.
#
# usage: alarms_test.sh TOLLWATCH TWPARSER MONFEED SOURCE_DIR
set -euo pipefail

TOLLWATCH=$1
TWPARSER=$2
MONFEED=$3
SRCDIR=$4
PATH=$(dirname "$TWPARSER"):$PATH
WORK=$(mktemp -d)
FEEDER=
DAEMON=

cleanup() {
  for pid in $DAEMON $FEEDER; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*; do
    [ -f "$f" ] || continue
    echo "--- ${f##*/}" >&2
    cat -A "$f" >&2
  done
  exit 1
}

# wait_for FILE TEXT SECONDS [PID]: until FILE holds TEXT (a fixed
# string); gives up early when process PID is gone.
wait_for() {
  local n=$(($3 * 10))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    [ "$n" -gt 0 ] || return 1
    [ -z "${4:-}" ] || kill -0 "$4" 2>/dev/null || return 1
    n=$((n - 1))
    sleep 0.1
  done
}

# reap PID SECONDS: waits for a background child, killing it after SECONDS;
# leaves its exit status in $status.
reap() {
  (sleep "$2"; kill -KILL "$1") >/dev/null 2>&1 &
  local dog=$!
  status=0
  wait "$1" || status=$?
  kill -KILL "$dog" 2>/dev/null || true  # SIGTERM would run the EXIT trap in it
}

# run NAME FLAGS...: feeds $WORK/NAME.feed to the daemon running on
# $WORK/NAME.conf with FLAGS until the script is done and, where the rules
# have one, the alarm on the user "sentinel" (fed last, after everything
# else was taken) has run; then stops both.  The daemon's standard error
# goes to NAME.err.
run() {
  local name=$1
  shift
  (cd "$WORK" && exec "$MONFEED" "$name.feed") \
    >"$WORK/$name.feed.out" 2>"$WORK/$name.feed.err" &
  FEEDER=$!
  wait_for "$WORK/$name.feed.out" "table created" 10 "$FEEDER" ||
    fail "$name: monfeed did not create the table"
  (cd "$WORK" && exec "$TOLLWATCH" -f "$@" -i "$name.conf") \
    >"$WORK/$name.out" 2>"$WORK/$name.err" &
  DAEMON=$!
  wait_for "$WORK/$name.feed.out" "script done" 60 "$DAEMON" ||
    fail "$name: monfeed did not finish its script"
  if grep -q sentinel "$WORK/$name.conf"; then
    wait_for "$WORK/$name.done" "sentinel" 10 "$DAEMON" ||
      fail "$name: the sentinel alarm did not run"
  fi
  kill -QUIT "$DAEMON"
  reap "$DAEMON" 10
  DAEMON=
  [ "$status" -eq 0 ] || fail "$name: tollwatch exited $status on SIGQUIT"
  grep -qx "process quits on the QUIT signal" "$WORK/$name.err" ||
    fail "$name: no quit notice"
  kill -TERM "$FEEDER"
  reap "$FEEDER" 10
  FEEDER=
  [ "$status" -eq 0 ] || fail "$name: monfeed exited $status"
}

# fired TAG USER: the alarm TAG ran for the connection of USER.
fired() { grep -qxF -- "$1 $2" "$OUT" || fail "$1 did not fire for $2"; }
# quiet TAG USER: it did not.
quiet() { ! grep -qxF -- "$1 $2" "$OUT" || fail "$1 fired for $2"; }

# ---- 1. Every kind of comparison, the trace and the log.

OUT=$WORK/kinds.out.txt
MARKER=$WORK/injected
cat >"$WORK/kinds.conf" <<EOF
# The actions write "tag user" lines into one file.
out=$OUT
mask = 10.1.0.0/255.255.0.0
WHEN (src == \$mask)
EXEC
echo srcmask usr >> \$out
END
WHEN (dst == .corp.invalid) EXEC
echo dstname usr >> \$out
END
WHEN (app == 53/udp) EXEC
echo udp usr >> \$out
END
WHEN (app == 22 {8000-8100}/tcp) EXEC
echo ports usr >> \$out
END
WHEN (usr == adm*) EXEC
echo admins usr >> \$out
END
WHEN (err == {1-10}) EXEC
echo errors usr >> \$out
END
WHEN (tm == - - - - - & usr == cal) EXEC
echo always usr >> \$out
END
WHEN (tm == - - - - {1970-1971} | tm == {Sun-Sat} {Jan-Dec} - - {1980-1981})
EXEC
echo never usr >> \$out
END
WHEN (usr == l-hit l-miss & !(app == 443 8443)) EXEC
echo lists usr >> \$out
END
WHEN (usr == trio) EXEC
echo trio-1 usr >> \$out
END
WHEN (usr == trio) EXEC
echo trio-2 usr >> \$out
END
WHEN (usr == trio) EXEC
echo trio-3 usr >> \$out
END
WHEN (usr == q*) EXEC
echo quoted usr >> \$out
END
WHEN (usr == fail3) EXEC
exit 3
END
WHEN (usr == sentinel) EXEC
echo usr > $WORK/kinds.done
END
EOF

# conn N USER SRC DST [DSTHOST [CMD]]: one connection, in two changes.
conn() {
  echo "start $1 user=\"$2\" src=$3:40000"
  echo "update $1 cmd=${6:-connect} dst=$4 dsthost=${5:-host.example}"
}
{
  echo "wait-reader 30"
  conn 1 s-hit 10.1.2.3 198.51.100.1:443
  conn 2 s-miss 10.2.0.1 198.51.100.2:443
  conn 3 d-hit 192.168.50.3 198.51.100.3:443 www.corp.invalid
  conn 4 d-miss 192.168.50.4 198.51.100.4:443 www.corpx.invalid
  conn 5 u-hit 192.168.50.5 198.51.100.5:53 ns.example udp
  conn 6 u-miss 192.168.50.6 198.51.100.6:53 ns.example connect
  conn 7 p-hit 192.168.50.7 198.51.100.7:8080
  conn 8 p-miss 192.168.50.8 198.51.100.8:8080 h.example udp
  conn 9 admin 192.168.50.9 198.51.100.9:443
  conn 10 xadmin 192.168.50.10 198.51.100.10:443
  conn 11 e-hit 192.168.50.11 198.51.100.11:443
  echo "error 11 code=5"
  conn 12 e-miss 192.168.50.12 198.51.100.12:443
  echo "error 12 code=11"
  conn 13 cal 192.168.50.13 198.51.100.13:443
  conn 14 l-hit 192.168.50.14 198.51.100.14:25
  conn 15 l-miss 192.168.50.15 198.51.100.15:8443
  conn 16 trio 192.168.50.16 198.51.100.16:443
  conn 17 "q'q';touch $MARKER;\$d" 192.168.50.17 198.51.100.17:443
  conn 18 fail3 192.168.50.18 198.51.100.18:443
  echo "wait-drained 30"
  conn 19 sentinel 192.168.50.19 198.51.100.19:443
  echo "wait-drained 30"
} >"$WORK/kinds.feed"

run kinds -t
ERR=$WORK/kinds.err

fired srcmask s-hit;  quiet srcmask s-miss
fired dstname d-hit;  quiet dstname d-miss
fired udp u-hit;      quiet udp u-miss
fired ports p-hit;    quiet ports p-miss
fired admins admin;   quiet admins xadmin
fired errors e-hit;   quiet errors e-miss
fired always cal
fired lists l-hit;    quiet lists l-miss
! grep -q "^never " "$OUT" || fail "an alarm that never holds fired"
tags=$(awk '{ print $1 }' "$OUT" | sort -u | tr '\n' ' ' || true)
want="admins always dstname errors lists ports quoted srcmask"
want="$want trio-1 trio-2 trio-3 udp "
[ "$tags" = "$want" ] || fail "unexpected alarms ran: $tags"

trio=$(grep '^trio-' "$OUT" | awk '{ printf "%s ", $1 }' || true)
case $trio in
  "trio-1 trio-2 trio-3 "*) ;;
  *) fail "three alarms on one record ran as: $trio" ;;
esac
[ "${trio//trio-1 trio-2 trio-3 /}" = "" ] ||
  fail "three alarms on one record ran as: $trio"

grep -qxF "quoted q?q??touch $MARKER??d" "$OUT" ||
  fail "the hostile user name did not arrive cleaned"
[ ! -e "$MARKER" ] || fail "a command hidden in a user name ran"

grep -qF "action \`exit 3 ; ' unsuccessful" "$ERR" ||
  fail "no report of the command that exited 3"

# The trace: the record line, each alarm's decision, the command line.
line='^[0-9]+: admin@192\.168\.50\.9->198\.51\.100\.9 443/tcp err:0'
line="$line 0\\(i\\)\\+0\\(o\\)=0 pid: ?[0-9]+ dur: ?[0-9]+ id:[0-9]+ read=0$"
grep -Eq "$line" "$ERR" ||
  fail "no record line for admin in the trace"
decisions=$(grep -F "true;echo admins admin >> $OUT ; " "$ERR" | head -n 1 ||
  true)
want="cond.1:false;cond.2:false;cond.3:false;cond.4:false;cond.5:true;"
[ "$decisions" = "${want}echo admins admin >> $OUT ; " ] ||
  fail "admin's decisions traced as: $decisions"
grep -A1 -F "cond.5:true;echo admins admin >> $OUT ; " "$ERR" | tail -n 1 |
  grep -qx "echo admins admin >> $OUT ; " ||
  fail "the executed line is not logged after the trace"
grep -qE "^cond.1:false;.*cond.15:false;$" "$ERR" ||
  fail "no record that matched nothing in the trace"

# Without -l each command line run is logged once besides the trace.
runs=$(grep -cxF "admins admin" "$OUT" || true)
logged=$(grep -cxF "echo admins admin >> $OUT ; " "$ERR" || true)
traced=$(grep -cF "true;echo admins admin >> $OUT ; " "$ERR" || true)
if [ "$runs" -lt 1 ] || [ "$logged" -ne "$runs" ] || [ "$traced" -ne "$runs" ]
then
  fail "admin: $runs runs, $logged logged, $traced traced"
fi

# ---- 2. Repeats within the keep time, and -l.

OUT=$WORK/repeat.out.txt
cat >"$WORK/repeat.conf" <<EOF
react_time = 3
WHEN (usr == rt*) EXEC
echo rt usr time >> $OUT
END
WHEN (usr == sentinel) EXEC
echo usr > $WORK/repeat.done
END
EOF
# Record times are the moments the daemon takes the changes: the second
# change of rt1 is taken within two seconds of the first, the third after
# more than four.
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
[ "$users" = "rt1 rt2 rt1 " ] ||
  fail "with a keep time of 3 s the action ran for: $users"
[ "$(grep -c "true;echo rt " "$ERR" || true)" -eq 3 ] ||
  fail "the trace does not show three command lines"
! grep -q "^echo rt " "$ERR" ||
  fail "-l did not keep command lines out of the log"
[ "$(grep -c "^[0-9]*: rt1@" "$ERR" || true)" -ge 3 ] ||
  fail "fewer than three records of rt1 were traced"

# ---- 3. The example rules on the example traffic.

cp "$SRCDIR/examples/tollwatch.conf" "$WORK/example.conf"
cp "$SRCDIR/examples/traffic.feed" "$WORK/example.feed"
run example
ERR=$WORK/example.err

# once TEXT: exactly one command line run holds TEXT (repeats of a
# connection fall within react_time).
once() {
  [ "$(grep -c "^echo  tollwatch: $1" "$ERR" || true)" -eq 1 ] ||
    fail "example: not exactly one run of: $1"
}
once "web: alice from ws-alice.example.net at 192.168.10.21 to www.example.com"
once "example.com: alice at "
once "dns: bob asked 192.168.1.53 from ws-bob.example.net ; $"
once "ftp: carol on 20/tcp with ftp.example.org ; $"
once "servers: carol from ws-carol.example.net to ftp.example.org 20/tcp ; $"
once "failure: dave to mx.example.org 25/tcp failed with code 5 ; $"
once "mail: dave sends to mx.example.org ; $"
once "servers: dave from ws-dave.example.net to mx.example.org 25/tcp ; $"
once "detail: ws-dave.example.net 192.168.10.80 mx.example.org 198.51.100.7"
once "privileged: backup from nas.example.net to backup.example.org 22/tcp"
! grep -Eq "servers: backup|too many|heavy traffic|unsuccessful" "$ERR" ||
  fail "example: an alarm fired that should not"

echo "alarms test passed"

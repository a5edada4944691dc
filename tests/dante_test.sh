#!/usr/bin/env bash
# A real Dante server, curl as its clients, twbridge following its log and
# tollwatch on the table: each kind of session (sound ones with exact byte
# counts both ways, wrong passwords, an unknown user, a refused port, a name
# that does not resolve, a port the proxy's rules block) reaches the rules
# with its user, source, destination, port and error code, and counts once;
# then, while curl keeps making sessions, the log is renamed, twbridge is
# killed and started again on its state file, and the log is copied and
# truncated: every session still reaches the table exactly once.  Exits 77
# (skipped) where danted, curl or the namespaces are missing.
. "${0%/*}/dante_env.sh"
. "${0%/*}/harness.sh" "$@"
export LC_ALL=C
[ -n "${TB-}" ] || fail "twbridge was not given"

for u in alice carol dave erin; do dante_user $u $u-pw; done  # erin: the sentinel
dante_start
web_start
URL=http://127.0.0.1:$WEB_PORT

# Every session comes from an address of its own, so that a command line
# names it; the repeats of a line are held back, so each file has a line per
# session (of its several changes).  That a session reached the table once,
# not as two connections, the aggregates tell.
cat >main.conf <<'EOF'
react_time = 3600
WHEN (FAIL[usr] >= 3) EXEC
echo locked usr >>locked.txt END
WHEN (FAIL[src, usr] >= 2) EXEC
echo watched src.ip usr >>watched.txt END
WHEN (err > 0) EXEC
echo failed usr src.ip dst app.port err >>failed.txt END
WHEN (err == 0 & app == 8080/tcp & usr != erin & IN[src] > 0) EXEC
echo ok usr src.ip dst app.port IN[src] OUT[src] >>ok.txt END
WHEN (usr == erin & IN[src] > 0) EXEC
echo src.ip >>settled.txt END
EOF

BRIDGE=
bridge() {  # twbridge in the foreground on the log, the position in bridge.state
  local n && : >>bridge.err && n=$(count bridge.err "following ")
  "$TB" -f -s bridge.state "$DANTE_LOG" >>bridge.out 2>>bridge.err & BRIDGE=$!
  within 20 eval '[ "$(count bridge.err "following ")" -gt '"$n"' ]' || fail "twbridge does not follow the log"
}
bridge_status() {  # the counters of a fresh status line of twbridge, one a line
  local n && n=$(count bridge.err '^status: ') && kill -USR1 "$BRIDGE"
  within 5 eval '[ "$(count bridge.err "^status: ")" -gt '"$n"' ]' || fail "twbridge wrote no status line"
  grep '^status: ' bridge.err | tail -n 1 | tr ' ' '\n' | grep -E '^(lines|sessions|unparsed|dropped|open|held)='
}
sound() {  # SRC USER PATH [CURL OPTION...]: a session that must succeed; its
  # source, user and byte counts (to the client, from it) go to sound.txt
  local r
  r=$(socks "$1" "$2:$2-pw" "$URL/$3" "${@:4}") || fail "curl failed from $1: $r"
  set -- "$1" "$2" $r && echo "$1 $2 $(($3 + $4)) $5" >>sound.txt
}
REFUSED=0
refused() {  # SRC USER:PASSWORD URL: a session the proxy must refuse
  ! socks "$@" >/dev/null 2>>curl.err || fail "curl got through from $1"
  REFUSED=$((REFUSED + 1))
}
S=0
settle() {  # two sentinel sessions: once their ends fired, every command of
  # what came before them has run
  local i
  for i in 1 2; do
    S=$((S + 1)) && sound "127.0.9.$S" erin 1 && within 20 has settled.txt "^127[.]0[.]9[.]$S\$" ||
      fail "the sentinel from 127.0.9.$S did not come through"
  done
}
expected_ok() {  # PATTERN: the ok lines of sound.txt's sessions from sources matching PATTERN
  awk -v p="$1" '$1 ~ p && $2 != "erin" { print "ok", $2, $1, "127.0.0.1 8080/tcp", $3, $4 }' sound.txt | sort
}

bridge
log_lines=$(wc -l <"$DANTE_LOG")
daemon main -d hist
within 20 is_reader5 "$DAEMON" || fail "tollwatch did not attach"

# Sound sessions: a download, an upload and a large download.
head -c 20000 /dev/zero >upload.bin
sound 127.0.1.1 alice 1000
sound 127.0.1.2 alice 5000 --data-binary @upload.bin
sound 127.0.1.3 alice 300000
# Wrong passwords (carol three times from three places, dave twice from one
# place and once from another), an unknown user.
for i in 1 2 3; do refused "127.0.2.$i" carol:wrong "$URL/1"; done
refused 127.0.2.4 bob:bob-pw "$URL/1"
for i in 1 1 2; do refused "127.0.3.$i" dave:wrong "$URL/1"; done
# A port nothing listens on, a name that does not resolve, a port the
# proxy's rules block; then carol gets it right.
refused 127.0.4.1 alice:alice-pw http://127.0.0.1:9/
refused 127.0.4.2 alice:alice-pw http://nosuchhost.invalid/
refused 127.0.4.3 alice:alice-pw "http://127.0.0.1:$DANTE_BLOCKED/"
sound 127.0.1.4 carol 10
settle

same <(sort ok.txt) < <(expected_ok '^127[.]0[.]1[.]')
{ printf 'failed alice 127.0.4.%s\n' '1 127.0.0.1 9/tcp 5' '2 nosuchhost.invalid 0/udp 4' '3 127.0.0.1 9999/tcp 2'
  printf 'failed %s 0.0.0.0 0/udp 10\n' 'bob 127.0.2.4' 'carol 127.0.2.'{1,2,3} 'dave 127.0.3.'{1,2}; } >failed.expected
same <(sort failed.txt) <failed.expected
same <(sort locked.txt) <<<$'locked alice\nlocked carol\nlocked dave'
same watched.txt <<<'watched 127.0.3.1 dave'
# Every line read and understood, every session written once, none left.
same <(bridge_status) < <(printf '%s\n' "lines=$(($(wc -l <"$DANTE_LOG") - log_lines))" \
  "sessions=$(($(wc -l <sound.txt) + REFUSED))" unparsed=0 dropped=0 open=0 held=0)

# Rotation while two loops of curl make sessions from 127.10.x.y and
# 127.11.x.y until told to stop (at most 1,500 each).
traffic() {  # LOOP
  local i=0 src r
  while [ ! -e stop ] && [ $i -lt 1500 ]; do
    i=$((i + 1)) && src=127.$1.$((i / 250)).$((i % 250 + 1))
    r=$(socks "$src" alice:alice-pw "$URL/$((i * 37 % 3000))") || { echo "$src failed" >>"traffic.$1"; continue; }
    set -- "$1" $r && echo "$src alice $(($2 + $3)) $4" >>"traffic.$1"
  done
}
made() { (cat traffic.* 2>/dev/null || true) | wc -l; }
after() {  # N: until N more sessions were made
  local n=$(($(made) + $1))
  within 30 eval '[ "$(made)" -ge '"$n"' ]' || fail "the traffic stopped at $(made) sessions"
}
caught_up() {  # twbridge has read the log to its end
  local fd
  for fd in /proc/"$BRIDGE"/fd/*; do
    [ "$(readlink "$fd")" = "$DANTE_LOG" ] || continue
    [ "$(sed -n 's/^pos:[[:space:]]*//p' "/proc/$BRIDGE/fdinfo/${fd##*/}")" = "$(stat -c %s "$DANTE_LOG")" ] && return 0
  done
  return 1
}
traffic 10 & T1=$!
traffic 11 & T2=$!
after 20 && dante_rename_log .1
# Killed while it works through a backlog: held still while sessions pile
# up, let go, and killed a moment later.
after 10
kill -STOP "$BRIDGE" && after 30 && kill -CONT "$BRIDGE" && sleep 0.005
{ kill -KILL "$BRIDGE" && reap "$BRIDGE"; } 2>/dev/null  # no "Killed" notice
after 20 && bridge && after 20  # made while no twbridge runs, then after its restart
# copytruncate loses what is written between the copy and the truncation,
# and what the follower had not read yet: danted is held still meanwhile.
dante_pids && kill -STOP $DANTED_PIDS
within 10 caught_up || { kill -CONT $DANTED_PIDS; fail "twbridge did not read the log to its end"; }
cp "$DANTE_LOG" "$DANTE_LOG.2" && truncate -s 0 "$DANTE_LOG"
kill -CONT $DANTED_PIDS && after 20 && touch stop && wait "$T1" "$T2"
! grep -h failed traffic.* || fail "curl failed during the rotation"
cat traffic.* >>sound.txt
within 30 eval '[ "$(count ok.txt "^ok alice 127[.]1[01][.]")" -ge "$(made)" ]' ||
  fail "$(count ok.txt "^ok alice 127[.]1[01][.]") of $(made) sessions made during the rotation came through"
settle
same <(grep -E '^ok alice 127[.]1[01][.]' ok.txt | sort) < <(expected_ok '^127[.]1[01][.]')
same <(sort failed.txt) <failed.expected
same <(bridge_status | grep -E '^(dropped|open|held)=') <<<$'dropped=0\nopen=0\nheld=0'

# Each sound session counted once, with its bytes, each failure once.
finish
"$TH" hist | sed -E 's/ first=[0-9]+ last=[0-9]+//' | sort >hist.txt
same <(grep -E '^(IN|OUT) ' hist.txt) < <(awk '{ print "IN #1 src=" $1 " items=1 sum=" $3
  print "OUT #1 src=" $1 " items=1 sum=" $4 }' sound.txt | sort)
same <(grep '^FAIL ' hist.txt) < <(printf 'FAIL #1 usr=%s items=%s\n' alice 3 bob 1 carol 3 dave 3
  printf 'FAIL #2 src=127.0.%s usr=%s items=%s\n' 2.1 carol 1 2.2 carol 1 2.3 carol 1 2.4 bob 1 \
    3.1 dave 2 3.2 dave 1 4.1 alice 1 4.2 alice 1 4.3 alice 1)
# twbridge ends cleanly, leaving the table for its next start.
kill -TERM "$BRIDGE" && reap "$BRIDGE"
[ "$status" = 0 ] && [ -e /tmp/mon.mmap ] && has bridge.err "table stays for the next start" ||
  fail "twbridge exited $status on SIGTERM, or took the table"
dante_stop
echo "dante end-to-end test passed ($(made) sessions during the rotation)"

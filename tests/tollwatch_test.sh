#!/usr/bin/env bash
# shellcheck disable=SC2059,SC2086
# tollwatch end to end: command line, start-up, loading messages, the
# connections taken from a monfeed table and their trace, signals, and the
# detached daemon with its system log and trace file.
# usage (through nsrun.sh): tollwatch_test.sh TOLLWATCH TWPARSER MONFEED SOURCE_DIR
set -euo pipefail

# --detached: the detached checks, in a mount namespace of our own.
DETACHED=
[ "${1-}" != --detached ] || { DETACHED=1; shift; }
TW=$1 TWP=$2 MF=$3 SRC=$4
SELF=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

fail() {
  echo "FAIL: $*" >&2
  for f in "$CASE"/*.out "$CASE"/*.err "$CASE"/*.args ${SYSLOG-}; do
    [ ! -f "$f" ] || { echo "--- ${f##*/}"; head -c 4000 "$f"; } >&2
  done
  exit 1
}
newcase() { CASE=$WORK/$1; mkdir "$CASE"; cd "$CASE"; }
rules() { f=$1; shift; printf '%s\n' "$@" >"$f"; }
# tw ARGS...: a bounded run; exit status in $status, output in tw.out/tw.err.
tw() { status=0; timeout 20 tollwatch "$@" </dev/null >tw.out 2>tw.err || status=$?; }
ends_with() {  # STATUS MESSAGE: of the last run, and its last line on stderr
  [ "$status" -eq "$1" ] && [ "$(tail -n 1 tw.err)" = "$2" ] ||
    fail "exit $status, \"$(tail -n 1 tw.err)\"; expected $1, \"$2\""
}
within() {  # SECONDS COMMAND...: until COMMAND succeeds, polled every 0.1 s
  local n=$(($1 * 10))
  shift
  until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done
}
has() { grep -Eq -- "$2" "$1" 2>/dev/null; }
dead() { ! kill -0 "$1" 2>/dev/null; }
# The process id of reader 5 in the table header, 0 for none.
reader5() { od -An -t d4 -j 40 -N 4 /tmp/mon.mmap | tr -d ' '; }
is_reader5() { [ "$(reader5)" = "$1" ]; }
reap() {  # PID: waits for a child, killing it after 10 s; status in $status
  (sleep 10; kill -KILL "$1") >/dev/null 2>&1 &
  local dog=$!
  status=0 && wait "$1" || status=$?
  { kill -KILL "$dog" && wait "$dog"; } 2>/dev/null || true  # no TERM: EXIT trap
}
feed() {  # SCRIPT: monfeed in the background as $FEEDER, once its table exists
  rm -f feed.out feed.err  # the background job truncates them only when it runs
  monfeed "$1" >feed.out 2>feed.err & FEEDER=$!
  within 10 has feed.out "table created" || fail "monfeed made no table"
}
unfeed() { kill -TERM "$FEEDER"; reap "$FEEDER"; FEEDER=; }
stop() { kill -QUIT "$DAEMON"; reap "$DAEMON"; DAEMON=; }
detach() { tw "$@"; [ "$status" -eq 0 ] || fail "detached start exited $status"; }
logged() { within 10 has "$SYSLOG" "$1" || fail "system log lacks /$1/"; }

# A rule that holds for none of the connections fed here; its aggregate
# stores every connection in the history.
QUIET_RULE=('WHEN (src == 10.255.255.254 | ACCESS[src] > 1000000)' EXEC '  echo never' END)
# A ./twparser that records its arguments and runs the real one.
WRAP='#!/bin/sh\necho "$@" >>twparser.args\nexec "%s" "$@"\n'

detached_checks() {
  mkdir -p "$WORK/devov/upper" "$WORK/devov/work"
  mount -t overlay overlay -o \
    "lowerdir=/dev,upperdir=$WORK/devov/upper,workdir=$WORK/devov/work" /dev || exit 77
  rm -f /dev/log
  SYSLOG=$WORK/syslog.log
  python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind("/dev/log")
out = open(sys.argv[1], "a", buffering=1)
while True: out.write(s.recv(65536).decode("utf-8", "replace").rstrip("\0\n") + "\n")
' "$SYSLOG" &
  SYSLOGD=$!
  within 5 test -S /dev/log || fail "syslog receiver did not start"
  printf 'earlier run\n' >/tmp/tollwatch.log

  # No table: the command waits for the child and fails with its message
  # on standard error too; the daemon runs twparser with "1", keeps its
  # directory, and logs the failure as a daemon error (27).  With -t the
  # trace file is appended to, but errors still go to the log.
  newcase detached-notable
  rules rules.conf "${QUIET_RULE[@]}"
  printf "$WRAP" "$TWP" >twparser && chmod +x twparser
  tw -t -i rules.conf
  ends_with 1 "monitor mmap open error"
  logged '^<27>.* tollwatch\[[0-9]+\]: monitor mmap open error$'
  [ "$(cat twparser.args)" = "rules.conf rules.conf.parsed 1" ] || fail "twparser arguments"
  [ -f datafile1.pag ] || fail "detached daemon left the working directory"
  ! grep -q 'mmap open error' /tmp/tollwatch.log || fail "an error went to the trace file"

  # A rule file that twparser refuses: both programs log, the command
  # fails with the daemon's message.
  newcase detached-badrules
  rules rules.conf 'WHEN (user == )' 'EXEC' '  echo x' 'END'
  tw -i rules.conf
  ends_with 1 "the parser failed"
  logged '^<27>.* tollwatch\[[0-9]+\]: the parser failed$'
  logged '^<27>.* twparser\[[0-9]+\]: line 1: syntax error'

  # The trace file: never through a symbolic link, nor anything but a
  # regular file; a new one is created 0600.
  newcase detached-trace
  rules rules.conf "${QUIET_RULE[@]}"
  mv /tmp/tollwatch.log earlier.log
  ln -s "$CASE/target" /tmp/tollwatch.log
  tw -t -i rules.conf
  ends_with 1 "can't open /tmp/tollwatch.log for writing. Too many levels of symbolic links"
  [ ! -e target ] || fail "the trace went through a symbolic link"
  rm /tmp/tollwatch.log && mkfifo /tmp/tollwatch.log
  tw -t -i rules.conf
  ends_with 1 "can't open /tmp/tollwatch.log for writing. No such device or address"
  rm /tmp/tollwatch.log && touch /tmp/tollwatch.log
  if chown nobody /tmp/tollwatch.log 2>/dev/null; then
    tw -t -i rules.conf
    ends_with 1 "can't open /tmp/tollwatch.log for writing: not a regular file of ours"
  fi
  rm /tmp/tollwatch.log
  tw -t -i rules.conf
  ends_with 1 "monitor mmap open error"
  [ "$(stat -c %a /tmp/tollwatch.log)" = 600 ] || fail "trace file not created 0600"
  mv earlier.log /tmp/tollwatch.log

  # With a table: the command returns 0 once the daemon attached; the
  # daemon leads its own session with file creation mask 022, its standard
  # descriptors on /dev/null but standard error on the trace, appends its
  # trace, and logs its quit as a notice (29).
  newcase detached-table
  rules rules.conf "${QUIET_RULE[@]}"
  rules zoe.feed 'wait-reader 30' 'start 1 user=zoe src=10.7.7.7:5000' \
    'update 1 cmd=connect dst=10.8.8.8:8080 in=1 out=2' 'wait-drained 30'
  feed zoe.feed
  detach -t -i rules.conf
  [ ! -s tw.out ] && [ ! -s tw.err ] || fail "a good detached start printed something"
  DAEMON=$(reader5)
  [ "$DAEMON" != 0 ] || fail "the command returned before the daemon attached"
  within 30 has feed.out "script done" || fail "the detached daemon took no connection"
  [ "$(ps -o comm= -p "$DAEMON")" = tollwatch ] || fail "reader 5 ($DAEMON) is not tollwatch"
  [ "$(ps -o sid= -p "$DAEMON" | tr -d ' ')" = "$DAEMON" ] || fail "no session of its own"
  grep -q '^Umask:[[:space:]]*0022$' "/proc/$DAEMON/status" || fail "file creation mask not 022"
  for fd in 0 1; do
    [ "$(readlink "/proc/$DAEMON/fd/$fd")" = /dev/null ] || fail "descriptor $fd not on /dev/null"
  done
  [ "$(readlink "/proc/$DAEMON/fd/2")" = /tmp/tollwatch.log ] || fail "standard error not on the trace"
  [ "$(readlink "/proc/$DAEMON/cwd")" = "$CASE" ] || fail "daemon changed directory"
  [ "$(head -n 1 /tmp/tollwatch.log)" = "earlier run" ] || fail "trace file truncated"
  grep -Eq '^[0-9]+: zoe@10\.7\.7\.7->10\.8\.8\.8 8080/tcp err:0 1\(i\)\+2\(o\)=3 ' \
    /tmp/tollwatch.log || fail "trace file lacks the connection"
  kill -QUIT "$DAEMON"
  within 10 dead "$DAEMON" || fail "daemon did not quit on SIGQUIT"
  logged "^<29>.* tollwatch\\[$DAEMON\\]: process quits on the QUIT signal\$"
  DAEMON=
  unfeed
}

if [ -n "$DETACHED" ]; then WORK=$5; else WORK=$(mktemp -d); fi
CASE=$WORK SYSLOGD='' FEEDER='' DAEMON=''
trap '{ for p in $SYSLOGD $FEEDER $DAEMON; do kill -KILL "$p" || true; done
  [ -n "$DETACHED" ] || rm -rf "$WORK"; } 2>/dev/null' EXIT
[ -z "$DETACHED" ] || { detached_checks; exit 0; }

# Programs as the administrator has them: tollwatch and monfeed in one
# directory, twparser in another, both on the search path.
mkdir "$WORK/bin" "$WORK/parser" "$WORK/badparser"
ln -s "$TW" "$WORK/bin/tollwatch" && ln -s "$MF" "$WORK/bin/monfeed" && ln -s "$TWP" "$WORK/parser/"
printf '#!/bin/sh\nexit 3\n' >"$WORK/badparser/twparser" && chmod +x "$WORK/badparser/twparser"
SYSTEM_PATH=$PATH
BADPATH=$WORK/bin:$WORK/badparser:$SYSTEM_PATH
export PATH="$WORK/bin:$WORK/parser:$SYSTEM_PATH"

# ---- Command line.  Without a table every start that gets through its
# rules stops at attaching to it, after opening the history.
newcase cmdline
rules rules.conf "${QUIET_RULE[@]}"
rules usage.txt \
  'Usage: tollwatch [-i inputfile] [-d datafile] [-r refresh_time] [-f] [-l] [-t] [-h]' \
  'where  f:foreground;  l:syslog no action;  t:trace /tmp/tollwatch.log;  h:this help'
for args in "-h" "-f -t -r 5 -h" "-fth" "-h -q" "--help" "-f --help"; do
  tw $args
  # The two lines of old stay word for word; options added since follow.
  [ "$status" -eq 0 ] && head -n 2 tw.out | cmp -s - usage.txt &&
    grep -q -- '-p poll_ms' tw.out && grep -q -- '-P parsedfile' tw.out &&
    [ ! -s tw.err ] ||
    fail "$args: exit $status or not the usage alone"
done
while IFS='|' read -r msg args; do
  tw $args
  [ "$status" -eq 1 ] && [ "$(cat tw.err)" = "$msg" ] && [ ! -s tw.out ] &&
    [ ! -e rules.conf.parsed ] || fail "$args: expected exit 1 with \"$msg\" alone"
done <<'EOF'
please use - before the options|-f rules.conf
-i requires another argument|-f -i
-r requires another argument|-fr
unknown command line option: q|-q -h
-r -2: refresh time cannot be negative|-r -2 -f -i rules.conf
EOF

# Defaults: ./tollwatch.conf and the history base "datafile"; the
# foreground banner names the program.
rules tollwatch.conf "${QUIET_RULE[@]}"
tw -f
ends_with 1 "monitor mmap open error"
[ "$(head -n 1 tw.err)" = tollwatch ] || fail "no banner"
for f in tollwatch.conf.parsed datafile{1,2}.{pag,dir}; do [ -f "$f" ] || fail "no $f"; done
# Grouped letters take their words in order; "-" alone is skipped; -r 0
# and -r without digits are accepted.
for args in "-fid rules.conf hist" "-f - -r 0 -i rules.conf -d hist" \
  "-r x -f -d hist -i rules.conf"; do
  rm -f ./*.parsed datafile* hist*
  tw $args
  ends_with 1 "monitor mmap open error"
  for f in rules.conf.parsed hist{1,2}.{pag,dir}; do [ -f "$f" ] || fail "$args: $f missing"; done
  [ ! -e datafile1.pag ] && [ ! -e tollwatch.conf.parsed ] || fail "$args: used a default name"
done
# The parsed file stays, as twparser writes it.
twparser rules.conf direct.parsed 0 2>/dev/null || fail "twparser refused rules.conf"
cmp -s rules.conf.parsed direct.parsed || fail "parsed file differs from twparser's"

# ---- Start-up: finding twparser, its failures, the rule file name.
newcase startup
rules rules.conf "${QUIET_RULE[@]}"
if PATH="$WORK/bin:$SYSTEM_PATH" command -v twparser >/dev/null; then
  echo "note: a twparser is installed on the system; not-found case skipped" >&2
else
  PATH="$WORK/bin:$SYSTEM_PATH" tw -f -i rules.conf
  ends_with 1 "the parser failed"
  grep -qx "Cannot execute twparser" tw.err || fail "no \"Cannot execute twparser\""
fi
# ./twparser comes before the search path (whose twparser fails here) and
# gets the rule file, the parsed file and "0" in the foreground.
printf "$WRAP" "$TWP" >twparser && chmod +x twparser
PATH=$BADPATH tw -f -i rules.conf
ends_with 1 "monitor mmap open error"
[ "$(cat twparser.args)" = "rules.conf rules.conf.parsed 0" ] || fail "twparser arguments"
printf '#!/bin/sh\nexit 0\n' >twparser  # succeeds without writing anything
rm -f rules.conf.parsed
tw -f -i rules.conf
ends_with 1 "file \`rules.conf.parsed' not available"
rm twparser datafile*
# A failing twparser, the real one refusing the rules, and only
# definitions: none opens the history.
PATH=$BADPATH tw -f -i rules.conf
ends_with 1 "the parser failed"
rules bad.conf 'WHEN (src == 1.2.3.4)' 'EXEC' '  echo x' 'END' 'WHEN (user == |x)' 'EXEC' 'echo y' 'END'
tw -f -i bad.conf
ends_with 1 "the parser failed"
grep -qx "line 5: syntax error at |" tw.err || fail "twparser's message missing"
rules defs.conf 'x = 1' 'alert_time = 60'
tw -f -i defs.conf
ends_with 1 "no alarm read, the program quits"
[ ! -e datafile1.pag ] || fail "history opened"
# The parsed file's name must fit in 99 characters.
n91=$(printf 'r%.0s' $(seq 86)).conf n92=r$n91
cp rules.conf "$n91" && cp rules.conf "$n92"
tw -f -i "$n91"
ends_with 1 "monitor mmap open error"
tw -f -i "$n92"
ends_with 1 "$n92: file name too long"
[ -f "$n91.parsed" ] && [ ! -e "$n92.parsed" ] || fail "91 or 92 characters: parsed files"

# ---- Loading messages name the administrator's lines and the parsed
# line.
newcase loading
# loads MESSAGE LINE...: a rule file twparser accepts and the loader refuses.
loads() {
  rules rules.conf "${@:2}"
  tw -f -i rules.conf
  ends_with 1 "$1"
  [ ! -e datafile1.pag ] || fail "history opened for a refused rule file"
}
loads "lines 4-5 (parsed 2): parse error for host specification" \
  '# our nets' '' 'a = 1' 'WHEN (src == 300.1.2.3/h)' 'EXEC' 'echo x' 'END'
loads "lines 1-3 (parsed 1): parse error for host specification" \
  'WHEN (src == 10.0.0.0/8 |' ' dst == 10.0.0.0/33)' 'EXEC' 'echo x' 'END'
loads "line 2 (parsed 2): parse error for host specification" \
  'net = 300.1.1.1' 'WHEN (dst != $net) EXEC' 'echo x' 'END'
loads "lines 3-5 (parsed 2): error near \$nosuch, symbol not found" \
  'a = 1' '' 'WHEN (src == 1.2.3.4 &' '  user == $nosuch)' 'EXEC' 'echo x' 'END'
loads "line 4 (parsed 3): error near 10.0.0.1, '==' or '!=' expected" \
  'WHEN (src == 1.2.3.4) EXEC' ' echo x' 'END' \
  'WHEN (user == bob | src < 10.0.0.1) EXEC' ' echo x' 'END'
loads "lines 5-6 (parsed 3): action command too long" \
  "b = $(printf 'y%.0s' $(seq 300))" '# c' 'WHEN (src == 1.2.3.4)' 'EXEC' '  echo $b $b' 'END'
loads "parsed line 3:  12x is not numeric" \
  'WHEN (src == 1.2.3.4)' 'EXEC' '  echo x' 'END' 'react_time = 12x'
# A warning only: loading goes on.
rules rules.conf 'a=|x' 'WHEN ($a == user)' 'EXEC' 'echo x' 'END'
tw -f -i rules.conf
ends_with 1 "monitor mmap open error"
grep -q '^Maybe parentheses are forgotten for a term' tw.err || fail "no warning for '|x'"

# ---- Connections from a table, one change taken at a time, with -r 0.
# erin (UDP) is taken running, then ended; a user-less connect to port 0
# is traced, then refused; gus's unknown command is taken untraced, and
# his bind then shows the error he got meanwhile.
newcase records
rules rules.conf "${QUIET_RULE[@]}"
t0=$(date +%s)
rules steps.feed 'wait-reader 30' \
  "start 7,1 user=erin src=10.9.8.7:4000 srchost=h-erin time=$((t0 - 50))" \
  'update 7,1 cmd=udp app=dns dst=10.1.1.1:53 dsthost=ns.example in=10 out=20' \
  'wait-drained 30' 'update 7,1 in=11 out=22' "end 7,1 time=$((t0 - 8))" 'wait-drained 30' \
  'start 2 src=10.9.8.6:4001 srchost=h-anon' \
  'update 2 cmd=connect app=nada dst=10.2.2.2:0 dsthost=zero.example' 'wait-drained 30' \
  'start 3 user=gus src=10.9.8.5:4002' 'update 3 cmd=9 dst=10.3.3.3:80' 'error 3 code=5' \
  'wait-drained 30' 'update 3 cmd=bind' 'wait-drained 30'
feed steps.feed
tollwatch -f -t -r 0 -i rules.conf </dev/null >trace.out 2>trace.err &
DAEMON=$!
within 60 has feed.out "script done" || fail "steps were not taken"
within 10 has trace.err 'gus@' || fail "last change not traced"
t_end=$(date +%s)

# A second reader 5 is refused while the first lives.
tw -f -i rules.conf
ends_with 1 "monitor mmap open error"
grep -q 'Duplicate procId=5' tw.err || fail "no duplicate reader report"

# With -r 0 the idle daemon sleeps between passes and never refreshes.
ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$DAEMON/stat"; }
t=$(ticks)
sleep 2
[ $(($(ticks) - t)) -lt 40 ] || fail "idle daemon used $(($(ticks) - t)) ticks of CPU in 2 s"
! grep -q 'refresh database' trace.err || fail "refreshed with -r 0"
# SIGVTALRM refreshes at once, cutting at the current time less the keep
# time of 300 s; a second one finds nothing stored since and does nothing.
t_sig=$(date +%s)
kill -VTALRM "$DAEMON"
within 10 has trace.err 'refresh database: removing everything before [0-9]' ||
  fail "no refresh on SIGVTALRM"
cut=$(grep -o 'removing everything before [0-9]*' trace.err | awk '{ print $4 }')
[ "$cut" -ge $((t_sig - 300)) ] && [ "$cut" -le $(($(date +%s) - 300)) ] ||
  fail "cut-off $cut for a refresh signalled at $t_sig"
kill -VTALRM "$DAEMON"
sleep 0.5
[ "$(grep -o 'refresh database' trace.err | wc -l)" -eq 1 ] || fail "refreshed with nothing stored"
stop
[ "$status" -eq 0 ] || fail "exit status $status on SIGQUIT"
# The refresh notice has no line end, so the quit message may follow it.
tail -n 1 trace.err | grep -q 'process quits on the QUIT signal$' || fail "no quit message"

grep -E '^[0-9]+: ' trace.err >records.out || fail "nothing traced"
[ "$(wc -l <records.out)" -eq 4 ] || fail "expected 4 trace lines"
# take N ERE: the N-th trace line is ERE (captures in BASH_REMATCH).
take() { [[ $(sed -n "$1p" records.out) =~ ^$2$ ]] || fail "trace line $1 is not /$2/"; }
take 1 '([0-9]+): erin@10\.9\.8\.7->10\.1\.1\.1 53/udp err:0 10\(i\)\+20\(o\)=30 pid: 7 dur:([0-9]+) id:0 read=0'
t1=${BASH_REMATCH[1]} d=${BASH_REMATCH[2]}
[ "$d" -ge 50 ] && [ "$d" -le $((t_end - t0 + 50)) ] || fail "running duration $d"
take 2 '[0-9]+: erin@10\.9\.8\.7->10\.1\.1\.1 53/udp err:0 11\(i\)\+22\(o\)=33 pid: 7 dur:42 id:0 read='"$t1"
take 3 '[0-9]+: UNKNOWN@10\.9\.8\.6->10\.2\.2\.2 0/udp err:0 0\(i\)\+0\(o\)=0 pid:'"$FEEDER"' dur: ?[0-9] id:1 read=0'
has trace.err '^invalid: port:0\(nada\) UNKNOWN@h-anon->zero\.example dur:[0-9]+ in:0 out:0(\. .*)?$' ||
  fail "port 0 not reported as invalid"
take 4 '([0-9]+): gus@10\.9\.8\.5->10\.3\.3\.3 80/tcp err:5 0\(i\)\+0\(o\)=0 pid:'"$FEEDER"' dur: ?[0-9] id:2 read=([0-9]+)'
[ "${BASH_REMATCH[2]}" -ge "$t0" ] && [ "${BASH_REMATCH[2]}" -le "${BASH_REMATCH[1]}" ] ||
  fail "the untraced take left no read time"

# The next daemon takes the reader entry over.
tollwatch -f -i rules.conf </dev/null >next.out 2>tw.err &
DAEMON=$!
within 10 is_reader5 "$DAEMON" || fail "the next daemon did not attach"
stop
ends_with 0 "process quits on the QUIT signal"
unfeed

# ---- Detached, in a mount namespace of its own with a private /dev/log.
status=77
if command -v python3 >/dev/null && unshare -m --propagation private true 2>/dev/null; then
  unshare -m --propagation private "$BASH" "$SELF" --detached "$TW" "$TWP" "$MF" "$SRC" "$WORK" &&
    status=0 || status=$?
fi
[ "$status" -ne 77 ] || echo "note: no private /dev/log here; detached checks skipped" >&2
[ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"
echo "tollwatch test passed"

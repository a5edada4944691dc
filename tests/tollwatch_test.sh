#!/usr/bin/env bash
# tollwatch end to end: the command line, start-up and its failures, rule
# loading messages with their locations, the connections taken from a
# table fed by monfeed and their trace lines, the signals, a second reader,
# and the detached daemon with its system log and trace file.
#
# usage: tollwatch_test.sh TOLLWATCH TWPARSER MONFEED SOURCE_DIR
# Run it through nsrun.sh: it creates connection tables in /tmp.
set -euo pipefail

# The detached checks run in a mount namespace of their own, where /dev
# gets an overlay that holds a private /dev/log (see detached_checks).
if [ "${1-}" = --detached ]; then
  MODE=detached
  shift
else
  MODE=main
fi

TW=$1 TWP=$2 MF=$3 SRC=$4
SELF=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

fail() {
  echo "FAIL: $*" >&2
  for f in "$CASE"/*.out "$CASE"/*.err "$CASE"/*.log "$CASE"/*.args; do
    [ -f "$f" ] || continue
    echo "--- ${f##*/}" >&2
    head -c 4000 "$f" >&2
  done
  exit 1
}

# newcase NAME: a fresh directory under the work directory, made current.
newcase() {
  CASE=$WORK/$1
  mkdir "$CASE"
  cd "$CASE"
}

# tw ARGS...: runs tollwatch in the current directory, bounded; leaves the
# exit status in $status, its output in tw.out and tw.err.
tw() {
  status=0
  timeout 20 tollwatch "$@" </dev/null >tw.out 2>tw.err || status=$?
}

# ends_with STATUS MESSAGE: the last run exited with STATUS and MESSAGE is
# the last line it wrote on standard error.
ends_with() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1 (${2})"
  [ "$(tail -n 1 tw.err)" = "$2" ] ||
    fail "last message is \"$(tail -n 1 tw.err)\", expected \"$2\""
}

# rules FILE LINE...: writes a rule file.
rules() {
  f=$1
  shift
  printf '%s\n' "$@" >"$f"
}

# wait_for FILE TEXT SECONDS [PID]: until FILE holds TEXT; gives up early
# when PID is gone.
wait_for() {
  n=$(($3 * 10))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    if [ -n "${4-}" ] && ! kill -0 "$4" 2>/dev/null; then return 1; fi
    [ "$n" -gt 0 ] || return 1
    n=$((n - 1))
    sleep 0.1
  done
}

# reap PID SECONDS: waits for a background child, killing it after
# SECONDS; leaves its exit status in $status.
reap() {
  (sleep "$2"; kill -KILL "$1") >/dev/null 2>&1 &
  dog=$!
  status=0
  wait "$1" || status=$?
  # SIGKILL: a subshell would run the EXIT trap on SIGTERM.
  kill -KILL "$dog" 2>/dev/null || true
  wait "$dog" 2>/dev/null || true
}

# gone PID SECONDS: waits until a process that is not our child has ended.
gone() {
  n=$(($2 * 10))
  while kill -0 "$1" 2>/dev/null; do
    [ "$n" -gt 0 ] || return 1
    n=$((n - 1))
    sleep 0.1
  done
}

# The process attached to the table as reader 5 (the table header's
# process id for that reader), 0 for none.
reader5() { od -An -t d4 -j 40 -N 4 /tmp/mon.mmap | tr -d ' '; }

# wait_reader5 PID: until PID is attached as reader 5.
wait_reader5() {
  n=100
  until [ "$(reader5)" = "$1" ]; do
    kill -0 "$1" 2>/dev/null || return 1
    [ "$n" -gt 0 ] || return 1
    n=$((n - 1))
    sleep 0.1
  done
}

# cpu_ticks PID: user plus system time of a process, in clock ticks.
cpu_ticks() {
  awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"
}

# A rule that holds for none of the connections fed here; its aggregate
# stores every connection in the history.
QUIET_RULE=('WHEN (src == 10.255.255.254 | ACCESS[src] > 1000000)' 'EXEC'
  '  echo never' 'END')

# ---- Detached daemon: system log, trace file, session.

# A syslog receiver on /dev/log that appends each message to a file.
start_syslog() {
  python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
out = open(sys.argv[1], "a", buffering=1)
while True:
    out.write(s.recv(65536).decode("utf-8", "replace").rstrip("\0\n") + "\n")
' "$1" &
  SYSLOGD=$!
  n=50
  until [ -S /dev/log ]; do
    [ "$n" -gt 0 ] || fail "syslog receiver did not start"
    n=$((n - 1))
    sleep 0.1
  done
}

# logged PATTERN: the system log gets a line matching the extended regular
# expression PATTERN within 10 s.
logged() {
  n=100
  until grep -Eq -- "$1" "$SYSLOG"; do
    [ "$n" -gt 0 ] || fail "system log lacks /$1/"
    n=$((n - 1))
    sleep 0.1
  done
}

detached_checks() {
  # The overlay keeps every device of /dev and adds our own /dev/log,
  # seen only in this namespace.
  mkdir -p "$WORK/devov/upper" "$WORK/devov/work"
  mount -t overlay overlay -o \
    "lowerdir=/dev,upperdir=$WORK/devov/upper,workdir=$WORK/devov/work" /dev ||
    exit 77
  rm -f /dev/log
  CASE=$WORK/detached
  mkdir "$CASE"
  SYSLOG=$CASE/syslog.log
  : >"$SYSLOG"
  SYSLOGD='' FEEDER='' DAEMON=''
  trap 'for p in $SYSLOGD $FEEDER $DAEMON; do kill -KILL "$p" 2>/dev/null || true; done' EXIT
  start_syslog "$SYSLOG"
  printf 'earlier run\n' >/tmp/tollwatch.log

  # No table: the command returns at once; the daemon runs twparser with
  # "1", keeps the working directory, and logs the failure to attach as an
  # error of the daemon facility (priority 27) under its own name.  With
  # -t the trace file is opened for appending, but errors still go to the
  # log.
  newcase detached-notable
  rules rules.conf "${QUIET_RULE[@]}"
  printf '#!/bin/sh\necho "$@" >>twparser.args\nexec "%s" "$@"\n' "$TWP" >twparser
  chmod +x twparser
  tw -t -i rules.conf
  [ "$status" -eq 0 ] || fail "detached start exited $status"
  logged '^<27>.* tollwatch\[[0-9]+\]: monitor mmap open error$'
  [ "$(cat twparser.args)" = "rules.conf rules.conf.parsed 1" ] ||
    fail "twparser arguments when detached: $(cat twparser.args)"
  [ -f datafile1.pag ] || fail "detached daemon left the working directory"
  [ "$(head -n 1 /tmp/tollwatch.log)" = "earlier run" ] ||
    fail "trace file was not opened for appending"
  if grep -q 'monitor mmap open error' /tmp/tollwatch.log; then
    fail "an error went to the trace file"
  fi

  # A rule file that twparser refuses: both programs log.
  newcase detached-badrules
  rules rules.conf 'WHEN (user == )' 'EXEC' '  echo x' 'END'
  tw -i rules.conf
  [ "$status" -eq 0 ] || fail "detached start exited $status"
  logged '^<27>.* tollwatch\[[0-9]+\]: the parser failed$'
  grep -Eq '^<27>.* twparser\[[0-9]+\]: line 1: syntax error' "$SYSLOG" ||
    fail "twparser's message is not in the system log"

  # With a table: the daemon attaches, leads its own session with file
  # creation mask 0, appends its trace to the trace file, and logs its
  # quit as a notice (priority 29).
  newcase detached-table
  rules rules.conf "${QUIET_RULE[@]}"
  rules zoe.feed 'wait-reader 30' 'start 1 user=zoe src=10.7.7.7:5000' \
    'update 1 cmd=connect dst=10.8.8.8:8080 in=1 out=2' 'wait-drained 30'
  monfeed zoe.feed >feed.out 2>feed.err &
  FEEDER=$!
  wait_for feed.out "table created" 10 "$FEEDER" || fail "no table"
  tw -t -i rules.conf
  [ "$status" -eq 0 ] || fail "detached start exited $status"
  wait_for feed.out "script done" 30 "$FEEDER" ||
    fail "the detached daemon took no connection"
  DAEMON=$(reader5)
  [ "$(ps -o comm= -p "$DAEMON")" = tollwatch ] ||
    fail "reader 5 ($DAEMON) is not a tollwatch process"
  [ "$(ps -o sid= -p "$DAEMON" | tr -d ' ')" = "$DAEMON" ] ||
    fail "the daemon does not lead its own session"
  if grep -q '^Umask:' "/proc/$DAEMON/status"; then
    grep -q '^Umask:[[:space:]]*0000$' "/proc/$DAEMON/status" ||
      fail "file creation mask is not 0: $(grep Umask "/proc/$DAEMON/status")"
  fi
  [ "$(readlink "/proc/$DAEMON/cwd")" = "$CASE" ] ||
    fail "daemon runs in $(readlink "/proc/$DAEMON/cwd")"
  [ "$(head -n 1 /tmp/tollwatch.log)" = "earlier run" ] ||
    fail "trace file was truncated"
  grep -Eq '^[0-9]+: zoe@10\.7\.7\.7->10\.8\.8\.8 8080/tcp err:0 1\(i\)\+2\(o\)=3 ' \
    /tmp/tollwatch.log || fail "trace file lacks the connection: $(cat /tmp/tollwatch.log)"
  kill -QUIT "$DAEMON"
  gone "$DAEMON" 10 || fail "daemon did not quit on SIGQUIT"
  logged "^<29>.* tollwatch\\[$DAEMON\\]: process quits on the QUIT signal\$"
  DAEMON=
  kill -TERM "$FEEDER"
  reap "$FEEDER" 10
  FEEDER=
}

if [ "$MODE" = detached ]; then
  WORK=$5
  cd "$WORK"
  detached_checks
  exit 0
fi

WORK=$(mktemp -d)
CASE=$WORK
FEEDER='' DAEMON=''
trap 'for p in $FEEDER $DAEMON; do kill -KILL "$p" 2>/dev/null || true; done; rm -rf "$WORK"' EXIT

# Programs as the administrator has them: tollwatch and monfeed in one
# directory, twparser in another, both on the search path.
mkdir "$WORK/bin" "$WORK/parser" "$WORK/badparser"
ln -s "$TW" "$WORK/bin/tollwatch"
ln -s "$MF" "$WORK/bin/monfeed"
ln -s "$TWP" "$WORK/parser/twparser"
printf '#!/bin/sh\nexit 3\n' >"$WORK/badparser/twparser"
chmod +x "$WORK/badparser/twparser"
SYSTEM_PATH=$PATH
export PATH="$WORK/bin:$WORK/parser:$SYSTEM_PATH"

USAGE='Usage: tollwatch [-i inputfile] [-d datafile] [-r refresh_time] [-f] [-l] [-t] [-h]
where  f:foreground;  l:syslog no action;  t:trace /tmp/tollwatch.log;  h:this help'

# ---- Command line.  Without a table every start that gets through its
# rules stops at attaching to it, after opening the history.
newcase cmdline
rules rules.conf "${QUIET_RULE[@]}"

printf '%s\n' "$USAGE" >usage.txt
for args in "-h" "-f -t -r 5 -h" "-fth" "-h -q"; do
  # shellcheck disable=SC2086
  tw $args
  [ "$status" -eq 0 ] || fail "$args: exit status $status"
  cmp -s tw.out usage.txt || fail "$args: usage text differs"
  [ ! -s tw.err ] || fail "$args: wrote on standard error"
done

for case in "please use - before the options|-f rules.conf" \
  "-i requires another argument|-f -i" \
  "-r requires another argument|-fr" \
  "unknown command line option: q|-q -h" \
  "-r -2: refresh time cannot be negative|-r -2 -f -i rules.conf"; do
  msg=${case%%|*}
  # shellcheck disable=SC2086
  tw ${case#*|}
  [ "$status" -eq 1 ] || fail "${case#*|}: exit status $status"
  [ "$(cat tw.err)" = "$msg" ] || fail "${case#*|}: \"$(cat tw.err)\", expected \"$msg\""
  [ ! -s tw.out ] || fail "${case#*|}: wrote on standard output"
  [ ! -e rules.conf.parsed ] || fail "${case#*|}: ran twparser"
done

# Defaults: ./tollwatch.conf and the history base "datafile"; the
# foreground banner names the program.
rules tollwatch.conf "${QUIET_RULE[@]}"
tw -f
ends_with 1 "monitor mmap open error"
[ "$(head -n 1 tw.err)" = tollwatch ] || fail "no banner: $(head -n 1 tw.err)"
for f in tollwatch.conf.parsed datafile1.pag datafile1.dir datafile2.pag datafile2.dir; do
  [ -f "$f" ] || fail "-f alone: $f missing"
done

# Grouped letters take their words in order; "-" alone is skipped; -r 0
# and -r without digits are accepted.
for args in "-fid rules.conf hist" "-f - -r 0 -i rules.conf -d hist" "-r x -f -d hist -i rules.conf"; do
  rm -f ./*.parsed datafile* hist*
  # shellcheck disable=SC2086
  tw $args
  ends_with 1 "monitor mmap open error"
  for f in rules.conf.parsed hist1.pag hist1.dir hist2.pag hist2.dir; do
    [ -f "$f" ] || fail "$args: $f missing"
  done
  [ ! -e datafile1.pag ] && [ ! -e tollwatch.conf.parsed ] ||
    fail "$args: used a default name"
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
printf '#!/bin/sh\necho "$@" >>twparser.args\nexec "%s" "$@"\n' "$TWP" >twparser
chmod +x twparser
PATH="$WORK/bin:$WORK/badparser:$SYSTEM_PATH" tw -f -i rules.conf
ends_with 1 "monitor mmap open error"
[ "$(cat twparser.args)" = "rules.conf rules.conf.parsed 0" ] ||
  fail "twparser arguments: $(cat twparser.args)"

# A twparser that succeeds without writing anything.
printf '#!/bin/sh\nexit 0\n' >twparser
rm -f rules.conf.parsed
tw -f -i rules.conf
ends_with 1 "file \`rules.conf.parsed' not available"
rm twparser

# A twparser that fails; then the real one refusing the rules.  Neither
# opens the history.
rm -f datafile*
PATH="$WORK/bin:$WORK/badparser:$SYSTEM_PATH" tw -f -i rules.conf
ends_with 1 "the parser failed"
rules bad.conf 'WHEN (src == 1.2.3.4)' 'EXEC' '  echo x' 'END' 'WHEN (user == |x)' 'EXEC' 'echo y' 'END'
tw -f -i bad.conf
ends_with 1 "the parser failed"
grep -qx "line 5: syntax error at |" tw.err || fail "twparser's message missing"
[ ! -e datafile1.pag ] || fail "history opened after the parser failed"

# Only definitions.
rules defs.conf 'x = 1' 'alert_time = 60'
tw -f -i defs.conf
ends_with 1 "no alarm read, the program quits"
[ ! -e datafile1.pag ] || fail "history opened without alarms"

# The parsed file's name must fit in 99 characters.
name91=$(printf 'r%.0s' $(seq 86)).conf
name92=r$name91
cp rules.conf "$name91"
cp rules.conf "$name92"
tw -f -i "$name91"
ends_with 1 "monitor mmap open error"
[ -f "$name91.parsed" ] || fail "91-character name: no parsed file"
tw -f -i "$name92"
ends_with 1 "$name92: file name too long"
[ ! -e "$name92.parsed" ] || fail "92-character name: twparser ran"

# ---- Rule loading messages name the administrator's lines and the
# parsed line.  None opens the history.
newcase loading
# loads MESSAGE LINE...: a rule file that twparser accepts and the loader
# refuses with MESSAGE.
loads() {
  msg=$1
  shift
  rules rules.conf "$@"
  tw -f -i rules.conf
  ends_with 1 "$msg"
  [ ! -e datafile1.pag ] || fail "history opened for a refused rule file"
}
# Host specifications report the parsed line alone.
loads "line 2: parse error for host specification" \
  '# our nets' '' 'a = 1' 'WHEN (src == 300.1.2.3/h)' 'EXEC' 'echo x' 'END'
loads "lines 3-5 (parsed 2): error near \$nosuch, symbol not found" \
  'a = 1' '' 'WHEN (src == 1.2.3.4 &' '  user == $nosuch)' 'EXEC' 'echo x' 'END'
loads "line 4 (parsed 3): error near 10.0.0.1, '==' or '!=' expected" \
  'WHEN (src == 1.2.3.4) EXEC' ' echo x' 'END' \
  'WHEN (user == bob | src < 10.0.0.1) EXEC' ' echo x' 'END'
long=$(printf 'y%.0s' $(seq 300))
loads "lines 5-6 (parsed 3): action command too long" \
  "b = $long" '# c' 'WHEN (src == 1.2.3.4)' 'EXEC' '  echo $b $b' 'END'
loads "parsed line 3:  12x is not numeric" \
  'WHEN (src == 1.2.3.4)' 'EXEC' '  echo x' 'END' 'react_time = 12x'
# A warning only: loading goes on.
rules rules.conf 'a=|x' 'WHEN ($a == user)' 'EXEC' 'echo x' 'END'
tw -f -i rules.conf
ends_with 1 "monitor mmap open error"
grep -q '^Maybe parentheses are forgotten for a term' tw.err ||
  fail "no warning for a term starting with '|'"

# ---- Connections from a table.
newcase records
rules rules.conf "${QUIET_RULE[@]}"
monfeed "$SRC/examples/traffic.feed" >feed.out 2>feed.err &
FEEDER=$!
wait_for feed.out "table created" 10 "$FEEDER" || fail "monfeed made no table"
t_begin=$(date +%s)
tollwatch -ft -i rules.conf </dev/null >trace.out 2>trace.err &
DAEMON=$!
wait_for feed.out "script done" 60 "$FEEDER" || fail "traffic was not taken"
# The last change taken may still be on its way to the trace.
wait_for trace.err '(i)+7340032(o)' 10 "$DAEMON" || fail "last change not traced"
t_end=$(date +%s)

# A second reader 5 is refused while the first lives.
tw -f -i rules.conf
ends_with 1 "monitor mmap open error"
grep -q 'Duplicate procId=5' tw.err || fail "no duplicate reader report"

# One trace line per change taken.  Each connection shows its own
# addresses, port text and alarm key; its last line the final counts; its
# read time is the time it was taken before.
re='^([0-9]+): ([a-z]+)@([0-9.]+)->([0-9.]+) ([0-9]+/[a-z]+) err:([0-9]+) ([0-9]+)\(i\)\+([0-9]+)\(o\)=([0-9]+) pid:([ 0-9]+) dur:([ 0-9]+) id:([0-9]+) read=([0-9]+)$'
expect=(
  "alice 192.168.10.21 93.184.216.34 443/tcp 0 48213 2210"
  "bob 192.168.10.34 192.168.1.53 53/udp 0 312 96"
  "carol 192.168.10.57 203.0.113.5 20/tcp 0 1048576 0"
  "dave 192.168.10.80 198.51.100.7 25/tcp 5 0 0"
  "backup 192.168.10.5 203.0.113.80 22/tcp 0 2048 7340032")
declare -a seen=(0 0 0 0 0) last_t=(0 0 0 0 0) final=("" "" "" "" "")
while IFS= read -r line; do
  case $line in [0-9]*:*) ;; *) continue ;; esac
  [[ $line =~ $re ]] || fail "trace line malformed: $line"
  m=("${BASH_REMATCH[@]}")
  t=${m[1]} id=${m[12]} rd=${m[13]}
  [ "$id" -lt 5 ] || fail "unknown alarm key: $line"
  read -r user src dst port err in out <<<"${expect[$id]}"
  [ "${m[2]} ${m[3]} ${m[4]} ${m[5]}" = "$user $src $dst $port" ] ||
    fail "connection $id shown as: $line"
  [ "${m[10]// /}" = "$FEEDER" ] || fail "pid is not monfeed's: $line"
  [ $((m[7] + m[8])) -eq "${m[9]}" ] || fail "sum is wrong: $line"
  [ "$t" -ge "$t_begin" ] && [ "$t" -le "$t_end" ] || fail "time $t out of the run: $line"
  [ "${m[11]// /}" -le 5 ] || fail "duration too long: $line"
  [ "$rd" -le "$t" ] && [ "$rd" -ge "${last_t[$id]}" ] ||
    fail "read time $rd is not the time taken before: $line"
  seen[$id]=$((seen[id] + 1))
  last_t[$id]=$t
  final[$id]="${m[6]} ${m[7]} ${m[8]}"
done <trace.err
for id in 0 1 2 3 4; do
  read -r user src dst port err in out <<<"${expect[$id]}"
  [ "${seen[$id]}" -ge 1 ] || fail "connection $id ($user) never traced"
  [ "${final[$id]}" = "$err $in $out" ] ||
    fail "last trace of $user has err/in/out ${final[$id]}, expected $err $in $out"
done

# The aggregate has stored the traffic, so SIGVTALRM refreshes the
# history at once; the notice gives the cut-off, the current time less the
# keep time of 300 s.  A second signal finds nothing stored since the
# first and does nothing.  SIGQUIT ends the daemon with status 0.
t_sig=$(date +%s)
kill -VTALRM "$DAEMON"
wait_for trace.err 'refresh database: removing everything before [0-9]' 10 "$DAEMON" ||
  fail "no refresh on SIGVTALRM"
cut=$(grep -o 'removing everything before [0-9]*' trace.err | awk '{ print $4 }')
[ "$cut" -ge $((t_sig - 300)) ] && [ "$cut" -le $(($(date +%s) - 300)) ] ||
  fail "cut-off $cut for a refresh signalled at $t_sig"
kill -VTALRM "$DAEMON"
sleep 0.5
kill -0 "$DAEMON" 2>/dev/null || fail "daemon died of SIGVTALRM"
[ "$(grep -o 'refresh database' trace.err | wc -l)" -eq 1 ] ||
  fail "refreshed again with nothing stored"
for f in datafile1.pag datafile1.dir datafile2.pag datafile2.dir; do
  [ -f "$f" ] || fail "$f missing after the refresh"
done
kill -QUIT "$DAEMON"
reap "$DAEMON" 10
DAEMON=
[ "$status" -eq 0 ] || fail "exit status $status on SIGQUIT"
# The notice has no line end, so the quit message may follow it.
tail -n 1 trace.err | grep -q 'process quits on the QUIT signal$' ||
  fail "no quit message"

# The next daemon takes the reader entry over.
tollwatch -f -i rules.conf </dev/null >next.out 2>next.err &
DAEMON=$!
wait_reader5 "$DAEMON" || fail "the next daemon did not attach (reader 5 is $(reader5))"
kill -QUIT "$DAEMON"
reap "$DAEMON" 10
DAEMON=
cp next.err tw.err
ends_with 0 "process quits on the QUIT signal"
kill -TERM "$FEEDER"
reap "$FEEDER" 10
FEEDER=

# Changes taken one at a time.  The first take has read time 0, the next
# the time of the one before; an ended connection lasts end - start; a
# connection without a known command is taken but not traced; an empty
# user is UNKNOWN; port 0 is traced, then refused.
newcase steps
rules rules.conf "${QUIET_RULE[@]}"
t0=$(date +%s)
rules steps.feed 'wait-reader 30' \
  "start 7,1 user=erin src=10.9.8.7:4000 srchost=h-erin time=$((t0 - 50))" \
  'update 7,1 cmd=udp app=dns dst=10.1.1.1:53 dsthost=ns.example in=10 out=20' \
  'wait-drained 30' \
  'update 7,1 in=11 out=22' "end 7,1 time=$((t0 - 8))" 'wait-drained 30' \
  'start 2 src=10.9.8.6:4001 srchost=h-anon' \
  'update 2 cmd=connect app=nada dst=10.2.2.2:0 dsthost=zero.example' \
  'wait-drained 30' \
  'start 3 user=gus src=10.9.8.5:4002' 'update 3 cmd=9 dst=10.3.3.3:80' \
  'wait-drained 30' 'update 3 cmd=bind' 'wait-drained 30'
monfeed steps.feed >feed.out 2>feed.err &
FEEDER=$!
feeder_pid=$FEEDER
wait_for feed.out "table created" 10 "$FEEDER" || fail "monfeed made no table"
tollwatch -f -t -r 0 -i rules.conf </dev/null >trace.out 2>trace.err &
DAEMON=$!
wait_for feed.out "script done" 60 "$FEEDER" || fail "steps were not taken"
wait_for trace.err 'gus@' 10 "$DAEMON" || fail "last change not traced"
t_end=$(date +%s)
# With -r 0 the idle daemon sleeps between passes and never refreshes,
# though the history holds what the aggregate stored; a signal still
# refreshes.
ticks=$(cpu_ticks "$DAEMON")
sleep 2
ticks=$(($(cpu_ticks "$DAEMON") - ticks))
[ "$ticks" -lt 40 ] || fail "idle daemon used $ticks ticks of CPU in 2 s"
if grep -q 'refresh database' trace.err; then fail "refreshed with -r 0"; fi
kill -VTALRM "$DAEMON"
wait_for trace.err 'refresh database' 10 "$DAEMON" || fail "no refresh on SIGVTALRM"
kill -QUIT "$DAEMON"
reap "$DAEMON" 10
DAEMON=
[ "$status" -eq 0 ] || fail "daemon exited $status on SIGQUIT"
kill -TERM "$FEEDER"
reap "$FEEDER" 10
FEEDER=

records=$(grep -E '^[0-9]+: ' trace.err) || fail "nothing traced"
[ "$(wc -l <<<"$records")" -eq 4 ] || fail "expected 4 trace lines, got: $records"
erin1=$(sed -n 1p <<<"$records") erin2=$(sed -n 2p <<<"$records")
anon=$(sed -n 3p <<<"$records") gus=$(sed -n 4p <<<"$records")
re='^([0-9]+): erin@10\.9\.8\.7->10\.1\.1\.1 53/udp err:0 10\(i\)\+20\(o\)=30 pid: 7 dur:([0-9]+) id:0 read=0$'
[[ $erin1 =~ $re ]] || fail "first take of erin: $erin1"
t1=${BASH_REMATCH[1]} d=${BASH_REMATCH[2]}
[ "$d" -ge 50 ] && [ "$d" -le $((t_end - t0 + 50)) ] || fail "running duration $d: $erin1"
re="^[0-9]+: erin@10\\.9\\.8\\.7->10\\.1\\.1\\.1 53/udp err:0 11\\(i\\)\\+22\\(o\\)=33 pid: 7 dur:42 id:0 read=$t1\$"
[[ $erin2 =~ $re ]] || fail "ended erin: $erin2 (first taken at $t1)"
re="^[0-9]+: UNKNOWN@10\\.9\\.8\\.6->10\\.2\\.2\\.2 0/udp err:0 0\\(i\\)\\+0\\(o\\)=0 pid:$feeder_pid dur: ?[0-9] id:1 read=0\$"
[[ $anon =~ $re ]] || fail "user-less port-0 connection: $anon"
grep -Eq '^invalid: port:0\(nada\) UNKNOWN@h-anon->zero\.example dur:[0-9]+ in:0 out:0(\. .*)?$' trace.err ||
  fail "port 0 not reported as invalid"
re="^([0-9]+): gus@10\\.9\\.8\\.5->10\\.3\\.3\\.3 80/tcp err:0 0\\(i\\)\\+0\\(o\\)=0 pid:$feeder_pid dur: ?[0-9] id:2 read=([0-9]+)\$"
[[ $gus =~ $re ]] || fail "bind after an unknown command: $gus"
[ "${BASH_REMATCH[2]}" -ge "$t0" ] && [ "${BASH_REMATCH[2]}" -le "${BASH_REMATCH[1]}" ] ||
  fail "the untraced take left no read time: $gus"

# ---- Detached, in a mount namespace of its own with a private /dev/log.
status=77
if command -v python3 >/dev/null && unshare -m --propagation private true 2>/dev/null; then
  status=0
  unshare -m --propagation private "$BASH" "$SELF" --detached "$TW" "$TWP" "$MF" "$SRC" "$WORK" ||
    status=$?
fi
case $status in
  0) ;;
  77) echo "note: no private /dev/log here; detached checks skipped" >&2 ;;
  *) exit "$status" ;;
esac

echo "tollwatch test passed"

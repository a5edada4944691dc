#!/usr/bin/env bash
# tollwatch end to end: command line, start-up, loading messages, records, trace,
# refreshes; with DETACHED=1 the detached daemon alone: system log and trace file.
SELF=$(realpath "$0")
if [ "${DETACHED-}" = 1 ]; then
  command -v python3 >/dev/null || { echo "SKIPPED: no python3 for a system log receiver"; exit 77; }
  unshare -m true 2>/dev/null || { echo "SKIPPED: no mount namespace of our own"; exit 77; }
  DETACHED=2 exec unshare -m --propagation private "$BASH" "$SELF" "$@"
fi
. "$(dirname "$0")/harness.sh" "$@"
TW=tollwatch  # by its name on the search path, before twparser's directory
mkdir bin && ln -s "$(command -v twparser | xargs dirname)/tollwatch" bin/ && PATH=$PWD/bin:$PATH
printf 'WHEN (src == 10.255.255.254 | ACCESS[src] > 1000000) EXEC\necho never\nEND\n' | tee rules.conf >tollwatch.conf

detached() {  # with a private /dev/log; the system log in syslog.txt
  mkdir -p ov/up ov/work && mount -t overlay overlay -o "lowerdir=/dev,upperdir=$PWD/ov/up,workdir=$PWD/ov/work" /dev && rm -f /dev/log ||
    { echo "SKIPPED: no overlay mount on /dev here"; exit 77; }
  python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind("/dev/log"); out = open(sys.argv[1], "a", buffering=1)
while True: out.write(s.recv(65536).decode("utf-8", "replace").rstrip("\0\n") + "\n")' syslog.txt &
  trap 'kill -KILL $DAEMON $FEEDER '$!' 2>/dev/null || true; rm -rf "$WORK"' EXIT
  within 5 test -S /dev/log || fail "no syslog receiver"
  since=1  # the first line of syslog.txt that logged() looks at
  mark() { since=$(($(wc -l <syslog.txt) + 1)); }
  logged_since() { tail -n "+$since" syslog.txt | grep -Eq -- "^<$1>.* $2\[[0-9]+\]: $3\$"; }
  logged() { within 10 logged_since "$@" || fail "not logged: <$1> $2: $3"; }
  # No table: the child's message, logged as a daemon error, not traced.  With
  # one: back once attached; a session of its own, mask 022, the trace appended.
  echo "earlier run" >/tmp/tollwatch.log && tw -t -i rules.conf && ends 1 "monitor mmap open error"
  logged 27 tollwatch "monitor mmap open error" && ! has /tmp/tollwatch.log 'mmap open error' || fail "error traced"
  # A link, a FIFO (with a reader) or another's file as trace file: refused, left as it was.
  L=/tmp/tollwatch.log && mv $L earlier.log && touch victim.log
  refuse() {  # symlink|fifo|theirs: that at $L
    case $1 in symlink) ln -s "$PWD/victim.log" $L ;; fifo) mkfifo $L && exec 8<>$L ;;
    theirs) touch $L && chown 65534:65534 $L ;; esac
  }
  untouched() {  # symlink|fifo|theirs: nothing written through it, then it goes
    case $1 in symlink) [ ! -s victim.log ] ;; fifo) [ "$(timeout 0.2 head -c 1 <&8 | wc -c)" = 0 ] && exec 8<&- ;;
    theirs) [ ! -s $L ] && [ "$(stat -c %u $L)" = 65534 ] ;; esac || fail "$1: written to"
    rm $L
  }
  refusal() {  # symlink|fifo|theirs: the message
    [ "$1" = symlink ] && echo "can't open $L for writing. Too many levels of symbolic links" ||
      echo "can't open $L for writing: not a regular file of ours"
  }
  for kind in symlink fifo theirs; do
    mark && refuse $kind && tw -t -i rules.conf && ends 1 "$(refusal $kind)" && logged 27 tollwatch "$(refusal $kind)" &&
      untouched $kind
  done
  mv earlier.log $L && pipefeed && tw -t -i rules.conf; DAEMON=$(reader5); ends 0 ""  # the daemon known first, to be ended on a failure
  [ "$(ps -o comm= -p "$DAEMON")" = tollwatch ] || fail "not attached on return"
  conn 1 zoe 8080 in=1 out=2 >&7 && within 10 has /tmp/tollwatch.log ': zoe@192' || fail "the detached daemon traced no connection"
  [ "$(ps -o sid= -p "$DAEMON")" -eq "$DAEMON" ] && has "/proc/$DAEMON/status" '^Umask:\s*0022$' ||
    fail "no session of its own, or mask not 022"
  same <(cd "/proc/$DAEMON" && readlink fd/0 fd/1 fd/2 cwd) <<<"$(printf '/dev/null\n/dev/null\n/tmp/tollwatch.log\n%s' "$PWD")"
  [ "$(head -n 1 /tmp/tollwatch.log)" = "earlier run" ] || fail "trace file truncated"
  # SIGHUP reopens the trace file: made anew, ours, 0600; refused ones logged, the trace kept.
  mv /tmp/tollwatch.log first.log && mark && kill -HUP "$DAEMON" && logged 29 tollwatch "rules reloaded from rules.conf"
  conn 2 yan 8080 >&7 && within 10 has /tmp/tollwatch.log ': yan@192' || fail "SIGHUP: no new trace file"
  [ "$(stat -c %a:%u $L)" = "600:$(id -u)" ] && ! has first.log yan || fail "SIGHUP: new trace file $(stat -c %a:%u $L)"
  mv /tmp/tollwatch.log second.log && n=3
  for kind in symlink fifo theirs; do
    mark && refuse $kind && kill -HUP "$DAEMON" && logged 27 tollwatch "$(refusal $kind)" &&
      logged 29 tollwatch "rules reloaded from rules.conf" || fail "SIGHUP on a $kind"
    conn $n "u$n" 8080 >&7 && within 10 has second.log ": u$n@192" || fail "SIGHUP on a $kind: the trace stopped"
    untouched $kind && n=$((n + 1))
  done
  kill -QUIT "$DAEMON" && logged 29 tollwatch "process quits on the QUIT signal" && exec 7>&- && kill -TERM "$FEEDER" && reap "$FEEDER"
}
# As tollwatch_detached, in a mount namespace of its own (else skipped, 77).
if [ "${DETACHED-}" = 2 ]; then detached; echo "detached checks passed"; exit 0; fi

# Command line: without a table a start stops at attaching, the files made.
n91=$(printf 'r%.0s' $(seq 86)).conf && cp rules.conf "$n91" && cp rules.conf "r$n91" && printf 'x = 1\n' >defs.conf
while IFS='|' read -r args files msg; do
  rm -f ./*.parsed ./*.pag ./*.dir && tw $args && ends 1 "$msg"
  [ "$(echo $(ls ./*.parsed ./*.pag 2>/dev/null))" = "$files" ] || fail "$args: made $(ls)"
done <<EOF
-f rules.conf||please use - before the options
-f -i||-i requires another argument
-fr||-r requires another argument
-q -h||unknown command line option: q
-r -2 -f -i rules.conf||-r -2: refresh time cannot be negative
-f|./datafile1.pag ./datafile2.pag ./tollwatch.conf.parsed|monitor mmap open error
-fid rules.conf hist|./hist1.pag ./hist2.pag ./rules.conf.parsed|monitor mmap open error
-f - -r x -d hist -i rules.conf|./hist1.pag ./hist2.pag ./rules.conf.parsed|monitor mmap open error
-f -i defs.conf|./defs.conf.parsed|no alarm read, the program quits
-f -i $n91|./datafile1.pag ./datafile2.pag ./$n91.parsed|monitor mmap open error
-f -i r$n91||r$n91: file name too long
EOF
[ "$(head -n 1 tw.err)" = tollwatch ] || fail "no banner"
for args in -fth "-h -q" --help; do
  tw $args; [ "$status" = 0 ] && [ ! -s tw.err ] && has tw.out '-P parsedfile' &&
    [ "$(head -n 1 tw.out)" = "Usage: tollwatch [-i inputfile] [-d datafile] [-r refresh_time] [-f] [-l] [-t] [-h]" ] || fail "$args: no usage"
done
# twparser beside the program (a copy here) comes first and gets the rule
# file, the parsed file and "0"; then the search path's absolute directories.
# One planted in the working directory never runs (kept for every start below).
real=$(command -v twparser) && mkdir own && cp "${real%/*}/tollwatch" own/
printf '#!/bin/sh\ntouch planted\n' >twparser && chmod +x twparser
while IFS='|' read -r path body msg; do
  rm -f own/twparser rules.conf.parsed
  [ -z "$body" ] || { printf '#!/bin/sh\n%s\n' "$body" >own/twparser && chmod +x own/twparser; }
  PATH=$path TW=$PWD/own/tollwatch tw -f -i rules.conf && ends 1 "$msg"
done <<EOF
$PATH|echo "\$@" >args.txt; exec $real "\$@"|monitor mmap open error
$PATH|exit 0|file \`rules.conf.parsed' not available
$PATH|exit 3|the parser failed
$PATH||monitor mmap open error
.::${real%/*}/../nowhere:$(command -v timeout | xargs dirname)||the parser failed
EOF
echo "rules.conf rules.conf.parsed 0" | same args.txt && [ ! -e planted ] && has tw.err '^Cannot execute twparser$' ||
  fail "./twparser ran, or no word of the missing twparser"
# Loading messages (-n loads as a start does) name the rule's lines.
while IFS='|' read -r msg text; do printf '%b' "$text" >bad.conf && tw -n -i bad.conf && ends 1 "$msg"; done <<'EOF'
lines 4-5 (parsed 2): parse error for host specification|# our nets\n\na = 1\nWHEN (src == 300.1.2.3/h)\nEXEC\necho x\nEND\n
line 4 (parsed 3): error near 10.0.0.1, '==' or '!=' expected|WHEN (src == 1.2.3.4) EXEC\n echo x\nEND\nWHEN (user == bob | src < 10.0.0.1) EXEC\n echo x\nEND\n
parsed line 3:  12x is not numeric|WHEN (src == 1.2.3.4)\nEXEC\n  echo x\nEND\nreact_time = 12x\n
the parser failed|WHEN (app == 1)\nEXEC\n  echo x\nEND\nWHEN (user == |x)\nEXEC\necho y\nEND\n
EOF

# Records one change at a time (-r 0): erin's UDP running, then ended; port 0
# traced, then refused; gus's unknown command untraced, his bind with the error.
t0=$(date +%s) && tr ';' '\n' >steps.feed <<EOF
wait-reader 30;start 7,1 user=erin src=10.9.8.7:4000 srchost=h-erin time=$((t0 - 50))
update 7,1 cmd=udp app=dns dst=10.1.1.1:53 dsthost=ns.example in=10 out=20;wait-drained 30
update 7,1 in=11 out=22;end 7,1 time=$((t0 - 8));wait-drained 30
start 2 src=10.9.8.6:4001 srchost=h-anon;update 2 cmd=connect app=nada dst=10.2.2.2:0 dsthost=zero.example;wait-drained 30
start 3 user=gus src=10.9.8.5:4002;update 3 cmd=9 dst=10.3.3.3:80;error 3 code=5;wait-drained 30;update 3 cmd=bind
EOF
cp rules.conf steps.conf && start steps -t -r 0
within 60 has steps.feed.txt "script done" && within 10 has steps.err 'gus@' || fail "steps not taken"
# SIGVTALRM refreshes, cutting at now less 300 s; a second finds nothing.
! has steps.err 'refresh database' && t=$(date +%s) && kill -VTALRM "$DAEMON" || fail "refreshed with -r 0"
within 10 has steps.err 'refresh database: removing everything before [0-9]' || fail "no refresh"
cut=$(grep -o 'removing everything before [0-9]*' steps.err | cut -d' ' -f4)
[ "$cut" -ge $((t - 300)) ] && [ "$cut" -le $(($(date +%s) - 300)) ] || fail "cut-off $cut at $t"
# A status line asked for after the second signal waits for it, with the refresh's time.
n=$(count steps.err 'status: ') && kill -VTALRM "$DAEMON" && kill -USR1 "$DAEMON" &&
  within 5 eval '[ "$(count steps.err "status: ")" -gt '"$n"' ]' || fail "no status line"
grep -Eq ' last_refresh=[0-9]{4}-[0-9]{2}-[0-9]{2} ' steps.err && [ "$(grep -o 'refresh database' steps.err | wc -l)" = 1 ] ||
  fail "refreshed with nothing stored, or no time of the refresh"
grep -E '^[0-9]+: |^invalid' steps.err >records.txt
[ "$(sed -n '2s/.*read=//p' records.txt)" = "$(sed -n '1s/:.*//p' records.txt)" ] || fail "no time of the last read"
same <(sed -E "s/^[0-9]+:/T:/; s/pid: ?$FEEDER /pid:F /; s/dur: ?[0-9] /dur:0 /; s/dur:(5[0-9]|6[0-9]) /dur:5x /
  s/read=[1-9][0-9]*/read=R/; s/(dur:[0-9]+ in:0 out:0)\. .*/\1/" records.txt) <<'EOF'
T: erin@10.9.8.7->10.1.1.1 53/udp err:0 10(i)+20(o)=30 pid: 7 dur:5x id:0 read=0
T: erin@10.9.8.7->10.1.1.1 53/udp err:0 11(i)+22(o)=33 pid: 7 dur:42 id:0 read=R
T: UNKNOWN@10.9.8.6->10.2.2.2 0/udp err:0 0(i)+0(o)=0 pid:F dur:0 id:1 read=0
invalid: port:0(nada) UNKNOWN@h-anon->zero.example dur:0 in:0 out:0
T: gus@10.9.8.5->10.3.3.3 80/tcp err:5 0(i)+0(o)=0 pid:F dur:0 id:2 read=R
EOF
finish && [ ! -e planted ] || fail "./twparser ran at a start"
echo "tollwatch test passed"

#!/usr/bin/env bash
# Runs tollwatch against tw_loadgen in a private /tmp and IPC namespace and
# prints how many ended connections the alarm missed and how long the alarm
# command came after each end; or, with -i, the daemon's idle CPU.
set -euo pipefail

usage() {
  cat >&2 <<'EOF'
usage: loadrun.sh [-r rate] [-k open] [-s seconds] [-c delay] [-D "daemon flags"]
                  [-q settle] [-b bindir] [-K dir] [-i seconds] [-t | -n]
                  [-z sessions] [-g writer]
  -r connections per second (20)     -k connections open at once (10)
  -s seconds of traffic (10)         -c seconds the alarm command sleeps first (0)
  -D extra tollwatch flags, e.g. "-p 1000 -a 4"
  -q seconds without a new command after which the run is over (3)
  -b directory of tollwatch, twparser and tw_loadgen (build/bin)
  -K copy the run's files (rules, logs, trace) into this directory
  -i measure the daemon's CPU over this many seconds without traffic instead
  -t count the ends in the daemon's trace instead of by a command each (for
     rates no command could keep up with); no latency then
  -n count the ends by the daemon's status line (the alarm fires on every
     end, its command runs once): no trace, no latency
  -z make the table for this many sessions (the writer's -z)
  -g the writer: tw_loadgen (default) or a program taking the same options,
     such as bench/rawwriter.py
EOF
  exit 2
}

HERE=$(cd "$(dirname "$0")" && pwd)
RATE=20 OPEN=10 SECONDS_=10 DELAY=0 DFLAGS= SETTLE=3 IDLE=0 KEEP= TRACE= COUNT= SIZE= GEN_PROG=
BIN=$HERE/../build/bin
while getopts r:k:s:c:D:q:b:K:i:tnz:g: opt; do
  case $opt in
  r) RATE=$OPTARG ;;
  k) OPEN=$OPTARG ;;
  s) SECONDS_=$OPTARG ;;
  c) DELAY=$OPTARG ;;
  D) DFLAGS=$OPTARG ;;
  q) SETTLE=$OPTARG ;;
  b) BIN=$OPTARG ;;
  i) IDLE=$OPTARG ;;
  t) TRACE=1 ;;
  n) COUNT=1 ;;
  z) SIZE=$OPTARG ;;
  g) GEN_PROG=$(cd "$(dirname "$OPTARG")" && pwd)/$(basename "$OPTARG") ;;
  K) mkdir -p "$OPTARG" && KEEP=$(cd "$OPTARG" && pwd) ;;
  *) usage ;;
  esac
done
[ $OPTIND -gt $# ] || usage
BIN=$(cd "$BIN" && pwd)
[ -z "$TRACE" ] || [ -z "$COUNT" ] || usage
for p in tollwatch twparser tw_loadgen; do
  [ -x "$BIN/$p" ] || { echo "loadrun: no $BIN/$p (build first)" >&2; exit 1; }
done

# The table and its semaphores live in a namespace of the run's own.
if [ -z "${LOADRUN_INSIDE:-}" ]; then
  LOADRUN_INSIDE=1 exec "$HERE/../tests/nsrun.sh" "$0" "$@" -b "$BIN" ${KEEP:+-K "$KEEP"} \
    ${TRACE:+-t} ${GEN_PROG:+-g "$GEN_PROG"}
fi

WORK=$(mktemp -d)
GEN= TW=
trap 'kill -KILL $TW $GEN 2>/dev/null || true
      [ -z "$KEEP" ] || cp -r "$WORK"/. "$KEEP"
      rm -rf "$WORK"' EXIT
cd "$WORK"
PATH=$BIN:$PATH
GEN_PROG=${GEN_PROG:-$BIN/tw_loadgen}

alive() { grep -q '^State:[[:space:]]*[^Z]' "/proc/$1/status" 2>/dev/null; }
# wait_for FILE TEXT SECONDS: until FILE holds TEXT, while the daemon, once
# started, runs.
wait_for() {
  local n=$(($3 * 10))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    if [ -n "$TW" ] && ! alive "$TW"; then
      echo "loadrun: tollwatch ended:" >&2
      tail -n 20 tw.err >&2
      exit 1
    fi
    [ $((n -= 1)) -gt 0 ] || { echo "loadrun: no \"$2\" in $1" >&2; cat "$1" >&2; exit 1; }
    sleep 0.1
  done
}
# stop SIGNAL PID SECONDS: signals PID and waits for it, SIGKILL at the end.
stop() {
  local n=$(($3 * 10))
  kill "-$1" "$2" 2>/dev/null || return 0
  while alive "$2" && [ $((n -= 1)) -gt 0 ]; do sleep 0.1; done
  kill -KILL "$2" 2>/dev/null || true
  wait "$2" 2>/dev/null || true
}
lines() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }

# The alarm fires on a record on port 9, which only an ended connection
# carries, and writes the user and the time it ran: the shell runs date
# alone, so a command costs one program start.
sleep_cmd=
[ "$DELAY" = 0 ] || sleep_cmd="sleep $DELAY; "
if [ -n "$COUNT" ] || { [ -n "$TRACE" ] && [ "$DELAY" = 0 ]; }; then
  # Every end fires the alarm; its one command line is then kept back for
  # an hour, so the count of firings is the count of ends taken.  The same
  # rule with -t, so that traced and untraced runs do the same work.
  printf 'react_time = 3600\nWHEN (app == 9)\nEXEC\ntrue\nEND\n' >rules.conf
  [ -z "$TRACE" ] || DFLAGS="$DFLAGS -t"
elif [ -n "$TRACE" ]; then
  # The trace shows every record the daemon took; the command is only the
  # delay.
  DFLAGS="$DFLAGS -t"
  printf 'react_time = 0\nWHEN (app == 9)\nEXEC\nsleep %s\nEND\n' "$DELAY" >rules.conf
else
cat >rules.conf <<EOF
react_time = 0
out = $WORK/ends.txt
WHEN (app == 9)
EXEC
${sleep_cmd}date +"usr %s%N" >> \$out
END
EOF
fi

start_both() {
  "$GEN_PROG" -w 30 -o gen.log ${SIZE:+-z "$SIZE"} "$@" >gen.out 2>gen.err &
  GEN=$!
  wait_for gen.out "table created" 10
  # shellcheck disable=SC2086
  tollwatch -f $DFLAGS -i rules.conf >tw.out 2>tw.err &
  TW=$!
}

idle_cpu() {
  local hz t0 t1
  start_both -r 0
  wait_for gen.out "holding table" 30
  sleep 1
  hz=$(getconf CLK_TCK)
  t0=$(sed 's/.*) //' "/proc/$TW/stat" | awk '{print $12 + $13}')
  sleep "$IDLE"
  t1=$(sed 's/.*) //' "/proc/$TW/stat" | awk '{print $12 + $13}')
  echo "daemon flags: ${DFLAGS:-none}"
  awk -v d=$((t1 - t0)) -v hz="$hz" -v s="$IDLE" 'BEGIN {
    printf "idle cpu: %.3f %% of one core (%d ticks in %s s)\n", 100 * d / hz / s, d, s }'
}

# Waits until every ended connection has had its command, or until no new
# command has come for SETTLE seconds.
settle() {
  local want have last=-1 quiet=0
  want=$(lines gen.log)
  while :; do
    have=$(lines ends.txt)
    [ "$have" -lt "$want" ] || return 0
    if [ "$have" -eq "$last" ]; then
      quiet=$((quiet + 1))
      [ "$quiet" -lt $((SETTLE * 10)) ] || return 0
    else
      quiet=0 last=$have
    fi
    alive "$TW" || return 0
    sleep 0.1
  done
}

# Latencies in ms of the first command for each ended connection, sorted;
# times are split into seconds and nanoseconds to keep every digit.
latencies() {
  awk 'function ms(a, b,  s) {
         s = substr(b, 1, length(b) - 9) - substr(a, 1, length(a) - 9)
         return s * 1000 + (substr(b, length(b) - 8) - substr(a, length(a) - 8)) / 1e6
       }
       NR == FNR { end[$1] = $2; next }
       ($1 in end) && !($1 in seen) { seen[$1] = 1; printf "%.3f\n", ms(end[$1], $2) }' \
    gen.log ends.txt 2>/dev/null | sort -n
}

report() {
  local ended seen
  ended=$(lines gen.log)
  if [ -n "$COUNT" ]; then
    : >lat.txt
    seen=$(status_field fired)
  elif [ -n "$TRACE" ]; then
    : >lat.txt
    seen=$(grep -oE '^[0-9]+: c[0-9]+@[^ ]+ 9/tcp' tw.err | sed 's/^[0-9]*: //; s/@.*//' |
      sort -u | wc -l)
  else
    latencies >lat.txt
    seen=$(lines lat.txt)
  fi
  echo "rate $RATE/s, $OPEN open, $SECONDS_ s, command delay $DELAY s," \
    "daemon flags: ${DFLAGS:-none}"
  grep ': started' gen.out || true
  echo "connections ended: $ended"
  echo "ends seen: $seen"
  awk -v e="$ended" -v s="$seen" 'BEGIN {
    printf "ended connections lost: %d (%.2f %%)\n", e - s, e ? 100 * (e - s) / e : 0 }'
  awk '{ v[NR] = $1 }
       function pct(p,  i) {  # nearest rank
         i = int(p * NR / 100)
         if (i < p * NR / 100) i++
         return v[i < 1 ? 1 : i]
       }
       END { if (NR) printf "latency end to command: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                            pct(50), pct(99), v[NR]
             else print "latency end to command: no commands" }' lat.txt
  [ -n "$TRACE$COUNT" ] || floor
  TOOK=$(grep -oE ' in [0-9.]+ s' gen.out | head -n 1 | awk '{print $2}')
  awk -v t="$(status_field taken)" -v c="$CPU_TICKS" -v hz="$(getconf CLK_TCK)" \
      -v s="$TOOK" 'BEGIN {
    printf "records taken: %d, %.0f/s; daemon cpu %.2f s, %.1f ms per 1000 records\n",
           t, (s > 0 ? t / s : 0), c / hz, (t ? 1000 * 1000 * c / hz / t : 0) }'
}

# The floor under the latency: the alarm's command, started by a process
# that only starts it (posix_spawn of sh -c, as the daemon does), from the
# moment it is started to the time the command writes.
floor() {
  python3 - <<'PY'
import os, statistics, time
out = 'floor.txt'
lat = []
for _ in range(100):
    t0 = time.time_ns()
    pid = os.posix_spawn('/bin/sh', ['sh', '-c', 'date +"usr %s%N" > ' + out], os.environ)
    os.waitpid(pid, 0)
    with open(out) as f:
        lat.append((int(f.read().split()[1]) - t0) / 1e6)
lat.sort()
print("floor, the command alone: p50 %.1f ms, p99 %.1f ms" % (statistics.median(lat), lat[98]))
PY
}

# The daemon's status line, asked for before it quits: one of its fields.
status_field() { grep -o "status: .*" tw.err | tail -n 1 | grep -oE "$1=[0-9]+" | cut -d= -f2; }
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }

if [ "$IDLE" != 0 ]; then
  idle_cpu
  stop QUIT "$TW" 10
else
  start_both -r "$RATE" -k "$OPEN" -s "$SECONDS_"
  wait_for gen.out "holding table" \
    "$(awk -v s="$SECONDS_" -v k="$OPEN" -v r="$RATE" 'BEGIN { printf "%d", s + k / r + 60 }')"
  if [ -n "$TRACE$COUNT" ]; then sleep "$SETTLE"; else settle; fi
  CPU_TICKS=$(cpu_ticks "$TW")
  kill -USR1 "$TW"
  wait_for tw.err "status: " 10
  stop QUIT "$TW" 600
  report
fi
stop TERM "$GEN" 10

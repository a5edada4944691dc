#!/usr/bin/env bash
# Sessions through a real Dante server as fast as a few loops of curl make
# them, twbridge following its log and tollwatch on the table with one
# alarm that fires once per session: prints how many commands ran (and so
# how many sessions were missed) and how long each command came after its
# session's end line in danted's log.  Runs in namespaces of its own
# (tests/dante_env.sh); exits 77 where they or danted cannot be had.
set -euo pipefail

usage() {
  cat >&2 <<'EOF'
usage: dante_e2e.sh [-n sessions] [-j loops] [-D "tollwatch flags"] [-q settle]
                    [-b bindir] [-K dir]
  -n sessions to make (2000)          -j curl loops at once (4)
  -D extra tollwatch flags, e.g. "-a 4"
  -q seconds without a new command after which the run is over (5)
  -b directory of tollwatch, twparser, twhistory and twbridge (build/bin)
  -K copy the run's files (rules, logs, commands' file) into this directory
EOF
  exit 2
}

HERE=$(cd "$(dirname "$0")" && pwd)
SESSIONS=2000 LOOPS=4 DFLAGS= SETTLE=5 KEEP=
BIN=$HERE/../build/bin
while getopts n:j:D:q:b:K: opt; do
  case $opt in
  n) SESSIONS=$OPTARG ;;
  j) LOOPS=$OPTARG ;;
  D) DFLAGS=$OPTARG ;;
  q) SETTLE=$OPTARG ;;
  b) BIN=$OPTARG ;;
  K) mkdir -p "$OPTARG" && KEEP=$(cd "$OPTARG" && pwd) ;;
  *) usage ;;
  esac
done
[ $OPTIND -gt $# ] || usage
BIN=$(cd "$BIN" && pwd)
for p in tollwatch twparser twhistory twbridge; do
  [ -x "$BIN/$p" ] || { echo "dante_e2e: no $BIN/$p (build first)" >&2; exit 1; }
done
ARGS=(-n "$SESSIONS" -j "$LOOPS" -D "$DFLAGS" -q "$SETTLE" -b "$BIN" ${KEEP:+-K "$KEEP"})

# A private /tmp for the table, then the network and users of dante_env.sh.
if [ -z "${DANTE_E2E_TMP-}" ]; then
  DANTE_E2E_TMP=1 exec "$HERE/../tests/nsrun.sh" "$0" "${ARGS[@]}"
fi
. "$HERE/../tests/dante_env.sh"
. "$HERE/../tests/harness.sh" "$BIN/tollwatch" "$BIN/twparser" "$BIN/twhistory" "$BIN/twbridge"
trap 'kill -KILL $DAEMON 2>/dev/null || true
      [ -z "$KEEP" ] || cp -r "$WORK"/. "$KEEP"
      rm -rf "$WORK"' EXIT
export LC_ALL=C

dante_user alice alice-pw
dante_start
web_start
cat >bench.conf <<'EOF'
WHEN (err == 0 & IN[src] > 0) EXEC
echo "$(date +%s.%N) src.ip" >>fired.txt END
EOF
"$TB" -f "$DANTE_LOG" >bridge.out 2>bridge.err & BRIDGE=$!
within 20 has bridge.err "following " || fail "twbridge does not follow the log"
# shellcheck disable=SC2086
daemon bench -d hist $DFLAGS
within 20 is_reader5 "$DAEMON" || fail "tollwatch did not attach"

# Loop L makes sessions L, L + loops, ..., each from an address of its own
# (127.20.x.y upwards), each fetching a few hundred bytes.
loop() {  # L
  local i src
  for ((i = $1; i < SESSIONS; i += LOOPS)); do
    src=127.$((20 + i / 62500)).$((i / 250 % 250)).$((i % 250 + 1))
    if socks "$src" alice:alice-pw "http://127.0.0.1:$WEB_PORT/$((i % 1000))" >/dev/null 2>>curl.err; then
      echo "$src" >>"made.$1"
    else
      echo "$src" >>"failed.$1"
    fi
  done
}
start=$(date +%s.%N)
pids=
for ((l = 0; l < LOOPS; l++)); do loop "$l" & pids="$pids $!"; done
# shellcheck disable=SC2086
wait $pids
end=$(date +%s.%N)
made=$( (cat made.* 2>/dev/null || true) | wc -l)
failed=$( (cat failed.* 2>/dev/null || true) | wc -l)

# The run is over once every session has had its command, or none came for
# SETTLE seconds; SIGQUIT lets the queued commands run.
fired() { (cut -d" " -f2 fired.txt 2>/dev/null || true) | sort -u | wc -l; }  # sessions
last=-1 quiet=0
while [ "$(fired)" -lt "$made" ] && [ "$quiet" -lt $((SETTLE * 10)) ]; do
  n=$(fired)
  if [ "$n" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0 last=$n; fi
  sleep 0.1
done
kill -USR1 "$BRIDGE" && within 5 has bridge.err '^status: ' || true
finish
kill -TERM "$BRIDGE" && reap "$BRIDGE"

# Each command against its session's end line: the time in parentheses of
# the "tcp/connect ]:" line that names the session's client address.
sed -n 's/^[^(]*(\([0-9.]*\)).*tcp\/connect \]: .*username%[^@]*@\(127\.[0-9]*\.[0-9]*\.[0-9]*\)\.[0-9]* .*/\2 \1/p' \
  "$DANTE_LOG" | sort >ends.txt
awk '{ print $2, $1 }' fired.txt | sort >commands.txt
commands=$(wc -l <commands.txt)
distinct=$(cut -d' ' -f1 commands.txt | sort -u | wc -l)
echo "sessions made: $made in $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s ($failed failed in curl, $(wc -l <ends.txt) end lines in the log)"
echo "commands run: $commands for $distinct sessions (missed $((made - distinct)), repeated $((commands - distinct)))"
# A session whose record was taken twice with its bytes ran its command
# twice: its first command counts.
sort -k1,1 -k2,2n commands.txt | awk '!seen[$1]++' | join ends.txt - | awk '{ printf "%.3f\n", ($3 - $2) * 1000 }' | sort -n >latency.txt
awk '{ v[NR] = $1 } END {
  if (NR == 0) { print "latency end line to command: none"; exit }
  p50 = v[int((NR - 1) * 0.50) + 1]; p99 = v[int((NR - 1) * 0.99) + 1]
  printf "latency end line to command: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", p50, p99, v[NR]
}' latency.txt
grep '^status: ' bridge.err | tail -n 1 | sed 's/^/twbridge /'
dante_stop

#!/usr/bin/env bash
# twbridge -b on a generated Dante log of N lines (1,000,000), against
# reading the same file alone (cat) and counting its lines (wc -l).  The
# bridge runs in a private /tmp and IPC namespace with no alarm reader, so
# what is measured is reading, parsing and writing the table.
#   bench/bridge_replay.sh [BINDIR] [LINES]
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BIN=$(cd "${1:-$SRC/build/bin}" && pwd)
N=${2:-1000000}
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT

# Four lines a session: accept, connect start and end, accept end; every
# tenth session a failed login instead (two lines), every twentieth a
# refused port.  Server processes that do not run here, as in a replay.
awk -v n="$N" 'BEGIN {
  t = 1796619279; lines = 0
  for (i = 0; lines < n; i++) {
    pid = 3900000 + i % 50; c = "10." int(i / 65536) % 256 "." int(i / 256) % 256 "." i % 256 "." 1024 + i % 60000
    h = sprintf("Dec  7 04:54:39 (%d.%06d) danted[%d]: info: ", t + int(i / 1000), i % 1000000, pid)
    print h "pass(1): tcp/accept [: " c " 10.0.0.1.1080"; lines++
    if (i % 10 == 9) {
      print h "block(1): tcp/accept ]: " c " 10.0.0.1.1080: error after reading 18 bytes in 0 seconds: system password authentication failed for user \"user" i % 97 "\""; lines++
      continue
    }
    u = "username%user" i % 97 "@" c " 10.0.0.1.1080"; d = "192.0.2." i % 200 "." (i % 20 == 7 ? 9 : 443)
    print h "pass(1): tcp/connect [: " u " -> 10.0.0.1." 30000 + i % 30000 " " d; lines++
    if (i % 20 == 7)
      print h "pass(1): tcp/connect ]: 0 -> " u " -> 0, 0 -> 10.0.0.1." 30000 + i % 30000 " " d " -> 0: remote peer error (Connection refused).  Session duration: 0s"
    else
      print h "pass(1): tcp/connect ]: 5555 -> " u " -> 78, 78 -> 10.0.0.1." 30000 + i % 30000 " " d " -> 5555: local client closed.  Session duration: 1s"
    print h "pass(1): tcp/accept ]: 5555 -> " c " 10.0.0.1.1080 -> 78: local client closed.  Session duration: 1s"; lines += 2
  }
}' | head -n "$N" >"$W/danted.log"

secs() {  # COMMAND...: wall seconds of one run
  local t0 t1
  t0=$(date +%s.%N); "$@" >/dev/null 2>"$W/err" || { cat "$W/err" >&2; exit 1; }; t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }' 
}
cat "$W/danted.log" >/dev/null  # in the page cache for every run
read_s=$(secs cat "$W/danted.log")
wc_s=$(secs wc -l "$W/danted.log")
# Timed inside the namespace, so that making it is not counted.
"$SRC/tests/nsrun.sh" sh -c 't0=$(date +%s.%N); "$0" -f -b "$1" 2>"$2"; echo "$t0 $(date +%s.%N)" >"$3"' \
  "$BIN/twbridge" "$W/danted.log" "$W/err" "$W/times"
bridge_s=$(awk '{ printf "%.6f\n", $2 - $1 }' "$W/times")
grep '^status:' "$W/err" || true
printf 'lines: %d\n' "$N"
awk -v n="$N" -v c="$read_s" -v w="$wc_s" -v b="$bridge_s" 'BEGIN {
  printf "cat:      %.3f s\nwc -l:    %.3f s\n", c, w
  printf "twbridge: %.3f s, %.0f lines/s, %.1fx cat, %.1fx wc -l\n", b, n / b, b / c, b / w }' 

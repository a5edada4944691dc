# End-to-end harness sourced by the scripts (run by nsrun.sh: private /tmp)
# with the programs and source tree as arguments, each known by its name.
# A scenario NAME is data: NAME.conf (rules) and NAME.feed (monfeed script).
set -euo pipefail
for a in "$@"; do
  case ${a##*/} in
  tollwatch) TW=$a ;; twparser) PATH=${a%/*}:$PATH ;; monfeed) MF=$a ;;
  twhistory) TH=$a ;; twcheck) TC=$a ;; twbridge) TB=$a ;;
  *) [ ! -d "$a" ] || SRC=$a ;;
  esac
done
WORK=$(mktemp -d)
FEEDER= DAEMON=
trap 'kill -KILL $DAEMON $FEEDER 2>/dev/null || true; rm -rf "$WORK"' EXIT
cd "$WORK"

fail() {
  echo "FAIL: $*" >&2
  for f in *.err *.out *.txt; do
    [ ! -f "$f" ] || { echo "--- $f"; tail -n 30 "$f"; } >&2
  done
  exit 1
}
within() {  # SECONDS COMMAND...: until COMMAND succeeds, polled every 0.1 s
  local n=$(($1 * 10))
  shift
  until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done
}
has() { grep -Eq -- "$2" "$1" 2>/dev/null; }  # FILE ERE
count() { grep -Ec -- "$2" "$1" 2>/dev/null || true; }  # FILE ERE
dead() { ! kill -0 "$1" 2>/dev/null; }
reap() {  # PID: waits for it, killing it after 30 s; exit status in $status
  (sleep 30; kill -KILL "$1") >/dev/null 2>&1 &
  local dog=$!
  status=0 && wait "$1" || status=$?
  { kill -KILL "$dog" && wait "$dog"; } 2>/dev/null || true
}
feed() {  # NAME: monfeed on NAME.feed in the background, table made
  rm -f "$1.feed.txt"  # a background job truncates late
  "$MF" "$1.feed" >"$1.feed.txt" 2>&1 & FEEDER=$!
  within 10 has "$1.feed.txt" "table created" || fail "$1: no table"
}
daemon() {  # NAME FLAGS...: tollwatch -f FLAGS on NAME.conf, output NAME.out/err
  local n=$1
  shift
  rm -f "$n.out" "$n.err"
  "$TW" -f "$@" -i "$n.conf" >"$n.out" 2>"$n.err" & DAEMON=$!
}
start() { feed "$1"; daemon "$@"; }  # NAME FLAGS...
finish() {  # [SIG]: quits the daemon (default QUIT), which must exit 0, and the feeder
  kill "-${1:-QUIT}" "$DAEMON"; reap "$DAEMON"; DAEMON=
  [ "$status" -eq 0 ] || fail "tollwatch exited $status on SIG${1:-QUIT}"
  [ -z "$FEEDER" ] || { kill -TERM "$FEEDER"; reap "$FEEDER"; FEEDER=; }
}
run() {  # NAME FLAGS...: start, wait for the script's end (and a "done" line
  # in NAME.done when the rules write one), finish
  start "$@"
  within 60 has "$1.feed.txt" "script done" || fail "$1: feed stuck"
  ! has "$1.conf" "$1[.]done" || within 10 has "$1.done" done ||
    fail "$1: the last alarm did not run"
  finish
}
same() {  # FILE: FILE's lines equal standard input
  diff -u - "$1" >&2 || fail "$1 differs from what was expected"
}

# For the daemon's scenarios.
conn() {  # N USER PORT [FIELD=VALUE...]: a connection's start and destination
  printf 'start %s user=%s src=192.168.50.%s:40000\n' "$1" "$2" $(($1 % 250))
  printf 'update %s cmd=connect dst=198.51.100.%s:%s %s\n' "$1" $(($1 % 250)) "$3" "${*:4}"
}
last() { printf 'WHEN (usr == sentinel) EXEC\necho done >%s.done\nEND\n' "$1"; }  # NAME: "done" when sentinel came
pipefeed() {  # monfeed on a script from feed.fifo, open as descriptor 7
  rm -f feed.fifo feed.txt && mkfifo feed.fifo
  "$MF" - <feed.fifo >feed.txt 2>&1 & FEEDER=$!
  exec 7>feed.fifo && within 10 has feed.txt "table created" || fail "monfeed made no table"
}
status_of() {  # NAME FIELD: the FIELD of a fresh status line in NAME.err
  local n && n=$(count "$1.err" '^status: ') && kill -USR1 "$DAEMON"
  within 5 eval '[ "$(count '"$1.err"' "^status: ")" -gt '"$n"' ]' || fail "no status line"
  grep '^status: ' "$1.err" | tail -n 1 | tr ' ' '\n' | sed -n "s/^$2=//p"
}
# For the damaged-table scenarios.
edit() {  # PYTHON: run on the table's bytes d; u/p read/write a native value, slot(k) of connection k
  python3 - /tmp/mon.mmap "$1" <<'PY'
import struct, sys
f = open(sys.argv[1], "r+b"); d = bytearray(f.read())
u = lambda o, t="I": struct.unpack_from("=" + t, d, o)[0]
def p(o, v, t="I"): struct.pack_into("=" + t, d, o, v)
n, c = u(8, "i"), u(60)
slot = lambda k: next((c + 4 * i, u(c + 4 * i)) for i in range(n) if u(c + 4 * i) > 1 and u(u(c + 4 * i) + 4) == k)
exec(sys.argv[2]); f.seek(0); f.write(d)
PY
}
reader5() { od -An -t d4 -j 40 -N 4 /tmp/mon.mmap 2>/dev/null | tr -d ' '; }
is_reader5() { [ "$(reader5)" = "$1" ]; }
tw() { status=0; timeout 20 "$TW" "$@" </dev/null >tw.out 2>tw.err || status=$?; }
ends() {  # STATUS LINE: the last tw run's exit status and last line on stderr
  [ "$status" = "$1" ] && [ "$(tail -n 1 tw.err)" = "$2" ] || fail "exit $status, \"$(tail -n 1 tw.err)\"; expected $1, \"$2\""
}

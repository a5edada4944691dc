#!/usr/bin/env bash
# The readers against a damaged connection table.  monfeed creates the
# table with two connections and holds it; each case then scribbles on the
# file (header fields, hash slots, texts, or every byte) and runs
# `monfeed --dump` and tollwatch on it.  Neither may crash: a bad header
# ends the call with a report (both exit 1), a bad slot is reported once
# and skipped while the other connection is still taken.
# usage (through nsrun.sh): hostile_table_test.sh TOLLWATCH TWPARSER MONFEED
set -euo pipefail
TW=$1 TWP=$2 MF=$3
TABLE=/tmp/mon.mmap

WORK=$(mktemp -d)
FEEDER='' DAEMON=''
trap '{ for p in $FEEDER $DAEMON; do kill -KILL "$p" || true; done
  rm -rf "$WORK"; } 2>/dev/null' EXIT
cd "$WORK"
mkdir bin && ln -s "$TWP" bin/twparser
export PATH="$WORK/bin:$PATH"

CASE=
fail() {
  echo "FAIL: $CASE: $*" >&2
  for f in *.out *.err; do [ ! -f "$f" ] || { echo "--- $f"; head -c 3000 "$f"; } >&2; done
  exit 1
}
within() {  # SECONDS COMMAND...: until COMMAND succeeds, polled every 0.1 s
  local n=$(($1 * 10))
  shift
  until "$@"; do [ $((n -= 1)) -gt 0 ] || return 1; sleep 0.1; done
}
has() { grep -Eq -- "$2" "$1" 2>/dev/null; }

# poke OFFSET FORMAT VALUE...: native-order values written into the table.
poke() {
  python3 - "$TABLE" "$@" <<'PY'
import struct, sys
path, off, fmt = sys.argv[1], int(sys.argv[2], 0), "=" + sys.argv[3]
with open(path, "r+b") as f:
    f.seek(off)
    f.write(struct.pack(fmt, *[int(v, 0) for v in sys.argv[4:]]))
PY
}
# fill OFFSET LENGTH BYTE: a run of one byte value.
fill() {
  python3 - "$TABLE" "$@" <<'PY'
import sys
path, off, n, b = sys.argv[1], *[int(v, 0) for v in sys.argv[2:]]
with open(path, "r+b") as f:
    f.seek(off)
    f.write(bytes([b]) * n)
PY
}
# peek OFFSET FORMAT: one native-order value of the table.
peek() {
  python3 - "$TABLE" "$@" <<'PY'
import struct, sys
with open(sys.argv[1], "rb") as f:
    print(struct.unpack_from("=" + sys.argv[3], f.read(), int(sys.argv[2], 0))[0])
PY
}
# slot KEY: "slot-address record-offset" of the hash slot holding the
# connection numbered KEY.
slot() {
  python3 - "$TABLE" "$1" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read()
n, = struct.unpack_from("=i", d, 8)
off, = struct.unpack_from("=I", d, 60)
for i in range(n):
    s, = struct.unpack_from("=I", d, off + 4 * i)
    if s > 1 and struct.unpack_from("=I", d, s + 4)[0] == int(sys.argv[2]):
        print(off + 4 * i, s)
PY
}

# The writer's table: connections 1 (zoe) and 2 (bob), both with changes
# for reader 5; kept as it is to be restored before each case.
cat >feed.script <<'EOF'
start 1 user=zoe src=10.7.7.7:5000 srchost=zoe.example
update 1 cmd=connect dst=10.8.8.8:8080 dsthost=web.example in=1 out=2
start 2 user=bob src=10.6.6.6:5001
update 2 cmd=connect dst=10.9.9.9:443 in=3 out=4
EOF
monfeed_run() { "$MF" feed.script >feed.out 2>feed.err & FEEDER=$!; }
monfeed_run
within 10 has feed.out "script done" || fail "monfeed made no table"
# No reader 5 was attached while the script ran: mark both connections
# started and updated for it, as the writer would have.
for key in 1 2; do
  read -r _ off <<<"$(slot $key)"
  poke $((off + 8)) I $(($(peek $((off + 8)) I) | 0x5000))
done
cp "$TABLE" pristine
printf '%s\n' 'WHEN (src == 10.255.255.254)' EXEC '  echo never' END >rules.conf

# dump EXIT: monfeed --dump ends with that status, and not by a signal.
dump() {
  local status=0
  timeout 20 "$MF" --dump >dump.out 2>dump.err || status=$?
  [ "$status" -eq "$1" ] || fail "monfeed --dump exited $status, expected $1"
}
# daemon: tollwatch in the foreground with its trace on stderr.
daemon() {
  rm -f tw.out tw.err  # the background job truncates them only when it runs
  timeout 60 "$TW" -f -t -i rules.conf </dev/null >tw.out 2>tw.err & DAEMON=$!
}
reap() {  # waits for tollwatch; its exit status in $status
  status=0
  wait "$DAEMON" || status=$?
  DAEMON=
}

# A bad header: both report and exit 1.
header_case() {
  dump 1
  has dump.err 'bad table header' || fail "dump: no report of the header"
  has dump.err 'read error in connection table' || fail "dump: no read error"
  daemon
  reap
  [ "$status" -eq 1 ] || fail "tollwatch exited $status, expected 1"
  has tw.err 'bad table header' || fail "tollwatch: no report of the header"
  [ "$(tail -n 1 tw.err)" = "read error in connection table" ] ||
    fail "tollwatch: last line \"$(tail -n 1 tw.err)\""
}

# A bad slot for zoe's record: skipped and reported once; bob's record is
# still printed and taken, and tollwatch keeps polling.
slot_case() {
  dump 0
  [ "$(grep -c 'bad slot' dump.err)" -eq 1 ] || fail "dump: bad slot not reported once"
  has dump.out 'user=bob' || fail "dump: bob's record missing"
  ! has dump.out 'user=zoe' || fail "dump: the bad slot was read"
  daemon
  within 10 has tw.err 'bob@' || fail "tollwatch did not take bob's record"
  sleep 2  # more polling passes over the bad slot
  kill -0 "$DAEMON" 2>/dev/null || fail "tollwatch ended"
  kill -QUIT "$DAEMON"
  reap
  [ "$status" -eq 0 ] || fail "tollwatch exited $status after SIGQUIT"
  [ "$(grep -c 'bad slot' tw.err)" -eq 1 ] || fail "tollwatch: bad slot not reported once"
  ! has tw.err 'zoe@' || fail "tollwatch took the bad slot"
}

restore() { CASE=$1; dd if=pristine of="$TABLE" conv=notrunc status=none; }

read -r ZOE_AT ZOE_OFF <<<"$(slot 1)"
[ -n "$ZOE_OFF" ] || { CASE=setup; fail "no slot for connection 1"; }
CONN_OFF=$(peek 60 I)

# case | damage (header fields: nMaxConn at 8, connOff at 60, size at 4)
while IFS='|' read -r name kind damage; do
  restore "$name"
  eval "$damage"
  "${kind}_case"
done <<EOF
nmax-huge|header|poke 8 i 0x7fffffff
nmax-negative|header|poke 8 i -5
nmax-past-end|header|poke 8 i $(((31744 - CONN_OFF) / 4 + 1))
connoff-zero|header|poke 60 I 0
connoff-outside|header|poke 60 I 31744
connoff-wraps|header|poke 60 I 0xfffffff8
connoff-unaligned|header|poke 60 I $((CONN_OFF + 2))
size-huge-slot-outside|slot|poke 4 I 0xffffffff; poke $ZOE_AT I 40000
slot-past-end|slot|poke $ZOE_AT I $((31744 - 752 + 8))
slot-in-header|slot|poke $ZOE_AT I 40
slot-unaligned-4|slot|poke $ZOE_AT I $((ZOE_OFF + 4))
slot-unaligned-1|slot|poke $ZOE_AT I $((ZOE_OFF + 1))
EOF

# Texts without a NUL: every text field and the padding of zoe's record
# filled; the readers stop at each field's end.
restore texts-without-nul
fill $((ZOE_OFF + 94)) $((752 - 94)) 0x41
dump 0
has dump.out "user=$(printf 'A%.0s' {1..128}) app=$(printf 'A%.0s' {1..16}) " ||
  fail "dump: texts not cut at their fields"
daemon
within 10 has tw.err "^[0-9]+: $(printf 'A%.0s' {1..128})@" ||
  fail "tollwatch: user text not cut at its field"
within 10 has tw.err 'bob@' || fail "tollwatch did not take bob's record"
kill -QUIT "$DAEMON"
reap
[ "$status" -eq 0 ] || fail "tollwatch did not quit cleanly"

# Every byte 0xFF, reader entries included: monfeed reports the bad
# header; tollwatch takes the entry over, finds no live creator and waits
# for a new table, as after a proxy restart, without crashing.
restore all-ff
fill 0 31744 0xff
dump 1
has dump.err 'bad table header' || fail "dump: no report of the header"
daemon
within 10 has tw.err 'connection table lost, waiting for a new one' ||
  fail "tollwatch: the garbled table not reported"
sleep 1
kill -0 "$DAEMON" 2>/dev/null || fail "tollwatch ended"
kill -QUIT "$DAEMON"
reap
[ "$status" -eq 0 ] || fail "tollwatch exited $status after SIGQUIT"

restore done
kill -TERM "$FEEDER"
wait "$FEEDER" || fail "monfeed exited $? on the restored table"
FEEDER=
echo "hostile tables: all cases passed"

#!/usr/bin/env bash
# The readers on a damaged table that monfeed holds: a bad header or size
# ends monfeed --dump with a report and exit 1, and tollwatch waits for the
# table to be mended; a bad slot is reported once and skipped while the
# other connection is still taken.
. "${0%/*}/harness.sh" "$@"
printf '%s\n' 'start 1 user=zoe src=10.7.7.7:5000' 'update 1 cmd=connect dst=10.8.8.8:80 in=1 out=2' \
  'start 2 user=bob src=10.6.6.6:5001' 'update 2 cmd=connect dst=10.9.9.9:443 in=3 out=4' >t.feed
printf '%s\n' 'WHEN (src == 10.255.255.254)' EXEC '  echo never' END >t.conf
feed t && within 10 has t.feed.txt "script done" || fail "no table"
# Both changed for reader 5, as the writer marks them when it is attached.
edit 'for k in 1, 2: o = slot(k)[1]; p(o + 8, u(o + 8) | 0x5000)'
cp /tmp/mon.mmap pristine
dump() { s=0 && timeout 20 "$MF" --dump >dump.out 2>dump.err || s=$?; [ $s -eq "$1" ] || fail "$case: dump exits $s"; }
quit() { sleep 1 && ! dead "$DAEMON" && kill -QUIT "$DAEMON" && reap "$DAEMON" && [ "$status" -eq 0 ] || fail "$case: tollwatch ended"; }
header() {  # tollwatch waits the table out, and takes it again once mended
  dump 1 && has dump.err 'bad table (header|size)' && has dump.err 'read error in connection table|cannot attach' ||
    fail "$case: dump"
  daemon t -t && within 10 has t.err '^connection table lost, waiting for a new one$' || fail "$case: tollwatch did not wait"
  cp pristine /tmp/mon.mmap && within 5 has t.err '^connection table back, attached again$' && within 5 has t.err 'bob@' ||
    fail "$case: mended table not taken"
  quit
}
slot() {  # over more passes, the bad slot reported once and zoe's record not read
  dump 0 && [ "$(count dump.err 'bad slot')" = 1 ] && has dump.out user=bob && ! has dump.out user=zoe || fail "$case: dump"
  daemon t -t && within 10 has t.err 'bob@' || fail "$case: bob not taken"
  quit && [ "$(count t.err 'bad slot')" = 1 ] && ! has t.err 'zoe@' || fail "$case: tollwatch took the bad slot"
}
while IFS='|' read -r case kind damage; do
  cp pristine /tmp/mon.mmap && edit "$damage" && "$kind"
done <<'EOF'
nmax negative|header|p(8, -5, "i")
connoff wraps|header|p(60, 0xfffffff8)
connoff unaligned|header|p(60, c + 2)
size huge|header|p(4, 0xffffffff)
slot outside|slot|p(slot(1)[0], 40000)
slot past the end|slot|p(slot(1)[0], len(d) - 744)
slot unaligned by 1|slot|a, o = slot(1); p(a, o + 1)
EOF
# Texts without a NUL: the readers stop at each field's end.
case=texts && cp pristine /tmp/mon.mmap && edit 'o = slot(1)[1]; d[o + 94:o + 752] = b"A" * 658' && A=$(printf 'A%.0s' {1..128})
dump 0 && has dump.out "user=$A app=${A:0:16} " || fail "dump: texts not cut at their fields"
daemon t -t && within 10 has t.err "^[0-9]+: $A@" && has t.err 'bob@' || fail "tollwatch: texts not cut"
quit
# Every byte 0xFF, reader entries included: tollwatch takes its entry over,
# finds no live creator and waits for a new table.
case=all-ff && edit 'd[:] = b"\xff" * len(d)'
dump 1 && has dump.err 'bad table (header|size)' || fail "dump: no report of the header"
daemon t -t && within 10 has t.err 'connection table lost, waiting for a new one' || fail "not reported"
quit
cp pristine /tmp/mon.mmap && kill -TERM "$FEEDER" && reap "$FEEDER" && FEEDER= && [ "$status" -eq 0 ] || fail "monfeed exits $status"

#!/usr/bin/env bash
# The history on a small sticky file system (as /tmp) filled up under load:
# rules go on firing on what the files hold, lost updates are said once a
# minute and counted, failed refreshes leave no fresh files, updates come back
# with space, items written survive restarts.  Links and open directories are
# refused; items from a clock ahead count in no window (under libfaketime).
. "${0%/*}/harness.sh" "$@"
trap 'kill -KILL $DAEMON $FEEDER 2>/dev/null || true; umount "$WORK/disk" 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir disk && mount -t tmpfs -o size=768k,mode=1777 tmpfs disk || fail "no tmpfs of its own"
printf '%s\n' 'alert_time = 3600' 'WHEN (FAIL[usr] >= 2) EXEC' 'echo usr FAIL[usr] >>twice.txt END' \
  'WHEN (usr == mark*) EXEC' 'echo usr >>marks.txt END' >disk.conf
n=0 k=0 long=$(printf 'x%.0s' {1..100})
fails() {  # USER...: a failed login each, the table drained every ten
  for u; do
    n=$((n + 1)) && printf '%s\n' "start $n user=$u src=192.168.50.$((n % 250)):40000" "end $n" "error $n code=5"
    ((n % 10)) || echo wait-drained
  done >&7
}
settled() {  # every change so far went through the rules
  k=$((k + 1)) && printf '%s\n' wait-drained "start $((900000 + k)) user=mark$k src=10.9.9.9:4000" "end $((900000 + k))" >&7
  within 30 has marks.txt "^mark$k\$" || fail "mark $k not seen"
}
listing() { "$TH" "$1" >"$2" 2>"$2.err" || fail "twhistory $1: $(cat "$2.err")"; }
attached() { within 20 is_reader5 "$DAEMON" || fail "tollwatch not attached"; }
restart() {  # NAME: quits the daemon (status 0), starts it on NAME.conf
  kill -QUIT "$DAEMON" && reap "$DAEMON" && [ "$status" = 0 ] || fail "tollwatch exited $status"
  cp disk.conf "$1.conf" && daemon "$1" -l -d disk/hist && attached
}
refresh_fails() {  # NAME.err: a refresh on the full disk gives up, leaving no fresh files
  within 10 has "$1.err" "^history disk/hist not refreshed: " && ! ls disk | grep -E '[.]tmp|[.]refresh' ||
    fail "$1: a refresh on a full disk"
}

echo keep >victim && pipefeed && echo wait-reader >&7 && daemon disk -l -d disk/hist
fails $(seq -f a%g 30) && settled
# A link planted under a fresh file's name is replaced, not followed.
ln -s ../victim disk/hist.tmp1.pag && kill -VTALRM "$DAEMON" && within 10 eval '[ ! -L disk/hist.tmp1.pag ]' &&
  settled && [ "$(cat victim)" = keep ] && ! has disk.err "not refreshed" || fail "a refresh went through a link"
listing disk/hist before.txt && [ "$(grep -c '^FAIL #1 usr=a' before.txt)" = 30 ] || fail "not 30 users before"
# The disk fills up; new users come until the daemon cannot write.
dd if=/dev/zero of=disk/filler bs=4k >/dev/null 2>&1 || true
for b in $(seq 100); do
  fails $(seq -f "b$b-%g-$long" 20) && settled && ! has disk.err "history not written" || break
done
has disk.err "^history not written: [0-9]+ updates lost since the last report. No space left on device$" ||
  fail "no loss said"
lost=$(status_of disk store_failures) && [ "$lost" -gt 0 ] || fail "store_failures=$lost"
fails a1 $(seq -f "c%g-$long" 50) && settled && has twice.txt "^a1 2$" || fail "a rule did not count what the files hold"
[ "$(count disk.err 'history not written')" = 1 ] || fail "loss said more than once a minute"
[ "$(status_of disk store_failures)" -gt "$lost" ] || fail "later losses not counted"
listing disk/hist full.txt && kill -VTALRM "$DAEMON" && refresh_fails disk
# A start on the full disk; space again; a start on what was written.
restart disk2 && refresh_fails disk2 && rm disk/filler && fails after && settled
listing disk/hist after.txt && has after.txt "^FAIL #1 usr=after items=1 " || fail "no update written once there was space"
restart disk3 && settled && restart disk4 && settled
! grep -vx -e "$TW" -e twparser -e 'missed .* since the last report' disk4.err || fail "the last start said more"
listing disk/hist end.txt && for f in before full after; do ! sort "$f.txt" | comm -23 - <(sort end.txt) | grep . || fail "lost from $f.txt"; done

# Directories others may write to, links and files of other users.
mkdir open && chmod 777 open && tw -f -l -i disk.conf -d open/hist && ends 1 "history directory open is writable by others"
chmod 1777 open && ln -s ../victim open/hist1.pag && tw -f -l -i disk.conf -d open/hist &&
  ends 1 "history file open/hist1.pag is a symbolic link" && [ "$(cat victim)" = keep ] || fail "a link was followed"
rm open/hist1.pag && touch open/hist.refresh && chown 65534 open/hist.refresh && tw -f -l -i disk.conf -d open/hist &&
  ends 1 "history file open/hist.refresh belongs to another user"

# Items from a clock ahead: in no window, said once, dropped by a refresh.
lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
if [ -z "$lib" ] || ldd "$TW" | grep -q libasan; then
  echo "note: no libfaketime (make deps) or a sanitized daemon (its shell would need it): no clock step" >&2
else
  kill -QUIT "$DAEMON" && reap "$DAEMON" && DAEMON= && echo +3600 >clock.rc
  printf '%s\n' 'WHEN (FAIL[usr] >= 1) EXEC' 'echo usr FAIL[usr] >>clk.txt END' 'WHEN (usr == mark*) EXEC' \
    'echo usr >>marks.txt END' >clk.conf
  LD_PRELOAD=$lib FAKETIME_TIMESTAMP_FILE=$PWD/clock.rc FAKETIME_NO_CACHE=1 FAKETIME_DONT_FAKE_MONOTONIC=1 \
    "$TW" -f -l -i clk.conf -d clk >clk.out 2>clk.err & DAEMON=$!
  attached && fails zed zed zed && settled && echo +0 >clock.rc && fails zed && settled && fails zed && settled
  [ "$(count clk.err '^history items from the future ignored: 3, up to 3[56][0-9][0-9] s ahead, FAIL')" = 1 ] ||
    fail "future items not said once"
  listing clk clk1.txt && has clk1.txt "^FAIL #1 usr=zed items=5 " || fail "the record lost its items"
  kill -VTALRM "$DAEMON" && within 10 has clk.err "^history refresh dropped 3 items from the future$" &&
    settled && listing clk clk2.txt && has clk2.txt "^FAIL #1 usr=zed items=2 " || fail "the refresh kept the future"
  same clk.txt <<<$'zed 1\nzed 2\nzed 3\nzed 1\nzed 2'
fi
finish
echo "history disk test passed"

#!/usr/bin/env bash
# Who may write the table: tollwatch -W root refuses another user's table (said once, waiting on) until
# root's comes, -W that user takes it; a link at the table's path is never opened; without -W a table every
# user may write is warned of once; monfeed and twbridge make everything 0660 of the group given.
. "${0%/*}/harness.sh" "$@"
[ "$(id -u)" = 0 ] || { echo "SKIPPED: needs root for a second user"; exit 77; }
TB=${TB:-${TW%/*}/twbridge}
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
hold() {  # FEED COMMAND...: monfeed's COMMAND on FEED, holding the table
  rm -f held.txt && { "${@:2}" - <"$1" >held.txt 2>&1 & FEEDER=$!; } && within 10 has held.txt "script done" || fail "$1: no table"
}
drop() { exec 7>&-; kill -TERM "$FEEDER"; reap "$FEEDER"; FEEDER=; }
once() { [ "$(count "$1" "$2")" = 1 ] || fail "\"$2\" told $(count "$1" "$2") times"; }
waits() { within 10 has "$1" '^connection table lost, waiting for a new one$' || fail "${2:-no wait}"; }
printf 'WHEN (usr == alice | usr == mallory) EXEC\necho usr >>took.txt\nEND\n' >w.conf
printf 'start 1 user=mallory src=10.6.6.6:1000\nupdate 1 cmd=connect dst=10.7.7.7:22\n' >mallory.feed
echo 'sleep 0' >plain.feed
refused="^not attaching: connection table /tmp/mon.mmap"
tw -f -W no-such-user -i w.conf && ends 1 "-W no-such-user: no such user"
# The attacker's table is there first: refused at start-up, never written; -W 65534 takes it.
hold mallory.feed "${nobody[@]}" "$MF" && daemon w -W root && waits w.err
sleep 2 && once w.err "$refused belongs to uid 65534, not to root\$"
! dead "$DAEMON" && [ "$(reader5)" = 0 ] || fail "tollwatch attached to another user's table"
drop && pipefeed && within 5 is_reader5 "$DAEMON" || fail "root's table not taken"
conn 2 alice 80 >&7 && within 10 has took.txt '^alice$' && ! has took.txt mallory || fail "alice not taken"
once w.err '^connection table back, attached again$' && finish
hold mallory.feed "${nobody[@]}" "$MF" && daemon w -W 65534
within 10 is_reader5 "$DAEMON" && ! has w.err 'not attaching|every user' || fail "-W 65534 refused its table"; finish
# Root's table that every user may write: refused with -W until mended.
pipefeed && chmod 666 /tmp/mon.mmap && daemon w -W root
within 10 has w.err "$refused is writable by every user\$" || fail "mode not told"
sleep 1 && once w.err "$refused is writable by every user\$" && [ "$(reader5)" = 0 ] || fail "attached"
chmod 660 /tmp/mon.mmap && within 5 is_reader5 "$DAEMON" || fail "mended table not taken"
drop && finish
# Without -W: a warning at the first such table only, each made again (0666) while tollwatch is stopped.
warning="^connection table /tmp/mon.mmap is writable by every user; name the proxy's user with -W\$"
pipefeed && daemon w && within 10 is_reader5 "$DAEMON" && ! has w.err 'every user' || fail "0660 table"
for n in 1 2; do
  kill -STOP "$DAEMON" && drop && pipefeed && chmod 666 /tmp/mon.mmap && kill -CONT "$DAEMON"
  within 10 is_reader5 "$DAEMON" && once w.err "$warning" || fail "table $n: not warned once"
done
drop && finish
# A link at the table's path to a live table: no reader or writer opens it; its target is never written.
hold plain.feed "$MF" && mv /tmp/mon.mmap /tmp/victim && ln -s victim /tmp/mon.mmap && cp /tmp/victim before
tw -f -i w.conf && ends 1 "monitor mmap open error" && has tw.err 'Too many levels of symbolic links' || fail "link opened"
! "$MF" plain.feed >made.txt 2>&1 && has made.txt 'cannot create the connection table' || fail "monfeed made it"
daemon w -W root && waits w.err "no wait on a link"
sleep 1 && cmp -s before /tmp/victim && ! dead "$DAEMON" || fail "the link's target was written"
drop && [ ! -e /tmp/mon.mmap ] && pipefeed && within 5 is_reader5 "$DAEMON" || fail "no table taken after the link"
drop && finish
# The creators' mode and group, whatever the umask: table, key files and semaphore sets 0660 of nogroup.
made() { [ "$(stat -c '%a %G' /tmp/mon.mmap /tmp/mon.free.mutex /tmp/mon.hash.mutex | sort -u)" = "660 nogroup" ] &&
    [ "$(ipcs -s -c | awk '$1 ~ /^[0-9]+$/ { print $2, $6 }' | sort -u)" = "660 nogroup" ] || fail "$1: $(ls -l /tmp; ipcs -s -c)"; }
! "$MF" --group no-such-group plain.feed 2>made.txt && has made.txt '^monfeed: --group no-such-group: no such group$' ||
  fail "monfeed took an unknown group"
umask 077 && hold plain.feed "$MF" --group nogroup && made monfeed && drop
: >d.log && { "$TB" -f -g nogroup -F jsonl d.log 2>tb.err & FEEDER=$!; }
within 10 has tb.err 'connection table created' && made twbridge && kill -TERM "$FEEDER" && reap "$FEEDER" && FEEDER=
echo "owner test passed"

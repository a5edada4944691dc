#!/usr/bin/env bash
# History end to end: tollwatch keeps the aggregates of monfeed's connections
# in its history files across restarts, refreshes and ageing by twhistory;
# a damaged file stops twhistory and is set aside by tollwatch.
. "${0%/*}/harness.sh" "$@"
N=0 && cat >rules <<'EOF'
WHEN (FAIL[src, usr] > 2) EXEC
  echo fired usr FAIL[src, usr] >>fired.txt END
WHEN (usr == dan & TRAFFIC[usr == dan, usr] > 0 | usr == zed & ACCESS[src == 10.5.5.5, src] > 2 | FAIL[dst, app, err] > 1000) EXEC
true END
EOF
conn() {  # USER SRC DST [WORD...]: a new connection, its number in N
  N=$((N + 1)) && printf '%s\n' "start $N user=$1 src=$2:4000" "update $N cmd=connect dst=$3 ${*:4}"
}
failed() {  # USER...: a failure each, the error its last event, so taken once
  for u; do conn "$u" 10.1.1.1 10.200.0.1:25 && printf '%s\n' "end $N" "error $N code=5"; done
}
phase() {  # NAME: the events on stdin through the daemon, then the history listed
  { cat rules; printf 'WHEN (usr == %s) EXEC\necho done >%s.done END\n' "$1" "$1"; } >"$1.conf"
  { echo wait-reader; cat; echo wait-drained; N=99 conn "$1" 10.0.0.1 10.0.0.2:1; } >"$1.feed"
  run "$1" -t -l -d hist
  "$TH" hist | sed -E 's/ first=[0-9]+ last=[0-9]+//' | sort >"$1.list"
}
# A connection re-reported with new bytes counts once; carol's accesses count
# though no condition reads the aggregate for her.
{ failed alice bob alice alice
  conn dan 10.3.3.3 10.200.0.2:80 in=100
  printf '%s\n' wait-drained "update $N in=300 out=20"
  conn dan 10.3.3.3 10.200.0.2:80 in=50
  printf '%s\n' wait-drained "end $((N - 1))" "end $N"
  for u in carol carol zed; do conn $u 10.5.5.5 10.200.0.2:80; done
} | phase h1
same h1.list <<'EOF'
ACCESS #1 src=10.5.5.5 items=3
FAIL #1 src=10.1.1.1 usr=alice items=3
FAIL #1 src=10.1.1.1 usr=bob items=1
FAIL #2 dst=10.200.0.1 app=25/tcp err=5 items=4
TRAFFIC #1 usr=dan items=2 sum=370
EOF
failed alice | phase h2  # the count goes on after a restart
same fired.txt <<<$'fired alice 3\nfired alice 4'
# SIGVTALRM rewrites the files without what is older than the keep time.
cp rules r.conf && { echo wait-reader; failed ready; } >r.feed && inode=$(stat -c %i hist1.pag)
start r -t -d hist
within 10 has r.err 'ready@' || fail "no record taken"
kill -VTALRM "$DAEMON"
within 10 has r.err "refresh database: removing everything before" || fail "no refresh"
cutoff=$(grep -o "before -*[0-9]*" r.err | head -n 1) now=$(date +%s)
[ "${cutoff#before }" -le $((now - 300)) ] && [ "${cutoff#before }" -ge $((now - 305)) ] ||
  fail "refresh $cutoff is not the keep time before $now"
[ "$(stat -c %i hist1.pag)" != "$inode" ] || fail "hist1.pag was not replaced"
finish
# Items aged 200 s are inside the keep time; 200 s more, and the start drops them.
"$TH" -s 200 hist >/dev/null
failed alice | phase h3
has h3.list '^FAIL #1 src=10.1.1.1 usr=alice items=5$' || fail "aged items lost"
"$TH" -s 200 hist >/dev/null
failed alice | phase h4
same h4.list <<<$'FAIL #1 src=10.1.1.1 usr=alice items=2\nFAIL #2 dst=10.200.0.1 app=25/tcp err=5 items=2'
# A damaged file stops twhistory with its name, and is left as it was;
# tollwatch says so too, keeps it aside and goes on with what reads back.
: >hist1.pag && ! "$TH" hist 2>bad.err && has bad.err "history file hist1.pag is empty" && [ ! -s hist1.pag ] ||
  fail "twhistory on an empty history file"
failed alice | phase h5
has h5.err "^history file hist1.pag is empty; moved aside as hist1.damaged and hist2.damaged, 0 damaged records left out$" &&
  [ -f hist1.damaged.pag ] && [ ! -s hist1.damaged.pag ] || fail "the empty history file not set aside"
same h5.list <<<$'FAIL #1 src=10.1.1.1 usr=alice items=1\nFAIL #2 dst=10.200.0.1 app=25/tcp err=5 items=1'

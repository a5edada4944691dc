#!/usr/bin/env bash
# Three daemons, each on the table of its own proxy (its own /tmp and IPC
# namespace), one Redis history: one user's failures on all three count
# together, and the alarm fires once, on the proxy that saw the tenth;
# 10,000 failures of 100 users spread over the three count exactly.  Then
# the server's faults: killed during traffic and started again, absent at
# the daemon's start, a wrong password.
. "${0%/*}/harness.sh" "$@"
REDIS=$SRC/tests/redis_env.sh
mkdir r && { "$REDIS" start "$WORK/r" --appendonly yes --appendfsync always || exit $?; }
trap 'touch "$WORK"/stop.all; "$REDIS" stop "$WORK/r"; sleep 0.5; rm -rf "$WORK"' EXIT
URL=unix:$WORK/r/redis.sock

# One proxy: monfeed on NAME.feed, tollwatch on NAME.rules and the shared
# history (extra flags after the name), until NAME.stop or stop.all appears.
# Its first two arguments are the programs' directories, named so that
# nsrun.sh keeps them in sight where they lie under /tmp.
cat >node.sh <<EOF2
#!/usr/bin/env bash
cd "$WORK" && name=\$3 && shift 3
"$MF" -z 200 "\$name.feed" >"\$name.feed.txt" 2>&1 & feeder=\$!
for ((i = 0; i < 100; i++)); do grep -q "table created" "\$name.feed.txt" 2>/dev/null && break; sleep 0.05; done
PATH=${TW%/*}:\$PATH "$TW" -f -l -i "\$name.rules" -D "$URL" -k site1: "\$@" >"\$name.out" 2>"\$name.err" & tw=\$!
until [ -e "\$name.stop" ] || [ -e stop.all ]; do sleep 0.1; done
kill -USR1 \$tw; sleep 0.3; kill -QUIT \$tw; wait \$tw; kill \$feeder; wait \$feeder
EOF2
chmod +x node.sh
node() {  # NAME [FLAGS]: a proxy whose alarm names it
  printf 'WHEN (FAIL[usr] >= 10) EXEC\n  echo %s usr FAIL[usr] >>%s/fired.txt END\n' "$1" "$WORK" >"$1.rules"
  "$SRC/tests/nsrun.sh" "$WORK/node.sh" "${MF%/*}" "${TW%/*}" "$@" &
}
fed() { within "${2:-60}" has "$1.feed.txt" "script done" || fail "$1: feed stuck"; }
stop_nodes() { for n; do touch "$n.stop"; done; wait; }
failures() {  # USER COUNT FIRST: failed logins, numbered from FIRST
  for ((i = $3; i < $3 + $2; i++)); do
    printf '%s\n' "start $i user=$1 src=10.1.1.1:4000" "end $i" "error $i code=10"
    [ $((i % 20)) -ne 0 ] || echo wait-drained
  done
}
listed() { "$TH" -D "$URL" -k site1: | sed -E 's/ first=[0-9]+ last=[0-9]+//' | sort; }

for n in a b; do { echo wait-reader; failures mallory 4 1; echo wait-drained; } >"$n.feed"; done
{ echo wait-reader; failures mallory 2 1; echo wait-drained; } >c.feed
for n in a b c; do node $n && fed $n; done
within 10 has fired.txt mallory || fail "FAIL[usr] >= 10 never fired"
sleep 1
[ "$(cat fired.txt)" = "c mallory 10" ] || fail "fired: $(cat fired.txt)"
listed | grep -qx 'FAIL #1 usr=mallory items=10' || fail "history: $(listed)"
stop_nodes a b c
for n in a b c; do has "$n.err" 'status: .* history_store=up' || fail "$n: no status with the store"; done

# 10,000 failures of 100 users, round-robin over the three proxies, at once.
for n in 0 1 2; do
  { echo wait-reader
    for ((j = n; j < 10000; j += 3)); do
      printf '%s\n' "start $j user=u$((j % 100)) src=10.1.1.1:4000" "end $j" "error $j code=10"
      [ $((j % 450)) -ne "$n" ] || echo wait-drained
    done
    echo wait-drained; } >"p$n.feed"
done
cpu() { awk '{ print $14 + $15 }' "/proc/$(cat "$WORK/r/redis.pid")/stat"; }
c0=$(cpu) t0=$(date +%s%N)
for n in 0 1 2; do node "p$n"; done
for n in 0 1 2; do fed "p$n" 120; done
awk -v c="$(($(cpu) - c0))" -v t="$(($(date +%s%N) - t0))" -v hz="$(getconf CLK_TCK)" 'BEGIN {
  printf "fleet: 10000 records on 3 daemons in %.2f s, %.0f records/s; redis-server %.1f ms cpu per 1000 records\n",
         t / 1e9, 1e13 / t, 1000 * c / hz / 10 }'
listed | grep ' usr=u' >counts.txt
for ((u = 0; u < 100; u++)); do echo "FAIL #1 usr=u$u items=100"; done | sort | diff - counts.txt >/dev/null ||
  fail "counts: $(head -3 counts.txt)"
stop_nodes p0 p1 p2

# Killed during traffic, started again a second later: nothing lost.
{ echo wait-reader; failures oscar 300 1 | sed '0~30 s/^/sleep 0.02\n/'; echo wait-drained; } >k.feed
node k && { within 10 has k.feed.txt "table created" || fail "k: no table"; }
sleep 0.3 && "$REDIS" stop "$WORK/r" && sleep 1
"$REDIS" start "$WORK/r" --appendonly yes --appendfsync always || fail "no restart"
fed k && within 10 has k.err 'history store back, [0-9]+ updates written' || fail "not back"
has k.err 'history store unreachable since [0-9-]+ [0-9:]+' || fail "outage not said"
within 10 eval 'listed | grep -qx "FAIL #1 usr=oscar items=300"' || fail "after the kill: $(listed | grep oscar)"
stop_nodes k

# Absent at the daemon's start: it runs, and writes what it held once the
# server is there.
"$REDIS" stop "$WORK/r"
{ echo wait-reader; failures peggy 12 1; echo wait-drained; } >s.feed
node s && fed s && within 10 has fired.txt 'peggy 10' || fail "no alarm without the server"
"$REDIS" start "$WORK/r" --appendonly yes --appendfsync always || fail "no start"
within 10 eval 'listed | grep -qx "FAIL #1 usr=peggy items=12"' || fail "not written: $(listed | grep peggy)"
stop_nodes s

# A wrong password: said, naming the server; the daemon goes on.
"$REDIS" stop "$WORK/r" && "$REDIS" start "$WORK/r" --requirepass right || fail "no server"
echo wrong >pw && { echo wait-reader; failures quinn 1 1; echo wait-drained; } >w.feed
node w -A "$WORK/pw" && fed w && sleep 1
has w.err "authentication failed" && has w.err "$URL" || fail "no clear message: $(cat w.err)"
stop_nodes w
has w.err 'process quits on the QUIT signal' || fail "the daemon did not go on"
echo "fleet: ok"

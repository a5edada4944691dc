#!/usr/bin/env bash
# monfeed replays the example traffic while a second monfeed watches as the
# alarm reader; then scripts from standard input and scripts with errors.
# Every run must leave neither the table nor its semaphores behind.
. "${0%/*}/harness.sh" "$@"
sems() { ipcs -s | awk '$2 ~ /^[0-9]+$/ { print $2 }' | sort; } && before=$(sems)
gone() {  # WHAT: the feeder stopped (when running) and the table removed
  if [ -n "$FEEDER" ]; then kill -TERM "$FEEDER"; reap "$FEEDER"; FEEDER=; [ "$status" -eq 0 ] || fail "$1: exit $status"; fi
  [ ! -e /tmp/mon.mmap ] && [ ! -e /tmp/mon.free.mutex ] && [ ! -e /tmp/mon.hash.mutex ] && [ "$(sems)" = "$before" ] ||
    fail "$1: the table or its semaphores are left"
}
mask() { sed -E "s/^<$FEEDER,/<P,/"'; s/ (start|cur|end|read)=[0-9]{6,}/ \1=T/g' "$@" | sort; }
cp "$SRC/examples/traffic.feed" t.feed && feed t
"$MF" --watch >watch.txt 2>&1 & watcher=$!
within 60 has t.feed.txt "script done" || fail "feed stuck"
timeout 10 "$MF" --dump >d.txt && mask d.txt >dump.txt || fail "dump failed"
kill -TERM $watcher; reap $watcher
[ "$status" -eq 0 ] || fail "the watcher exited $status"
same dump.txt <<'EOF'
<P,1> ended start=T cur=T end=T read=T alarm=0 in=48213 out=2210 cmd=connect err=0 auth=2 src=192.168.10.21:51514 srchost=ws-alice.example.net proxy=192.168.10.1:1080 proxyhost=gw.example.net dst=93.184.216.34:443 dsthost=www.example.com user=alice app=browser chg=- msg=
<P,2> ended start=T cur=T end=T read=T alarm=1 in=312 out=96 cmd=udp err=0 auth=2 src=192.168.10.34:40022 srchost=ws-bob.example.net proxy=0.0.0.0:0 proxyhost= dst=192.168.1.53:53 dsthost=ns1.example.net user=bob app=resolver chg=- msg=
<P,3> ended start=T cur=T end=T read=T alarm=2 in=1048576 out=0 cmd=bind err=0 auth=2 src=192.168.10.57:40100 srchost=ws-carol.example.net proxy=0.0.0.0:0 proxyhost= dst=203.0.113.5:20 dsthost=ftp.example.org user=carol app=ftp chg=- msg=
<P,4> ended start=T cur=T end=T read=T alarm=3 in=0 out=0 cmd=connect err=5 auth=2 src=192.168.10.80:49211 srchost=ws-dave.example.net proxy=0.0.0.0:0 proxyhost= dst=198.51.100.7:25 dsthost=mx.example.org user=dave app=mail chg=- msg=connection refused
<P,5> active start=T cur=T end=0 read=T alarm=4 in=2048 out=7340032 cmd=connect err=0 auth=2 src=192.168.10.5:33000 srchost=nas.example.net proxy=0.0.0.0:0 proxyhost= dst=203.0.113.80:22 dsthost=backup.example.org user=backup app=nightly-backup-2 chg=- msg=
EOF
# Its last line of each key is what the dump shows.
tac watch.txt | sort -u -t' ' -k1,1 | sed 's/ chg=[^ ]*/ chg=-/' | mask | same dump.txt
gone replay
! timeout 10 "$MF" --dump >/dev/null 2>&1 || fail "a dump without a table succeeded"
printf '%s\n' 'start 1,7 user="a b" src=10.0.0.1:1080 time=1000' 'update 1,7 in=5 app=x time=1010' 'update 1,7 out=6' |
  "$MF" - >s.feed.txt 2>&1 & FEEDER=$!
within 10 has s.feed.txt "script done" || fail "stdin script stuck"
timeout 10 "$MF" --dump >d.txt && mask d.txt >dump.txt
same dump.txt <<'EOF'
<1,7> active start=1000 cur=T end=0 read=0 alarm=0 in=5 out=6 cmd=0 err=0 auth=0 src=10.0.0.1:1080 srchost= proxy=0.0.0.0:0 proxyhost= dst=0.0.0.0:0 dsthost= user=a b app=x chg=- msg=
EOF
gone "stdin script"
# -z: a table for that many open sessions, which a reader maps whole; too many is refused.
printf 'start 1 user=z\n' | "$MF" -z 4096 - >z.feed.txt 2>&1 & FEEDER=$!
within 10 has z.feed.txt "script done" || fail "-z: no table"
size=$(od -An -t u4 -j 4 -N 4 /tmp/mon.mmap | tr -d ' ')
[ "$size" -gt 3000000 ] && [ "$(stat -c %s /tmp/mon.mmap)" = $((size + 1024)) ] &&
  timeout 10 "$MF" --dump | grep -q ' user=z ' || fail "-z 4096: table of $size bytes"
gone "-z 4096"
s=0 && "$MF" -z 1000000 - </dev/null 2>z.err || s=$?
[ $s -eq 1 ] && has z.err '^monfeed: -z 1000000: ' || fail "-z 1000000: exit $s"
gone "-z 1000000"
while IFS='|' read -r script want; do
  printf '%b' "$script" >bad.feed
  s=0 && timeout 10 "$MF" bad.feed >/dev/null 2>bad.err || s=$?
  [ $s -eq 1 ] && has bad.err "^monfeed: bad.feed:$want$" || fail "\"$script\": exit $s"
  gone "$script"
done <<'EOF'
# c\n\nfrobnicate 1\n|3: unknown word "frobnicate"
start 1\nupdate 2 in=1\n|2: .*no connection.*
wait-reader 0.2\n|1: .*timed out.*
EOF

#!/usr/bin/env bash
# The same answers from either history store: the example traffic and a few
# thousand generated records through twcheck, once on the ndbm files and
# once on a private Redis server, the outputs compared whole (every
# aggregate value and every command); a daemon's files copied into the
# server and back by twhistory.
. "${0%/*}/harness.sh" "$@"
REDIS=$SRC/tests/redis_env.sh
mkdir r && { "$REDIS" start "$WORK/r" || exit $?; }
trap '"$REDIS" stop "$WORK/r"; rm -rf "$WORK"' EXIT
export TMPDIR=$WORK
URL=unix:$WORK/r/redis.sock

# Connections of 40 users from 8 hosts over three hours of script time:
# failures, bytes re-reported (the same connection counted once, with its
# latest report), traffic beyond 2^32, ends; the windows and keep times cut.
awk 'BEGIN {
  srand(7); t = 1800000000
  for (i = 1; i <= 3000; i++) {
    t += int(rand() * 8); u = "u" int(rand() * 40); h = "10.9.0." int(rand() * 8)
    k = "7," i
    printf "start %s user=%s src=%s:4000 time=%d\n", k, u, h, t
    if (rand() < 0.2) { printf "error %s code=%d time=%d\n", k, 1 + int(rand() * 9), t; printf "end %s time=%d\n", k, t; continue }
    big = rand() < 0.05 ? 4294967295 : int(rand() * 100000)
    printf "update %s cmd=connect dst=10.8.0.%d:%d in=%d out=%d time=%d\n", k, int(rand() * 4), rand() < 0.5 ? 80 : 443, big, big, t
    if (rand() < 0.5) printf "update %s in=%d out=%d time=%d\n", k, big + 1000, 77, t + 2
    printf "end %s time=%d\n", k, t + 3
  } }' >gen.feed
cat >gen.conf <<'R'
alert_time = 1800
WHEN (FAIL[usr] > 2 | FAIL[src, err] > 3) EXEC
  echo fail usr src err FAIL[usr] FAIL[src, err] END
WHEN (IN[usr] > 300000 | OUT[src] > 500000) EXEC
  echo bytes usr IN[usr] OUT[src] END
WHEN (TRAFFIC[usr] > 5000000000) EXEC
  echo traffic usr TRAFFIC[usr] END
WHEN (ACCESS[src, dst] > 20 | ACCESS[usr] > 12) EXEC
  echo access src dst usr ACCESS[src, dst] ACCESS[usr] END
R
norm() { if [ "$n" = gen ]; then cp "$1" "$1.cmp"; else sed -E "s/\b$pid\b/PID/g" "$1" >"$1.cmp"; fi; }
for f in gen:gen "$SRC/examples/traffic:$SRC/examples/tollwatch"; do
  feed=${f%%:*}.feed conf=${f#*:}.conf n=${feed##*/} n=${n%.feed}
  # twcheck's own process id serves keys that name none (the example's):
  # it is made the same.
  "$TC" -r "$feed" "$conf" >"$n.files" 2>&1 & pid=$!
  wait $pid || fail "$n: twcheck on the files"
  norm "$n.files"
  "$TC" -D "$URL" -k "diff-$n:" -r "$feed" "$conf" >"$n.server" 2>&1 & pid=$!
  wait $pid || fail "$n: twcheck on the server"
  norm "$n.server"
  cmp -s "$n.files.cmp" "$n.server.cmp" || fail "$n: $(diff "$n.files.cmp" "$n.server.cmp" | head -5)"
  [ "$(grep -c '' "$n.files")" -gt 10 ] || fail "$n: too little output"
done
for a in fail bytes traffic access; do grep -Eq "^would run: +echo $a " gen.files || fail "$a never fired"; done

# twhistory copies a daemon's files into the server and back, unchanged.
printf 'WHEN (FAIL[usr] >= 3 | TRAFFIC[usr] > 10) EXEC\n  true END\n' >h.conf
{ echo wait-reader
  for i in 1 2 3 4; do printf '%s\n' "start $i user=eve src=10.1.1.1:4000" "end $i" "error $i code=5"; done
  printf '%s\n' "start 9 user=bob src=10.1.1.2:4000" "update 9 cmd=connect dst=10.2.2.2:80 in=500 out=20" "end 9" wait-drained
} >h.feed
run h -l -d hist
"$TH" hist >files.list && [ "$(grep -c '' files.list)" = 2 ] || fail "files: $(cat files.list)"
"$TH" -D "$URL" -k copy: --import hist >/dev/null && "$TH" -D "$URL" -k copy: | same files.list
"$TH" -D "$URL" -k copy: --export back >/dev/null && "$TH" back | same files.list
echo "stores agree"

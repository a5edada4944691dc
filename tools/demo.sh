#!/bin/sh
# The daemon in the foreground on examples/tollwatch.conf while monfeed
# replays examples/traffic.feed: every command that an alarm runs is logged
# on the terminal.  Then twcheck's dry run of the same rules and traffic.  Run through tests/nsrun.sh (make demo), so the table,
# the parsed rules and the history files vanish with it.
#
# usage: demo.sh BIN_DIR EXAMPLES_DIR
set -e
bin=$1 examples=$2 feeder= daemon=
work=$(mktemp -d)
trap 'kill $feeder $daemon 2>/dev/null || true; rm -rf "$work"' EXIT
PATH=$bin:$PATH
cp "$examples/tollwatch.conf" "$work/"
cd "$work"
# wait_for FILE TEXT: up to 60 s, while the daemon (once started) lives.
wait_for() {
  n=600
  until grep -q "$2" "$1"; do
    n=$((n - 1))
    if [ $n -eq 0 ] || { [ -n "$daemon" ] && ! kill -0 $daemon 2>/dev/null; }; then
      echo "demo: gave up waiting for \"$2\"" >&2
      cat feed.out >&2
      exit 1
    fi
    sleep 0.1
  done
}
echo "demo: monfeed replays examples/traffic.feed;" \
     "tollwatch -f -i examples/tollwatch.conf logs the commands it runs"
monfeed "$examples/traffic.feed" >feed.out 2>&1 &
feeder=$!
wait_for feed.out "table created"
tollwatch -f -i tollwatch.conf &
daemon=$!
wait_for feed.out "script done"
kill -QUIT $daemon
wait $daemon
daemon=
kill -TERM $feeder
wait $feeder
feeder=
echo "demo: twcheck -r examples/traffic.feed examples/tollwatch.conf:" \
     "the same rules on the same traffic, offline; only the commands shown"
twcheck -r "$examples/traffic.feed" tollwatch.conf 2>/dev/null |
  grep -E '^(would run|suppressed|summary):'
echo "demo: done"

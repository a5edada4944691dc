#!/usr/bin/env bash
# bench/rawwriter.py, the load writer that shares no code with the table
# library, makes tables the daemon reads: every end it writes fires the
# alarm once, in the default table and in a larger one (a chain of arena
# blocks) with more connections open than the default holds; and it
# removes the table and its semaphores when it ends.
. "${0%/*}/harness.sh" "$@"
command -v python3 >/dev/null || exit 77
sems() { ipcs -s | awk '$2 ~ /^[0-9]+$/ { print $2 }' | sort; } && before=$(sems)
printf 'react_time = 0\nout = %s/ends.txt\nWHEN (app == 9)\nEXEC\necho usr >>$out\nEND\n' "$WORK" >e.conf
seen() { [ "$(sort -u ends.txt 2>/dev/null | wc -l)" -ge 250 ]; }
for flags in "-k 10" "-k 60 -z 1000"; do
  rm -f ends.txt
  # shellcheck disable=SC2086
  python3 "$SRC/bench/rawwriter.py" $flags -r 250 -s 1 -o gen.log >gen.txt 2>&1 & FEEDER=$!
  within 10 has gen.txt "table created" || fail "$flags: no table"
  daemon e
  within 20 has gen.txt "holding table" || fail "$flags: the writer is stuck"
  has gen.txt "started 250, failed starts 0, ended 250, failed ends 0," || fail "$flags: writer"
  within 10 seen || fail "$flags: $(sort -u ends.txt | wc -l) ends seen of 250"
  cut -d' ' -f1 gen.log | sort | diff - <(sort ends.txt) >&2 || fail "$flags: ends differ"
  ! has e.err "bad (slot|table header)" || fail "$flags: the daemon found a bad table"
  finish
  [ ! -e /tmp/mon.mmap ] && [ ! -e /tmp/mon.hash.mutex ] && [ "$(sems)" = "$before" ] ||
    fail "$flags: the table or its semaphores are left"
done

#!/usr/bin/env bash
# -M: the metrics file in the Prometheus text format: well formed, its
# counters those of the status line, each alarm's counts those of the
# commands it ran, replaced whole (never seen empty or cut short), 0644.
. "$(dirname "$0")/harness.sh" "$@"
command -v promtool >/dev/null || { echo "no promtool: skipped"; exit 77; }

# Alarm a (lines 2-4) fires for m1-m3, alarm b (5-7) for m1; the update of
# m1 fires both again within react_time: repeats, suppressed.  A thousand
# connections that fire nothing follow, as load.
{ echo "react_time = 600"; printf 'WHEN (usr == m*) EXEC\necho usr >>a.txt\nEND\n'
  printf 'WHEN (usr == m1) EXEC\necho usr >>b.txt\nEND\n'; last metrics; } >metrics.conf
{ echo "wait-reader 30"; conn 1 m1 443; conn 2 m2 443; conn 3 m3 443
  printf '%s\n' "wait-drained 30" "update 1 in=100" "wait-drained 30"
  for ((i = 10; i < 1010; i++)); do conn $i "load$i" 80 && echo "end $i"; [ $((i % 20)) -ne 0 ] || echo "wait-drained 30"; done
  echo "wait-drained 30"; conn 4 sentinel 443; } >metrics.feed
start metrics -M metrics.prom
# Every read of the file while the daemon runs sees all of it.
(while :; do [ ! -e metrics.prom ] || [ "$(grep -c '^# TYPE' metrics.prom)" = 23 ] || echo partial >>torn.txt; done) &
READER=$!
within 30 has metrics.done done || fail "the last alarm did not run"
for f in taken checked invalid fired run suppressed unsuccessful dropped; do echo "$f $(status_of metrics $f)"; done >status.txt
finish
kill "$READER" && wait "$READER" 2>/dev/null || true
[ ! -e torn.txt ] || fail "the metrics file was seen cut short"
[ "$(stat -c %a metrics.prom)" = 644 ] && [ -z "$(ls -A | grep '^\.tmp')" ] || fail "mode not 0644, or a temporary file left"
promtool check metrics <metrics.prom >promtool.txt 2>&1 || fail "promtool: $(cat promtool.txt)"
val() { awk -v m="$1" '$1 == m { print $2 }' metrics.prom; }  # METRIC{LABELS}
while read -r f n; do
  m=tollwatch_records_${f}_total
  case $f in fired) m=tollwatch_alarms_fired_total ;; run | suppressed | unsuccessful | dropped) m=tollwatch_commands_${f}_total ;; esac
  [ "$(val $m)" = "$n" ] || fail "$m is $(val $m), the status line says $n"
done <status.txt
# Per alarm: the commands run are the lines written, the repeats one each.
same <(for r in 2-4 5-7 8-10; do echo "$(val "tollwatch_alarm_commands_run_total{rule=\"$r\"}") $(val "tollwatch_alarm_commands_suppressed_total{rule=\"$r\"}")"; done) <<EOF2
$(wc -l <a.txt) 1
$(wc -l <b.txt) 1
1 0
EOF2
[ "$(wc -l <a.txt)" = 3 ] && [ "$(wc -l <b.txt)" = 1 ] || fail "not 3 and 1 commands run"
fired=$(awk '/^tollwatch_alarm_fired_total/ { s += $2 } END { print s }' metrics.prom)
[ "$fired" = "$(val tollwatch_alarms_fired_total)" ] || fail "the alarms' fired add up to $fired"
[ "$(val tollwatch_table_attached)" = 1 ] && [ "$(val tollwatch_history_keys)" -ge 0 ] &&
  [ "$(val tollwatch_history_file_bytes)" -gt 0 ] || fail "attached, history keys or bytes wrong"
echo "metrics test passed"

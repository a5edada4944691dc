#!/usr/bin/env bash
# Prometheus: twbridge -M writes a metrics file that promtool accepts, with
# the counts its status line gives; the example alerting rules load.  The
# test shows as skipped without promtool, its own checks done.
. "${0%/*}/harness.sh" "$@"
[ -n "${TB-}" ] || fail "twbridge was not given"
"$TB" -f -b -w 0 -M bridge.prom "$SRC/tests/data/dante-1.4.log" >bridge.out 2>bridge.err ||
  fail "twbridge -b exited $?"
field() { grep '^status: ' bridge.err | tail -n 1 | tr ' ' '\n' | sed -n "s/^$1=//p"; }
metric() { sed -n "s/^$1 //p" bridge.prom; }
for pair in lines:lines_read_total sessions:sessions_written_total unparsed:lines_unparsed_total \
    dropped:sessions_dropped_total evicted:sessions_evicted_total open:sessions_open held:sessions_held; do
  want=$(field "${pair%%:*}") got=$(metric "twbridge_${pair#*:}")
  [ -n "$want" ] && [ "$want" = "$got" ] || fail "twbridge_${pair#*:} is '$got', the status line says '$want'"
done
[ "$(field lines)" -gt 0 ] && [ "$(metric twbridge_seconds_behind_log)" = 0 ] &&
  has bridge.prom '^twbridge_build_info\{version="[^"]+"\} 1$' || fail "bridge.prom: $(cat bridge.prom)"
command -v promtool >/dev/null || { echo "no promtool: its checks skipped" >&2; exit 77; }
promtool check metrics <bridge.prom >check.out 2>&1 || fail "promtool: $(cat check.out)"
promtool check rules "$SRC/dist/tollwatch.rules.yml" >rules.out 2>&1 || fail "promtool: $(cat rules.out)"

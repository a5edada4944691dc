#!/usr/bin/env bash
# Every rule example of tollwatch.conf(5) is loaded by the daemon as it
# stands.  A block after the comment "example: load" must pass twparser and
# load completely, which the daemon shows by going on to attach to the
# table (there is none in the private /tmp, so it stops at that step).  A
# block after "example: refused TEXT" must stop before, with TEXT in the
# message.
# usage: manual_examples_test.sh TOLLWATCH TWPARSER MONFEED SOURCE_DIR
set -euo pipefail

TOLLWATCH=$1 TWPARSER=$2 SRCDIR=$4
PATH=$(dirname "$TWPARSER"):$PATH
MANUAL=$SRCDIR/doc/tollwatch.conf.5
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
LOADED="monitor mmap open error"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Writes each marked block as WORK/N.conf, with its expectation in N.want
# ("load" or "refused TEXT"), undoing the manual's escapes.
awk -v dir="$WORK" '
  /^\.\\" example: / { want = substr($0, 14); next }
  want != "" && /^\.EX$/ { n++; f = dir "/" n ".conf"; print want > (dir "/" n ".want"); printf "" > f; next }
  want != "" && /^\.EE$/ { close(f); want = ""; f = ""; next }
  f != "" {
    gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\\(dq/, "\""); gsub(/\\&/, "")
    gsub(/\\e/, "\\")
    print > f
  }' "$MANUAL"

cd "$WORK"
count=0
for conf in *.conf; do
  n=${conf%.conf}
  want=$(cat "$n.want")
  rc=0
  "$TOLLWATCH" -f -i "$conf" >"$n.out" 2>&1 || rc=$?
  [ "$rc" -eq 1 ] || fail "example $n: exit $rc"
  case $want in
  load)
    "$TWPARSER" "$conf" "$n.check" >/dev/null 2>&1 || fail "example $n: twparser refused it"
    grep -qxF "$LOADED" "$n.out" || { cat "$conf" "$n.out" >&2; fail "example $n did not load"; }
    ;;
  refused\ *)
    text=${want#refused }
    ! grep -qxF "$LOADED" "$n.out" || fail "example $n loaded"
    grep -qF -- "$text" "$n.out" || { cat "$conf" "$n.out" >&2; fail "example $n: no \"$text\""; }
    ;;
  *) fail "example $n: unknown mark: $want" ;;
  esac
  count=$((count + 1))
done
[ "$count" -ge 10 ] || fail "only $count examples found"
echo "manual examples test passed: $count examples"

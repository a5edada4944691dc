#!/bin/bash
# Mutation check: plants the faults of a list one at a time in a scratch copy
# of the tree and runs each fault's tests to see whether one of them fails.
# Usage: nice -n 19 tests/mutate.sh [-k] [-d DIR] [-f LIST] [-t SECS] [-n] [ID...]
#   -d DIR  scratch copy, made when missing and kept (default: a new one under
#           /var/tmp, removed after with no -k; never /tmp, which tests hide)
#   -f LIST the faults (tests/mutants.txt); -t SECS time for one fault's tests
#   -n      no check first that every test passes on the unchanged copy
#   ID...   only these faults, in this order
# A LIST line is "id | file | ctest -R selection or all | text occurring once
# in the file | its replacement". Prints "ID caught by TEST", "ID missed",
# "ID broken-build" or "ID bad-entry" per fault, then a summary.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
list=$top/tests/mutants.txt scratch= keep=0 limit=300 sanity=1
while getopts kd:f:t:n opt; do
  case $opt in
  k) keep=1 ;; d) scratch=$OPTARG keep=1 ;; f) list=$OPTARG ;;
  t) limit=$OPTARG ;; n) sanity=0 ;;
  *) sed -n '4,9s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ -r "$list" ] || { echo "mutate: cannot read $list" >&2; exit 2; }
jobs=${JOBS:-2}
[ -n "$scratch" ] || scratch=$(mktemp -d /var/tmp/tw-mutate.XXXXXX) || exit 2
case $scratch in /*) ;; *) scratch=$PWD/$scratch ;; esac
case $scratch/ in "$top"/*|/tmp/*)
  echo "mutate: the scratch copy cannot be in the tree or under /tmp" >&2
  exit 2 ;;
esac

current=
cleanup() {
  [ -z "$current" ] || { cp "$current.orig" "$current"; rm -f "$current.orig"; }
  [ "$keep" = 1 ] || rm -rf "$scratch"
}
trap cleanup EXIT
trap '[ -z "${start:-}" ] || summary interrupted; exit 130' INT TERM
build() { cmake --build "$scratch/build" -j"$jobs" >"$scratch/build.log" 2>&1; }

if [ ! -d "$scratch/build" ]; then
  echo "mutate: copying the tree (tracked files, edits included) to $scratch" >&2
  mkdir -p "$scratch" &&
    (cd "$top" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$scratch" &&
    cmake -S "$scratch" -B "$scratch/build" -DTW_WERROR=ON -DTW_BENCH=OFF \
      >"$scratch/build.log" 2>&1 || { echo "mutate: cannot configure" >&2; exit 2; }
fi
build || { echo "mutate: the unchanged copy does not build" \
  "(see $scratch/build.log)" >&2; keep=1; exit 2; }

# Replaces the one occurrence of $2 in file $1 by $3; fails unless $2
# occurs exactly once.
plant() {
  local text before after
  text=$(cat "$1"; echo x)
  text=${text%x}
  after=${text#*"$2"}
  [ "$after" != "$text" ] || return 1
  case $after in *"$2"*) return 1 ;; esac
  before=${text%%"$2"*}
  printf '%s%s%s' "$before" "$3" "$after" >"$1"
}

# Runs the selected tests; prints the first failed test's name, "timeout",
# or "no-tests" when the selection names none.
run_tests() {
  local sel=() out
  [ "$1" = all ] || sel=(-R "$1")
  out=$(cd "$scratch/build" && timeout -k 10 "$limit" ctest -j"$jobs" \
    --stop-on-failure --output-on-failure "${sel[@]}" 2>&1)
  case $? in
  0) case $out in *"No tests were found"*) echo no-tests ;; esac; return 0 ;;
  124|137) echo timeout ;;
  *) printf '%s\n' "$out" |
       sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' | head -1 ;;
  esac
  return 1
}

[ "$sanity" = 0 ] || who=$(run_tests all) ||
  { echo "mutate: ${who:-a test} fails on the unchanged copy" >&2; exit 2; }

total=0 caught=0 missed=0 broken=0 bad=0 missed_ids=
start=$(date +%s)
summary() {  # [WHY the run ended early]
  echo "summary${1:+ ($1)}: $total faults, $caught caught, $missed missed," \
    "$broken broken-build, $bad bad-entry, $(($(date +%s) - start))s"
  [ -z "$missed_ids" ] || echo "missed:$missed_ids"
}
# Every entry in list order, or those named, in the order named.
entries=()
if [ $# -eq 0 ]; then
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in ''|'#'*) ;; *) entries+=("$line") ;; esac
  done <"$list"
fi
for want in "$@"; do
  line=$(awk -v id="$want" 'index($0, id " | ") == 1 { print; exit }' "$list")
  [ -n "$line" ] && entries+=("$line") || echo "mutate: no fault $want" >&2
done

for line in "${entries[@]+"${entries[@]}"}"; do
  id=${line%% | *} rest=${line#* | }
  file=${rest%% | *} rest=${rest#* | }
  sel=${rest%% | *} rest=${rest#* | }
  from=${rest%% | *} to=${rest#* | }
  total=$((total + 1)) t0=$(date +%s) path=$scratch/$file
  if [ ! -f "$path" ] || ! cp -p "$path" "$path.orig"; then
    echo "$id bad-entry (no file $file)"; bad=$((bad + 1)); continue
  fi
  current=$path
  if ! plant "$path" "$from" "$to"; then
    result="bad-entry (text not found exactly once)"; bad=$((bad + 1))
  elif ! build; then
    result=broken-build; broken=$((broken + 1))
  elif who=$(run_tests "$sel"); then
    if [ "$who" = no-tests ]; then
      result="bad-entry (no test matches $sel)"; bad=$((bad + 1))
    else
      result=missed; missed=$((missed + 1)) missed_ids="$missed_ids $id"
    fi
  else
    result="caught by ${who:-?}"; caught=$((caught + 1))
  fi
  # Back to the original text; after a build, newer than the mutant's
  # objects so the next build compiles it again.
  cp -p "$path.orig" "$path" && rm -f "$path.orig"
  case $result in bad-entry*) ;; *) touch "$path" ;; esac
  current=
  echo "$id $result ($(($(date +%s) - t0))s)"
done
build || echo "mutate: the restored copy does not build" >&2
summary

#!/usr/bin/env bash
# Every rule example of tollwatch.conf(5) after the mark "example: load"
# passes twparser and loads (the daemon then stops at the missing table);
# one after "example: refused TEXT" stops before, with TEXT in the message.
. "${0%/*}/harness.sh" "$@"
awk '/^\.\\" example: / { want = substr($0, 14); next }
  want != "" && /^\.EX$/ { f = ++n ".conf"; print want >(n ".want"); printf "" >f; next }
  want != "" && /^\.EE$/ { close(f); want = f = ""; next }
  f != "" { gsub(/\\-/, "-"); gsub(/\\\(aq/, "\047"); gsub(/\\\(dq/, "\""); gsub(/\\&/, ""); gsub(/\\e/, "\\"); print >f }
' "$SRC/doc/tollwatch.conf.5"
n=0
for conf in *.conf; do
  s=0 && "$TW" -f -i "$conf" >"$conf.txt" 2>&1 || s=$?
  want=$(cat "${conf%conf}want") loaded=0
  [ "$(tail -n 1 "$conf.txt")" != "monitor mmap open error" ] || loaded=1
  case $s:$loaded:$want in
  1:1:load) twparser "$conf" p >/dev/null 2>&1 || fail "twparser refused $conf" ;;
  1:0:refused\ *) grep -qF -- "${want#refused }" "$conf.txt" || fail "$conf: no \"${want#refused }\"" ;;
  *) fail "$conf: exit $s, loaded $loaded, wanted $want" ;;
  esac
  n=$((n + 1))
done
[ "$n" -ge 10 ] || fail "only $n examples"

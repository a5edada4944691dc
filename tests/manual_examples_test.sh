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
for conf in *.conf; do
  s=0 && "$TW" -f -i "$conf" >"$conf.txt" 2>&1 || s=$?
  want=$(cat "${conf%conf}want") && [ "$s" = 1 ] || fail "$conf: exit $s"
  if [ "$want" = load ]; then
    [ "$(tail -n 1 "$conf.txt")" = "monitor mmap open error" ] && twparser "$conf" p >/dev/null 2>&1 || fail "$conf did not load"
  else
    [ "$(tail -n 1 "$conf.txt")" != "monitor mmap open error" ] && grep -qF -- "${want#refused }" "$conf.txt" ||
      fail "$conf: not refused with \"${want#refused }\""
  fi
done
[ "$(ls *.conf | wc -l)" -ge 14 ] || fail "examples missing"

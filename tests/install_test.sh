#!/usr/bin/env bash
# make without the build tools points to make deps; make install with
# DESTDIR puts every file in place, the .deb lists the
# same files under /usr, and the systemd unit passes systemd-analyze.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD=$1 SRC=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Relative to the prefix; the manual pages by what doc/ holds.
expected() {
  printf '%s\n' sbin/tollwatch sbin/twparser sbin/twcheck bin/monfeed bin/twhistory \
    share/doc/tollwatch/tollwatch.conf lib/systemd/system/tollwatch.service \
    include/tollwatch/monMmap.h include/tollwatch/monTypes.h \
    lib/libtwmonitor.a lib/libtwmonitor.so lib/pkgconfig/twmonitor.pc
  for page in "$SRC"/doc/*.[158]; do
    printf 'share/man/man%s/%s\n' "${page##*.}" "${page##*/}"
  done
}

# Without the build tools, make says what is missing and to run make deps.
mkdir "$WORK/nopath"
st=0 && env PATH="$WORK/nopath" "$(command -v make)" -s -C "$SRC" build demo BUILD="$WORK/nobuild" \
  >"$WORK/nodeps.out" 2>&1 || st=$?
[ "$st" -ne 0 ] && grep -q "run 'make deps'" "$WORK/nodeps.out" && [ ! -e "$WORK/nobuild" ] ||
  fail "make without the build tools: $(cat "$WORK/nodeps.out")"

make -s -C "$SRC" install BUILD="$BUILD" PREFIX=/opt/tw DESTDIR="$WORK/root" >"$WORK/install.out" ||
  fail "make install: $(tail -n 5 "$WORK/install.out")"
while read -r f; do
  [ -e "$WORK/root/opt/tw/$f" ] || fail "make install left out $f"
done < <(expected)
[ -x "$WORK/root/opt/tw/sbin/tollwatch" ] || fail "tollwatch not executable"
grep -qx 'ExecStart=/opt/tw/sbin/tollwatch -f -S .*' \
  "$WORK/root/opt/tw/lib/systemd/system/tollwatch.service" || fail "unit does not name the prefix"
grep -qx 'libdir=/opt/tw/lib' "$WORK/root/opt/tw/lib/pkgconfig/twmonitor.pc" ||
  fail "pkg-config file does not name the prefix"
PATH="$WORK/root/opt/tw/sbin:$PATH" tollwatch -n -i "$WORK/root/opt/tw/share/doc/tollwatch/tollwatch.conf" \
  -P "$WORK/example.parsed" >"$WORK/n.out" 2>&1 && grep -qx 'configuration OK' "$WORK/n.out" ||
  fail "installed example rules do not check: $(cat "$WORK/n.out")"

# A proxy builds against the installed library through pkg-config.
if command -v pkg-config >/dev/null; then
  printf '#include <monMmap.h>\nint main(void) { return Mon_MmapLiveCreator() < 0; }\n' >"$WORK/proxy.c"
  flags=$(PKG_CONFIG_SYSROOT_DIR="$WORK/root" PKG_CONFIG_LIBDIR="$WORK/root/opt/tw/lib/pkgconfig" \
    pkg-config --cflags --libs twmonitor)
  cc "$WORK/proxy.c" $flags -o "$WORK/proxy" || fail "a proxy cannot link the table library"
fi

if command -v systemd-analyze >/dev/null; then
  # An offline root: the unit, what it runs, and the stock targets.
  root=$WORK/sysroot
  DESTDIR=$root cmake --install "$BUILD" --prefix /usr/local >/dev/null
  mkdir -p "$root/bin" "$root/etc/systemd/system"
  cp /bin/kill "$root/bin/kill"
  cp /lib/systemd/system/*.target "$root/etc/systemd/system/" 2>/dev/null || true
  systemd-analyze verify --man=no --root="$root" \
    /usr/local/lib/systemd/system/tollwatch.service >"$WORK/verify.out" 2>&1 &&
    [ ! -s "$WORK/verify.out" ] || fail "systemd-analyze: $(cat "$WORK/verify.out")"
else
  echo "note: no systemd-analyze here; unit check skipped" >&2
fi

if command -v dpkg-deb >/dev/null; then
  cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/pkg" >"$WORK/cpack.out" 2>&1 ||
    fail "cpack: $(tail -n 5 "$WORK/cpack.out")"
  deb=$(ls "$WORK"/pkg/*.deb)
  dpkg-deb -c "$deb" | awk '{ print $6 }' >"$WORK/contents"
  while read -r f; do
    grep -qx "\./usr/$f" "$WORK/contents" || fail "the package lacks /usr/$f"
  done < <(expected)
else
  echo "note: no dpkg-deb here; package check skipped" >&2
fi
echo "install test passed"

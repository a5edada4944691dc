#!/usr/bin/env bash
# make without the build tools points to make deps; make install with
# DESTDIR puts every file in place for the prefix, the .deb holds the same
# files under /usr, and the systemd unit passes systemd-analyze.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD=$1 SRC=$2 W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
files() {  # PREFIX: every installed file, the manual pages by what doc/ holds
  printf "$1/%s\n" sbin/tollwatch sbin/twparser sbin/twcheck bin/monfeed bin/twhistory \
    share/doc/tollwatch/tollwatch.conf lib/systemd/system/tollwatch.service lib/libtwmonitor.a \
    include/tollwatch/monMmap.h include/tollwatch/monTypes.h lib/libtwmonitor.so lib/pkgconfig/twmonitor.pc
  for p in "$SRC"/doc/*.[158]; do echo "$1/share/man/man${p##*.}/${p##*/}"; done
}

mkdir "$W/nopath"
! env PATH="$W/nopath" "$(command -v make)" -s -C "$SRC" build BUILD="$W/nobuild" >"$W/nodeps" 2>&1 &&
  grep -q "run 'make deps'" "$W/nodeps" && [ ! -e "$W/nobuild" ] || fail "without the tools: $(cat "$W/nodeps")"

make -s -C "$SRC" install BUILD="$BUILD" PREFIX=/opt/tw DESTDIR="$W/root" >"$W/install" || fail "make install"
cd "$W/root"
ls -d $(files ./opt/tw) >/dev/null && [ -x opt/tw/sbin/tollwatch ] || fail "make install left out a file"
grep -qx 'ExecStart=/opt/tw/sbin/tollwatch -f -S .*' opt/tw/lib/systemd/system/tollwatch.service &&
  grep -qx 'libdir=/opt/tw/lib' opt/tw/lib/pkgconfig/twmonitor.pc || fail "unit or .pc without the prefix"
PATH=$PWD/opt/tw/sbin:$PATH tollwatch -n -i opt/tw/share/doc/tollwatch/tollwatch.conf -P "$W/x" 2>&1 |
  grep -qx 'configuration OK' || fail "the installed example rules do not check"
if command -v pkg-config >/dev/null; then  # a proxy builds against the library
  printf '#include <monMmap.h>\nint main(void) { return Mon_MmapLiveCreator() < 0; }\n' >"$W/proxy.c"
  cc "$W/proxy.c" $(PKG_CONFIG_SYSROOT_DIR=$PWD PKG_CONFIG_LIBDIR=$PWD/opt/tw/lib/pkgconfig \
    pkg-config --cflags --libs twmonitor) -o "$W/proxy" || fail "a proxy cannot link the library"
fi
if command -v systemd-analyze >/dev/null; then  # an offline root: the unit, what it runs, the targets
  DESTDIR=$W/sys cmake --install "$BUILD" --prefix /usr/local >/dev/null
  mkdir -p "$W/sys/bin" "$W/sys/etc/systemd/system" && cp /bin/kill "$W/sys/bin/"
  cp /lib/systemd/system/*.target "$W/sys/etc/systemd/system/" 2>/dev/null || true
  systemd-analyze verify --man=no --root="$W/sys" /usr/local/lib/systemd/system/tollwatch.service >"$W/v" 2>&1 &&
    [ ! -s "$W/v" ] || fail "systemd-analyze: $(cat "$W/v")"
fi
if command -v dpkg-deb >/dev/null; then
  cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$W/pkg" >"$W/cpack" 2>&1 || fail "cpack: $(tail -n 5 "$W/cpack")"
  dpkg-deb -c "$W"/pkg/*.deb | awk '{ print $6 }' | sort >"$W/deb"
  missing=$(files ./usr | sort | comm -23 - "$W/deb")
  [ -z "$missing" ] || fail "the package lacks $missing"
fi
echo "install test passed"

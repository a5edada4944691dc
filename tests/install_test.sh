#!/usr/bin/env bash
# make without the tools points to make deps; make install and the .deb hold
# every file for their prefix.  With "users": a proxy builds against the
# installed table library through pkg-config, and the units pass
# systemd-analyze.  A check whose tool is missing makes the run a skip
# (exit 77, the tool named), never a pass.
# usage: install_test.sh BUILD_DIR SOURCE_DIR [users]
set -euo pipefail
BUILD=$1 SRC=$2 PART=${3-} W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
lacking=
need() { command -v "$1" >/dev/null || { lacking="$lacking $1"; false; }; }  # TOOL: there, or noted
done_with() {  # WHAT: passed, or skipped for the tools noted
  [ -z "$lacking" ] || { echo "SKIPPED: no$lacking here ('make deps' installs it); $1 not checked"; exit 77; }
  echo "$1 passed"
}
files() {  # PREFIX: every installed file
  printf "$1/%s\n" sbin/tollwatch sbin/twparser sbin/twcheck sbin/twbridge bin/monfeed bin/twhistory lib/libtwmonitor.a \
    lib/libtwmonitor.so lib/pkgconfig/twmonitor.pc include/tollwatch/monMmap.h include/tollwatch/monTypes.h \
    share/doc/tollwatch/tollwatch.conf share/doc/tollwatch/tollwatch.rules.yml lib/systemd/system/tollwatch.service lib/systemd/system/twbridge.service
  for p in "$SRC"/doc/*.[158]; do echo "$1/share/man/man${p##*.}/${p##*/}"; done
}
if [ "$PART" = users ]; then
  DESTDIR=$W/root cmake --install "$BUILD" --prefix /opt/tw >/dev/null && cd "$W/root/opt/tw" || fail "cmake --install"
  printf '#include <monMmap.h>\nint main(void) { return Mon_MmapLiveCreator() < 0; }\n' >"$W/proxy.c"
  ! need pkg-config || cc "$W/proxy.c" -o "$W/proxy" $(PKG_CONFIG_SYSROOT_DIR=$W/root \
    PKG_CONFIG_LIBDIR=$PWD/lib/pkgconfig pkg-config --cflags --libs twmonitor) || fail "a proxy cannot link the library"
  if need systemd-analyze; then  # an offline root: the unit, what it runs, the targets
    DESTDIR=$W/sys cmake --install "$BUILD" --prefix /usr/local >/dev/null && mkdir -p "$W/sys/bin" "$W/sys/etc/systemd/system"
    cp /bin/kill "$W/sys/bin/" && cp /lib/systemd/system/*.target "$W/sys/etc/systemd/system/"
    systemd-analyze verify --man=no --root="$W/sys" /usr/local/lib/systemd/system/tollwatch.service \
      /usr/local/lib/systemd/system/twbridge.service >"$W/v" 2>&1 &&
      [ ! -s "$W/v" ] || fail "systemd-analyze: $(cat "$W/v")"
  fi
  done_with "the library through pkg-config and the units"
  exit 0
fi
! PATH=/nonexistent "$(command -v make)" -s -C "$SRC" build BUILD="$W/b" >"$W/nodeps" 2>&1 &&
  grep -q "run 'make deps'" "$W/nodeps" && [ ! -e "$W/b" ] || fail "without the tools: $(cat "$W/nodeps")"
make -s -C "$SRC" install BUILD="$BUILD" PREFIX=/opt/tw DESTDIR="$W/root" >"$W/install" && cd "$W/root/opt/tw" || fail "make install"
ls $(files .) >/dev/null && grep -qx 'ExecStart=/opt/tw/sbin/tollwatch -f -S .*' lib/systemd/system/tollwatch.service &&
  grep -qx 'ExecStart=/opt/tw/sbin/twbridge -s .*' lib/systemd/system/twbridge.service &&
  grep -qx 'libdir=/opt/tw/lib' lib/pkgconfig/twmonitor.pc || fail "a file left out, or without the prefix"
PATH=$PWD/sbin:$PATH tollwatch -n -i share/doc/tollwatch/tollwatch.conf -P "$W/x" | grep -qx 'configuration OK' || fail "example rules"
! need dpkg-deb || cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$W/pkg" >"$W/cpack" 2>&1 &&
  files ./usr | sort | comm -23 - <(dpkg-deb -c "$W"/pkg/*.deb | awk '{ print $6 }' | sort) >"$W/lacks" &&
  [ ! -s "$W/lacks" ] || fail "the package: $(tail -n 5 "$W/cpack" "$W/lacks")"
done_with "make install and the package"

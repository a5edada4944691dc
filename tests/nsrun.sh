#!/bin/sh
# Runs a command in its own mount and IPC namespace with a fresh /tmp, or,
# where that is not allowed, under a lock that serialises such commands.
# Arguments that lie under the old /tmp (a checkout there) stay reachable.
if unshare -m -i --propagation private true 2>/dev/null; then
  exec unshare -m -i --propagation private sh -c '
    exec 9</tmp
    mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 1
    for arg in "$@"; do
      case $arg in
      /tmp/?*)
        top=${arg#/tmp/}
        top=${top%%/*}
        [ -e "/tmp/$top" ] && continue
        mkdir "/tmp/$top" &&
          mount --no-canonicalize --bind "/proc/self/fd/9/$top" "/tmp/$top" ||
          exit 1
        ;;
      esac
    done
    exec 9<&-
    exec "$@"' nsrun "$@"
fi
echo "note: no private namespace; running serialised" >&2
exec flock /tmp/tollwatch-tests.lock "$@"

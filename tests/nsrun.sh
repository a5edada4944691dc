#!/bin/sh
# Runs a command in its own mount and IPC namespace with a fresh /tmp, or,
# where that is not allowed, under a lock that serialises such commands.
if unshare -m -i --propagation private true 2>/dev/null; then
  exec unshare -m -i --propagation private \
    sh -c 'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec "$@"' nsrun "$@"
fi
echo "note: no private namespace; running serialised" >&2
exec flock /tmp/tollwatch-tests.lock "$@"

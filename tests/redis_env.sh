#!/bin/sh
# A private redis-server for the history store's test and benchmark, on a
# Unix socket only, keeping nothing on disk unless told to:
#   redis_env.sh start DIR [SERVER OPTION...]  starts it on DIR/redis.sock
#                                              and returns once it answers
#   redis_env.sh stop DIR                      kills it (SIGKILL, as a crash
#                                              would) and waits till it is gone
# Exits 77 (a skip) when redis-server is not installed.
set -u
command -v redis-server >/dev/null 2>&1 || { echo "no redis-server" >&2; exit 77; }
cmd=$1 dir=$2
shift 2
sock=$dir/redis.sock pidfile=$dir/redis.pid

answers() {
  if command -v redis-cli >/dev/null 2>&1; then
    case $(redis-cli -s "$sock" ping 2>&1) in PONG*|NOAUTH*) return 0;; esac
    return 1
  fi
  [ -S "$sock" ]
}

case $cmd in
start)
  rm -f "$sock" "$pidfile"
  redis-server --port 0 --save '' --appendonly no --unixsocket "$sock" \
    --unixsocketperm 700 --dir "$dir" --pidfile "$pidfile" \
    --logfile "$dir/redis.log" --daemonize yes "$@" || exit 1
  for _ in $(seq 100); do
    answers && exit 0
    sleep 0.05
  done
  echo "redis-server did not answer on $sock" >&2
  exit 1 ;;
stop)
  [ -f "$pidfile" ] || exit 0
  pid=$(cat "$pidfile")
  kill -9 "$pid" 2>/dev/null
  for _ in $(seq 100); do
    # gone, or dead and not yet reaped by whoever adopted it
    case $(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null) in
    ''|Z) rm -f "$pidfile" "$sock"; exit 0 ;;
    esac
    sleep 0.05
  done
  exit 1 ;;
*)
  echo "usage: redis_env.sh start|stop DIR [SERVER OPTION...]" >&2
  exit 2 ;;
esac

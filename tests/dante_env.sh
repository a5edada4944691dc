# A Dante server of our own for the end-to-end test and the benchmark, with
# curl as its client and a small web server as the destination, all on
# loopback in namespaces of the script's own: network (only lo), mount (the
# test users' password files laid over the system's), IPC, and process ids
# (whatever still runs when the script ends dies with it).
#
# Source it first thing, before tests/harness.sh: it runs the sourcing
# script again inside the namespaces, or exits 77 (a skip) saying why they
# cannot be had.  Then, with harness.sh sourced and in the work directory:
#   dante_user NAME PASSWORD   a user danted accepts (before dante_start)
#   dante_start                danted on 127.0.0.1:$DANTE_PORT, logging to
#                              $DANTE_LOG, once it accepts clients
#   web_start                  the destination on 127.0.0.1:$WEB_PORT: GET or
#                              POST /N answers N bytes, then closes
#   dante_stop                 both end (SIGTERM) and are waited for
#   dante_rename_log SUFFIX    the log moved aside, danted told to open a new one
#   dante_pids                 danted's processes into DANTED_PIDS (to stop them)
#   socks SRC USER:PASSWORD URL [CURL OPTION...]
#                              one session through the proxy from the source
#                              address SRC (any of 127.0.0.0/8); on standard
#                              output curl's figures: bytes of the answer's
#                              head and body, of the request (head and body)
# The proxy lets every loopback client in with a user name and password,
# refuses every destination port $DANTE_BLOCKED, passes the rest, and
# resolves names itself (a numeric URL goes as an address all the same).

dante_skip() { echo "skipped: $*" >&2; exit 77; }

if [ -z "${DANTE_INSIDE-}" ]; then
  for c in danted curl python3 ip ss unshare; do
    command -v "$c" >/dev/null 2>&1 || dante_skip "$c is not installed"
  done
  command -v openssl >/dev/null 2>&1 || python3 -c 'import crypt' 2>/dev/null ||
    dante_skip "neither openssl nor python3's crypt module to make password hashes"
  [ "$(id -u)" = 0 ] || dante_skip "danted needs root to check passwords"
  unshare -m -i -n -p -f --mount-proc true 2>/dev/null ||
    dante_skip "no private network, mount and process namespaces allowed here"
  export DANTE_INSIDE=1
  exec unshare -m -i -n -p --kill-child --mount-proc --propagation private bash "$0" "$@"
fi
ip link set lo up 2>/dev/null || dante_skip "the namespace's loopback cannot be brought up"

DANTE_PORT=1080 WEB_PORT=8080 DANTE_BLOCKED=9999
DANTE_DIR= DANTE_LOG= DANTED= WEB= DANTED_PIDS=

dante_dir() {  # the server's files, in dante/ of the work directory
  [ -n "$DANTE_DIR" ] && return
  DANTE_DIR=$PWD/dante && DANTE_LOG=$DANTE_DIR/danted.log
  mkdir -p "$DANTE_DIR" && chmod 755 "$PWD" "$DANTE_DIR"  # for danted's unprivileged processes
  cp /etc/passwd "$DANTE_DIR/passwd" && cp /etc/shadow "$DANTE_DIR/shadow"
}

dante_user() {  # a system user of the namespace, its password as a SHA-512 crypt hash
  dante_dir
  local uid=$((20000 + $(wc -l <"$DANTE_DIR/passwd"))) hash
  hash=$(openssl passwd -6 "$2" 2>/dev/null ||
    python3 -c 'import crypt, sys; print(crypt.crypt(sys.argv[1], crypt.METHOD_SHA512))' "$2")
  echo "$1:x:$uid:$uid::/nonexistent:/usr/sbin/nologin" >>"$DANTE_DIR/passwd"
  echo "$1:$hash:19000:0:99999:7:::" >>"$DANTE_DIR/shadow"
}
dante_listening() { ss -Hltn "sport = :$1" | grep -q .; }  # PORT

dante_start() {
  dante_dir
  mount --bind "$DANTE_DIR/passwd" /etc/passwd &&
    mount --bind "$DANTE_DIR/shadow" /etc/shadow || dante_skip "cannot lay test users over /etc/passwd"
  cat >"$DANTE_DIR/danted.conf" <<EOF
logoutput: $DANTE_LOG
internal: 127.0.0.1 port = $DANTE_PORT
external: 127.0.0.1
socksmethod: username
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect disconnect error }
socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 port = $DANTE_BLOCKED log: connect disconnect error }
socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 log: connect disconnect error }
EOF
  danted -f "$DANTE_DIR/danted.conf" -p "$DANTE_DIR/danted.pid" >"$DANTE_DIR/danted.out" 2>&1 & DANTED=$!
  within 20 dante_listening "$DANTE_PORT" || fail "danted does not listen: $(tail -n 5 "$DANTE_DIR/danted.out")"
}

dante_pids() { DANTED_PIDS="$DANTED $(ps -o pid= --ppid "$DANTED" | tr '\n' ' ')"; }

dante_stop() {
  local p
  for p in $DANTED $WEB; do kill -TERM "$p" && reap "$p"; done
  DANTED= WEB=
}
dante_rename_log() {
  mv "$DANTE_LOG" "$DANTE_LOG$1" && kill -HUP "$DANTED"
  within 10 has "$DANTE_LOG" "config reloaded" || fail "danted made no new log after SIGHUP"
}

web_start() {
  cat >"$DANTE_DIR/web.py" <<'EOF'
import socketserver, sys
class Reply(socketserver.StreamRequestHandler):
    def handle(self):
        head = [self.rfile.readline()]
        while head[-1] not in (b'\r\n', b''):
            head.append(self.rfile.readline())
        if head[-1] == b'':
            return
        self.rfile.read(sum(int(h[15:]) for h in head if h.lower().startswith(b'content-length:')))
        n = int(head[0].split()[1].strip(b'/') or b'0')
        self.wfile.write(b'HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n' % n + b'x' * n)
class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = daemon_threads = True
    request_queue_size = 128
Server(('127.0.0.1', int(sys.argv[1])), Reply).serve_forever()
EOF
  python3 "$DANTE_DIR/web.py" "$WEB_PORT" >"$DANTE_DIR/web.out" 2>&1 & WEB=$!
  within 20 dante_listening "$WEB_PORT" || fail "the web server does not listen: $(tail -n 5 "$DANTE_DIR/web.out")"
}

socks() {  # SRC USER:PASSWORD URL [CURL OPTION...]
  curl -sS --max-time 20 --interface "$1" --socks5-hostname "127.0.0.1:$DANTE_PORT" \
    --proxy-user "$2" -H 'Expect:' -o /dev/null \
    -w '%{size_header} %{size_download} %{size_request}\n' "${@:4}" "$3"
}

#!/usr/bin/env bash
# Slow and many clients against the web proxy: a client that drips its request header one byte at
# a time is cut once the header is not whole within the session time-out, while another client is
# served; and started with the soft descriptor limit a service usually gets (1024, a hard limit
# above it), 2,000 requests at once are all served.
source "$(dirname "$0")/lib.sh"

on_exit "$T -stop; kill_engines; $T -u"
PORT=$(free_port 127.0.0.1)
OP=$(free_port 127.0.0.2)
KEY='Services\WWW Proxy server'
"$T" -i >/dev/null
"$REG" set "$KEY" ServiceType sz CWWWService >/dev/null
"$REG" set "$KEY" Name sz 'WWW Proxy server' >/dev/null
"$REG" set "$KEY" PortNumber dword "$PORT" >/dev/null
"$REG" set "$KEY" BindingOption dword 1 >/dev/null
"$REG" set "$KEY" SpecificBinding sz 127.0.0.1 >/dev/null
"$REG" set "$KEY" TimeOutSessions dword 1 >/dev/null
"$REG" set "$KEY" SessionTimeout dword 4 >/dev/null
"$REG" set Settings Version dword 513 >/dev/null
mkdir -p "$WORK/www" && echo "hello" >"$WORK/www/index.html"
python3 -m http.server "$OP" --bind 127.0.0.2 --directory "$WORK/www" >/dev/null 2>&1 &
on_exit "kill $!"
wait_for 30 port_open 127.0.0.2 "$OP" || fail "origin not up"

# The engine starts with the soft limit services usually get; it raises it to the hard one (the
# shipped unit sets 65536; here the hard limit is what this machine gives).
HARD=$(ulimit -Hn)
[ "$HARD" = unlimited ] && HARD=65536
prlimit --nofile=1024:"$HARD" "$T" -start >/dev/null
wait_for 30 engine_running || fail "engine did not start"
wait_for 30 port_open 127.0.0.1 "$PORT" || fail "proxy not listening"
limit=$(awk '/Max open files/ { print $4 }' "/proc/$(engine_pids | head -n 1)/limits")
expect_eq "the engine's soft descriptor limit is its hard one" "$limit" "$HARD"

# ---- A dripping client ---------------------------------------------------------------------------
out=$(python3 - "$PORT" "$OP" <<'PY'
import socket, subprocess, sys, time
port, origin = int(sys.argv[1]), sys.argv[2]
request = ("GET http://127.0.0.2:%s/index.html HTTP/1.0\r\nHost: 127.0.0.2\r\nX-Padding: %s\r\n\r\n"
           % (origin, "x" * 40)).encode()
s = socket.create_connection(("127.0.0.1", port))
start = time.time()
cut = None
served = False
for i, b in enumerate(request):
    try:
        s.send(bytes([b]))
    except OSError:
        cut = time.time() - start
        break
    if i == 3:
        # Meanwhile another client is served at once.
        r = subprocess.run(["curl", "-sS", "-m", "10", "-x", "http://127.0.0.1:%d" % port,
                            "http://127.0.0.2:%s/index.html" % origin], capture_output=True, text=True)
        served = r.stdout == "hello\n"
    s.settimeout(1.0)
    try:
        if s.recv(1, socket.MSG_PEEK) == b"":
            cut = time.time() - start
            break
    except socket.timeout:
        pass
    except OSError:
        cut = time.time() - start
        break
print("served" if served else "not-served", "cut" if cut is not None else "never-cut", int(cut or 0))
PY
)
read -r served cut seconds <<<"$out"
expect_eq "another client is served meanwhile" "$served" served
expect_eq "the dripping client is cut" "$cut" cut
# Long before the drip would end (a byte a second: over 100 s), whatever the machine's load.
[ "$seconds" -lt 40 ] && pass "cut within the bound ($seconds s)" || fail "cut after $seconds s"
expect_logged "the cut is logged" "Request not complete in time - terminating" "$TRELLIS_HOME"/Logs/WWW*

# ---- Many clients ----------------------------------------------------------------------------------
# 2,000 requests at once: every client connects and sends, and only then do they read their answers.
# The origin is one of the test's own with a backlog that can take them.
BIG=$(free_port 127.0.0.3)
python3 - "$BIG" >/dev/null 2>&1 <<'PY' &
import http.server, socketserver, sys
class Origin(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    request_queue_size = 4096
class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "6")
        self.end_headers()
        self.wfile.write(b"hello\n")
    def log_message(self, *args):
        pass
Origin(("127.0.0.3", int(sys.argv[1])), Hello).serve_forever()
PY
on_exit "kill $!"
wait_for 30 port_open 127.0.0.3 "$BIG" || fail "big origin not up"
out=$(python3 - "$PORT" "$BIG" <<'PY'
import resource, selectors, socket, sys, time
port, origin = int(sys.argv[1]), sys.argv[2]
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
n = 2000
request = ("GET http://127.0.0.3:%s/ HTTP/1.0\r\nHost: 127.0.0.3\r\n\r\n" % origin).encode()
clients = []
for _ in range(n):
    c = socket.create_connection(("127.0.0.1", port), 10)
    c.sendall(request)
    clients.append(c)
sel = selectors.DefaultSelector()
answers = {}
for c in clients:
    c.setblocking(False)
    sel.register(c, selectors.EVENT_READ)
    answers[c] = b""
done = 0
deadline = time.time() + 120
while done < n and time.time() < deadline:
    for key, _ in sel.select(1):
        c = key.fileobj
        try:
            data = c.recv(65536)
        except BlockingIOError:
            continue
        except OSError:
            data = b""
        if data:
            answers[c] += data
        else:
            sel.unregister(c)
            done += 1
ok = sum(1 for a in answers.values() if a.startswith(b"HTTP/1.0 200") and a.endswith(b"hello\n"))
print(ok)
PY
)
expect_eq "2,000 requests at once all served" "$out" 2000

"$T" -stop >/dev/null
wait_for 30 no_engine_process || fail "engine did not stop"
finish

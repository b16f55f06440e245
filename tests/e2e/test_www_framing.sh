#!/usr/bin/env bash
# The web proxy's request framing with raw clients and origins on loopback. A capture origin on
# 127.0.0.2 answers each request once it has read the body its header declares, then records every
# byte it received until the engine closes; a silent origin never answers. Requests whose framing
# an origin could read differently (Content-Length with Transfer-Encoding, differing or invalid
# lengths, a header name that is not a token, a broken chunk) get 400 and no origin connection; a
# body reaches the origin exactly as long as its framing says and bytes after it never do; no
# hop-by-hop header reaches the origin or the upstream proxy; an origin that never answers gives a
# 504 once the session time-out has passed; a client that goes away, before or after its request is
# whole, has its origin connection closed at once.
source "$(dirname "$0")/lib.sh"

SVC='Services\WWW Proxy server'
TIMEOUT=3  # the service's session time-out, seconds

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

P=$(free_port 127.0.0.1)
CP=$(free_port 127.0.0.2)
QP=$(free_port 127.0.0.2)
CAP="$WORK/cap"
mkdir -p "$CAP"

# ---- Origins ----------------------------------------------------------------------------------
cat >"$WORK/capture.py" <<'PY'
import socket, sys, threading
port, out = int(sys.argv[1]), sys.argv[2]
lock = threading.Lock()
count = [0]

def declared(head):
    # What a request the engine should never send says is read as no body.
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return ("length", int(value)) if value.strip().isdigit() else ("none", 0)
        if name.strip().lower() == b"transfer-encoding":
            return ("chunked", 0)
    return ("none", 0)

def handle(c, k):
    data = b""
    c.settimeout(10)
    try:
        while b"\r\n\r\n" not in data and len(data) < 1 << 20:
            b = c.recv(65536)
            if not b:
                break
            data += b
        head, _, body = data.partition(b"\r\n\r\n")
        kind, n = declared(head)
        # The body as the engine declared it; the engine's own chunked form ends in "0\r\n\r\n".
        while (kind == "length" and len(body) < n) or (kind == "chunked" and not body.endswith(b"0\r\n\r\n")):
            b = c.recv(65536)
            if not b:
                break
            data += b
            body += b
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        c.shutdown(socket.SHUT_WR)
        # Everything until the engine closes: bytes past the declared body would show here.
        while True:
            b = c.recv(65536)
            if not b:
                break
            data += b
    except OSError:
        pass
    open(f"{out}/cap-{k}", "wb").write(data)

srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.2", port))
srv.listen(16)
while True:
    c, _ = srv.accept()
    with lock:
        count[0] += 1
        k = count[0]
    open(f"{out}/accepted", "w").write(str(k))
    threading.Thread(target=handle, args=(c, k), daemon=True).start()
PY
cat >"$WORK/silent.py" <<'PY'
import socket, sys, threading, time
port, out = int(sys.argv[1]), sys.argv[2]

def handle(c):
    # Files are named by the request path's last word: "/gone" writes silent-gone.got and .end.
    got, tag = b"", None
    try:
        while True:
            b = c.recv(65536)
            if not b:
                break
            got += b
            if tag is None and got.count(b" ") >= 2:
                tag = got.split(b" ")[1].rsplit(b"/", 1)[-1].decode("ascii", "replace")
            if tag:
                open(f"{out}/silent-{tag}.got", "wb").write(got)
    except OSError:
        pass
    if not tag:
        return
    # The engine has ended its side. A socket it has closed answers more bytes with a reset; one it
    # only shut down for sending takes them (an unfinished response header, which a proxy waits on).
    state = "open"
    try:
        c.sendall(b"HTTP/1.1 200 OK\r\n")
        for _ in range(20):
            time.sleep(0.1)
            c.sendall(b"X")
    except OSError:
        state = "closed"
    open(f"{out}/silent-{tag}.end", "w").write(state)

srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.2", port))
srv.listen(16)
while True:
    c, _ = srv.accept()
    threading.Thread(target=handle, args=(c,), daemon=True).start()
PY
python3 "$WORK/capture.py" "$CP" "$CAP" &
PIDS+=($!)
python3 "$WORK/silent.py" "$QP" "$CAP" &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$CP" || fail "capture origin did not start"
wait_for 30 port_open 127.0.0.2 "$QP" || fail "silent origin did not start"
# The probes above were connections too: counts start from here.
wait_for 30 test -s "$CAP/accepted" || true

# ---- Client -------------------------------------------------------------------------------------
# client.py PORT MODE PART...: sends the parts (Python escapes), a short pause between them so the
# engine reads them apart. MODE a number: prints the status line of the answer, "closed" or "hang"
# after that many seconds. MODE "gone:FILE": goes away once FILE exists (the origin has the request).
cat >"$WORK/client.py" <<'PY'
import codecs, os, socket, sys, time
port, mode = int(sys.argv[1]), sys.argv[2]
parts = [codecs.escape_decode(p.encode())[0] for p in sys.argv[3:]]
s = socket.create_connection(("127.0.0.1", port), 5)
for i, part in enumerate(parts):
    if i:
        time.sleep(0.3)
    s.sendall(part)
if mode.startswith("gone:"):
    end = time.time() + 30
    while not os.path.exists(mode[5:]) and time.time() < end:
        time.sleep(0.05)
    s.close()
    print("gone")
    sys.exit(0)
s.settimeout(float(mode))
got = b""
try:
    while True:
        b = s.recv(65536)
        if not b:
            break
        got += b
except socket.timeout:
    print("hang")
    sys.exit(0)
except ConnectionResetError:
    pass
print(got.split(b"\r\n")[0].decode("latin-1") if got else "closed")
PY
send() { python3 "$WORK/client.py" "$P" "$@"; }
accepted() { cat "$CAP/accepted" 2>/dev/null || echo 0; }
# The bytes after the header of capture N, as a Python bytes literal.
cap_body() { python3 -c 'import sys; print(repr(open(sys.argv[1], "rb").read().partition(b"\r\n\r\n")[2]))' "$CAP/cap-$1"; }
cap_head() { tr -d '\r' <"$CAP/cap-$1" | sed '/^$/q'; }

# ---- Engine -----------------------------------------------------------------------------------
"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallWWW dword 1
"$REG" set 'Setup' WWWProxyPort dword "$P"
"$REG" set 'Setup' SecureInstall dword 0
start_engine "$P"
stop_engine
"$REG" set "$SVC" TimeOutSessions dword 1
"$REG" set "$SVC" SessionTimeout dword "$TIMEOUT"
start_engine "$P"

ORIGIN="http://127.0.0.2:$CP"
MALFORMED="HTTP/1.0 400 Malformed Request"

# ---- Framing an origin could read differently: 400, and no origin connection ---------------------
before=$(accepted)
r() { printf 'POST %s/f HTTP/1.1\\r\\nHost: x\\r\\n%s\\r\\n%s' "$ORIGIN" "$1" "$2"; }
expect_eq "Content-Length with Transfer-Encoding" \
  "$(send 30 "$(r 'Content-Length: 5\r\nTransfer-Encoding: chunked\r\n' '5\r\nhello\r\n0\r\n\r\n')")" "$MALFORMED"
expect_eq "Transfer-Encoding with Content-Length" \
  "$(send 30 "$(r 'Transfer-Encoding: chunked\r\nContent-Length: 5\r\n' 'hello')")" "$MALFORMED"
expect_eq "two differing Content-Lengths" "$(send 30 "$(r 'Content-Length: 5\r\nContent-Length: 6\r\n' 'hello!')")" \
  "$MALFORMED"
expect_eq "a Content-Length list that differs" "$(send 30 "$(r 'Content-Length: 5, 6\r\n' 'hello!')")" "$MALFORMED"
for bad in -1 abc +5 0x5 99999999999999999999999; do
  expect_eq "Content-Length $bad" "$(send 30 "$(r "Content-Length: $bad\\r\\n" 'hello')")" "$MALFORMED"
done
expect_eq "a blank before the colon" "$(send 30 "$(r 'Transfer-Encoding : chunked\r\n' '5\r\nhello\r\n0\r\n\r\n')")" \
  "$MALFORMED"
expect_eq "a control character in a name" "$(send 30 "$(r 'Content\x01Length: 5\r\n' 'hello')")" "$MALFORMED"
expect_eq "a bare CR in a header line" "$(send 30 "$(r 'X: a\rContent-Length: 5\r\n' 'hello')")" "$MALFORMED"
expect_eq "chunked in an HTTP/1.0 request" \
  "$(send 30 "POST $ORIGIN/f HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")" "$MALFORMED"
expect_eq "a coding other than chunked" "$(send 30 "$(r 'Transfer-Encoding: gzip, chunked\r\n' '5\r\nhello\r\n0\r\n\r\n')")" \
  "$MALFORMED"
expect_eq "a chunk size that is not hexadecimal" "$(send 30 "$(r 'Transfer-Encoding: chunked\r\n' 'zz\r\nhello\r\n')")" \
  "$MALFORMED"
expect_eq "no origin connection for any of them" "$(accepted)" "$before"

# ---- Bodies: exactly as long as their framing, nothing after ------------------------------------
n=$(($(accepted) + 1))
expect_eq "a body with bytes after it" \
  "$(send 30 "$(r 'Content-Length: 5\r\n' 'helloGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n')")" "HTTP/1.1 200 OK"
wait_for 30 test -e "$CAP/cap-$n" || fail "capture $n missing"
expect_eq "the origin gets exactly the body" "$(cap_body "$n")" "b'hello'"
expect_contains "the origin gets the length" "$(cap_head "$n")" "Content-Length: 5"
wait_for 30 grep -q "Client sent [0-9]* bytes after the end of its request - dropped" "$TRELLIS_HOME"/Logs/*.log \
  && pass "the dropped bytes are logged" || fail "the dropped bytes are not logged"

n=$((n + 1))
expect_eq "a body in three parts with bytes after it" \
  "$(send 30 "$(r 'Content-Length: 11\r\n' 'hel')" 'lo wo' 'rldEXTRA')" "HTTP/1.1 200 OK"
wait_for 30 test -e "$CAP/cap-$n" || fail "capture $n missing"
expect_eq "the origin gets exactly the piped body" "$(cap_body "$n")" "b'hello world'"

n=$((n + 1))
expect_eq "a chunked body with extensions, a trailer and bytes after it" \
  "$(send 30 "$(r 'Transfer-Encoding: chunked\r\nTrailer: X-T\r\n' '5;ext=1\r\nhello\r\n')" \
    '6\r\n world\r\n0\r\nX-T: 1\r\n\r\nGET /smuggled HTTP/1.1\r\n\r\n')" "HTTP/1.1 200 OK"
wait_for 30 test -e "$CAP/cap-$n" || fail "capture $n missing"
expect_eq "the origin gets the chunked body to its last chunk" "$(cap_body "$n")" \
  "b'5\\r\\nhello\\r\\n6\\r\\n world\\r\\n0\\r\\n\\r\\n'"
expect_contains "the origin gets chunked framing" "$(cap_head "$n")" "Transfer-Encoding: chunked"

n=$((n + 1))
expect_eq "a GET with bytes after its header" \
  "$(send 30 "GET $ORIGIN/g1 HTTP/1.1\r\nHost: x\r\n\r\nGET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n")" "HTTP/1.1 200 OK"
wait_for 30 test -e "$CAP/cap-$n" || fail "capture $n missing"
expect_eq "the origin gets no body for a GET" "$(cap_body "$n")" "b''"

# ---- Hop-by-hop headers stay here ---------------------------------------------------------------
HOP='Connection: keep-alive, X-Named\r\nX-Named: n\r\nKeep-Alive: 300\r\nProxy-Authorization: Basic eDp5\r\n'
HOP+='Proxy-Connection: keep-alive\r\nTE: trailers\r\nTrailer: X-T\r\nUpgrade: websocket\r\nX-Kept: k\r\n'
hop_check() {  # NAME CAPTURE
  local head
  head=$(cap_head "$2")
  for h in X-Named Keep-Alive Proxy-Authorization Proxy-Connection TE: Trailer Upgrade Transfer-Encoding; do
    expect_not_contains "$1: no $h" "$head" "$h"
  done
  expect_not_contains "$1: no keep-alive" "$head" "keep-alive"
  expect_contains "$1: other headers kept" "$head" "X-Kept: k"
  expect_contains "$1: the proxy's own Connection" "$head" "Connection: close"
}
n=$((n + 1))
expect_eq "a request with hop-by-hop headers" "$(send 30 "GET $ORIGIN/h1 HTTP/1.1\r\nHost: x\r\n$HOP\r\n")" \
  "HTTP/1.1 200 OK"
wait_for 30 test -e "$CAP/cap-$n" || fail "capture $n missing"
hop_check "to the origin" "$n"

# ---- An origin that never answers ---------------------------------------------------------------
start=$SECONDS
code=$(curl -s -o "$WORK/timeout.html" -w '%{http_code}' --max-time 30 -x "http://127.0.0.1:$P" \
  "http://127.0.0.2:$QP/never" || true)
took=$((SECONDS - start))
expect_eq "an origin that never answers: 504" "$code" "504"
expect_contains "the time-out page" "$(cat "$WORK/timeout.html")" "<TITLE>"
# Not before the time-out; a hang is curl's limit, and no 504.
[ "$took" -ge "$TIMEOUT" ] && pass "504 after the session time-out ($took s)" \
  || fail "504 after $took s with a time-out of $TIMEOUT s"
wait_for 30 grep -q "No response from the server within $TIMEOUT seconds" "$TRELLIS_HOME"/Logs/*.log \
  && pass "the time-out is logged" || fail "the time-out is not logged"

# ---- A client that goes away ----------------------------------------------------------------------
GONE="POST http://127.0.0.2:$QP/gone HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\npartial"
expect_eq "a client goes away with its body unfinished" "$(send "gone:$CAP/silent-gone.got" "$GONE")" "gone"
wait_for 30 test -e "$CAP/silent-gone.end" || fail "the silent origin's connection did not end"
expect_eq "the origin connection is closed at once" "$(cat "$CAP/silent-gone.end" 2>/dev/null)" "closed"
expect_contains "the origin got only part of the body" "$(tr -d '\r' <"$CAP/silent-gone.got")" "partial"

# ---- Clients that go away after a whole request, with session time-outs off ----------------------
# Nothing else would end these sessions: the client's end is an abort, so each origin connection
# closes at once and no client connection stays half-closed in the engine (CLOSE-WAIT).
stop_engine
"$REG" set "$SVC" TimeOutSessions dword 0
start_engine "$P"
for i in $(seq 10); do curl -s -m 2 -o /dev/null -x "http://127.0.0.1:$P" "http://127.0.0.2:$QP/whole$i" & done
ended() { ls "$CAP"/silent-whole*.end 2>/dev/null | wc -l; }
wait_for 60 eval '[ "$(ended)" -eq 10 ]' || fail "only $(ended) of 10 origin connections ended"
expect_eq "origin connections of clients gone after their request closed" "$(awk 1 "$CAP"/silent-whole*.end | sort -u)" \
  "closed"
close_wait() { ss -Htn state close-wait "( sport = :$P )"; }
wait_for 30 eval '[ -z "$(close_wait)" ]' && pass "no client connection left in CLOSE-WAIT" ||
  fail "$(close_wait | wc -l) client connections in CLOSE-WAIT"

# ---- Hop-by-hop headers and framing through the upstream proxy ---------------------------------------
# The capture origin stands in for the upstream proxy: it sees what the engine sends there.
stop_engine
"$REG" set "$SVC" ConnectMethod dword 1
"$REG" set "$SVC" ProxyServer sz 127.0.0.2
"$REG" set "$SVC" ProxyPort dword "$CP"
start_engine "$P"
n=$(($(accepted) + 1))
expect_eq "a request with hop-by-hop headers via the upstream proxy" \
  "$(send 30 "POST http://127.0.0.2:9/u1 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n${HOP}\r\nabcdef")" \
  "HTTP/1.1 200 OK"
wait_for 30 test -e "$CAP/cap-$n" || fail "capture $n missing"
expect_contains "the upstream proxy gets the absolute form" "$(cap_head "$n")" "POST http://127.0.0.2:9/u1 HTTP/1.1"
hop_check "to the upstream proxy" "$n"
expect_eq "the upstream proxy gets exactly the body" "$(cap_body "$n")" "b'abc'"
before=$(accepted)
expect_eq "Content-Length with Transfer-Encoding via the upstream proxy" \
  "$(send 30 "POST http://127.0.0.2:9/u2 HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc")" \
  "$MALFORMED"
expect_eq "no upstream connection for it" "$(accepted)" "$before"
engine_running && pass "engine still running" || fail "engine gone"

finish

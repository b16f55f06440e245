#!/usr/bin/env bash
# A real browser through the gateway: headless Chromium with the engine as its proxy loads a page
# with images and a stylesheet from a test origin over http, the same over https through the
# CONNECT tunnel (the test certificate's key is the one it is told to accept), and the gateway's
# own pages (a folder listing, an error page). A screenshot of each is saved in the test folder
# (kept with TRELLIS_KEEP_TEST_DIRS=1), and the origins' logs show that every sub-resource came
# through the proxy.
source "$(dirname "$0")/lib.sh"

command -v chromium >/dev/null || { echo "chromium missing: run scripts/setup.sh" >&2; exit 1; }
PY=/usr/bin/python3
PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"
PORT=$(free_port 127.0.0.1)
HP=$(free_port 127.0.0.2)
SP=$(free_port 127.0.0.2)
KEY='Services\WWW Proxy server'

# ---- Origins: one http, one https, logging every request ----------------------------------------
mkdir -p "$WORK/origin" "$WORK/site/docs" "$WORK/shots"
"$PY" - "$WORK/origin" <<'PYEOF'
import struct, sys, zlib
def png(path, w, h, rgb):
    raw = b"".join(b"\0" + bytes(rgb) * w for _ in range(h))
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xffffffff)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
png(sys.argv[1] + "/red.png", 120, 80, (220, 30, 30))
png(sys.argv[1] + "/blue.png", 120, 80, (30, 60, 220))
PYEOF
cat >"$WORK/origin/style.css" <<'EOF2'
body { background: #fff3c4; font-family: sans-serif; }
h1 { color: #0a6b2d; border-bottom: 4px solid #0a6b2d; }
EOF2
cat >"$WORK/origin/page.html" <<'EOF2'
<!DOCTYPE html>
<html><head><title>Origin page</title><link rel="stylesheet" href="style.css"></head>
<body><h1>Through the gateway</h1><p>Two images below come through the proxy.</p>
<img src="red.png" alt="red"> <img src="blue.png" alt="blue"></body></html>
EOF2
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/key.pem" -out "$WORK/cert.pem" -subj /CN=127.0.0.2 \
  -addext "subjectAltName=IP:127.0.0.2" -days 1 >/dev/null 2>&1
SPKI=$(openssl x509 -in "$WORK/cert.pem" -pubkey -noout | openssl pkey -pubin -outform der |
  openssl dgst -sha256 -binary | base64)
cat >"$WORK/origin.py" <<'PYEOF'
import functools, http.server, ssl, sys, threading
root, hp, sp, log, cert, key = sys.argv[1:7]
lock = threading.Lock()
class H(http.server.SimpleHTTPRequestHandler):
    def log_message(self, fmt, *args):
        with lock, open(log, "a") as f:
            f.write("%s %s %s\n" % (self.server.scheme, self.command, self.path))
def serve(port, scheme):
    s = http.server.ThreadingHTTPServer(("127.0.0.2", int(port)), functools.partial(H, directory=root))
    s.scheme = scheme
    if scheme == "https":
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        s.socket = ctx.wrap_socket(s.socket, server_side=True)
    s.serve_forever()
threading.Thread(target=serve, args=(sp, "https"), daemon=True).start()
serve(hp, "http")
PYEOF
"$PY" "$WORK/origin.py" "$WORK/origin" "$HP" "$SP" "$WORK/origin.log" "$WORK/cert.pem" "$WORK/key.pem" \
  >"$WORK/origin.err" 2>&1 &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$HP" || fail "http origin did not start"
wait_for 30 port_open 127.0.0.2 "$SP" || fail "https origin did not start"

# ---- The gateway's own folder ------------------------------------------------------------------
printf 'notes\n' >"$WORK/site/docs/notes.txt"
printf 'report\n' >"$WORK/site/docs/report <2026>.txt"
mkdir -p "$WORK/site/docs/archive"

# The icons as an installation has them in the engine's home.
cp -r "$BUILD/Resources" "$TRELLIS_HOME/"
"$T" -i >/dev/null
"$REG" set "$KEY" ServiceType sz CWWWService >/dev/null
"$REG" set "$KEY" Name sz 'WWW Proxy server' >/dev/null
"$REG" set "$KEY" PortNumber dword "$PORT" >/dev/null
"$REG" set "$KEY" BindingOption dword 1 >/dev/null
"$REG" set "$KEY" SpecificBinding sz 127.0.0.1 >/dev/null
"$REG" set "$KEY" NonProxyRequestAction dword 3 >/dev/null
"$REG" set "$KEY" ServerRoot sz "$WORK/site" >/dev/null
"$REG" set "$KEY" AllowDirectoryBrowsing dword 1 >/dev/null
"$REG" set Settings Version dword 513 >/dev/null
start_engine "$PORT"

# shot NAME URL: a screenshot of URL through the gateway.
shot() {
  # Loopback addresses go through the proxy too ("<-loopback>"); the certificate accepted is the
  # test origin's alone.
  timeout 90 chromium --headless=new --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run \
    --user-data-dir="$WORK/profile" --proxy-server="http://127.0.0.1:$PORT" --proxy-bypass-list='<-loopback>' \
    --ignore-certificate-errors-spki-list="$SPKI" --window-size=900,600 --virtual-time-budget=5000 \
    --screenshot="$WORK/shots/$1.png" "$2" >"$WORK/chromium.$1.log" 2>&1 || true
  local size
  size=$(stat -c %s "$WORK/shots/$1.png" 2>/dev/null || echo 0)
  [ "$size" -gt 2000 ] && pass "screenshot $1 ($size bytes)" || fail "no screenshot of $1"
}

shot http "http://127.0.0.2:$HP/page.html"
shot https "https://127.0.0.2:$SP/page.html"
shot listing "http://127.0.0.1:$PORT/docs/"
shot error "http://127.0.0.1:$PORT/no-such-page.html"

log=$(cat "$WORK/origin.log" 2>/dev/null || true)
for scheme in http https; do
  for r in /page.html /style.css /red.png /blue.png; do
    expect_contains "$scheme origin served $r" "$log" "$scheme GET $r"
  done
done
# The origin saw the requests come from the gateway: the engine's log names each one.
wwwlog=$(cat "$TRELLIS_HOME"/Logs/WWW*.log 2>/dev/null || true)
expect_contains "engine relayed the http page" "$wwwlog" "127.0.0.2:$HP/page.html"
expect_contains "engine relayed an http image" "$wwwlog" "127.0.0.2:$HP/red.png"
expect_contains "engine tunnelled https" "$wwwlog" "127.0.0.2:$SP"
echo "screenshots in $WORK/shots"
finish

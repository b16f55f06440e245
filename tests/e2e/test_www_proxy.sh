#!/usr/bin/env bash
# The web proxy with real clients and servers on loopback: the engine is installed with the
# first-run "Setup" values of the WWW service on a free high port; curl and wget fetch through it
# from a Python http.server on 127.0.0.2 (a page, a 50 MB body, a HEAD) byte for byte; the second
# fetch of a page comes from the disk cache, also after a restart; curl -p reaches an openssl
# s_server through the CONNECT tunnel; with tinyproxy on 127.0.0.3 as upstream proxy requests go
# through it; refusals and failures get error pages with their real status (a right that names only
# Administrator refuses a guest whether or not the service offers its own login); malformed requests
# get a page or a close and never take the engine down.
source "$(dirname "$0")/lib.sh"

SVC='Services\WWW Proxy server'

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

P=$(free_port 127.0.0.1)
OP=$(free_port 127.0.0.2)
SP=$(free_port 127.0.0.2)
TP=$(free_port 127.0.0.3)
DEAD=$(free_port 127.0.0.2)  # nothing listens there
PROXY="http://127.0.0.1:$P"
ORIGIN="http://127.0.0.2:$OP"

# ---- Peers ------------------------------------------------------------------------------------
mkdir -p "$WORK/www" "$WORK/out"
printf '<html><body>hello through the gateway</body></html>\n' >"$WORK/www/index.html"
head -c 4000 /dev/urandom >"$WORK/www/style.css"
head -c 52428800 /dev/urandom >"$WORK/www/big.bin"
python3 -u -m http.server --bind 127.0.0.2 --directory "$WORK/www" "$OP" 2>"$WORK/origin.log" >/dev/null &
PIDS+=($!)

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/key.pem" -out "$WORK/cert.pem" -subj /CN=localhost \
  -days 1 >/dev/null 2>&1
openssl s_server -accept "127.0.0.2:$SP" -cert "$WORK/cert.pem" -key "$WORK/key.pem" -www -quiet \
  >/dev/null 2>&1 </dev/null &
PIDS+=($!)

cat >"$WORK/tinyproxy.conf" <<EOF
Port $TP
Listen 127.0.0.3
Timeout 30
Allow 127.0.0.0/8
LogLevel Info
MaxClients 20
ConnectPort $SP
EOF
if [ "$(id -u)" = 0 ]; then printf 'User root\nGroup root\n' >>"$WORK/tinyproxy.conf"; fi
tinyproxy -d -c "$WORK/tinyproxy.conf" >"$WORK/tinyproxy.log" 2>&1 &
PIDS+=($!)

wait_for 30 port_open 127.0.0.2 "$OP" || fail "origin did not start"
wait_for 30 port_open 127.0.0.2 "$SP" || fail "s_server did not start"
wait_for 30 port_open 127.0.0.3 "$TP" || fail "tinyproxy did not start"

# ---- Engine -----------------------------------------------------------------------------------
"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallWWW dword 1
"$REG" set 'Setup' WWWProxyPort dword "$P"
"$REG" set 'Setup' SecureInstall dword 0
start_engine "$P"
expect_contains "service stored" "$("$REG" query "$SVC" ServiceType)" "CWWWService"

origin_hits() { grep -c "\"$1 $2 " "$WORK/origin.log" || true; }

# ---- Fetches byte for byte ------------------------------------------------------------------
curl -sS -x "$PROXY" -o "$WORK/out/index.html" "$ORIGIN/index.html" || fail "curl page"
cmp -s "$WORK/out/index.html" "$WORK/www/index.html" && pass "curl page identical" || fail "curl page differs"
http_proxy=$PROXY wget -q -O "$WORK/out/big.wget" "$ORIGIN/big.bin" || fail "wget 50 MB"
cmp -s "$WORK/out/big.wget" "$WORK/www/big.bin" && pass "wget 50 MB identical" || fail "wget 50 MB differs"
# The second 50 MB fetch is a cache hit: the stored copy must be whole too.
curl -sS -x "$PROXY" -o "$WORK/out/big.curl" "$ORIGIN/big.bin" || fail "curl 50 MB"
cmp -s "$WORK/out/big.curl" "$WORK/www/big.bin" && pass "curl 50 MB identical" || fail "curl 50 MB differs"
head=$(curl -sS -I -x "$PROXY" "$ORIGIN/big.bin" | tr -d '\r')
expect_contains "HEAD status" "$head" "HTTP/1.0 200"
expect_contains "HEAD length" "$head" "Content-Length: 52428800"
expect_contains "HEAD connection" "$head" "Connection: close"
rm -f "$WORK/out/big.wget" "$WORK/out/big.curl"

# ---- Cache ------------------------------------------------------------------------------------
curl -sS -x "$PROXY" -o "$WORK/out/s1" "$ORIGIN/style.css" || fail "first css fetch"
hits=$(origin_hits GET /style.css)
curl -sS -x "$PROXY" -D "$WORK/out/s2.h" -o "$WORK/out/s2" "$ORIGIN/style.css" || fail "second css fetch"
cmp -s "$WORK/out/s2" "$WORK/www/style.css" && pass "cached copy identical" || fail "cached copy differs"
expect_eq "second fetch: no unconditional origin hit" "$(origin_hits GET /style.css)" "$hits"
expect_contains "second fetch from the cache" "$(tr -d '\r' <"$WORK/out/s2.h")" "Server: Trellis Engine"
ls "$TRELLIS_HOME"/cache/*.tlc >/dev/null 2>&1 && pass "a .tlc file exists" || fail "no .tlc file"
[ -s "$TRELLIS_HOME/cache/cache.idx" ] && pass "cache.idx exists" || fail "no cache.idx"
code=$(curl -s -o /dev/null -w '%{http_code}' -x "$PROXY" -H 'Pragma: no-cache' "$ORIGIN/style.css")
expect_eq "Pragma: no-cache fetch" "$code" "200"
expect_eq "Pragma: no-cache reaches the origin" "$(origin_hits GET /style.css)" "$((hits + 1))"
hits=$(origin_hits GET /style.css)

stop_engine
start_engine "$P"
curl -sS -x "$PROXY" -D "$WORK/out/s3.h" -o "$WORK/out/s3" "$ORIGIN/style.css" || fail "fetch after restart"
cmp -s "$WORK/out/s3" "$WORK/www/style.css" && pass "after restart identical" || fail "after restart differs"
expect_eq "after restart: no origin hit" "$(origin_hits GET /style.css)" "$hits"
expect_contains "after restart from the cache" "$(tr -d '\r' <"$WORK/out/s3.h")" "Server: Trellis Engine"

# ---- What the origin sees: Host from the URL, Connection: close ------------------------------------
CP=$(free_port 127.0.0.2)
cat >"$WORK/capture.py" <<'PY'
import socket, sys
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.2", int(sys.argv[1])))
srv.listen(4)
while True:
    c, _ = srv.accept()
    req = b""
    while b"\r\n\r\n" not in req:
        b = c.recv(4096)
        if not b:
            break
        req += b
    open(sys.argv[2], "ab").write(req)
    # A keep-alive answer: the session must still end once the browser has it.
    c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\nSet-Cookie: a=b\r\n\r\nok")
    c.recv(1)
    c.close()
PY
python3 "$WORK/capture.py" "$CP" "$WORK/captured" &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$CP" || fail "capture origin did not start"
start=$SECONDS
resp=$(curl -sS -D - -x "$PROXY" -H 'Host: blocked.example' "http://127.0.0.2:$CP/c" | tr -d '\r')
expect_contains "keep-alive origin answered" "$resp" "ok"
expect_contains "response carries Connection: close" "$resp" "Connection: close"
expect_not_contains "origin's keep-alive not relayed" "$resp" "Connection: keep-alive"
cap=$(tr -d '\r' <"$WORK/captured")
expect_contains "Host comes from the URL" "$cap" "Host: 127.0.0.2:$CP"
expect_not_contains "client's Host replaced" "$cap" "blocked.example"
expect_contains "request carries Connection: close" "$cap" "Connection: close"
expect_contains "origin form request line" "$cap" "GET /c HTTP/1.1"
# Not held until the session's minute-long time-out.
[ $((SECONDS - start)) -lt 30 ] && pass "no keep-alive stall" || fail "keep-alive stall"
session_ended() { grep -h -A3 "http://127.0.0.2:$CP/c" "$TRELLIS_HOME"/Logs/*.log 2>/dev/null | grep -q Traffic; }
wait_for 30 session_ended && pass "session ends with a keep-alive origin" || fail "session still open"

# ---- CONNECT ----------------------------------------------------------------------------------
out=$(curl -sS -k -p -x "$PROXY" "https://127.0.0.2:$SP/" 2>&1 || true)
expect_contains "CONNECT tunnel completes TLS" "$out" "Ciphers supported in s_server binary"
code=$(curl -s -o /dev/null -w '%{http_connect}' -k -p -x "$PROXY" "https://127.0.0.2:$DEAD/" || true)
expect_eq "CONNECT to a refusing server" "$code" "502"
wait_for 30 grep -q "Error:.Socket error in SSLPreProcessRequest .* - terminating" "$TRELLIS_HOME"/Logs/*.log \
  && pass "CONNECT failure logged under the tunnel" || fail "CONNECT failure not logged under the tunnel"

# ---- Error pages with real status codes -------------------------------------------------------
LONGNAME=$(printf 'a%.0s' {1..70}).test  # refused by the resolver itself: no query leaves the host
code=$(curl -s -o "$WORK/out/e1" -w '%{http_code}' -x "$PROXY" "http://$LONGNAME/")
expect_eq "unresolvable host" "$code" "502"
expect_contains "unresolvable host page" "$(cat "$WORK/out/e1")" "<TITLE>Socket Error</TITLE>"
code=$(curl -s -o "$WORK/out/e2" -w '%{http_code}' -x "$PROXY" "http://127.0.0.2:$DEAD/")
expect_eq "refusing server" "$code" "502"
code=$(curl -s -o /dev/null -w '%{http_code}' -x "$PROXY" "ftp://127.0.0.2:$DEAD/x")
expect_eq "ftp server that refuses: socket error" "$code" "502"
code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$P/index.html")
expect_eq "request to the gateway itself (no internal server named)" "$code" "400"
code=$(curl -s -o /dev/null -w '%{http_code}' -x "$PROXY" "http://localhost:$P/loop")
expect_eq "loop to itself refused" "$code" "400"

# ---- Malformed requests -----------------------------------------------------------------------
cat >"$WORK/raw.py" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), 5)
s.settimeout(float(sys.argv[2]))
data = sys.stdin.buffer.read()
mode, body = data[:6], data[6:]
try:
    s.sendall(body)
    if mode == b"CLOSE:":
        s.close()
        print("closed")
        sys.exit(0)
    got = b""
    while True:
        b = s.recv(65536)
        if not b:
            break
        got += b
    print(got.split(b"\r\n")[0].decode("latin-1") if got else "closed")
except socket.timeout:
    print("hang")
except (ConnectionResetError, BrokenPipeError):
    print("closed")
PY
raw() { python3 "$WORK/raw.py" "$P" "$1"; }  # raw SECONDS < MODE+request: the status line, "closed" or "hang"
expect_eq "garbage request line" "$(printf 'SEND: \x16\x03\x01 garbage here\r\n\r\n' | raw 30)" "HTTP/1.0 400 Malformed Request"
expect_eq "bad port" "$(printf 'SEND: GET http://127.0.0.2:99999/ HTTP/1.0\r\n\r\n' | raw 30)" "HTTP/1.0 400 Malformed Request"
r=$( { printf 'SEND: GET http://127.0.0.2/ HTTP/1.0\r\nX: '; head -c 1048576 /dev/zero | tr '\0' 'a'; printf '\r\n\r\n'; } | raw 30)
case "$r" in "HTTP/1.0 400 Malformed Request" | closed) pass "1 MB header line: $r" ;; *) fail "1 MB header line: $r" ;; esac
r=$( { printf 'SEND: GET http://127.0.0.2/ HTTP/1.0\r\n'; for i in $(seq 1 3000); do printf 'X-%d: filler filler\r\n' "$i"; done; } | raw 30)
case "$r" in "HTTP/1.0 400 Malformed Request" | closed) pass "no blank line within the limit: $r" ;; *) fail "no blank line: $r" ;; esac
printf 'CLOSE:GET http://127.0.0.2/ HTTP/1.0\r\nHost: 127' | raw 30 >/dev/null
code=$(curl -s -o /dev/null -w '%{http_code}' -x "$PROXY" "$ORIGIN/index.html")
expect_eq "engine serves on after the malformed requests" "$code" "200"

# ---- Upstream proxy, then a refusing right ------------------------------------------------------
stop_engine
"$REG" set "$SVC" ConnectMethod dword 1
"$REG" set "$SVC" ProxyServer sz 127.0.0.3
"$REG" set "$SVC" ProxyPort dword "$TP"
start_engine "$P"
before=$(origin_hits GET /index.html)
curl -sS -x "$PROXY" -H 'Pragma: no-cache' -o "$WORK/out/up" "$ORIGIN/index.html" || fail "fetch through upstream"
cmp -s "$WORK/out/up" "$WORK/www/index.html" && pass "upstream fetch identical" || fail "upstream fetch differs"
expect_eq "origin hit once" "$(origin_hits GET /index.html)" "$((before + 1))"
wait_for 30 grep -q "127.0.0.2:$OP/index.html\|index.html" "$WORK/tinyproxy.log" && pass "request went through tinyproxy" \
  || fail "tinyproxy saw no request"
out=$(curl -sS -k -p -x "$PROXY" "https://127.0.0.2:$SP/" 2>&1 || true)
expect_contains "CONNECT through tinyproxy" "$out" "Ciphers supported in s_server binary"

stop_engine
"$REG" set "$SVC" ConnectMethod dword 0
"$REG" set "$SVC\\AccessRights" IncludeDefaultRights dword 0
start_engine "$P"
code=$(curl -s -o "$WORK/out/denied" -w '%{http_code}' -x "$PROXY" "$ORIGIN/index.html")
expect_eq "refused by the right" "$code" "403"
expect_contains "refusal page" "$(cat "$WORK/out/denied")" "<TITLE>Access Denied</TITLE>"
engine_running && pass "engine still running" || fail "engine gone"

# ---- A right that names only Administrator: a guest never gets the resource -----------------------
# Whether or not the service offers its own login (UseJavaClient), a guest whose request needs one
# is answered with the refusal and the origin is never asked.
"$REG" set "$SVC\\AccessRights\\Recipient0" UserName sz Administrator
"$REG" set "$SVC\\AccessRights\\Recipient0" SpecifyUser dword 1
# The login page the service offers with UseJavaClient: its template in the engine's home.
mkdir -p "$TRELLIS_HOME/Java"
printf '<HTML><BODY>Login for <A HREF="##URL##">this page</A> on port ##PORT##\n</BODY></HTML>\n' \
  >"$TRELLIS_HOME/Java/Client.htm"
for java in 0 1; do
  stop_engine
  "$REG" set "$SVC" UseJavaClient dword "$java"
  start_engine "$P"
  before=$(origin_hits GET /index.html)
  code=$(curl -s -o "$WORK/out/admin-only" -w '%{http_code}' -x "$PROXY" -H 'Pragma: no-cache' "$ORIGIN/index.html")
  expect_eq "UseJavaClient $java: guest refused by an Administrator-only right" "$code" "403"
  expect_not_contains "UseJavaClient $java: no resource for the guest" "$(cat "$WORK/out/admin-only")" \
    "hello through the gateway"
  expect_eq "UseJavaClient $java: origin not asked for the guest" "$(origin_hits GET /index.html)" "$before"
  if [ "$java" = 1 ]; then
    expect_contains "UseJavaClient 1: the login page" "$(cat "$WORK/out/admin-only")" \
      "Login for <A HREF=\"$ORIGIN/index.html\">this page</A> on port $P"
  else
    expect_not_contains "UseJavaClient 0: no login page" "$(cat "$WORK/out/admin-only")" "Login for"
  fi
done
# The same right naming Guest serves the guest: the refusal above is the login check, not a blanket one.
stop_engine
"$REG" set "$SVC\\AccessRights\\Recipient0" UserName sz Guest
start_engine "$P"
code=$(curl -s -o "$WORK/out/guest-ok" -w '%{http_code}' -x "$PROXY" -H 'Pragma: no-cache' "$ORIGIN/index.html")
expect_eq "UseJavaClient 1: a right naming Guest serves the guest" "$code" "200"
cmp -s "$WORK/out/guest-ok" "$WORK/www/index.html" && pass "guest's page identical" || fail "guest's page differs"

finish

#!/usr/bin/env bash
# The gateway's own web server with real clients: the WWW service serves requests addressed to it
# (non-proxy action 3) from a folder. curl and wget fetch pages, curl a 50 MB file byte for byte, a HEAD,
# a 304 for an unchanged file, a folder listing whose odd names are escaped, MIME types from the
# built-in table and the registry; twenty-odd path-escape attempts sent byte for byte (dot segments
# plain and encoded, encoded slashes, NUL, backslashes, absolute paths, symbolic links out of the
# folder, the internal resources and the CGI folder) get 403 and never a byte from outside; CGI
# programs get the RFC 3875 environment and the request body (GET with a query string, POST with
# 200 KB), their Status and Location become the status line, a bad header gives 502, and a program
# that hangs is killed with what it started at the session time-out while the browser gets 504.
# With session time-outs off, 40 clients that give up on a hanging program have it killed with what
# it started, and no connection of theirs is left half-closed (CLOSE-WAIT); a program whose client
# waits is still ended at the CGI limit of 60 s. No child is left unreaped.
source "$(dirname "$0")/lib.sh"

on_exit "$T -stop; sleep 1; kill_engines; $T -u"
PORT=$(free_port 127.0.0.1)
BASE="http://127.0.0.1:$PORT"
KEY='Services\WWW Proxy server'
SITE="$WORK/site"
CGI="$WORK/cgi"

# ---- Content ----------------------------------------------------------------------------------
mkdir -p "$SITE/sub" "$SITE/withindex" "$CGI/tools" "$WORK/site2" "$TRELLIS_HOME/Resources"
printf '<html><body>local front page</body></html>\n' >"$SITE/index.html"
printf 'plain text\n' >"$SITE/page.txt"
printf 'odd\n' >"$SITE/data.xyz"
printf 'nameless\n' >"$SITE/README"
printf 'inner index\n' >"$SITE/withindex/index.html"
head -c 52428800 /dev/urandom >"$SITE/big.bin"
printf 'one\n' >"$SITE/sub/a\"<b>x.txt"
printf 'two\n' >"$SITE/sub/with space.txt"
printf 'three\n' >"$SITE/sub/.hidden"
mkdir -p "$SITE/sub/inner"
echo "TOPSECRET outside" >"$WORK/secret.txt"
echo "TOPSECRET sibling" >"$WORK/site2/secret.txt"
echo "TOPSECRET home" >"$TRELLIS_HOME/secret.txt"
printf 'GIF89a' >"$TRELLIS_HOME/Resources/Directory.gif"
ln -s /etc/passwd "$SITE/escape"
ln -s /etc "$SITE/escdir"
ln -s ../secret.txt "$SITE/dotdotlink"
ln -s page.txt "$SITE/inlink"

cat >"$CGI/env.sh" <<'SH'
#!/bin/sh
printf 'Content-Type: text/plain\r\nX-Program: env\r\n\r\n'
env | sort
SH
cat >"$CGI/tools/post.py" <<'SH'
#!/usr/bin/env python3
import hashlib, os, sys
n = int(os.environ.get("CONTENT_LENGTH", "0"))
data = sys.stdin.buffer.read(n)
rest = sys.stdin.buffer.read()
sys.stdout.write("Content-Type: text/plain\n\n")
sys.stdout.write("len=%d sha=%s after=%d type=%s\n" % (len(data), hashlib.sha256(data).hexdigest(), len(rest),
                                                       os.environ.get("CONTENT_TYPE", "")))
SH
cat >"$CGI/status.sh" <<'SH'
#!/bin/sh
printf 'Status: 404 Nothing Here\r\nContent-Type: text/plain\r\n\r\nno such thing\n'
SH
cat >"$CGI/moved.sh" <<'SH'
#!/bin/sh
printf 'Location: http://example.invalid/elsewhere\r\n\r\n'
SH
cat >"$CGI/bad.sh" <<'SH'
#!/bin/sh
echo "this is no header"
SH
# The sleeps carry this run's process id, so programs of another run are never counted.
cat >"$CGI/hang.sh" <<SH
#!/bin/sh
sleep 31337.$$ &
sleep 31338.$$
SH
cat >"$CGI/gone.sh" <<SH
#!/bin/sh
touch "$WORK/started/\$\$"
sleep 31339.$$ &
sleep 31340.$$
SH
cat >"$CGI/wait.sh" <<SH
#!/bin/sh
sleep 31341.$$ &
sleep 31342.$$
SH
running() { pgrep -f "^sleep 313($1)[.]$$\$" >/dev/null; }
printf 'not executable\n' >"$CGI/noexec.sh"
chmod 755 "$CGI/env.sh" "$CGI/tools/post.py" "$CGI/status.sh" "$CGI/moved.sh" "$CGI/bad.sh" "$CGI/hang.sh" \
  "$CGI/gone.sh" "$CGI/wait.sh"

# ---- Engine -----------------------------------------------------------------------------------
"$T" -i >/dev/null
"$REG" set "$KEY" ServiceType sz CWWWService >/dev/null
"$REG" set "$KEY" Name sz 'WWW Proxy server' >/dev/null
"$REG" set "$KEY" PortNumber dword "$PORT" >/dev/null
"$REG" set "$KEY" BindingOption dword 1 >/dev/null
"$REG" set "$KEY" SpecificBinding sz 127.0.0.1 >/dev/null
"$REG" set "$KEY" TimeOutSessions dword 1 >/dev/null
"$REG" set "$KEY" SessionTimeout dword 3 >/dev/null
"$REG" set "$KEY" NonProxyRequestAction dword 3 >/dev/null
"$REG" set "$KEY" ServerRoot sz "$SITE" >/dev/null
"$REG" set "$KEY" DefaultFilename sz index.html >/dev/null
"$REG" set "$KEY" AllowDirectoryBrowsing dword 1 >/dev/null
"$REG" set "$KEY" EnableCGI dword 1 >/dev/null
"$REG" set "$KEY" CGIRoot sz "$CGI" >/dev/null
"$REG" set "$KEY" CGILabel sz cgi-bin >/dev/null
"$REG" set MimeTypes xyz sz application/x-test >/dev/null
"$REG" set Settings Version dword 513 >/dev/null
start_engine "$PORT"

# ---- Files ------------------------------------------------------------------------------------
mkdir -p "$WORK/out"
curl -sS -o "$WORK/out/index" -D "$WORK/out/index.h" "$BASE/" || fail "curl /"
cmp -s "$WORK/out/index" "$SITE/index.html" && pass "default file of the root" || fail "default file differs"
h=$(tr -d '\r' <"$WORK/out/index.h")
expect_contains "status line" "$h" "HTTP/1.0 200 Document Follows"
expect_contains "html type" "$h" "Content-Type: text/html"
expect_contains "closes" "$h" "Connection: close"
expect_eq "default file of a folder without a slash" "$(curl -sS "$BASE/withindex")" "inner index"
curl -sS -o "$WORK/out/big.curl" "$BASE/big.bin" || fail "curl 50 MB"
cmp -s "$WORK/out/big.curl" "$SITE/big.bin" && pass "curl 50 MB identical" || fail "curl 50 MB differs"
rm -f "$WORK/out/big.curl"

head=$(curl -sS -I "$BASE/big.bin" | tr -d '\r')
expect_contains "HEAD status" "$head" "HTTP/1.0 200 OK"
expect_contains "HEAD length" "$head" "Content-Length: 52428800"
expect_contains "HEAD type" "$head" "Content-Type: application/octet-stream"
lm=$(sed -n 's/^Last-Modified: //p' <<<"$head")
[ -n "$lm" ] && pass "HEAD last-modified" || fail "HEAD without Last-Modified"
expect_eq "If-Modified-Since equal gives 304" \
  "$(curl -s -o /dev/null -w '%{http_code} %{size_download}' -H "If-Modified-Since: $lm" "$BASE/big.bin")" "304 0"
expect_eq "Pragma no-cache suppresses the 304" \
  "$(curl -s -o /dev/null -w '%{http_code}' -H "If-Modified-Since: $lm" -H 'Pragma: no-cache' "$BASE/page.txt")" "200"
expect_eq "a malformed If-Modified-Since is ignored" \
  "$(curl -s -o /dev/null -w '%{http_code}' -H "If-Modified-Since: Sunday, 06-$(printf 'N%.0s' {1..3000})-94 08:49:37 GMT" "$BASE/page.txt")" "200"
expect_eq "text/plain" "$(curl -s -o /dev/null -w '%{content_type}' "$BASE/page.txt")" "text/plain"
expect_eq "registry MIME override" "$(curl -s -o /dev/null -w '%{content_type}' "$BASE/data.xyz")" "application/x-test"
expect_eq "no extension" "$(curl -s -o /dev/null -w '%{content_type}' "$BASE/README")" "text/plain"
expect_eq "a link inside the folder is served" "$(curl -sS "$BASE/inlink")" "plain text"
expect_eq "an encoded space" "$(curl -sS "$BASE/sub/with%20space.txt")" "two"
expect_eq "missing file" "$(curl -s -o /dev/null -w '%{http_code}' "$BASE/nothing.html")" "403"
expect_eq "HEAD of a missing file is answered" "$(curl -s -I -o /dev/null -w '%{http_code}' "$BASE/nothing.html")" "403"
expect_eq "POST to a file" "$(curl -s -o /dev/null -w '%{http_code}' --data x "$BASE/page.txt")" "501"
expect_eq "PUT" "$(curl -s -o /dev/null -w '%{http_code}' -X PUT --data x "$BASE/page.txt")" "501"
expect_eq "internal resource" "$(curl -sS "$BASE/trellis-internal/Resources/Directory.gif")" "GIF89a"

listing=$(curl -sS "$BASE/sub/")
expect_contains "listing title" "$listing" "Directory of /sub"
expect_contains "listing escapes names" "$listing" "<B>a&quot;&lt;b&gt;x.txt</B>"
expect_not_contains "listing has no raw markup from names" "$listing" 'a"<b>'
expect_contains "listing link encoded" "$listing" 'HREF="/sub/a%22%3Cb%3Ex.txt"'
expect_contains "listing space encoded" "$listing" 'HREF="/sub/with%20space.txt"'
expect_contains "listing folder icon" "$listing" "http://127.0.0.1:$PORT/trellis-internal/Resources/Directory.gif"
expect_contains "listing default icon" "$listing" "internal-gopher-unknown"
expect_contains "listing hidden flag" "$listing" " H"
folderline=$(grep -n 'HREF="/sub/inner"' <<<"$listing" | cut -d: -f1)
fileline=$(grep -n 'HREF="/sub/with%20space.txt"' <<<"$listing" | cut -d: -f1)
[ -n "$folderline" ] && [ -n "$fileline" ] && [ "$folderline" -lt "$fileline" ] && pass "folders first" ||
  fail "folders not listed first"
expect_contains "wget fetches a listing" "$(wget -q -O - "$BASE/sub/")" "Directory of /sub"
expect_eq "wget fetches a linked file" "$(wget -q -O - "$BASE/sub/a%22%3Cb%3Ex.txt")" "one"

# ---- Path escapes -----------------------------------------------------------------------------
# Sent byte for byte (no client normalises them): each must be refused and show nothing from
# outside the folder.
escapes=$(python3 - "$PORT" <<'PY'
import socket, sys
port = int(sys.argv[1])
paths = [
    b"/../secret.txt", b"/%2e%2e/secret.txt", b"/%2E%2E/%2e%2e/etc/passwd", b"//etc/passwd",
    b"/..%2fsecret.txt", b"/%2e%2e%2fsecret.txt", b"/sub/../../secret.txt", b"/./../secret.txt",
    b"/escape", b"/escdir/passwd", b"/dotdotlink", b"/%00/etc/passwd", b"/page.txt%00.html",
    b"/..\\secret.txt", b"/..%5csecret.txt", b"/../site2/secret.txt", b"/%2e%2e/site2/secret.txt",
    b"/cgi-bin/%2e%2e/%2e%2e/bin/sh", b"/cgi-bin/../secret.txt", b"/cgi-bin/..%2f..%2fbin/sh",
    b"/trellis-internal/secret.txt", b"/trellis-internal/Resources/../secret.txt",
    b"/trellis-internal/Resources/%2e%2e/secret.txt", b"/trellis-internal/registry.db", b"/%",
    b"/sub/%2e%2e%2f%2e%2e%2fsecret.txt",
]
for p in paths:
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET " + p + b" HTTP/1.0\r\nUser-Agent: escape\r\n\r\n")
    data = b""
    s.settimeout(10)
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    status = data.split(b"\r\n", 1)[0].decode(errors="replace")
    leaked = b"TOPSECRET" in data or b"root:x:0" in data or b"SQLite" in data
    print("%s|%s|%s" % (p.decode(errors="replace"), status, "LEAK" if leaked else "clean"))
PY
)
count=0
while IFS='|' read -r path status leak; do
  count=$((count + 1))
  case "$status" in
    "HTTP/1.0 403 "* | "HTTP/1.0 404 "* | "HTTP/1.0 400 "*) [ "$leak" = clean ] && pass "escape $path: $status" ||
      fail "escape $path leaked" ;;
    *) fail "escape $path: $status $leak" ;;
  esac
done <<<"$escapes"
[ "$count" -ge 20 ] && pass "$count escape attempts" || fail "only $count escape attempts ran"

# ---- CGI --------------------------------------------------------------------------------------
env_out=$(curl -sS -D "$WORK/out/env.h" -A 'curl-test' -H 'Proxy: http://127.0.0.9:1' -H 'X-Custom-Thing: yes' \
  "$BASE/cgi-bin/env.sh/extra/path?a=1&b=two")
h=$(tr -d '\r' <"$WORK/out/env.h")
expect_contains "CGI status line" "$h" "HTTP/1.0 200 OK"
expect_contains "CGI header passed" "$h" "X-Program: env"
expect_contains "CGI content type" "$h" "Content-Type: text/plain"
expect_contains "CGI closes" "$h" "Connection: close"
for v in "REQUEST_METHOD=GET" "QUERY_STRING=a=1&b=two" "SCRIPT_NAME=/cgi-bin/env.sh" "PATH_INFO=/extra/path" \
  "PATH_TRANSLATED=$SITE/extra/path" "GATEWAY_INTERFACE=CGI/1.1" "SERVER_PORT=$PORT" "SERVER_NAME=127.0.0.1" \
  "REMOTE_ADDR=127.0.0.1" "SERVER_PROTOCOL=HTTP/1.1" "HTTP_USER_AGENT=curl-test" "HTTP_X_CUSTOM_THING=yes" \
  "SERVER_SOFTWARE=Nomra Trellis Engine"; do
  expect_contains "CGI env $v" "$env_out" "$v"
done
expect_not_contains "no httpoxy" "$env_out" "HTTP_PROXY"
expect_not_contains "no engine variables leak" "$env_out" "TRELLIS_REGISTRY"
expect_contains "wget runs CGI" "$(wget -q -O - "$BASE/cgi-bin/env.sh?w=1")" "QUERY_STRING=w=1"

head -c 204800 /dev/urandom >"$WORK/body.bin"
sum=$(sha256sum "$WORK/body.bin" | cut -d' ' -f1)
post=$(curl -sS --data-binary @"$WORK/body.bin" -H 'Content-Type: application/x-test' "$BASE/cgi-bin/tools/post.py")
expect_eq "POST body reaches the program whole" "$post" "len=204800 sha=$sum after=0 type=application/x-test"
post=$(wget -q -O - --post-file="$WORK/body.bin" "$BASE/cgi-bin/tools/post.py")
expect_contains "wget POST body" "$post" "len=204800 sha=$sum after=0"
expect_eq "chunked body to CGI" \
  "$(curl -s -o /dev/null -w '%{http_code}' -H 'Transfer-Encoding: chunked' --data-binary @"$WORK/body.bin" "$BASE/cgi-bin/tools/post.py")" "411"
expect_eq "Status header" "$(curl -s -o /dev/null -w '%{http_code}' "$BASE/cgi-bin/status.sh")" "404"
expect_eq "Location header" "$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "$BASE/cgi-bin/moved.sh")" \
  "302 http://example.invalid/elsewhere"
expect_eq "bad CGI header" "$(curl -s -o /dev/null -w '%{http_code}' "$BASE/cgi-bin/bad.sh")" "502"
expect_eq "program not executable" "$(curl -s -o /dev/null -w '%{http_code}' "$BASE/cgi-bin/noexec.sh")" "403"
expect_eq "missing program" "$(curl -s -o /dev/null -w '%{http_code}' "$BASE/cgi-bin/none.sh")" "403"
expect_eq "CGI folder alone" "$(curl -s -o /dev/null -w '%{http_code}' "$BASE/cgi-bin/")" "403"

start=$(date +%s)
hang=$(curl -s -m 40 -o /dev/null -w '%{http_code}' "$BASE/cgi-bin/hang.sh")
took=$(($(date +%s) - start))
expect_eq "hanging program: 504" "$hang" "504"
[ "$took" -lt 30 ] && pass "answered at the limit (${took}s)" || fail "hanging program took ${took}s"
wait_for 30 eval '! running "3[78]"' && pass "hanging program and its child killed" ||
  fail "hanging program still runs: $(pgrep -af "^sleep 3133")"

# A program that never reads its input while a client sends 30 MB: the session does not hang in
# the send, and the program is ended with it.
head -c 31457280 /dev/zero >"$WORK/zero.bin"
start=$(date +%s)
curl -s -m 60 -o /dev/null --data-binary @"$WORK/zero.bin" "$BASE/cgi-bin/hang.sh" || true
took=$(($(date +%s) - start))
[ "$took" -lt 30 ] && pass "unread body ends at the limit (${took}s)" || fail "unread body took ${took}s"
wait_for 30 eval '! running "3[78]"' && pass "program that did not read killed" ||
  fail "program that did not read still runs"

# ---- Clients that go away, with session time-outs off -------------------------------------------
# Only the client's own end can end these programs in time: the CGI limit is 60 s.
stop_engine
"$REG" set "$KEY" TimeOutSessions dword 0 >/dev/null
start_engine "$PORT"
# A client that waits has its program ended at that limit and gets the 504 (checked at the end).
start=$SECONDS
curl -s -m 150 -o /dev/null -w '%{http_code}' "$BASE/cgi-bin/wait.sh" >"$WORK/wait.code" &
waiting=$!
# 40 clients that give up after 2 s: their 80 processes end with them, and none of their
# connections stays half-closed in the engine.
mkdir -p "$WORK/started"
for i in $(seq 40); do curl -s -m 2 -o /dev/null "$BASE/cgi-bin/gone.sh?$i" & done
wait_for 60 eval '[ "$(ls "$WORK/started" | wc -l)" -eq 40 ]' || fail "only $(ls "$WORK/started" | wc -l) programs started"
wait_for 30 eval '! running "39|40"' && pass "programs of 40 vanished clients killed" ||
  fail "programs of vanished clients still run: $(pgrep -fc "^sleep 313(39|40)[.]$$") processes"
close_wait() { ss -Htn state close-wait "( sport = :$PORT )"; }
wait_for 30 eval '[ -z "$(close_wait)" ]' && pass "no client connection left in CLOSE-WAIT" ||
  fail "$(close_wait | wc -l) client connections in CLOSE-WAIT"
running "4[12]" && pass "the waiting client's program still runs" || fail "the waiting client's program has gone"
wait "$waiting" || true
took=$((SECONDS - start))
expect_eq "a waiting client gets 504 at the CGI limit" "$(cat "$WORK/wait.code")" "504"
[ "$took" -ge 55 ] && pass "not before the limit (${took}s)" || fail "the limit came after ${took}s"
wait_for 30 eval '! running "4[12]"' && pass "program past the limit killed" || fail "program past the limit still runs"
engine=$(engine_pids | head -n 1)
zombies=$(ps --ppid "$engine" -o stat= | grep -c Z || true)
expect_eq "no unreaped children" "$zombies" "0"
expect_eq "no children left" "$(ps --ppid "$engine" -o pid= | wc -l)" "0"

# The engine is still serving after all this.
expect_eq "still serving" "$(curl -sS "$BASE/page.txt")" "plain text"
finish

#!/usr/bin/env bash
# Request filters through the real engine, judged for a client that is not on the gateway: the
# engine runs in a "gateway" namespace of this test's own, the client in a second namespace joined
# by a veth pair, and Python origins listen on the client's host (10.77.0.2, and 10.77.0.3 as a
# second destination). The gateway's resolver knows origin.test and banned.test (10.77.0.2) and
# far.test (10.77.0.3).
#
# Requests go out exactly as a hostile client spells them (raw sockets, not curl, which would tidy
# them up): every spelling of a banned URL (escapes, "//", dot segments, upper case, a host with a
# trailing dot) is refused by the ban that names it while the plain allowed URL is served and the
# origin sees the request in its normal form; an allow rule under /public/ refuses "/public/../";
# bans on the destination's name, port and resolved address hold on the web proxy, its CONNECT and
# ftp:// requests, SOCKS 4, 4a and 5, and the FTP, POP3 and Telnet gateways' "user@host" and host
# lines (a ban on 0.0.0.0 bans nothing); a criterion on a
# variable the engine does not know, with or without Not, refuses, as does a criterion of an
# unknown class; a web request sent through SOCKS in the same write as its CONNECT meets the web
# proxy's rules.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
HERE=$(cd "$(dirname "$0")" && pwd)
require_root_netns
gateway_and_client

PROXY=8080
SOCKSP=1080
W='Services\WWW Proxy server'
S='Services\SOCKS Proxy server'
R="$W\\AccessRights\\Recipient0"
SR="$S\\AccessRights\\Recipient0"

# ---- Client's host: a second address and the origins ---------------------------------------------
CLIF=$(in_cl ip -o -4 addr show | awk '$4 == "10.77.0.2/24" {print $2}')
in_cl ip addr add 10.77.0.3/24 dev "$CLIF"
mkdir -p "/etc/netns/$GW" "$WORK/www/public" "$WORK/www/secret"
printf '10.77.0.2 origin.test banned.test\n10.77.0.3 far.test\n' >"/etc/netns/$GW/hosts"
printf 'public page\n' >"$WORK/www/public/page.html"
printf 'casino page\n' >"$WORK/www/public/casino.html"
printf 'secret page\n' >"$WORK/www/secret/s.html"
printf 'other page\n' >"$WORK/www/other.html"
for port in 8000 8001 80; do
  in_cl python3 -u -m http.server --bind 0.0.0.0 --directory "$WORK/www" "$port" 2>>"$WORK/origin.log" >/dev/null &
  on_exit "kill $!"
done
for port in 8000 8001 80; do wait_for 30 cl_open 10.77.0.2 "$port" || fail "origin on $port did not start"; done
origin_hits() { grep -c "\"GET $1 " "$WORK/origin.log" || true; }

# ---- Engine --------------------------------------------------------------------------------------
seed() {  # seed NAME CLASS PORT
  "$REG" set "Services\\$1" ServiceType sz "$2" >/dev/null
  "$REG" set "Services\\$1" Name sz "$1" >/dev/null
  "$REG" set "Services\\$1" PortNumber dword "$3" >/dev/null
}
# criterion KEY INDEX COMPARISON DATATYPE VALUE [NOT] [VARIABLE]
criterion() {
  "$REG" set "$1" Type sz CRequestCriterion >/dev/null
  "$REG" set "$1" DataIndex dword "$2" >/dev/null
  "$REG" set "$1" Comparison dword "$3" >/dev/null
  "$REG" set "$1" DataType dword "$4" >/dev/null
  case "$4" in
    0) "$REG" set "$1" nData dword "$5" >/dev/null ;;
    1) "$REG" set "$1" dwData dword "$5" >/dev/null ;;
    *) "$REG" set "$1" strData sz "$5" >/dev/null ;;
  esac
  "$REG" set "$1" Not dword "${6:-0}" >/dev/null
  if [ -n "${7:-}" ]; then "$REG" set "$1" VariableName sz "$7" >/dev/null; fi
}
# recipient KEY BAN REQUEST: everybody, with the ban filter and request filters switched as given
# (the filters themselves are replaced).
recipient() {
  "$REG" delete "$1" >/dev/null 2>&1 || true
  "$REG" set "$1" UserName sz Everyone >/dev/null
  "$REG" set "$1" SpecifyUser dword 0 >/dev/null
  "$REG" set "$1" SpecifyBan dword "$2" >/dev/null
  "$REG" set "$1" SpecifyRequest dword "$3" >/dev/null
}
restart() {
  in_gw "$T" -stop >/dev/null
  wait_for 30 no_engine_process || fail "engine did not stop"
}
begin() {
  gw_start_engine
  wait_for 30 cl_open 10.77.0.1 "$PROXY" || fail "proxy not reachable from the client's network"
}

"$T" -i >/dev/null
seed 'WWW Proxy server' CWWWService "$PROXY"
seed 'SOCKS Proxy server' CSOCKSService "$SOCKSP"
seed 'FTP Proxy server' CFTPService 2121
seed 'POP3 Proxy server' CPOP3Service 1110
seed 'Telnet Proxy server' CTelnetService 2323
"$REG" set Settings Version dword 513 >/dev/null
for svc in 'WWW Proxy server' 'SOCKS Proxy server' 'FTP Proxy server' 'POP3 Proxy server' 'Telnet Proxy server'; do
  "$REG" set "Services\\$svc\\AccessRights" IncludeDefaultRights dword 0 >/dev/null
done

# One raw request through the proxy, exactly as spelled; prints the status code. The cache would
# answer a repeated URL itself: every request here is the origin's to see.
ask() {  # ask REQUEST-LINE [HEADER-LINE]
  local code
  code=$(in_cl python3 "$HERE/raw_http.py" 10.77.0.1 "$PROXY" "$1" "Pragma: no-cache" "${2:-}" | awk '{print $2}')
  echo "${code:-none}"
}
get() { ask "GET $1 HTTP/1.0" "${2:-}"; }

# A SOCKS 5 CONNECT named by a host text, and what follows it in the same write; prints the reply
# code and, when data was sent, the status code of what came back.
socks5() {  # socks5 HOST PORT [DATA]
  in_cl env PYTHONPATH="$HERE" python3 - "$SOCKSP" "$1" "$2" "${3:-}" <<'PY'
import socket, struct, sys
from raw_http import first_line
port, host, dport, data = int(sys.argv[1]), sys.argv[2].encode(), int(sys.argv[3]), sys.argv[4]
s = socket.create_connection(("10.77.0.1", port), 5)
s.settimeout(10)
s.sendall(b"\x05\x01\x00")
s.recv(2)
s.sendall(b"\x05\x01\x00\x03" + bytes([len(host)]) + host + struct.pack(">H", dport) + data.encode())
reply = b""
while len(reply) < 10:
    chunk = s.recv(10 - len(reply))
    if not chunk:
        break
    reply += chunk
out = str(reply[1]) if len(reply) > 1 else "none"
if data and reply[1:2] == b"\x00":
    parts = first_line(s).split()
    out += " " + (parts[1] if len(parts) > 1 else "none")
print(out)
PY
}
# One line to a line-based gateway (FTP 2121, POP3 1110, Telnet 2323) after its greeting; prints
# what comes back within a few seconds, on one line.
say() {  # say PORT LINE
  in_cl python3 - "$1" "$2" <<'PY'
import socket, sys, time
s = socket.create_connection(("10.77.0.1", int(sys.argv[1])), 5)
def take(wait):
    s.settimeout(wait)
    data = b""
    try:
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    return data
take(1)
s.sendall(sys.argv[2].encode() + b"\r\n")
print(take(5).decode("latin-1").replace("\r", " ").replace("\n", " "))
PY
}
# curl through SOCKS from the client's host; prints the HTTP status (000: the SOCKS server refused).
via() { in_cl curl -s -o /dev/null -w '%{http_code}' --max-time 20 "--$1" "10.77.0.1:$SOCKSP" "$2" || true; }

# ---- Bans on the URL, the header, the destination's name and port -------------------------------
recipient "$R" 1 0
criterion "$R\\BanFilter\\Criterion0" 15 3 2 casino                # HTTP URL contains "casino"
criterion "$R\\BanFilter\\Criterion1" 14 4 2 /SECRET               # HTTP Resource begins with "/SECRET"
criterion "$R\\BanFilter\\Criterion2" 18 0 2 banned 0 X-Client     # header X-Client equals "banned"
criterion "$R\\BanFilter\\Criterion3" 2 0 2 banned.test            # Server name equals "banned.test"
criterion "$R\\BanFilter\\Criterion4" 3 0 1 8001                   # Server port number equals 8001
recipient "$SR" 1 0
criterion "$SR\\BanFilter\\Criterion0" 2 0 2 banned.test
criterion "$SR\\BanFilter\\Criterion1" 2 0 2 10.77.0.3             # a SOCKS 4 request names an address
criterion "$SR\\BanFilter\\Criterion2" 3 0 1 8001
criterion "$SR\\BanFilter\\Criterion3" 14 4 2 /secret              # only a handed-over web request has a resource
for svc in 'FTP Proxy server' 'POP3 Proxy server' 'Telnet Proxy server'; do
  recipient "Services\\$svc\\AccessRights\\Recipient0" 1 0
  criterion "Services\\$svc\\AccessRights\\Recipient0\\BanFilter\\Criterion0" 2 0 2 banned.test
done
begin

O=http://origin.test:8000
before=$(origin_hits /public/page.html)
expect_eq "the plain URL is served" "$(get "$O/public/page.html")" 200
expect_eq "the banned URL is refused" "$(get "$O/public/casino.html")" 403
expect_eq "an escaped letter in the banned URL is refused" "$(get "$O/public/cas%69no.html")" 403
expect_eq "a banned resource in other case is refused" "$(get "$O/Secret/s.html")" 403
expect_eq "an escaped letter in the banned resource is refused" "$(get "$O/%73ecret/s.html")" 403
expect_eq "a doubled slash before the banned resource is refused" "$(get "$O//secret/s.html")" 403
expect_eq "a dot segment before the banned resource is refused" "$(get "$O/public/../secret/s.html")" 403
expect_eq "an escaped dot segment before the banned resource is refused" "$(get "$O/public/%2e%2E/secret/s.html")" 403
expect_eq "a segment hidden in an escaped slash is refused" "$(get "$O/public/..%2Fsecret/s.html")" 400
expect_eq "a dot segment inside the allowed URL is served" "$(get "$O/public/./x/../page.html")" 200
expect_eq "the origin saw both in normal form" "$(origin_hits /public/page.html)" $((before + 2))
expect_eq "no spelling of the secret reached the origin" "$(grep -c secret "$WORK/origin.log" || true)" 0
expect_eq "a banned header is refused" "$(get "$O/public/page.html" 'X-Client: BANNED')" 403
expect_eq "a banned host name is refused" "$(get "http://banned.test:8000/public/page.html")" 403
expect_eq "the banned host in upper case with its root dot is refused" "$(get "http://BANNED.Test.:8000/public/page.html")" 403
expect_eq "a banned port is refused" "$(get "http://origin.test:8001/public/page.html")" 403
expect_eq "the allowed host by address is served" "$(get "http://10.77.0.2:8000/public/page.html")" 200
expect_eq "a CONNECT to a banned host is refused" "$(ask "CONNECT BANNED.TEST.:8000 HTTP/1.0")" 403
expect_eq "a CONNECT to another host is served" "$(ask "CONNECT origin.test:8000 HTTP/1.0")" 200
expect_eq "an ftp:// URL of a banned host is refused" "$(get "ftp://Banned.Test./pub/")" 403
expect_not_contains "an ftp:// URL of another host is not refused" "$(get "ftp://origin.test:8002/pub/")" 403

for v in socks4 socks5; do
  expect_eq "--$v to an allowed address is served" "$(via $v http://10.77.0.2:8000/public/page.html)" 200
  expect_eq "--$v to a banned address is refused" "$(via $v http://10.77.0.3:8000/public/page.html)" 000
  expect_eq "--$v to a banned port is refused" "$(via $v http://10.77.0.2:8001/public/page.html)" 000
done
for v in socks4a socks5-hostname; do
  expect_eq "--$v to an allowed name is served" "$(via $v http://origin.test:8000/public/page.html)" 200
  expect_eq "--$v to a banned name is refused" "$(via $v http://banned.test:8000/public/page.html)" 000
  expect_eq "--$v to a banned port is refused" "$(via $v http://origin.test:8001/public/page.html)" 000
done
expect_eq "socks5 to the banned name in upper case with its root dot is refused" "$(socks5 BANNED.TEST. 8000)" 2
expect_eq "socks5 to the same address by another name is served" "$(socks5 origin.test 8000)" 0
# A web request in the same write as its CONNECT is handed to the web proxy as one sent later is.
expect_eq "a web request after the CONNECT meets the web proxy's ban" \
  "$(via socks5 http://10.77.0.2:80/secret/s.html)" 403
expect_eq "a web request pipelined with the CONNECT meets it too" \
  "$(socks5 10.77.0.2 80 $'GET /secret/s.html HTTP/1.0\r\n\r\n')" "0 403"
expect_eq "an allowed web request pipelined with the CONNECT is served" \
  "$(socks5 10.77.0.2 80 $'GET /public/page.html HTTP/1.0\r\n\r\n')" "0 200"
expect_eq "still no spelling of the secret reached the origin" "$(grep -c secret "$WORK/origin.log" || true)" 0
# The line gateways: a banned host in another spelling is refused before anything is connected;
# another host is tried (nothing listens on its port 8002).
expect_contains "FTP to the banned host is refused" "$(say 2121 'USER anonymous@BANNED.Test.')" "Access Denied"
expect_contains "FTP to another host is tried" "$(say 2121 'USER anonymous@origin.test:8002')" "421 Could not connect"
expect_contains "POP3 to the banned host is refused" "$(say 1110 'USER bob#Banned.TEST.')" "-ERR Access Denied"
expect_contains "POP3 to another host is tried" "$(say 1110 'USER bob#origin.test:8002')" "-ERR could not connect"
expect_contains "Telnet to the banned host is refused" "$(say 2323 'BANNED.TEST. 8002')" "Access Denied"
expect_contains "Telnet to another host is tried" "$(say 2323 'origin.test 8002')" "Connecting to host origin.test"

# ---- An allow rule under /public/, bans on the resolved address ---------------------------------
restart
recipient "$R" 1 1
criterion "$R\\BanFilter\\Criterion0" 34 0 2 10.77.0.3
criterion "$R\\BanFilter\\Criterion1" 34 0 2 0.0.0.0
# Filter 0: a GET (13) under /public/ (14 begins with): level 0. Filter 1: a POST asks level 2.
criterion "$R\\RequestFilter\\Filter0\\Criterion0" 13 0 2 GET
criterion "$R\\RequestFilter\\Filter0\\Criterion1" 14 4 2 /public/
criterion "$R\\RequestFilter\\Filter1\\Criterion0" 13 0 2 POST
criterion "$R\\RequestFilter\\Filter1\\Criterion1" 5 0 0 2
begin
expect_eq "a GET under /public/ is served" "$(get "$O/public/page.html")" 200
expect_eq "a dot segment out of /public/ is refused" "$(get "$O/public/../other.html")" 403
expect_eq "an escaped dot segment out of /public/ is refused" "$(get "$O/public/%2E%2E/other.html")" 403
expect_eq "a path no filter allows is refused" "$(get "$O/other.html")" 403
expect_eq "a HEAD (no filter for it) is refused" "$(ask "HEAD $O/public/page.html HTTP/1.0")" 403
expect_eq "a guest's POST needs a login it cannot give" "$(ask "POST $O/public/page.html HTTP/1.0" 'Content-Length: 0')" 403
expect_eq "a ban on the destination's address refuses its name" "$(get "http://far.test:8000/public/page.html")" 403
expect_eq "and the address itself" "$(get "http://10.77.0.3:8000/public/page.html")" 403
expect_eq "and any spelling of it" "$(get "http://0x0a4d0003:8000/public/page.html")" 403
expect_eq "another address is served: a ban on 0.0.0.0 bans nothing" "$(get "http://10.77.0.2:8000/public/page.html")" 200
expect_eq "nothing of /other.html reached the origin" "$(origin_hits /other.html)" 0
grep -q "Failed authorisation" "$TRELLIS_HOME"/Logs/*.log 2>/dev/null && pass "refusals logged" \
  || fail "no Failed authorisation line"

# ---- Criteria the engine cannot evaluate refuse ---------------------------------------------------
# An unknown variable with Not set would hold for every request: the filter is invalid instead.
restart
recipient "$R" 0 1
criterion "$R\\RequestFilter\\Filter0\\Criterion0" 99 0 2 x 1
begin
expect_eq "a request filter on an unknown variable with Not refuses" "$(get "$O/public/page.html")" 403
# Without Not it would ban nothing.
restart
recipient "$R" 1 0
criterion "$R\\BanFilter\\Criterion0" 4294967295 0 2 x
begin
expect_eq "a ban on an unknown variable refuses" "$(get "$O/public/page.html")" 403
# A criterion of a class the engine does not know: the ban can no longer say what it bans.
restart
criterion "$R\\BanFilter\\Criterion0" 15 3 2 casino
"$REG" set "$R\\BanFilter\\Criterion0" Type sz CFutureCriterion >/dev/null
begin
expect_eq "an incomplete ban filter refuses" "$(get "$O/public/page.html")" 403
engine_running && pass "engine still running" || fail "engine gone"

restart
"$T" -u >/dev/null
finish

#!/usr/bin/env bash
# The FTP gateway with real clients and a real server on loopback: the engine is installed with the
# first-run "Setup" values that create the FTP service on a free high port; pyftpdlib serves on
# 127.0.0.2; curl and lftp log in as "user@host:port" through the gateway and move a 5 MB file
# both ways byte for byte in passive and active mode (curl asks for EPSV/EPRT first and falls back
# on the gateway's 502), and list the folder; ftp_cases.py covers the control dialogue's edges;
# through an upstream SOCKS 4 server (dante) passive transfers still work and PORT is refused; with an
# outgoing interface set, passive transfers reach a server that checks the data connection's
# address (pyftpdlib in a network namespace, the gateway with two addresses toward it).
# A server whose 227 reply names the gateway's own loopback is still reached at its own address for
# the data, by a client on the LAN.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"

SVC='Services\FTP Proxy server'
HERE=$(cd "$(dirname "$0")" && pwd)

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

P=$(free_port 127.0.0.1)
SP=$(free_port 127.0.0.2)

# ---- Server -----------------------------------------------------------------------------------
mkdir -p "$WORK/ftp" "$WORK/out"
head -c 5242880 /dev/urandom >"$WORK/ftp/big.bin"
head -c 5242880 /dev/urandom >"$WORK/up.bin"
printf 'small file\n' >"$WORK/ftp/small.txt"
# Debian's pyftpdlib belongs to the system's Python.
/usr/bin/python3 - "$SP" "$WORK/ftp" >"$WORK/ftpd.log" 2>&1 <<'PY' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
auth = DummyAuthorizer()
auth.add_user("alice", "pw", sys.argv[2], perm="elradfmw")
FTPHandler.authorizer = auth
FTPHandler.permit_foreign_addresses = False
FTPServer(("127.0.0.2", int(sys.argv[1])), FTPHandler).serve_forever()
PY
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$SP" || fail "FTP server did not start"

# ---- Engine -----------------------------------------------------------------------------------
"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallFTP dword 1
"$REG" set 'Setup' FTPProxyPort dword "$P"
"$REG" set 'Setup' SecureInstall dword 0
start_engine "$P"
expect_contains "service stored" "$("$REG" query "$SVC" ServiceType)" "CFTPService"

URL="ftp://alice%40127.0.0.2%3A$SP:pw@127.0.0.1:$P"

# ---- curl, passive (EPSV first, then PASV) and active (EPRT first, then PORT) ------------------
curl -sS --max-time 60 -o "$WORK/out/pasv.bin" "$URL/big.bin" || fail "curl passive download"
cmp -s "$WORK/out/pasv.bin" "$WORK/ftp/big.bin" && pass "passive download identical" || fail "passive download differs"
curl -sS --max-time 60 -T "$WORK/up.bin" "$URL/up-pasv.bin" || fail "curl passive upload"
cmp -s "$WORK/ftp/up-pasv.bin" "$WORK/up.bin" && pass "passive upload identical" || fail "passive upload differs"
curl -sS --max-time 60 --ftp-port 127.0.0.1 -o "$WORK/out/port.bin" "$URL/big.bin" || fail "curl active download"
cmp -s "$WORK/out/port.bin" "$WORK/ftp/big.bin" && pass "active download identical" || fail "active download differs"
curl -sS --max-time 60 --ftp-port 127.0.0.1 -T "$WORK/up.bin" "$URL/up-port.bin" || fail "curl active upload"
cmp -s "$WORK/ftp/up-port.bin" "$WORK/up.bin" && pass "active upload identical" || fail "active upload differs"
list=$(curl -sS --max-time 20 "$URL/" || true)
expect_contains "listing" "$list" "small.txt"
list=$(curl -sS --max-time 20 --ftp-port 127.0.0.1 "$URL/" || true)
expect_contains "active listing" "$list" "up-port.bin"

# ---- lftp (FEAT before USER is answered), both modes ------------------------------------------
for mode in on off; do
  rm -f "$WORK/out/lftp.bin"
  timeout 60 lftp -u "alice@127.0.0.2:$SP,pw" -p "$P" -e "set ftp:ssl-allow no; set ftp:prefer-epsv no; \
set ftp:passive-mode $mode; set net:max-retries 1; set net:timeout 10; \
get big.bin -o $WORK/out/lftp.bin; put $WORK/up.bin -o up-lftp-$mode.bin; cls -1; bye" 127.0.0.1 \
    >"$WORK/out/lftp-$mode.txt" 2>&1 || fail "lftp passive-mode $mode"
  cmp -s "$WORK/out/lftp.bin" "$WORK/ftp/big.bin" && pass "lftp passive-mode $mode download identical" \
    || fail "lftp passive-mode $mode download differs"
  cmp -s "$WORK/ftp/up-lftp-$mode.bin" "$WORK/up.bin" && pass "lftp passive-mode $mode upload identical" \
    || fail "lftp passive-mode $mode upload differs"
  expect_contains "lftp passive-mode $mode listing" "$(cat "$WORK/out/lftp-$mode.txt")" "small.txt"
done

# ---- The control dialogue's edges ---------------------------------------------------------------
python3 "$HERE/ftp_cases.py" "$P" "$SP" || fail "ftp_cases.py"

# ---- Through an upstream SOCKS 4 server (dante): passive data goes the same way, PORT is refused --
DP=$(free_port 127.0.0.3)
cat >"$WORK/danted.conf" <<DANTE
logoutput: $WORK/danted.log
internal: 127.0.0.3 port = $DP
external: 127.0.0.3
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: root
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
DANTE
danted -f "$WORK/danted.conf" -N 1 >/dev/null 2>&1 &
PIDS+=($!)
wait_for 30 port_open 127.0.0.3 "$DP" || fail "danted did not start"
stop_engine
"$REG" set "$SVC" ConnectMethod dword 2
"$REG" set "$SVC" ProxyServer sz 127.0.0.3
"$REG" set "$SVC" ProxyPort dword "$DP"
start_engine "$P"
rm -f "$WORK/out/socks.bin"
curl -sS --max-time 60 -o "$WORK/out/socks.bin" "$URL/big.bin" || fail "curl passive download through SOCKS 4"
cmp -s "$WORK/out/socks.bin" "$WORK/ftp/big.bin" && pass "passive download through SOCKS 4 identical" \
  || fail "passive download through SOCKS 4 differs"
out=$(python3 - "$P" "$SP" <<'PY'
import ftplib, sys
f = ftplib.FTP()
f.connect("127.0.0.1", int(sys.argv[1]), timeout=10)
f.login("alice@127.0.0.2:%s" % sys.argv[2], "pw")
try:
    print(f.sendcmd("PORT 127,0,0,1,7,208"))
except ftplib.Error as e:
    print(e)
PY
)
expect_eq "PORT refused through SOCKS 4" "$out" "500 only PASV mode is supported for non-direct proxy connections"

expect_logged "request logged" "FTP: alice at 127.0.0.2:$SP" "$TRELLIS_HOME"/Logs/*FTP*
expect_logged "bad user logged" "Bad Username format - user sent USER alice" "$TRELLIS_HOME"/Logs/*FTP*
engine_running && pass "engine still running" || fail "engine gone"

# ---- An outgoing interface, and a server that checks its data connections ------------------------
# The gateway has two addresses toward the server's network and its FTP service the second as its
# outgoing interface; pyftpdlib refuses a data connection from any address but the control
# connection's ("425 Rejected data connection from foreign address").
if ! netns_available; then
  echo "SKIP: the outgoing interface case needs root and ip netns"
  finish
  exit 0
fi
stop_engine
gateway_and_client
SV=$(make_ns sv)
link_ns "$GW" 10.78.0.1/24 "$SV" 10.78.0.2/24 >/dev/null
gw_if=$(in_gw ip -o link show type veth | awk -F': ' '$2 ~ /sva/ {sub(/@.*/, "", $2); print $2}')
in_gw ip addr add 10.78.0.3/24 dev "$gw_if"
mkdir -p "$WORK/ftp2"
head -c 1048576 /dev/urandom >"$WORK/ftp2/one.bin"
ip netns exec "$SV" /usr/bin/python3 - "$WORK/ftp2" >"$WORK/ftpd2.log" 2>&1 <<'PY' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
auth = DummyAuthorizer()
auth.add_user("alice", "pw", sys.argv[1], perm="elr")
FTPHandler.authorizer = auth
FTPHandler.permit_foreign_addresses = False
FTPServer(("10.78.0.2", 21), FTPHandler).serve_forever()
PY
wait_for 30 ip netns exec "$SV" python3 -c 'import socket; socket.create_connection(("10.78.0.2", 21), 1)' ||
  fail "FTP server in its namespace did not start"
"$REG" set "$SVC" ConnectMethod dword 0
"$REG" set "$SVC" InterfaceMethod dword 1
"$REG" set "$SVC" InterfaceType dword 1
"$REG" set "$SVC" InterfaceName sz 10.78.0.3
gw_start_engine
wait_for 30 gw_listens "$P" || fail "FTP service not listening in the gateway"
NSURL="ftp://alice%4010.78.0.2:pw@$GW_ADDR:$P"
in_cl curl -sS --max-time 30 -o "$WORK/out/one.bin" "$NSURL/one.bin" || fail "passive download from the outgoing address"
cmp -s "$WORK/out/one.bin" "$WORK/ftp2/one.bin" && pass "passive download from the outgoing address identical" ||
  fail "passive download from the outgoing address differs"
expect_contains "passive listing from the outgoing address" "$(in_cl curl -sS --max-time 30 "$NSURL/" || true)" "one.bin"
expect_not_contains "no data connection refused" "$(cat "$WORK/ftpd2.log")" "Rejected data connection"
expect_contains "the server saw the outgoing address" "$(cat "$WORK/ftpd2.log")" "10.78.0.3"

# ---- A server whose 227 names the gateway's loopback ----------------------------------------------
# A scripted server (ftp_cases.py serve) beside pyftpdlib names 127.0.0.1 at its data port in its
# 227 reply, where a listener stands that only the gateway reaches: the gateway's data connection
# must go to the server all the same.
ip netns exec "$SV" python3 "$HERE/ftp_cases.py" serve 10.78.0.2 2121 127.0.0.1 20021 >/dev/null 2>&1 &
PIDS+=($!)
in_gw python3 "$HERE/ftp_cases.py" victim 127.0.0.1 20021 "$WORK/victim.log" >/dev/null 2>&1 &
PIDS+=($!)
wait_for 30 gw_listens 20021 || fail "the gateway's loopback listener did not start"
wait_for 30 ip netns exec "$SV" python3 -c 'import socket; socket.create_connection(("10.78.0.2", 2121), 1)' ||
  fail "scripted server did not start"
out=$(in_cl python3 - "$GW_ADDR" "$P" <<'PY' 2>&1
import ftplib, sys
f = ftplib.FTP()
f.connect(sys.argv[1], int(sys.argv[2]), timeout=60)
f.login("anonymous@10.78.0.2:2121", "guest")
f.retrlines("LIST", print)
f.quit()
PY
) || true
expect_contains "227 address ignored: the data comes from the server" "$out" "reached-the-right-host.txt"
expect_not_contains "227 address ignored: not from where it pointed" "$out" "reached-the-victim"
[ ! -s "$WORK/victim.log" ] && pass "the gateway's loopback listener was never connected to" ||
  fail "the gateway followed the 227 address: $(cat "$WORK/victim.log")"
finish

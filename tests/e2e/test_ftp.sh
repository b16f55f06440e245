#!/usr/bin/env bash
# The FTP gateway with real clients and a real server on loopback: the engine is installed with the
# first-run "Setup" values that create the FTP service on a free high port; pyftpdlib serves on
# 127.0.0.2; curl and lftp log in as "user@host:port" through the gateway and move a 5 MB file
# both ways byte for byte in passive and active mode (curl asks for EPSV/EPRT first and falls back
# on the gateway's 502), and list the folder; ftp_cases.py covers the control dialogue's edges;
# through an upstream SOCKS 4 server (dante) passive transfers still work and PORT is refused.
# With the engine in a gateway namespace and the client on the LAN, a server whose 227 reply names
# the gateway's own loopback is still reached at its own address for the data.
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

# ---- A client on the LAN, a server whose 227 names the gateway's loopback ---------------------------
# The engine in a gateway namespace; the client and a scripted server (ftp_cases.py serve) on a
# host of the LAN. The server's 227 names 127.0.0.1 at its data port, where a listener stands that
# only the gateway reaches: the gateway's data connection must go to the server all the same.
if netns_available; then
  gateway_and_client
  in_cl python3 "$HERE/ftp_cases.py" serve "$CL_ADDR" 2121 127.0.0.1 20021 >/dev/null 2>&1 &
  PIDS+=($!)
  in_gw python3 "$HERE/ftp_cases.py" victim 127.0.0.1 20021 "$WORK/victim.log" >/dev/null 2>&1 &
  PIDS+=($!)
  stop_engine
  "$REG" set "$SVC" ConnectMethod dword 0
  gw_start_engine
  wait_for 30 cl_open "$GW_ADDR" "$P" || fail "FTP gateway not reachable from the LAN"
  wait_for 30 gw_listens 20021 || fail "the gateway's loopback listener did not start"
  out=$(in_cl python3 - "$GW_ADDR" "$P" "$CL_ADDR" <<'PY' 2>&1
import ftplib, sys
f = ftplib.FTP()
f.connect(sys.argv[1], int(sys.argv[2]), timeout=60)
f.login("anonymous@%s:2121" % sys.argv[3], "guest")
f.retrlines("LIST", print)
f.quit()
PY
) || true
  expect_contains "LAN client: the data comes from the server" "$out" "reached-the-right-host.txt"
  expect_not_contains "LAN client: not from where the 227 pointed" "$out" "reached-the-victim"
  [ ! -s "$WORK/victim.log" ] && pass "the gateway's loopback listener was never connected to" ||
    fail "the gateway followed the 227 address: $(cat "$WORK/victim.log")"
else
  echo "note: no network namespaces here; the LAN client case is not run"
fi
finish

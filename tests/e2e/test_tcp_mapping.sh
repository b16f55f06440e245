#!/usr/bin/env bash
# TCP port mappings with real clients and servers on loopback: curl fetches 20 MB through a
# mapping from a Python http.server byte for byte; socat sends 20 MB through a mapping to an echo
# server and gets the same bytes back; a client that ends its sending first (nc -N, socat at EOF)
# still gets the whole answer (the half-close is passed on); rules choose the destination by the
# client's location and by its user, in numeric order past Mapping9; with no rule and no default the
# client is closed with the service's line; a service whose port is 0 does not start; mappings
# reach their destination through tinyproxy (CONNECT) and danted (SOCKS 4); a console adds a
# mapping service (rc_client.py) and reads every mapping back. Then, with the engine in a gateway
# namespace and a client on another host of the LAN: no road leads a connection back into its own
# service (the last section).
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

OP=$(free_port 127.0.0.2)   # http.server A
OP3=$(free_port 127.0.0.3)  # http.server B
EP=$(free_port 127.0.0.2)   # echo
WP=$(free_port 127.0.0.2)   # wc -c
MP=$(free_port 127.0.0.1)   # mapping to A
MR=$(free_port 127.0.0.1)   # rules mapping
ME=$(free_port 127.0.0.1)   # mapping to echo
MW=$(free_port 127.0.0.1)   # mapping to wc
MN=$(free_port 127.0.0.1)   # no rule, no default
MU=$(free_port 127.0.0.1)   # by user

# ---- Peers ------------------------------------------------------------------------------------
mkdir -p "$WORK/a" "$WORK/b" "$WORK/out"
head -c 20971520 /dev/urandom >"$WORK/a/big.bin"
echo "server A" >"$WORK/a/who"
echo "server B" >"$WORK/b/who"
python3 -m http.server --bind 127.0.0.2 --directory "$WORK/a" "$OP" >/dev/null 2>&1 &
PIDS+=($!)
python3 -m http.server --bind 127.0.0.3 --directory "$WORK/b" "$OP3" >/dev/null 2>&1 &
PIDS+=($!)
socat TCP-LISTEN:"$EP",bind=127.0.0.2,reuseaddr,fork EXEC:cat >/dev/null 2>&1 &
PIDS+=($!)
socat TCP-LISTEN:"$WP",bind=127.0.0.2,reuseaddr,fork EXEC:'wc -c' >/dev/null 2>&1 &
PIDS+=($!)
# Upstream proxies a mapping may connect through: tinyproxy (CONNECT) and danted (SOCKS 4).
TP=$(free_port 127.0.0.3)
DP=$(free_port 127.0.0.4)
cat >"$WORK/tinyproxy.conf" <<EOF2
Port $TP
Listen 127.0.0.3
Timeout 30
Allow 127.0.0.0/8
ConnectPort $OP
EOF2
if [ "$(id -u)" = 0 ]; then printf 'User root\nGroup root\n' >>"$WORK/tinyproxy.conf"; fi
tinyproxy -d -c "$WORK/tinyproxy.conf" >"$WORK/tinyproxy.log" 2>&1 &
PIDS+=($!)
cat >"$WORK/danted.conf" <<EOF2
logoutput: $WORK/danted.log
internal: 127.0.0.4 port = $DP
external: 127.0.0.4
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }
EOF2
danted -f "$WORK/danted.conf" >/dev/null 2>&1 &
PIDS+=($!)
wait_for 10 port_open 127.0.0.3 "$TP" || fail "tinyproxy did not start"
wait_for 10 port_open 127.0.0.4 "$DP" || fail "danted did not start"
MT=$(free_port 127.0.0.1)   # mapping through tinyproxy
MS=$(free_port 127.0.0.1)   # mapping through danted
for p in "$OP" "$EP" "$WP"; do wait_for 10 port_open 127.0.0.2 "$p" || fail "peer on $p did not start"; done
wait_for 10 port_open 127.0.0.3 "$OP3" || fail "peer B did not start"

# ---- Engine: a first run, then the mapping services as an operator stores them ----------------
"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' SecureInstall dword 0
start_engine
stop_engine

# store_mapping NAME PORT DEFAULT_HOST DEFAULT_PORT [ALLOW_DEFAULT]
store_mapping() {
  "$REG" set "Services\\$1" ServiceType sz CTCPMappingService >/dev/null
  "$REG" set "Services\\$1" PortNumber dword "$2" >/dev/null
  "$REG" set "Services\\$1\\Mappings" Host sz "$3" >/dev/null
  "$REG" set "Services\\$1\\Mappings" Port dword "$4" >/dev/null
  "$REG" set "Services\\$1\\Mappings" AllowDefault dword "${5:-1}" >/dev/null
}
store_mapping "To A" "$MP" 127.0.0.2 "$OP"
store_mapping Echo "$ME" 127.0.0.2 "$EP"
store_mapping Count "$MW" 127.0.0.2 "$WP"
store_mapping Nowhere "$MN" 127.0.0.2 "$OP" 0
store_mapping Zero 0 127.0.0.2 "$OP"
# By user: clients from 127.0.0.6 are assumed to be alice, whose rule sends them to B.
store_mapping ByUser "$MU" 127.0.0.2 "$OP"
"$REG" set 'Services\ByUser\Mappings\Mapping0' Host sz 127.0.0.3 >/dev/null
"$REG" set 'Services\ByUser\Mappings\Mapping0' Port dword "$OP3" >/dev/null
"$REG" set 'Services\ByUser\Mappings\Mapping0' SpecifyUser dword 1 >/dev/null
"$REG" set 'Services\ByUser\Mappings\Mapping0' UserName sz alice >/dev/null
"$REG" set 'UserDatabase\alice' Type sz User >/dev/null
"$REG" set 'UserDatabase\alice' Name sz alice >/dev/null
"$REG" set 'Locations\Location0' Filter sz 127.0.0.6 >/dev/null
"$REG" set 'Locations\Location0' Username sz alice >/dev/null
store_mapping Tunnel "$MT" 127.0.0.2 "$OP"
"$REG" set 'Services\Tunnel' ConnectMethod dword 4 >/dev/null
"$REG" set 'Services\Tunnel' ProxyServer sz 127.0.0.3 >/dev/null
"$REG" set 'Services\Tunnel' ProxyPort dword "$TP" >/dev/null
store_mapping Socks "$MS" 127.0.0.2 "$OP"
"$REG" set 'Services\Socks' ConnectMethod dword 2 >/dev/null
"$REG" set 'Services\Socks' ProxyServer sz 127.0.0.4 >/dev/null
"$REG" set 'Services\Socks' ProxyPort dword "$DP" >/dev/null
# Rules: Mapping0..Mapping10 name clients that never connect; Mapping11 sends 127.0.0.5 to B;
# the default is A. A registry that lists Mapping10 before Mapping2 must not change the order.
store_mapping Rules "$MR" 127.0.0.2 "$OP"
for i in $(seq 0 10); do
  k="Services\\Rules\\Mappings\\Mapping$i"
  "$REG" set "$k" Host sz 127.0.0.9 >/dev/null
  "$REG" set "$k" Port dword 9 >/dev/null
  "$REG" set "$k" SpecifyLocation dword 1 >/dev/null
  "$REG" set "$k\\IncludedLocations" "10.9.9.$i" dword 0 >/dev/null
done
k='Services\Rules\Mappings\Mapping11'
"$REG" set "$k" Host sz 127.0.0.3 >/dev/null
"$REG" set "$k" Port dword "$OP3" >/dev/null
"$REG" set "$k" SpecifyLocation dword 1 >/dev/null
"$REG" set "$k\\IncludedLocations" "127.0.0.?" dword 0 >/dev/null
"$REG" set "$k\\ExcludedLocations" "127.0.0.1" dword 0 >/dev/null
RC=$(free_port 127.0.0.1)
UPL=$(free_port 127.0.0.1)
KEY='Services\Remote Control Service'
"$REG" set "$KEY" ServiceType sz CRemoteControlService >/dev/null
"$REG" set "$KEY" PortNumber dword "$RC" >/dev/null
"$REG" set "$KEY" BindingOption dword 1 >/dev/null
"$REG" set "$KEY" SpecificBinding sz 127.0.0.1 >/dev/null
start_engine "$MP"
for p in "$MR" "$ME" "$MW" "$MN"; do wait_for 10 port_open 127.0.0.1 "$p" || fail "mapping on $p not listening"; done

# ---- 20 MB each way, byte for byte ------------------------------------------------------------
curl -sS -o "$WORK/out/big.bin" "http://127.0.0.1:$MP/big.bin" || fail "curl through the mapping"
cmp -s "$WORK/out/big.bin" "$WORK/a/big.bin" && pass "20 MB download identical" || fail "download differs"
socat -t 30 -T 60 - TCP:127.0.0.1:"$ME" <"$WORK/a/big.bin" >"$WORK/out/echo.bin" || fail "socat through the mapping"
cmp -s "$WORK/out/echo.bin" "$WORK/a/big.bin" && pass "20 MB up and back identical" || fail "echo differs"

# ---- Through upstream proxies ------------------------------------------------------------------
wait_for 10 port_open 127.0.0.1 "$MT" || fail "tunnel mapping not listening"
expect_eq "through tinyproxy's CONNECT" "$(curl -sS -m 20 "http://127.0.0.1:$MT/who")" "server A"
expect_eq "through danted's SOCKS 4" "$(curl -sS -m 20 "http://127.0.0.1:$MS/who")" "server A"
expect_contains "tinyproxy saw the tunnel" "$(cat "$WORK/tinyproxy.log")" "CONNECT"

# ---- Half-close: the answer after the client's end still arrives ----------------------------
expect_eq "nc -N half-close" "$(printf 'abc' | nc -N 127.0.0.1 "$MW" | tr -d ' ')" "3"
expect_eq "socat half-close" "$(head -c 100000 /dev/zero | socat -t 10 - TCP:127.0.0.1:"$MW" | tr -d ' ')" "100000"

# ---- Rules ------------------------------------------------------------------------------------
expect_eq "default for 127.0.0.1" "$(curl -sS "http://127.0.0.1:$MR/who")" "server A"
expect_eq "rule 11 for 127.0.0.5" "$(curl -sS --interface 127.0.0.5 "http://127.0.0.1:$MR/who")" "server B"
expect_eq "by user: alice's rule" "$(curl -sS --interface 127.0.0.6 "http://127.0.0.1:$MU/who")" "server B"
expect_eq "by user: others get the default" "$(curl -sS "http://127.0.0.1:$MU/who")" "server A"
expect_eq "still in order after a restart" "$(
  stop_engine
  start_engine "$MR"
  curl -sS --interface 127.0.0.5 "http://127.0.0.1:$MR/who"
)" "server B"

# ---- A console adds a mapping service and reads them all back ----------------------------------
if python3 "$(dirname "$0")/rc_client.py" mapping "$RC" "$OP $OP3 $UPL"; then pass "console mapping scenario"; else
  fail "console mapping scenario"
fi
expect_eq "uploaded mapping: default" "$(curl -sS "http://127.0.0.1:$UPL/who")" "server A"
expect_eq "uploaded mapping: rule" "$(curl -sS --interface 127.0.0.5 "http://127.0.0.1:$UPL/who")" "server B"
expect_eq "uploaded mapping stored" "$("$REG" query 'Services\Uploaded\Mappings\Mapping0\IncludedLocations' | grep -c 127.0.0.5)" "1"

# ---- Refusals ---------------------------------------------------------------------------------
out=$(curl -sS -m 10 "http://127.0.0.1:$MN/who" 2>&1 || true)
expect_not_contains "no rule and no default: nothing relayed" "$out" "server A"
log=$(cat "$TRELLIS_HOME"/Logs/Nowhere* 2>/dev/null || true)
expect_contains "no-mapping line" "$log" "No mapping or default not allowed - terminating"
zlog=$(cat "$TRELLIS_HOME"/Logs/Zero* 2>/dev/null || true)
expect_contains "port 0 refused" "$zlog" "Service not started: port 0"
expect_eq "port 0 service not running" "$(engine_listeners "$(engine_pid)" | grep -c ":0$" || true)" "0"

# ---- Roads back into the engine, seen by a client on another host of the LAN ---------------------
# A mapping whose destination is its own port (the first-run value IRCServer=127.0.0.1 makes one),
# two mappings that point at each other, a web proxy whose upstream proxy is itself or a mapping
# back to it: each connection is refused before anything is connected, so one client connection
# stays one, whether it comes straight or through a SOCKS CONNECT handed over to the mapping. The
# engine's threads and descriptors stay where they were, other clients are served, a chain of
# mappings that leaves the engine works, the refusal is logged once per start and counted in the
# event log.
stop_engine
if [ "$(id -u)" != 0 ] || ! ip netns list >/dev/null 2>&1; then
  echo "note: not root or no ip netns: the roads back into the engine are not checked"
  finish
  exit 0
fi
gateway_and_client
ORIGIN=8000
mkdir -p "$WORK/lan" && echo "lan page" >"$WORK/lan/page"
in_cl python3 -m http.server "$ORIGIN" --bind 10.77.0.2 --directory "$WORK/lan" >/dev/null 2>&1 &
on_exit "kill $!"
"$REG" delete Services >/dev/null
"$REG" set 'Setup' Mode dword 1 >/dev/null
"$REG" set 'Setup' SecureInstall dword 0 >/dev/null
"$REG" set 'Setup' IRCServer sz 127.0.0.1 >/dev/null
"$REG" set 'Setup' InstallSOCKS dword 1 >/dev/null
gw_start_engine
wait_for 10 gw_listens 6667 || fail "IRC mapping not listening"
wait_for 10 gw_listens 1080 || fail "SOCKS not listening"
wait_for 10 cl_open 10.77.0.2 "$ORIGIN" || fail "LAN server not up"

# How the client's connection ends: "closed" when the gateway closes it without a byte. Through
# SOCKS 5, the reply comes first ("granted": the connection was handed to the service there).
ends() {  # ends PORT [socks]
  in_cl python3 - "$@" <<'PY'
import socket, struct, sys
s = socket.create_connection(("10.77.0.1", 1080 if len(sys.argv) > 2 else int(sys.argv[1])), 10)
s.settimeout(30)
if len(sys.argv) > 2:
    s.sendall(b"\x05\x01\x00")
    s.recv(2)
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("10.77.0.1") + struct.pack(">H", int(sys.argv[1])))
    reply = s.recv(10)
    print("granted" if reply[:2] == b"\x05\x00" else "reply %r" % reply, end=", ")
try:
    print("closed" if s.recv(100) == b"" else "data")
except socket.timeout:
    print("open")
except ConnectionResetError:
    print("closed")
PY
}
PID=$(engine_pid)
threads() { awk '/^Threads:/ {print $2}' "/proc/$PID/status"; }
fds() { find "/proc/$PID/fd" -mindepth 1 | wc -l; }
# A loop makes thousands of threads and descriptors within seconds; sessions that end leave a few.
flat() { [ "$(threads)" -le $((T0 + 40)) ] && [ "$(fds)" -le $((F0 + 80)) ]; }
T0=$(threads)
F0=$(fds)
for i in 1 2 3; do expect_eq "self-targeting mapping refused ($i)" "$(ends 6667)" "closed"; done
expect_eq "SOCKS CONNECT to that mapping handed over and refused" "$(ends 6667 socks)" "granted, closed"
expect_eq "another client served meanwhile" \
  "$(in_cl curl -sS -m 20 --socks5 10.77.0.1:1080 "http://10.77.0.2:$ORIGIN/page" 2>&1)" "lan page"
wait_for 10 flat && pass "threads and descriptors flat" || fail "threads $T0 -> $(threads), descriptors $F0 -> $(fds)"
looplines() { grep -c "would loop back into this service ($1)" "$TRELLIS_HOME/Logs/$2".*.log || true; }
expect_eq "logged once for four refusals" "$(looplines "IRC Mapping -> IRC Mapping" "IRC Mapping")" "1"
in_gw "$T" -stop >/dev/null
wait_for 15 no_engine_process || fail "engine did not stop"
expect_contains "refusals counted in the event log" "$(cat "$TRELLIS_EVENTLOG")" \
  "Service IRC Mapping: connections refused since its start that would have looped back into its own listener: 4"

# Roads through other services, after a restart.
svc() {  # svc NAME CLASS PORT
  "$REG" set "Services\\$1" ServiceType sz "$2" >/dev/null
  "$REG" set "Services\\$1" Name sz "$1" >/dev/null
  "$REG" set "Services\\$1" PortNumber dword "$3" >/dev/null
}
to() {  # to NAME HOST PORT LISTEN-PORT: a mapping to a default destination
  svc "$1" CTCPMappingService "$4"
  "$REG" set "Services\\$1\\Mappings" Host sz "$2" >/dev/null
  "$REG" set "Services\\$1\\Mappings" Port dword "$3" >/dev/null
}
upstream() {  # upstream NAME PORT PROXY PROXY-PORT: a web proxy with an upstream HTTP proxy
  svc "$1" CWWWService "$2"
  "$REG" set "Services\\$1" ConnectMethod dword 1 >/dev/null
  "$REG" set "Services\\$1" ProxyServer sz "$3" >/dev/null
  "$REG" set "Services\\$1" ProxyPort dword "$4" >/dev/null
}
to A 10.77.0.1 17002 17001
to B localhost 17001 17002
to C 127.0.0.1 17004 17003
to D 10.77.0.2 "$ORIGIN" 17004
upstream W1 18080 127.0.0.1 18080
upstream W2 18081 10.77.0.1 17005
to M 127.0.0.1 18081 17005
gw_start_engine
for p in 6667 17001 17002 17003 17004 17005 18080 18081; do wait_for 10 gw_listens "$p" || fail "$p not listening"; done
PID=$(engine_pid)
T0=$(threads)
F0=$(fds)
expect_eq "self-targeting mapping refused after the restart" "$(ends 6667)" "closed"
expect_eq "logged again once after the restart" "$(looplines "IRC Mapping -> IRC Mapping" "IRC Mapping")" "2"
expect_eq "mapping A -> B -> A refused" "$(ends 17001)" "closed"
expect_eq "mapping B -> A -> B refused" "$(ends 17002)" "closed"
expect_eq "mapping M -> W2 -> M refused" "$(ends 17005)" "closed"
expect_eq "a chain of mappings that leaves the engine" "$(in_cl curl -sS -m 20 "http://10.77.0.1:17003/page" 2>&1)" "lan page"
code() { in_cl curl -s -m 20 -o /dev/null -w '%{http_code}' -x "http://10.77.0.1:$1" "http://10.77.0.2:$ORIGIN/page" || true; }
expect_eq "web proxy whose upstream is itself" "$(code 18080)" "502"
expect_eq "web proxy whose upstream is a mapping back to it" "$(code 18081)" "502"
wait_for 10 flat && pass "threads and descriptors flat after the roads" || fail "threads $T0 -> $(threads), descriptors $F0 -> $(fds)"
expect_eq "A's road logged" "$(looplines "A -> B -> A" A)" "1"
expect_eq "B's road logged" "$(looplines "B -> A -> B" B)" "1"
expect_eq "W1's road logged" "$(looplines "W1 -> W1" W1)" "1"
expect_eq "W2's road logged" "$(looplines "W2 -> M -> W2" W2)" "1"
expect_eq "M's road logged" "$(looplines "M -> W2 -> M" M)" "1"

finish

#!/usr/bin/env bash
# The three streaming relays in the running engine, with scripted players and servers written from
# their byte tables (streaming_peers.py): RealAudio's records, status, control messages and data
# datagrams; VDOLive's request, set-up, hello and media both ways, and a non-proxy request that
# the service's action gives no server (closed, logged); XDMA's rewritten datagrams and answers.
# The engine runs in a gateway namespace; the peers above run on the gateway itself. RealAudio and
# VDOLive always connect directly, whatever upstream method the registry holds for them. An XDMA
# player on another host of the LAN that names the gateway's loopback or one of the gateway's own
# datagram services as its server gets nothing back, while a server on the LAN is relayed to.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns
gateway_and_client

PEERS="$(dirname "$0")/streaming_peers.py"
RA=11090
VD=17000
XD=18000
UM=18053      # a UDP mapping of the gateway, on every address
ECHO=18061    # a datagram server on the gateway's loopback only (and the mapping's destination)
LANSRV=27001  # a datagram server on the client's network
"$T" -i >/dev/null
on_exit "$T -u"
relay() {  # NAME CLASS PORT BINDING-OPTION
  "$REG" set "Services\\$1" ServiceType sz "$2" >/dev/null
  "$REG" set "Services\\$1" PortNumber dword "$3" >/dev/null
  "$REG" set "Services\\$1" BindingOption dword "$4" >/dev/null
  "$REG" set "Services\\$1" SpecificBinding sz 127.0.0.1 >/dev/null
  "$REG" set "Services\\$1\\AccessRights\\Recipient0" UserName sz Everyone >/dev/null
}
relay RealAudio CRealAudioService "$RA" 1
relay VDOLive CVDOLiveService "$VD" 1
# A player that takes the gateway for its server: redirect (2) names no server for VDOLive.
"$REG" set 'Services\VDOLive' NonProxyRequestAction dword 2 >/dev/null
relay XDMA CXDMAService "$XD" 0
# Upstream methods these relays do not offer, towards a proxy that is not there: ignored.
"$REG" set 'Services\RealAudio' ConnectMethod dword 2 >/dev/null
"$REG" set 'Services\VDOLive' ConnectMethod dword 4 >/dev/null
for s in RealAudio VDOLive; do
  "$REG" set "Services\\$s" ProxyServer sz 127.0.0.9 >/dev/null
  "$REG" set "Services\\$s" ProxyPort dword 9 >/dev/null
done
relay 'Echo Mapping' CUDPMappingService "$UM" 0
"$REG" set 'Services\Echo Mapping\Mappings' Host sz 127.0.0.2 >/dev/null
"$REG" set 'Services\Echo Mapping\Mappings' Port dword "$ECHO" >/dev/null
"$REG" set 'Services\Echo Mapping\Mappings' AllowDefault dword 1 >/dev/null
"$REG" set Settings Version dword 513 >/dev/null

in_gw python3 "$PEERS" answer 127.0.0.2 "$ECHO" &
on_exit "kill $!"
in_cl python3 "$PEERS" answer 10.77.0.2 "$LANSRV" &
on_exit "kill $!"
gw_start_engine
wait_for 10 gw_listens "$RA" || fail "RealAudio relay not listening"
wait_for 10 gw_listens "$VD" || fail "VDOLive relay not listening"
for s in XDMA 'Echo Mapping'; do
  wait_for 10 grep -q "Service started" "$TRELLIS_HOME/Logs/$s".*.log || fail "$s did not start"
done

for r in "realaudio $RA" "vdolive $VD" "xdma $XD"; do
  set -- $r
  if in_gw python3 "$PEERS" "$1" "$2"; then pass "$1 peers"; else fail "$1 peers"; fi
done
grep -q "VDOLive://127.0.0.2:" "$TRELLIS_HOME"/Logs/VDOLive.*.log && pass "VDOLive request logged" ||
  fail "no VDOLive request line"
out=$(in_gw python3 - "$VD" <<'PY'
import socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), 5)
s.settimeout(20)
body = struct.pack(">I", 3) + b"abc\x00" + struct.pack(">III", 1, 2, 5000)
s.sendall(struct.pack(">II", len(body) + 4, 6) + body)
try:
    print("closed" if s.recv(100) == b"" else "answered")
except socket.timeout:
    print("held")
except ConnectionResetError:
    print("closed")
PY
)
expect_eq "VDOLive non-proxy request with action 2 closed" "$out" "closed"
wait_for 5 grep -q "Non proxy request: action 2 names no server - terminating" "$TRELLIS_HOME"/Logs/VDOLive.*.log &&
  pass "and logged" || fail "VDOLive non-proxy action 2 not logged"

# ---- What an XDMA player on the LAN may name as its server ---------------------------------------
names() { in_cl python3 "$PEERS" xdma-names 10.77.0.1 "$XD" "$1" "$2"; }
expect_eq "XDMA to a server on the LAN" "$(names 10.77.0.2 "$LANSRV")" "answer"
expect_eq "XDMA to the gateway's own UDP mapping refused" "$(names 127.0.0.1 "$UM")" "none"
expect_eq "XDMA to that mapping at 0.0.0.0 refused" "$(names 0.0.0.0 "$UM")" "none"
expect_eq "XDMA to that mapping at the gateway's address refused" "$(names 10.77.0.1 "$UM")" "none"
expect_eq "XDMA to a server on the gateway's loopback refused" "$(names 127.0.0.2 "$ECHO")" "none"
expect_eq "XDMA to the relay itself refused" "$(names 10.77.0.1 "$XD")" "none"
XLOG=$(cat "$TRELLIS_HOME"/Logs/XDMA.*.log)
expect_contains "refusal logged as failed authorisation" "$XLOG" "Connection to 127.0.0.2:$ECHO refused - the gateway's loopback"
expect_contains "own service named in the refusal" "$XLOG" "Connection to 10.77.0.1:$UM refused - one of this gateway's own services"
expect_eq "the mapping relayed no player's datagram" \
  "$(grep -c "UDPMapping:" "$TRELLIS_HOME"/Logs/Echo\ Mapping.*.log || true)" "0"
expect_eq "engine still runs" "$(engine_running && echo yes)" "yes"
finish

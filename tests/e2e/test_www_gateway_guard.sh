#!/usr/bin/env bash
# The web proxy cannot be turned against the gateway: the engine runs in a network namespace of
# this test's own (the "gateway"), a client in a second namespace (another host of the network)
# asks the proxy for the remote-control port and for another loopback-only service of the gateway
# in every spelling of the loopback, through GET and CONNECT, and is refused every time; ordinary
# forwarding to a server of the client's own network still works, and a client on the gateway
# itself still reaches the gateway's loopback service that is not one of the engine's own.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns
gateway_and_client

PROXY=8080
RC=8808
OTHER=8909
ORIGIN=8000
seed() {  # seed NAME CLASS PORT BINDING-OPTION
  local key="Services\\$1"
  "$REG" set "$key" ServiceType sz "$2" >/dev/null
  "$REG" set "$key" Name sz "$1" >/dev/null
  "$REG" set "$key" PortNumber dword "$3" >/dev/null
  "$REG" set "$key" BindingOption dword "$4" >/dev/null
  "$REG" set "$key" SpecificBinding sz 127.0.0.1 >/dev/null
}
"$T" -i >/dev/null
seed 'Remote Control Service' CRemoteControlService "$RC" 1
seed 'WWW Proxy server' CWWWService "$PROXY" 0
"$REG" set Settings Version dword 513 >/dev/null

# A loopback-only service of the gateway that is not the engine's, and a server on the client's net.
mkdir -p "$WORK/www" && echo "private" >"$WORK/www/secret.txt" && echo "public" >"$WORK/www/page.txt"
in_gw python3 -m http.server "$OTHER" --bind 127.0.0.1 --directory "$WORK/www" >/dev/null 2>&1 &
on_exit "kill $!"
in_cl python3 -m http.server "$ORIGIN" --bind 10.77.0.2 --directory "$WORK/www" >/dev/null 2>&1 &
on_exit "kill $!"

gw_start_engine
wait_for 30 gw_listens "$RC" || fail "remote-control service not listening in the gateway"
wait_for 30 cl_open 10.77.0.1 "$PROXY" || fail "proxy not reachable from the client's network"
wait_for 30 gw_listens "$OTHER" || fail "loopback service not up"
wait_for 30 cl_open 10.77.0.2 "$ORIGIN" || fail "origin not up"

# One raw request through the proxy, exactly as spelled; prints the status line.
ask() {  # ask NAMESPACE-RUNNER ADDRESS REQUEST-LINE
  "$1" python3 "$(dirname "$0")/raw_http.py" "$2" "$PROXY" "$3"
}

# A refusal is the access-denied page; a CONNECT to a literal own address (any spelling the
# resolver reads as 127.0.0.1 is that address) is first turned to the address the client used
# (where nothing of these listens), so it ends in an error of its own. Never "200": nothing is
# relayed.
for host in localhost 127.1 0 0.0.0.0 2130706433 0x7f000001 127.000.000.001 127.0.0.1; do
  for port in "$RC" "$OTHER"; do
    expect_contains "GET $host:$port refused" "$(ask in_cl 10.77.0.1 "GET http://$host:$port/secret.txt HTTP/1.0")" "403"
    line=$(ask in_cl 10.77.0.1 "CONNECT $host:$port HTTP/1.0")
    expect_not_contains "CONNECT $host:$port not relayed" "$line" " 200 "
    expect_contains "CONNECT $host:$port answered with an error" "$line" "HTTP/1.0 "
  done
  case $host in
    localhost | 0 | 0.0.0.0) expected=403 ;;  # not an address of this host's interfaces
    *) expected=502 ;;
  esac
  expect_contains "CONNECT $host:$RC is the refusal or goes to the client's own address" \
    "$(ask in_cl 10.77.0.1 "CONNECT $host:$RC HTTP/1.0")" "$expected"
done
# A service the engine listens with on every interface is refused at any of the gateway's addresses.
expect_contains "CONNECT to the proxy's own port at the gateway's address refused" \
  "$(ask in_cl 10.77.0.1 "CONNECT 10.77.0.1:$PROXY HTTP/1.0")" "HTTP/1.0 40"
LOG=$(cat "$TRELLIS_HOME"/Logs/*Remote* 2>/dev/null || true)
expect_not_contains "no console session came through the proxy" "$LOG" "Guest"

# Ordinary forwarding to the client's own network works.
out=$(in_cl curl -sS -x "http://10.77.0.1:$PROXY" "http://10.77.0.2:$ORIGIN/page.txt" || true)
expect_eq "forwarding to the client's network" "$out" "public"
# A client on the gateway itself may use the gateway's loopback (not the engine's own services).
out=$(in_gw curl -sS -x "http://127.0.0.1:$PROXY" "http://127.0.0.1:$OTHER/secret.txt" || true)
expect_eq "a client on the gateway reaches its loopback service" "$out" "private"
expect_contains "a client on the gateway is still refused the remote control" \
  "$(ask in_gw 127.0.0.1 "CONNECT 127.0.0.1:$RC HTTP/1.0")" "403"

in_gw "$T" -stop >/dev/null
wait_for 30 no_engine_process || fail "engine did not stop"
"$T" -u >/dev/null
finish

#!/usr/bin/env bash
# UDP port mappings with real clients and servers on loopback: dig asks a dnsmasq through a
# mapping and gets its answer; through a mapping to a Python echo server two clients each get
# their own datagrams back, the empty datagram, a 8000-byte one and one of 65507 bytes (the most
# UDP carries over IPv4) included; a datagram the destination's port refuses leaves the session
# serving; with no rule and no default nothing is relayed and the service says so; a mapping to its
# own port, and two mappings to each other, relay nothing and make no session beyond the client's
# own (the engine's descriptors stay flat), with the refusal logged once.
source "$(dirname "$0")/lib.sh"

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

DP=$(free_port 127.0.0.2)  # dnsmasq (UDP; the TCP probe only picks a number)
UP=$(free_port 127.0.0.2)  # echo
MD=$(free_port 127.0.0.1)
ME=$(free_port 127.0.0.1)
MN=$(free_port 127.0.0.1)

dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces \
  --listen-address=127.0.0.2 --port="$DP" --address=/example.test/10.1.2.3 --user=root \
  --pid-file="$WORK/dnsmasq.pid" >"$WORK/dnsmasq.log" 2>&1 &
PIDS+=($!)
cat >"$WORK/echo.py" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.2", int(sys.argv[1])))
while True:
    data, peer = s.recvfrom(65536)
    s.sendto(data, peer)
PY
python3 "$WORK/echo.py" "$UP" &
PIDS+=($!)

"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' SecureInstall dword 0
start_engine
stop_engine
store_udp() {  # NAME PORT DEST-PORT [ALLOW-DEFAULT [DEST-HOST]]
  "$REG" set "Services\\$1" ServiceType sz CUDPMappingService >/dev/null
  "$REG" set "Services\\$1" PortNumber dword "$2" >/dev/null
  "$REG" set "Services\\$1\\Mappings" Host sz "${5:-127.0.0.2}" >/dev/null
  "$REG" set "Services\\$1\\Mappings" Port dword "$3" >/dev/null
  "$REG" set "Services\\$1\\Mappings" AllowDefault dword "${4:-1}" >/dev/null
}
store_udp DNS "$MD" "$DP"
store_udp Echo "$ME" "$UP"
store_udp Nowhere "$MN" "$UP" 0
ML=$(free_port 127.0.0.1)
MA=$(free_port 127.0.0.1)
MB=$(free_port 127.0.0.1)
store_udp Loop "$ML" "$ML" 1 127.0.0.1
store_udp Ping "$MA" "$MB" 1 127.0.0.1
store_udp Pong "$MB" "$MA" 1 0.0.0.0
start_engine
wait_for 10 grep -q "Service started" "$TRELLIS_HOME"/Logs/Echo.*.log || fail "UDP mapping did not start"
sleep 0.5

# ---- Real DNS over the mapping ------------------------------------------------------------------
expect_eq "dig through the mapping" "$(dig +short +tries=2 +time=3 @127.0.0.1 -p "$MD" example.test A)" "10.1.2.3"
expect_eq "dig again (same session)" "$(dig +short +tries=2 +time=3 @127.0.0.1 -p "$MD" example.test A)" "10.1.2.3"

# ---- Echo: two clients, empty and large datagrams -----------------------------------------------
cat >"$WORK/client.py" <<'PY'
import socket, sys
port = int(sys.argv[1])
a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); a.bind(("127.0.0.1", 0)); a.settimeout(3)
b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); b.bind(("127.0.0.1", 0)); b.settimeout(3)
def rt(s, data):
    s.sendto(data, ("127.0.0.1", port))
    got, peer = s.recvfrom(65536)
    return got == data and peer == ("127.0.0.1", port)
ok = []
ok.append(rt(a, b"from a"))
ok.append(rt(b, b"from b"))
ok.append(rt(a, b""))
ok.append(rt(b, bytes(range(256)) * 31 + b"x" * 64))
ok.append(rt(a, bytes(range(256)) * 255 + b"y" * 227))  # 65507 bytes, the most UDP carries over IPv4
ok.append(rt(a, b"a again"))
print(" ".join("1" if x else "0" for x in ok))
PY
expect_eq "two clients, empty, 8000-byte and 65507-byte datagrams" "$(python3 "$WORK/client.py" "$ME" 2>&1)" \
  "1 1 1 1 1 1"

# ---- A destination that refuses, then serves: the same client's session goes on ---------------
CP=$(free_port 127.0.0.1)
cat >"$WORK/same.py" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[2]))); s.settimeout(1)
for _ in range(int(sys.argv[3])):
    s.sendto(sys.argv[4].encode(), ("127.0.0.1", int(sys.argv[1])))
    try:
        print(s.recvfrom(100)[0].decode()); break
    except OSError:
        pass
else:
    print("none")
PY
expect_eq "first datagram of the client" "$(python3 "$WORK/same.py" "$ME" "$CP" 1 one)" "one"
kill "${PIDS[1]}"
expect_eq "destination gone" "$(python3 "$WORK/same.py" "$ME" "$CP" 2 two)" "none"
python3 "$WORK/echo.py" "$UP" &
PIDS+=($!)
sleep 0.5
expect_eq "same client after the refusal" "$(python3 "$WORK/same.py" "$ME" "$CP" 3 three)" "three"

# ---- No rule, no default ----------------------------------------------------------------------
out=$(python3 - "$MN" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(1)
s.sendto(b"hello", ("127.0.0.1", int(sys.argv[1])))
try: print(s.recvfrom(100)[0])
except OSError: print("none")
PY
)
expect_eq "no mapping: nothing back" "$out" "none"
wait_for 5 grep -q "No mapping or default not allowed - terminating" "$TRELLIS_HOME"/Logs/Nowhere.*.log ||
  fail "no-mapping line"

# ---- Roads back into the service ----------------------------------------------------------------
PID=$(engine_pid)
fds() { find "/proc/$PID/fd" -mindepth 1 | wc -l; }
F0=$(fds)
ask() {  # ask PORT: three clients, one datagram each; what came back
  python3 - "$1" <<'PY'
import socket, sys
got = []
for _ in range(3):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(1)
    s.sendto(b"hello", ("127.0.0.1", int(sys.argv[1])))
    try: got.append(s.recvfrom(100)[0].decode())
    except OSError: got.append("none")
print(" ".join(got))
PY
}
expect_eq "mapping to its own port: nothing back" "$(ask "$ML")" "none none none"
expect_eq "two mappings to each other: nothing back" "$(ask "$MA")" "none none none"
# Each looping datagram would make a session with a socket of its own, without end.
wait_for 10 test "$(fds)" -le $((F0 + 40)) && pass "descriptors flat" || fail "descriptors $F0 -> $(fds)"
expect_eq "logged once" "$(grep -c "would loop back into this service (Loop -> Loop)" "$TRELLIS_HOME"/Logs/Loop.*.log)" "1"
expect_contains "the road through the other mapping" "$(cat "$TRELLIS_HOME"/Logs/Ping.*.log)" \
  "Connection to 127.0.0.1:$MB would loop back into this service (Ping -> Pong -> Ping) - refused"
expect_eq "engine still runs" "$(engine_running && echo yes)" "yes"

finish

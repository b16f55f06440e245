#!/usr/bin/env bash
# UDP port mappings with real clients and servers on loopback: dig asks a dnsmasq through a
# mapping and gets its answer; through a mapping to a Python echo server two clients each get
# their own datagrams back, the empty datagram and a 8000-byte one included; a datagram the
# destination's port refuses leaves the session serving; with no rule and no default nothing is
# relayed and the service says so.
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
wait_for 30 udp_bound 127.0.0.2 "$DP" || fail "dnsmasq did not start"
wait_for 30 udp_bound 127.0.0.2 "$UP" || fail "echo server did not start"

"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' SecureInstall dword 0
start_engine
stop_engine
store_udp() {
  "$REG" set "Services\\$1" ServiceType sz CUDPMappingService >/dev/null
  "$REG" set "Services\\$1" PortNumber dword "$2" >/dev/null
  "$REG" set "Services\\$1\\Mappings" Host sz 127.0.0.2 >/dev/null
  "$REG" set "Services\\$1\\Mappings" Port dword "$3" >/dev/null
  "$REG" set "Services\\$1\\Mappings" AllowDefault dword "${4:-1}" >/dev/null
}
store_udp DNS "$MD" "$DP"
store_udp Echo "$ME" "$UP"
store_udp Nowhere "$MN" "$UP" 0
start_engine
for p in "$MD" "$ME" "$MN"; do wait_for 30 udp_bound 127.0.0.1 "$p" || fail "UDP mapping on $p did not start"; done

# ---- Real DNS over the mapping ------------------------------------------------------------------
expect_eq "dig through the mapping" "$(dig +short +tries=2 +time=3 @127.0.0.1 -p "$MD" example.test A)" "10.1.2.3"
expect_eq "dig again (same session)" "$(dig +short +tries=2 +time=3 @127.0.0.1 -p "$MD" example.test A)" "10.1.2.3"

# ---- Echo: two clients, empty and large datagrams -----------------------------------------------
cat >"$WORK/client.py" <<'PY'
import socket, sys
port = int(sys.argv[1])
a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); a.bind(("127.0.0.1", 0)); a.settimeout(15)
b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); b.bind(("127.0.0.1", 0)); b.settimeout(15)
def rt(s, data):
    s.sendto(data, ("127.0.0.1", port))
    got, peer = s.recvfrom(65536)
    return got == data and peer == ("127.0.0.1", port)
ok = []
ok.append(rt(a, b"from a"))
ok.append(rt(b, b"from b"))
ok.append(rt(a, b""))
ok.append(rt(b, bytes(range(256)) * 31 + b"x" * 64))
ok.append(rt(a, b"a again"))
print(" ".join("1" if x else "0" for x in ok))
PY
expect_eq "two clients, empty and 8000-byte datagrams" "$(python3 "$WORK/client.py" "$ME" 2>&1)" "1 1 1 1 1"

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
wait_for 30 eval '! udp_bound 127.0.0.2 "$UP"' || fail "echo server still bound"
expect_eq "destination gone" "$(python3 "$WORK/same.py" "$ME" "$CP" 2 two)" "none"
python3 "$WORK/echo.py" "$UP" &
PIDS+=($!)
wait_for 30 udp_bound 127.0.0.2 "$UP" || fail "echo server did not start again"
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
wait_for 30 grep -q "No mapping or default not allowed - terminating" "$TRELLIS_HOME"/Logs/Nowhere.*.log ||
  fail "no-mapping line"
expect_eq "engine still runs" "$(engine_running && echo yes)" "yes"

finish

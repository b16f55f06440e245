#!/usr/bin/env bash
# The DHCP server with real clients inside network namespaces made here: the engine runs in "gw"
# bound to the address of a bridge; busybox udhcpc and ISC dhclient run in client namespaces joined
# to it by veth pairs. Checked: address, mask, router, DNS, domain and NTP options from the scope
# (more than 60 bytes of options, so a reply cut to the request's length would lose them), the
# excluded address and an address a host answers ping on never offered, a relayed request offered
# from the scope of its network, two clients with the same
# host name getting different addresses, a reservation by hardware address with an infinite
# lease, renewal (INIT-REBOOT) keeping the address, a lease surviving an engine restart, release,
# a NAK for an address outside the scope (with the server identifier, so dhclient starts over), and
# a console's change of the configuration (request 34 with the archive form) followed by the running
# server (a scope it removes takes its leases along), a declined address held back, malformed datagrams dropped while the server goes on answering.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns

GW=$(make_ns gw)
ip -n "$GW" link add br0 type bridge
ip -n "$GW" addr add 10.78.1.1/24 dev br0
ip -n "$GW" link set br0 up
# join NAME MAC: a client namespace on the bridge; prints the namespace and its interface.
join() {
  local ns
  ns=$(make_ns "$1")
  read -r a b < <(link_ns "$GW" "" "$ns" "")
  ip -n "$GW" link set "$a" master br0
  ip -n "$ns" link set "$b" down
  ip -n "$ns" link set "$b" address "$2"
  ip -n "$ns" link set "$b" up
  echo "$ns $b"
}
read -r C1 IF1 < <(join c1 02:00:00:00:00:01)
read -r C2 IF2 < <(join c2 02:00:00:00:00:02)
read -r C3 IF3 < <(join c3 02:00:00:00:00:03)
read -r ST IFS_ < <(join st 02:00:00:00:00:04)
read -r C4 IF4 < <(join c4 02:00:00:00:00:05)
# A host with a fixed address inside the range: it answers ping, so it is never offered.
ip -n "$ST" addr add 10.78.1.11/24 dev "$IFS_"
# It is also the relay agent of a network behind it (10.78.9.0/24, the second scope's).
ip -n "$ST" addr add 10.78.9.1/24 dev "$IFS_"
ip -n "$GW" route add 10.78.9.0/24 via 10.78.1.11
# The engine's own resolver: an address without a route, so no lookup leaves the namespaces (on
# the bridge's network it would make the bridge the gateway's outside, left out of the DNS relay's
# automatic binding).
ns_resolv "$GW" 10.78.2.254

# ---- Engine: first run makes the service, then it is given its binding and scope ------------
ns_first_run "$GW" InstallDHCP InstallDNS
ip netns exec "$GW" "$T" -stop >/dev/null
wait_for 15 no_engine_process || fail "engine did not stop"
SVC='Services\DHCP Service'
expect_contains "service stored" "$("$REG" query "$SVC" ServiceType)" "CDHCPService"
ip2dw() { python3 -c 'import ipaddress,sys; print(int(ipaddress.IPv4Address(sys.argv[1])))' "$1"; }
hexs() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
"$REG" set "$SVC" BindingOption dword 1
"$REG" set "$SVC" SpecificBinding sz 10.78.1.1
DB="$SVC\\Database"
"$REG" set "$DB" OperatingMode dword 2
S="$DB\\Scopes\\0000000001"
"$REG" set "$S" ScopeID dword 1
"$REG" set "$S" NetMask dword "$(ip2dw 255.255.255.0)"
"$REG" set "$S" BoundInterface sz 10.78.1.1
"$REG" set "$S" LeaseDuration dword 600
"$REG" set "$S" Enabled dword 1
"$REG" set "$S\\InclusionRange" StartAddress dword "$(ip2dw 10.78.1.10)"
"$REG" set "$S\\InclusionRange" EndAddress dword "$(ip2dw 10.78.1.20)"
"$REG" set "$S\\Exclusions\\0" StartAddress dword "$(ip2dw 10.78.1.10)"
"$REG" set "$S\\Exclusions\\0" EndAddress dword 0
opt() {  # opt KEY CODE HEX
  "$REG" set "$1\\$2" Option dword "$2"
  "$REG" set "$1\\$2" OptionLength dword $((${#3} / 2))
  "$REG" set "$1\\$2" OptionData binary "$3"
}
opt "$S\\Options" 3 0a4e0101
opt "$S\\Options" 6 0a4e0101
opt "$S\\Options" 15 "$(hexs lab.example.test)"
opt "$S\\Options" 42 0a4e01010a4e0102
opt "$S\\Options" 28 0a4e01ff
opt "$DB\\GlobalOptions" 40 "$(hexs nis-domain-of-the-test-network)"
# A second scope with a client's lease; the console removes the scope, and the lease goes with it.
S2="$DB\\Scopes\\0000000002"
"$REG" set "$S2" ScopeID dword 2
"$REG" set "$S2" NetMask dword "$(ip2dw 255.255.255.0)"
"$REG" set "$S2" BoundInterface sz 10.78.1.1
"$REG" set "$S2\\InclusionRange" StartAddress dword "$(ip2dw 10.78.9.10)"
"$REG" set "$S2\\InclusionRange" EndAddress dword "$(ip2dw 10.78.9.20)"
L2='DHCP\Leases\10.78.9.12'
"$REG" set "$L2" IPAddress sz 10.78.9.12
"$REG" set "$L2" MACAddress sz 0200000000AA
"$REG" set "$L2" ClientStatus dword 2
"$REG" set "$L2" ScopeID dword 2
"$REG" set "$L2" TimeStamp dword "$(date +%s)"
"$REG" set "$L2" LeaseDuration dword 600
R="$DB\\Reservations\\10.78.1.19"
"$REG" set "$R" IPAddress sz 10.78.1.19
"$REG" set "$R" MatchData sz 020000000003
"$REG" set "$R" MatchOn dword 1
"$REG" set "$R" ScopeID dword 1
# A console reaches the engine on the gateway's loopback.
RC=$(ns_free_port "$GW")
rc_service "$RC"
ip netns exec "$GW" "$T" -start >/dev/null
wait_for 10 engine_running || fail "engine did not start again"
sleep 1

# ---- Clients ----------------------------------------------------------------------------------
cat >"$WORK/udhcpc.sh" <<'SH'
#!/bin/sh
# The client takes its address as a real one would (a RELEASE is sent from it).
case "$1" in
  deconfig) ip addr flush dev "$interface"; exit 0 ;;
  bound|renew) ip addr flush dev "$interface"; ip addr add "$ip/$subnet" dev "$interface" ;;
  *) exit 0 ;;
esac
env | grep -E '^(ip|subnet|router|dns|domain|lease|serverid|ntpsrv|broadcast|opt40|nisdomain)=' | sort >"$OUT"
SH
chmod +x "$WORK/udhcpc.sh"
udhcpc() {  # udhcpc NS IF OUTFILE ARGS...
  local ns=$1 ifc=$2 out=$3
  shift 3
  rm -f "$out"
  OUT=$out ip netns exec "$ns" busybox udhcpc -i "$ifc" -f -q -n -t 6 -T 3 -s "$WORK/udhcpc.sh" "$@" \
    >>"$WORK/udhcpc.log" 2>&1
}
val() { sed -n "s/^$2=//p" "$1"; }

udhcpc "$C1" "$IF1" "$WORK/c1" -x hostname:samehost || fail "udhcpc c1 got no lease"
A1=$(val "$WORK/c1" ip)
expect_eq "c1: first free address (excluded .10 and pinged .11 skipped)" "$A1" "10.78.1.12"
expect_eq "c1: mask" "$(val "$WORK/c1" subnet)" "255.255.255.0"
expect_eq "c1: router" "$(val "$WORK/c1" router)" "10.78.1.1"
expect_eq "c1: dns" "$(val "$WORK/c1" dns)" "10.78.1.1"
expect_eq "c1: server id" "$(val "$WORK/c1" serverid)" "10.78.1.1"
expect_eq "c1: lease" "$(val "$WORK/c1" lease)" "600"
expect_eq "c1: domain" "$(val "$WORK/c1" domain)" "lab.example.test"
expect_eq "c1: NTP servers" "$(val "$WORK/c1" ntpsrv)" "10.78.1.1 10.78.1.2"
expect_eq "c1: broadcast" "$(val "$WORK/c1" broadcast)" "10.78.1.255"
expect_eq "c1: global option" "$(val "$WORK/c1" nisdomain)" "nis-domain-of-the-test-network"
expect_eq "lease bound in the registry" "$("$REG" query 'DHCP\Leases\10.78.1.12' ClientStatus | grep -o '0x[0-9a-f]*\|[0-9]*$' | tail -1)" "2"
expect_not_contains "udhcpc saw no malformed reply" "$(cat "$WORK/udhcpc.log")" "malformed"

# The same host name, another machine (dhclient): another address.
cat >"$WORK/dhclient.conf" <<'CF'
send host-name "samehost";
request subnet-mask, routers, domain-name-servers, domain-name, ntp-servers;
CF
# dhclient clears the environment of its script: the output file is written into it.
cat >"$WORK/dhclient-script" <<SH
#!/bin/sh
case "\$reason" in BOUND|RENEW|REBOOT|REBIND) echo "\$reason \$new_ip_address \$new_subnet_mask \$new_routers" >>"$WORK/c2";; esac
exit 0
SH
chmod +x "$WORK/dhclient-script"
dhc() {  # dhc ARGS...: dhclient in c2, one attempt, its lines in $WORK/c2
  timeout 40 ip netns exec "$C2" dhclient -4 -1 -v -cf "$WORK/dhclient.conf" -sf "$WORK/dhclient-script" \
    -lf "$WORK/c2.leases" -pf "$WORK/c2.pid" "$@" "$IF2" >>"$WORK/dhclient.log" 2>&1
}
dhc || fail "dhclient got no lease"
A2=$(awk '{print $2}' "$WORK/c2" 2>/dev/null | tail -1 || true)
expect_eq "dhclient with the same host name: its own address" "$A2" "10.78.1.13"
expect_contains "dhclient: mask and router" "$(tail -1 "$WORK/c2")" "255.255.255.0 10.78.1.1"
expect_not_contains "dhclient: no option buffer complaint" "$(cat "$WORK/dhclient.log")" "exceeds"
ip netns exec "$C2" dhclient -x -pf "$WORK/c2.pid" "$IF2" >/dev/null 2>&1 || true
ip -n "$C2" addr flush dev "$IF2"

# c1 again with the same name and its old address requested: still its own.
udhcpc "$C1" "$IF1" "$WORK/c1b" -x hostname:samehost -r "$A1" || fail "udhcpc c1 renewal"
expect_eq "c1 keeps its address" "$(val "$WORK/c1b" ip)" "$A1"
# A renewing client asks by unicast from its address and listens there: the ACK must come back
# to that address rather than as a broadcast.
out=$(ip netns exec "$C1" python3 - "$A1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 68))
s.settimeout(5)
b = bytearray(240)
b[0], b[1], b[2] = 1, 1, 6
b[4:8] = b"\x11\x22\x33\x44"
b[12:16] = socket.inet_aton(sys.argv[1])
b[28:34] = b"\x02\x00\x00\x00\x00\x01"
b[236:240] = bytes([99, 130, 83, 99])
s.sendto(bytes(b) + b"\x35\x01\x03\xff" + b"\x00" * 56, ("10.78.1.1", 67))
try:
    r, a = s.recvfrom(2048)
    print("reply", a[0], "type", r[242], "yiaddr", socket.inet_ntoa(r[16:20]), "length", len(r))
except socket.timeout:
    print("no reply")
PY
)
expect_contains "unicast renewal answered to the client's address" "$out" "reply 10.78.1.1 type 5 yiaddr $A1"

# ---- Reservation ------------------------------------------------------------------------------
udhcpc "$C3" "$IF3" "$WORK/c3" -x hostname:printer || fail "udhcpc c3 got no lease"
expect_eq "reserved address" "$(val "$WORK/c3" ip)" "10.78.1.19"
expect_eq "reserved lease never ends" "$(val "$WORK/c3" lease)" "4294967295"
expect_contains "reserved lease keeps status 4" "$("$REG" query 'DHCP\Leases\10.78.1.19' ClientStatus)" "4"
# The DNS relay answers the client's name from its lease.
out=$(ip netns exec "$C3" dig @10.78.1.1 +time=2 +tries=1 +short printer 2>&1)
expect_eq "DNS relay answers a DHCP client's name" "$out" "10.78.1.19"

# ---- Restart: the bound lease is still there and dhclient's INIT-REBOOT gets it back -----------
ip netns exec "$GW" "$T" -stop >/dev/null
wait_for 15 no_engine_process || fail "engine did not stop"
ip netns exec "$GW" "$T" -start >/dev/null
wait_for 10 engine_running || fail "engine did not start after the stop"
sleep 1
dhc || fail "dhclient after restart"
expect_eq "dhclient keeps its address over a restart" "$(awk '{print $1, $2}' "$WORK/c2" | tail -1)" "REBOOT $A2"
ip netns exec "$C2" dhclient -x -pf "$WORK/c2.pid" "$IF2" >/dev/null 2>&1 || true
ip -n "$C2" addr flush dev "$IF2"

# ---- NAK: dhclient asks for an address outside the scope and starts over --------------------------
sed -i "s/fixed-address [0-9.]*;/fixed-address 10.78.1.99;/" "$WORK/c2.leases"
: >"$WORK/dhclient.log"
dhc || fail "dhclient after the NAK"
expect_contains "NAK received" "$(cat "$WORK/dhclient.log")" "DHCPNAK from 10.78.1.1"
expect_eq "a fresh lease after the NAK" "$(awk '{print $1}' "$WORK/c2" | tail -1)" "BOUND"
ip netns exec "$C2" dhclient -x -pf "$WORK/c2.pid" "$IF2" >/dev/null 2>&1 || true

# ---- Renewal and release by a running client ---------------------------------------------------
# SIGUSR1 makes udhcpc renew by unicast from its address (the ACK must come back to that address,
# not as a broadcast), SIGUSR2 makes it release.
rm -f "$WORK/c1e"
OUT="$WORK/c1e" ip netns exec "$C1" busybox udhcpc -i "$IF1" -f -t 6 -T 3 -s "$WORK/udhcpc.sh" -x hostname:samehost \
  -r "$A1" >>"$WORK/udhcpc-daemon.log" 2>&1 &
UPID=$!
on_exit "kill $UPID"
wait_for 20 test -s "$WORK/c1e" || fail "running udhcpc got no lease"
rm -f "$WORK/c1e"
kill -USR1 "$UPID"
wait_for 15 test -s "$WORK/c1e" || fail "no renewal"
expect_contains "renewal asked" "$(cat "$WORK/udhcpc-daemon.log")" "sending renew to server 10.78.1.1"
expect_eq "renewed address" "$(val "$WORK/c1e" ip)" "$A1"
kill -USR2 "$UPID"
released() { "$REG" query "DHCP\\Leases\\$A1" ClientStatus | grep -q 'dword:3'; }
wait_for 10 released && pass "released lease has status 3" || fail "lease not released"
kill "$UPID" 2>/dev/null || true
wait "$UPID" 2>/dev/null || true

# ---- A console edits the configuration: the running server follows -------------------------------
out=$(ip netns exec "$ST" python3 "$(dirname "$0")/dhcp_client.py" relay 10.78.9.1 10.78.1.1)
expect_eq "a relayed request is offered from the scope that holds its network" "$out" "offer 10.78.9.10"
expect_contains "the second scope's lease is held" "$("$REG" export 'DHCP\Leases')" "10.78.9.12"
if ip netns exec "$GW" python3 "$(dirname "$0")/rc_client.py" dhcp "$RC" secret; then pass "console DHCP scenario"; else
  fail "console DHCP scenario"
fi
expect_contains "new exclusion stored" "$("$REG" query "$S\\Exclusions\\1" StartAddress)" "dword:$(ip2dw 10.78.1.14)"
expect_contains "new reservation stored" "$("$REG" query "$DB\\Reservations\\10.78.1.18" MatchData)" "NAMED"
expect_not_contains "the removed scope's lease went with it" "$("$REG" export 'DHCP\Leases')" "10.78.9.12"
# A newcomer: .11 answers ping, .12 was released (taken back only when no new address is left),
# .13 is bound, .14 and .15 are excluded now.
udhcpc "$C4" "$IF4" "$WORK/c4" -x hostname:newcomer || fail "newcomer got no lease"
expect_eq "newcomer skips the addresses excluded by the console" "$(val "$WORK/c4" ip)" "10.78.1.16"

# ---- Decline: the newcomer reports .16 in use; it is not offered again for a while ------------------
ip netns exec "$C4" python3 - <<'PY'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.78.1.16", 68))
b = bytearray(240)
b[0], b[1], b[2] = 1, 1, 6
b[4:8] = b"\x55\x66\x77\x88"
b[28:34] = b"\x02\x00\x00\x00\x00\x05"
b[236:240] = bytes([99, 130, 83, 99])
opts = b"\x35\x01\x04" + b"\x32\x04" + socket.inet_aton("10.78.1.16") + b"\x36\x04" + socket.inet_aton("10.78.1.1") + b"\xff"
s.sendto(bytes(b) + opts, ("10.78.1.1", 67))
PY
ip -n "$C4" addr flush dev "$IF4"
udhcpc "$C4" "$IF4" "$WORK/c4b" -x hostname:newcomer || fail "newcomer got no lease after its decline"
expect_eq "declined address held back" "$(val "$WORK/c4b" ip)" "10.78.1.17"

# ---- Malformed datagrams ----------------------------------------------------------------------------
out=$(ip netns exec "$ST" python3 - <<'PY'
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
def base(op=1, hlen=6):
    b = bytearray(240)
    b[0], b[1], b[2] = op, 1, hlen
    b[4:8] = b"\x11\x22\x33\x44"
    b[28:34] = b"\x02\x00\x00\x00\x00\x09"
    b[236:240] = bytes([99, 130, 83, 99])
    return b
cases = [
    bytes(base())[:200],                                      # short
    bytes(base()[:236]) + b"\x00\x00\x00\x00" + b"\x35\x01\x01\xff",  # bad cookie
    bytes(base(op=2)) + b"\x35\x01\x01\xff",                  # a reply
    bytes(base(hlen=255)) + b"\x35\x01\x01\xff",              # hlen 255
    bytes(base()) + b"\x35\x01\x01" + b"\x0c\xff" + b"x" * (1023 - 245),  # option past the end
    bytes(base()) + b"\x35\x00\xff",                          # option 53 of length 0
    bytes(base()) + b"\x35\x01\x01\x32\x02\x0a\x4e\xff",      # option 50 of length 2
    bytes(base()) + b"\x35\x01\x01\xff" + b"\x0c\xf0junk",    # END then junk
]
for c in cases:
    s.sendto(c, ("10.78.1.1", 67))
print("sent", len(cases))
PY
)
expect_eq "malformed datagrams sent" "$out" "sent 8"
udhcpc "$C1" "$IF1" "$WORK/c1d" -x hostname:samehost || fail "no lease after malformed datagrams"
expect_contains "a lease after the malformed datagrams" "$(val "$WORK/c1d" ip)" "10.78.1."
ip netns pids "$GW" | grep -q . && pass "engine still runs" || fail "engine gone"

finish

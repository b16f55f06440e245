#!/usr/bin/env bash
# The DNS relay with real clients inside network namespaces made here: the engine runs in "gw" on
# port 53, dig, host and the glibc resolver (getent) ask it from "cl", and a dnsmasq in "up"
# is the gateway's own resolver with fixed test data (one of its domains forwarded to a server that
# never answers). Checked: the gateway's own name answered with the address the query arrived on
# (with and without EDNS, no dig warning) and not at all on the resolver's side, a current DHCP
# lease's name, a released lease's name not answered from the lease, a lease never answering for a
# dotted name or the gateway's own name (a busybox udhcpc taking a lease with a dotted host name
# included), outside names through the
# resolver (an alias answered under the queried name, NXDOMAIN for a missing name, NODATA for a
# name without IPv4), numbers in every form inet_aton reads refused with NXDOMAIN, hanging lookups
# holding up no other name, refusals of other types, and malformed datagrams dropped or refused
# while the relay goes on answering.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns

GW=$(make_ns gw)
CL=$(make_ns cl)
UP=$(make_ns up)
read -r _ CLIF < <(link_ns "$GW" 10.77.1.1/24 "$CL" 10.77.1.2/24)
link_ns "$GW" 10.77.2.1/24 "$UP" 10.77.2.2/24 >/dev/null
ip -n "$CL" route add default via 10.77.1.1
ns_resolv "$GW" 10.77.2.2
# A name that is never answered takes 2 x 15 s: far longer than any answer of a busy machine.
echo "options timeout:15 attempts:2" >>"/etc/netns/$GW/resolv.conf"
ns_resolv "$CL" 10.77.1.1

# ---- The gateway's resolver ------------------------------------------------------------------
# hang.test goes to a server that reads and never answers.
ip netns exec "$UP" python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.77.2.2", 5399))
while True:
    s.recvfrom(4096)' &
on_exit "kill $!"
ip netns exec "$UP" dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=10.77.2.2 \
  --bind-interfaces --local=/test/ --host-record=a.test,10.66.0.5 --cname=alias.test,a.test \
  --host-record=v6only.test,fd00::1 --host-record=www.outside.test,10.66.0.80 --host-record=1e100.test,10.66.0.7 \
  --server=/hang.test/10.77.2.2#5399 --log-queries --pid-file="$WORK/dnsmasq.pid" \
  --log-facility="$WORK/dnsmasq.log" &
on_exit "kill $!"

# ---- Engine ------------------------------------------------------------------------------------
"$T" -i >/dev/null
on_exit "ip netns exec $GW $T -stop; sleep 1; kill_engines; $T -u"
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallDNS dword 1
"$REG" set 'Setup' SecureInstall dword 0
# Two leases as the DHCP server leaves them: one bound now, one released.
now=$(date +%s)
"$REG" set 'DHCP\Leases\10.77.1.50' IPAddress sz 10.77.1.50
"$REG" set 'DHCP\Leases\10.77.1.50' MACAddress sz 02AABBCCDD50
"$REG" set 'DHCP\Leases\10.77.1.50' ComputerName sz cli1
"$REG" set 'DHCP\Leases\10.77.1.50' ClientStatus dword 2
"$REG" set 'DHCP\Leases\10.77.1.50' TimeStamp dword "$now"
"$REG" set 'DHCP\Leases\10.77.1.50' LeaseDuration dword 3600
"$REG" set 'DHCP\Leases\10.77.1.51' IPAddress sz 10.77.1.51
"$REG" set 'DHCP\Leases\10.77.1.51' MACAddress sz 02AABBCCDD51
"$REG" set 'DHCP\Leases\10.77.1.51' ComputerName sz gone1
"$REG" set 'DHCP\Leases\10.77.1.51' ClientStatus dword 3
"$REG" set 'DHCP\Leases\10.77.1.51' TimeStamp dword "$now"
"$REG" set 'DHCP\Leases\10.77.1.51' LeaseDuration dword 3600
# Leases made before host names were cut to their first label, named after an outside name and
# after the gateway: neither may answer for that name.
lease() {  # lease ADDRESS NAME
  "$REG" set "DHCP\\Leases\\$1" IPAddress sz "$1"
  "$REG" set "DHCP\\Leases\\$1" MACAddress sz "02AABBCCDD${1##*.}"
  "$REG" set "DHCP\\Leases\\$1" ComputerName sz "$2"
  "$REG" set "DHCP\\Leases\\$1" ClientStatus dword 2
  "$REG" set "DHCP\\Leases\\$1" TimeStamp dword "$now"
  "$REG" set "DHCP\\Leases\\$1" LeaseDuration dword 3600
}
lease 10.77.1.52 a.test
lease 10.77.1.53 trellis
ip netns exec "$GW" "$T" -start >/dev/null
wait_for 30 engine_running || fail "engine did not start"
expect_contains "service stored" "$("$REG" query 'Services\DNS server' ServiceType)" "CDNSService"
dnsup() { ip netns exec "$CL" dig @10.77.1.1 +time=1 +tries=1 trellis >/dev/null 2>&1; }
wait_for 30 dnsup || fail "relay does not answer"
# A DHCP server on the clients' side, for a real client's lease (set once the first run is over).
ip netns exec "$GW" "$T" -stop >/dev/null
wait_for 30 no_engine_process || fail "engine did not stop"
SVC='Services\DHCP Service'
"$REG" set "$SVC" ServiceType sz CDHCPService
"$REG" set "$SVC" Name sz 'DHCP Service'
"$REG" set "$SVC" PortNumber dword 67
"$REG" set "$SVC" BindingOption dword 1
"$REG" set "$SVC" SpecificBinding sz 10.77.1.1
"$REG" set "$SVC\\Database" OperatingMode dword 2
S="$SVC\\Database\\Scopes\\0000000001"
"$REG" set "$S" ScopeID dword 1
"$REG" set "$S" NetMask dword 4294967040
"$REG" set "$S" BoundInterface sz 10.77.1.1
"$REG" set "$S" LeaseDuration dword 600
"$REG" set "$S" Enabled dword 1
"$REG" set "$S\\InclusionRange" StartAddress dword $(((10 << 24) + (77 << 16) + (1 << 8) + 100))
"$REG" set "$S\\InclusionRange" EndAddress dword $(((10 << 24) + (77 << 16) + (1 << 8) + 110))

ip netns exec "$GW" "$T" -start >/dev/null
wait_for 30 engine_running || fail "engine did not start again"
wait_for 30 dnsup || fail "relay does not answer after the restart"

q() { ip netns exec "$CL" dig @10.77.1.1 +time=10 +tries=1 "$@" 2>&1; }
status() { sed -n 's/.*status: \([A-Z]*\),.*/\1/p' <<<"$1"; }
answers() { awk '/^;; ANSWER SECTION:/{f=1;next} /^$/{f=0} f{print $1, $2, $3, $4, $5}' <<<"$1"; }

# ---- Own name ------------------------------------------------------------------------------------
for opts in "" "+noedns"; do
  out=$(q $opts TRELLIS)
  expect_eq "own name $opts: status" "$(status "$out")" "NOERROR"
  expect_contains "own name $opts: the address the query reached" "$(answers "$out")" "A 10.77.1.1"
  expect_contains "own name $opts: TTL 0" "$(answers "$out" | awk '{print $2}')" "0"
  expect_contains "own name $opts: authoritative" "$out" "flags: qr aa rd ra"
  expect_not_contains "own name $opts: no warning" "$out" "WARNING"
done
out=$(q trellis)
expect_contains "own name in lower case" "$(answers "$out")" "10.77.1.1"
out=$(q "$(hostname)")
expect_contains "the host's name" "$(answers "$out")" "10.77.1.1"
# The other side holds the route to the gateway's own resolver: it faces the outside, and the
# relay, bound automatically, does not answer there.
out=$(ip netns exec "$UP" dig @10.77.2.1 +time=2 +tries=1 trellis 2>&1 || true)
expect_not_contains "no answer on the side of the gateway's resolver" "$out" "ANSWER SECTION"

# ---- Leases --------------------------------------------------------------------------------------
out=$(q cli1)
expect_contains "bound lease's name" "$(answers "$out")" "10.77.1.50"
out=$(q gone1)
expect_not_contains "released lease not answered" "$out" "10.77.1.51"
expect_eq "a lease named like an outside name: the resolver answers" "$(answers "$(q a.test)")" \
  "a.test. 0 IN A 10.66.0.5"
expect_eq "a lease named like the gateway: the gateway answers" "$(answers "$(q trellis)" | awk '{print $5}')" \
  "10.77.1.1"
# A real client takes a lease under an outside name: that name still has its real address, for
# every client; the lease keeps the first label only, which is answered as any single-label name.
cat >"$WORK/udhcpc.sh" <<'SH'
#!/bin/sh
[ "$1" = bound ] && env | grep -E '^ip=' >"$OUT"
exit 0
SH
chmod +x "$WORK/udhcpc.sh"
OUT="$WORK/dhcp" ip netns exec "$CL" busybox udhcpc -i "$CLIF" -f -q -n -t 6 -T 3 -s "$WORK/udhcpc.sh" \
  -x hostname:www.outside.test >"$WORK/udhcpc.log" 2>&1 || fail "udhcpc got no lease: $(tail -3 "$WORK/udhcpc.log")"
LEASED=$(sed -n 's/^ip=//p' "$WORK/dhcp" 2>/dev/null || true)
expect_eq "lease taken" "${LEASED%.*}" "10.77.1"
stored=$("$REG" query "DHCP\\Leases\\$LEASED" ComputerName)
expect_contains "the lease's name is the first label" "$stored" "www"
expect_not_contains "the lease's name has no dot" "$stored" "www."
expect_eq "the leased outside name: its real address" "$(answers "$(q www.outside.test)")" \
  "www.outside.test. 0 IN A 10.66.0.80"
expect_eq "glibc resolver: the leased outside name" \
  "$(ip netns exec "$CL" getent ahostsv4 www.outside.test. | awk 'NR==1{print $1}')" "10.66.0.80"
expect_eq "the lease's single label" "$(answers "$(q www)" | awk '{print $5}')" "$LEASED"

# ---- Through the resolver ------------------------------------------------------------------------
out=$(q a.test)
expect_eq "a.test status" "$(status "$out")" "NOERROR"
expect_contains "a.test answer" "$(answers "$out")" "a.test. 0 IN A 10.66.0.5"
expect_not_contains "a.test: not authoritative" "$out" " aa "
out=$(q alias.test)
expect_contains "alias answered under the queried name" "$(answers "$out")" "alias.test. 0 IN A 10.66.0.5"
out=$(q missing.test)
expect_eq "missing name: NXDOMAIN" "$(status "$out")" "NXDOMAIN"
out=$(q v6only.test)
expect_eq "name without IPv4: NODATA" "$(status "$out")" "NOERROR"
expect_eq "name without IPv4: no answer" "$(answers "$out")" ""
expect_eq "glibc resolver: a.test" "$(ip netns exec "$CL" getent ahostsv4 a.test | awk 'NR==1{print $1}')" "10.66.0.5"
expect_eq "glibc resolver: alias.test" "$(ip netns exec "$CL" getent ahostsv4 alias.test | awk 'NR==1{print $1}')" \
  "10.66.0.5"
expect_eq "glibc resolver: cli1" "$(ip netns exec "$CL" getent ahostsv4 cli1 | awk 'NR==1{print $1}')" "10.77.1.50"
out=$(ip netns exec "$CL" host -t A a.test 10.77.1.1 2>&1)
expect_contains "host" "$out" "a.test has address 10.66.0.5"

# ---- Numbers are not names -----------------------------------------------------------------------
# Every spelling the system's address parser reads (short forms, one number, octal, hex) and names
# of numeric labels alone: NXDOMAIN, without a lookup.
for n in 10.1 1234 0x7f.1 127.1 0x7f000001 017700000001 10.66.0.5 1.2.3.4.5 0x7F.0x0.0.01; do
  expect_eq "number $n: NXDOMAIN" "$(status "$(q -q "$n")")" "NXDOMAIN"
done
expect_eq "a name that starts with digits resolves" "$(answers "$(q 1e100.test)")" "1e100.test. 0 IN A 10.66.0.7"
expect_eq "numeric labels never reach the resolver" "$(grep -c 'query.* 1\.2\.3\.4\.5 ' "$WORK/dnsmasq.log")" "0"

# ---- A name that hangs holds up no other ----------------------------------------------------------
for i in 1 2 3 4 5 6 7 8; do
  ip netns exec "$CL" dig @10.77.1.1 +time=40 +tries=1 "h$i.hang.test" >/dev/null 2>&1 &
  ip netns exec "$CL" dig @10.77.1.1 +time=40 +tries=1 same.hang.test >/dev/null 2>&1 &
done
# As many hanging lookups as the relay once had workers are under way before the next name comes.
hanging() { [ "$(grep -c 'query\[A\] [a-z0-9]*\.hang\.test' "$WORK/dnsmasq.log")" -ge 4 ]; }
wait_for 30 hanging || fail "hanging names never reached the resolver"
# A hang costs 30 s (2 x 15 s); an answer within 12 s is one that did not wait behind it.
out=$(ip netns exec "$CL" dig @10.77.1.1 +time=12 +tries=1 alias.test 2>&1 || true)
expect_eq "answered while eight names hang" "$(answers "$out")" "alias.test. 0 IN A 10.66.0.5"
out=$(ip netns exec "$CL" dig @10.77.1.1 +time=12 +tries=1 1e100.test 2>&1 || true)
expect_eq "another name answered while eight names hang" "$(answers "$out")" "1e100.test. 0 IN A 10.66.0.7"

# ---- Refusals ------------------------------------------------------------------------------------
expect_eq "MX refused" "$(status "$(q MX a.test)")" "FORMERR"
expect_eq "PTR refused" "$(status "$(q -x 10.66.0.5)")" "FORMERR"
expect_eq "dotted name" "$(status "$(q 10.66.0.5)")" "NXDOMAIN"
expect_eq "class CH" "$(status "$(q CH A trellis)")" "FORMERR"
log=$(cat "$TRELLIS_HOME"/Logs/"DNS server".*.log)
expect_contains "MX refusal logged" "$log" "Received unsupported DNS Query - TYPE_MX for a.test"
expect_contains "PTR refusal logged" "$log" "Received unsupported DNS Query - TYPE_PTR for 5.0.66.10.in-addr.arpa"

# ---- Malformed datagrams ---------------------------------------------------------------------------
out=$(ip netns exec "$CL" python3 - <<'PY'
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(30)  # only a relay that never answers waits this long
def receive(qid):
    """The reply with this id, and what came before it; None when none came."""
    before = []
    try:
        while True:
            r, _ = s.recvfrom(4096)
            if r[0:2] == struct.pack(">H", qid):
                return r, before
            before.append(r)
    except socket.timeout:
        return None, before
def ask(data):
    s.sendto(data, ("10.77.1.1", 53))
    return receive(0x4242)[0]
def hdr(qd=1, flags=0x0100, qid=0x4242):
    return struct.pack(">HHHHHH", qid, flags, qd, 0, 0, 0)
good = hdr(qid=0x4343) + b"\x07trellis\x00" + struct.pack(">HH", 1, 1)
def alive():
    s.sendto(good, ("10.77.1.1", 53))
    r, _ = receive(0x4343)
    return r is not None and r[3] & 0x0F == 0
cases = {
    "self pointer": hdr() + b"\xc0\x0c" + struct.pack(">HH", 1, 1),
    "pointer past the end": hdr() + b"\xff\xff" + struct.pack(">HH", 1, 1),
    "label type 0x41": hdr() + b"\x41abc\x00" + struct.pack(">HH", 1, 1),
    "300-byte name": hdr() + (b"\x3f" + b"a" * 63) * 5 + b"\x00" + struct.pack(">HH", 1, 1),
    "QDCOUNT 0": hdr(qd=0) + b"\x07trellis\x00" + struct.pack(">HH", 1, 1),
    "missing QTYPE": hdr() + b"\x07trellis\x00",
    "label past the end": hdr() + b"\x3fabc",
    "dot inside a label": hdr() + b"\x03a.b\x00" + struct.pack(">HH", 1, 1),
}
for name, data in cases.items():
    r = ask(data)
    rc = None if r is None else r[3] & 0x0F
    ok = r is not None and rc == 1 and len(r) >= 12 and r[0:2] == b"\x42\x42" and (r[2] & 0x80)
    print(f"{name}: {'formerr' if ok else 'BAD rc=%s' % rc} {'live' if alive() else 'DEAD'}")
for name, data in {"response (QR=1)": hdr(flags=0x8100) + b"\x07trellis\x00" + struct.pack(">HH", 1, 1),
                   "5 bytes": b"\x00\x01\x02\x03\x04"}.items():
    # Datagrams are taken in turn: an answer to it would come before the live probe's.
    s.sendto(data, ("10.77.1.1", 53))
    s.sendto(good, ("10.77.1.1", 53))
    r, before = receive(0x4343)
    live = r is not None and r[3] & 0x0F == 0
    print(f"{name}: {'ANSWERED' if before else 'silent'} {'live' if live else 'DEAD'}")
# A reply carries the question only, whatever followed it (here an EDNS OPT record).
opt = b"\x00" + struct.pack(">HHIH", 41, 1232, 0, 0)
r = ask(hdr()[:10] + struct.pack(">H", 1) + b"\x07trellis\x00" + struct.pack(">HH", 1, 1) + opt)
qd, an, ns, ar = struct.unpack(">HHHH", r[4:12])
end = 12 + 9 + 4
print(f"edns: counts {qd} {an} {ns} {ar} length {len(r)} expected {end + 16} owner {r[end:end+2].hex()}")
PY
)
echo "$out"
expect_eq "malformed: every case refused or dropped, relay alive" \
  "$(grep -cE ': (formerr|silent) live$' <<<"$out")" "10"
expect_contains "reply after an OPT record" "$out" "edns: counts 1 1 0 0 length 41 expected 41 owner c00c"

# ---- More queries waiting than one read takes ------------------------------------------------------
# With the engine held still, twice as many queries as the service reads for one event wait on its
# socket; every one is answered once it runs on, though nothing is sent after them.
engine=$(engine_pids | head -n 1)
out=$(ip netns exec "$CL" python3 - "$engine" <<'PY'
import os, signal, socket, struct, sys
pid, count = int(sys.argv[1]), 130
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
os.kill(pid, signal.SIGSTOP)
try:
    for qid in range(count):
        s.sendto(struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + b"\x07trellis\x00" + struct.pack(">HH", 1, 1),
                 ("10.77.1.1", 53))
finally:
    os.kill(pid, signal.SIGCONT)
s.settimeout(30)  # only a relay that leaves queries unread waits this long
got = set()
try:
    while len(got) < count:
        r, _ = s.recvfrom(4096)
        got.add(struct.unpack(">H", r[0:2])[0])
except socket.timeout:
    pass
print(f"answered {len(got)} of {count}")
PY
)
expect_eq "a queue longer than one read is answered whole" "$out" "answered 130 of 130"

finish

#!/usr/bin/env bash
# The DNS relay with real clients inside network namespaces made here: the engine runs in "gw" on
# port 53, dig, host and the glibc resolver (getent) ask it from "cl", and a dnsmasq in "up"
# is the gateway's own resolver with fixed test data. Checked: the gateway's own name answered
# with the address the query arrived on (with and without EDNS, no dig warning), a current DHCP
# lease's name, a released lease's name not answered from the lease, outside names through the
# resolver (an alias answered under the queried name, NXDOMAIN for a missing name, NODATA for a
# name without IPv4), refusals of other types, and malformed datagrams dropped or refused while the
# relay goes on answering.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns

GW=$(make_ns gw)
CL=$(make_ns cl)
UP=$(make_ns up)
link_ns "$GW" 10.77.1.1/24 "$CL" 10.77.1.2/24 >/dev/null
link_ns "$GW" 10.77.2.1/24 "$UP" 10.77.2.2/24 >/dev/null
ip -n "$CL" route add default via 10.77.1.1
ns_resolv "$GW" 10.77.2.2
ns_resolv "$CL" 10.77.1.1

# ---- The gateway's resolver ------------------------------------------------------------------
ip netns exec "$UP" dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=10.77.2.2 \
  --bind-interfaces --local=/test/ --host-record=a.test,10.66.0.5 --cname=alias.test,a.test \
  --host-record=v6only.test,fd00::1 --pid-file="$WORK/dnsmasq.pid" --log-facility="$WORK/dnsmasq.log" &
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

ip netns exec "$GW" "$T" -start >/dev/null
wait_for 30 engine_running || fail "engine did not start"
expect_contains "service stored" "$("$REG" query 'Services\DNS server' ServiceType)" "CDNSService"
dnsup() { ip netns exec "$CL" dig @10.77.1.1 +time=1 +tries=1 trellis >/dev/null 2>&1; }
wait_for 30 dnsup || fail "relay does not answer"

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
# From the other side the same name is the other address.
out=$(ip netns exec "$UP" dig @10.77.2.1 +time=10 +tries=1 trellis 2>&1)
expect_contains "own name from the other network" "$(answers "$out")" "10.77.2.1"

# ---- Leases --------------------------------------------------------------------------------------
out=$(q cli1)
expect_contains "bound lease's name" "$(answers "$out")" "10.77.1.50"
out=$(q gone1)
expect_not_contains "released lease not answered" "$out" "10.77.1.51"

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

finish

#!/usr/bin/env bash
# The DHCP server with no scope configured, in its default fully automatic mode, inside network
# namespaces made here: the first request makes a scope for the interface it arrived on, with the
# interface's own prefix (a 10.x address on a /24 gets 255.255.255.0, not its class's /8), the
# gateway's address as DNS server and, with only two interfaces, no router; the scope is stored at
# once, and the client gets the first address after the gateway's.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns

GW=$(make_ns gw)
CL=$(make_ns cl)
read -r A B < <(link_ns "$GW" 10.80.5.1/24 "$CL" "")
ns_resolv "$GW" 10.80.5.254

ns_first_run "$GW" InstallDHCP
SVC='Services\DHCP Service'
wait_for 30 ns_udp_bound "$GW" 67 || fail "DHCP service not listening"

cat >"$WORK/udhcpc.sh" <<'SH'
#!/bin/sh
[ "$1" = bound ] || exit 0
env | grep -E '^(ip|subnet|router|dns|lease|serverid)=' | sort >"$OUT"
SH
chmod +x "$WORK/udhcpc.sh"
OUT="$WORK/c" ip netns exec "$CL" busybox udhcpc -i "$B" -f -q -n -t 6 -T 3 -s "$WORK/udhcpc.sh" >"$WORK/udhcpc.log" 2>&1 ||
  fail "no lease from the automatic scope"
val() { sed -n "s/^$1=//p" "$WORK/c"; }
expect_eq "address after the gateway's" "$(val ip)" "10.80.5.2"
expect_eq "mask of the interface, not of the class" "$(val subnet)" "255.255.255.0"
expect_eq "DNS option: the gateway" "$(val dns)" "10.80.5.1"
expect_eq "no router with two interfaces" "$(val router)" ""
expect_eq "lease time of an automatic scope" "$(val lease)" "259200"
S="$SVC\\Database\\Scopes\\0000000001"
expect_contains "scope stored at once" "$("$REG" query "$S" BoundInterface)" "10.80.5.1"
expect_contains "scope's mask stored" "$("$REG" query "$S" NetMask)" "dword:4294967040"
finish

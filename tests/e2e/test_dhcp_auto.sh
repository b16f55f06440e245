#!/usr/bin/env bash
# The DHCP server (and the DNS relay) after a first run with no scope configured, in the default
# fully automatic mode, on a two-sided gateway made of network namespaces: two LAN bridges and an
# upstream link that holds the default route. Checked:
# - automatic binding leaves the upstream side out and says so in the service log: a client there
#   gets no offer, the DNS relay does not answer there; the LAN client is served; bound there by the
#   operator, the server listens there but makes no automatic scope;
# - the first request makes a scope for its interface with the interface's own prefix (a 10.x /24
#   gets 255.255.255.0, not its class's /8), the gateway as DNS server and router, stored at once;
# - an exhausted pool never makes a second scope, whatever the number of new clients; a relayed
#   request for a network no scope holds gets no offer (no classful guess);
# - a burst of new clients whose addresses are being checked by ping holds up neither an INFORM
#   nor a renewal, and a client asking again while its address is checked gets one offer.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns
DC="$(dirname "$0")/dhcp_client.py"

GW=$(make_ns gw)
UP=$(make_ns up)
read -r GWUP UPIF < <(link_ns "$GW" 10.99.0.1/24 "$UP" 10.99.0.254/24)
ip -n "$GW" route add default via 10.99.0.254
# The engine's resolver is upstream too (nobody answers there; nothing leaves the namespaces).
ns_resolv "$GW" 10.99.0.53
bridge() {  # bridge NAME ADDRESS/PREFIX
  ip -n "$GW" link add "$1" type bridge
  ip -n "$GW" addr add "$2" dev "$1"
  ip -n "$GW" link set "$1" up
}
bridge br0 192.168.77.1/29
bridge br1 10.80.6.1/24
# join NAME BRIDGE [ADDRESS/PREFIX]: a client namespace on a bridge; prints it and its interface.
join() {
  local ns
  ns=$(make_ns "$1")
  read -r a b < <(link_ns "$GW" "" "$ns" "${3:-}")
  ip -n "$GW" link set "$a" master "$2"
  echo "$ns $b"
}
read -r CL CLIF < <(join cl br1)
read -r FL FLIF < <(join fl br0 192.168.77.6/29)
read -r BU BUIF < <(join bu br1 10.80.6.250/24)
read -r RL RLIF < <(join rl br1 10.80.6.251/24)
# A relay agent's network behind RL.
ip -n "$RL" addr add 10.50.0.1/24 dev "$RLIF"
ip -n "$GW" route add 10.50.0.0/24 via 10.80.6.251

ns_first_run "$GW" InstallDHCP InstallDNS
SVC='Services\DHCP Service'
dhcplog() { cat "$TRELLIS_HOME"/Logs/"DHCP Service".*.log; }
dnslog() { cat "$TRELLIS_HOME"/Logs/"DNS server".*.log; }
# scopes_on ADDRESS: how many stored scopes serve that interface.
scopes_on() { "$REG" export "$SVC\\Database\\Scopes" | grep -c "\"BoundInterface\"=sz:\"$1\"" || true; }
dhcp_up() { dhcplog 2>/dev/null | grep -q "Service started on interface 10.80.6.1:67"; }
wait_for 10 dhcp_up || fail "the DHCP service does not listen on the LAN"

# ---- A relay agent first: the interface it reaches has no scope yet --------------------------------
out=$(ip netns exec "$RL" python3 "$DC" relay 10.50.0.1 10.80.6.1)
expect_eq "a relayed request for a network without a scope gets no offer" "$out" "no offer"
expect_eq "no scope is made for a relayed request" "$(scopes_on 10.80.6.1)" "0"

# ---- The LAN client ---------------------------------------------------------------------------------
cat >"$WORK/udhcpc.sh" <<'SH'
#!/bin/sh
[ "$1" = bound ] || exit 0
env | grep -E '^(ip|subnet|router|dns|lease|serverid)=' | sort >"$OUT"
SH
chmod +x "$WORK/udhcpc.sh"
OUT="$WORK/c" ip netns exec "$CL" busybox udhcpc -i "$CLIF" -f -q -n -t 6 -T 3 -s "$WORK/udhcpc.sh" \
  >"$WORK/udhcpc.log" 2>&1 || fail "no lease from the automatic scope"
val() { sed -n "s/^$1=//p" "$WORK/c"; }
expect_eq "address after the gateway's" "$(val ip)" "10.80.6.2"
expect_eq "mask of the interface, not of the class" "$(val subnet)" "255.255.255.0"
expect_eq "DNS option: the gateway" "$(val dns)" "10.80.6.1"
expect_eq "router: the gateway (it has more than two interfaces)" "$(val router)" "10.80.6.1"
expect_eq "lease time of an automatic scope" "$(val lease)" "259200"
S="$SVC\\Database\\Scopes\\0000000001"
expect_contains "scope stored at once" "$("$REG" query "$S" BoundInterface)" "10.80.6.1"
expect_contains "scope's mask stored" "$("$REG" query "$S" NetMask)" "dword:4294967040"

# ---- The upstream side: left out of automatic binding -------------------------------------------
OUT="$WORK/up" ip netns exec "$UP" busybox udhcpc -i "$UPIF" -f -q -n -t 3 -T 2 -s "$WORK/udhcpc.sh" \
  >"$WORK/udhcpc-up.log" 2>&1 && fail "a client on the upstream network got a lease: $(cat "$WORK/up")"
[ -s "$WORK/up" ] || pass "no lease on the upstream network"
expect_eq "no scope for the upstream interface" "$(scopes_on 10.99.0.1)" "0"
expect_not_contains "no DHCP binding on the upstream side" "$(dhcplog)" "Binding added - 10.99.0.1"
expect_contains "the DHCP log names the interface left out and why" "$(dhcplog)" \
  "Interface 10.99.0.1 left out of automatic binding - it carries the default route"
expect_contains "the LAN sides are bound" "$(dhcplog)" "Binding added - 192.168.77.1"
out=$(ip netns exec "$BU" dig @10.80.6.1 +time=2 +tries=2 +short trellis 2>&1 || true)
expect_eq "DNS relay answers on the LAN" "$out" "10.80.6.1"
out=$(ip netns exec "$UP" dig @10.99.0.1 +time=2 +tries=1 trellis 2>&1 || true)
expect_not_contains "DNS relay does not answer the upstream network" "$out" "ANSWER SECTION"
expect_contains "the DNS log names the interface left out" "$(dnslog)" \
  "Interface 10.99.0.1 left out of automatic binding - it carries the default route"

# ---- Automatic scopes are bounded -------------------------------------------------------------------
# 192.168.77.0/29: .2 to .5 to give (.6 is the flooding host's own), then 46 more new clients.
out=$(ip netns exec "$FL" python3 "$DC" flood "$FLIF" 50)
expect_eq "an exhausted /29 offers what it has" "$out" "offers 4"
expect_eq "one scope for that network however many clients ask" "$(scopes_on 192.168.77.1)" "1"

# ---- A burst of new clients holds up nobody else ----------------------------------------------------
read -r state ADDR < <(ip netns exec "$BU" python3 "$DC" bind "$BUIF" 02aa00000001 10.80.6.1)
expect_eq "the renewing client is bound first" "$state" "bound"
ip -n "$BU" addr add "$ADDR/24" dev "$BUIF"
out=$(ip netns exec "$BU" python3 "$DC" burst "$BUIF" 10.80.6.1 30 02aa00000001 "$ADDR")
echo "$out"
expect_contains "INFORM answered during the burst" "$out" "inform answered"
expect_contains "renewal answered during the burst" "$out" "renew answered"
# A server that pings on its one thread answers both only after every address of the burst has
# been checked, two seconds each (a minute and more); checked here is only that they did not wait
# behind the burst.
[ "$(sed -n 's/^seconds //p' <<<"$out")" -lt 20 ] && pass "INFORM and renewal did not wait behind the burst" ||
  fail "INFORM and renewal waited behind the burst"
expect_contains "the burst is answered too" "$out" "offers 30"
expect_contains "a client asking five times while its address is checked: one offer, to its latest request" \
  "$out" "again 1 0"
ip netns pids "$GW" | grep -q . && pass "engine still runs" || fail "engine gone"

# ---- The operator binds the upstream side: the server listens there, but makes no scope there ------
ip netns exec "$GW" "$T" -stop >/dev/null
wait_for 15 no_engine_process || fail "engine did not stop"
B="$SVC\\Bindings\\10.99.0.1"
"$REG" set "$B" InterfaceType dword 1
"$REG" set "$B" InterfaceName sz 10.99.0.1
"$REG" set "$B" InterfaceIP sz 10.99.0.1
ip netns exec "$GW" "$T" -start >/dev/null
wait_for 10 engine_running || fail "engine did not start again"
sleep 1
expect_contains "the operator's own binding binds" "$(dhcplog)" "Service started on interface 10.99.0.1:67"
OUT="$WORK/up2" ip netns exec "$UP" busybox udhcpc -i "$UPIF" -f -q -n -t 3 -T 2 -s "$WORK/udhcpc.sh" \
  >>"$WORK/udhcpc-up.log" 2>&1 && fail "an automatic scope served the upstream network: $(cat "$WORK/up2")"
expect_eq "no automatic scope on an upstream interface, even when bound" "$(scopes_on 10.99.0.1)" "0"
finish

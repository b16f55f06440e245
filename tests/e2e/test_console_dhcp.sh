#!/usr/bin/env bash
# The console's DHCP editors against the real engine with a real client: the engine runs in a
# namespace "gw" bound to the address of a bridge, with a DHCP service made by registry writes
# and left in automatic mode. The console program (Qt, offscreen) logs in on the gateway's
# loopback and, through its editors, chooses Manual, makes a scope with Router, DNS (two, in
# order) and Domain name options, adds the NetBIOS node type H to the global options, and makes a
# reservation for a MAC address typed with colons in lower case. Checked: the configuration the
# engine saved (scope, option bytes, the reservation in the server's MAC form), then busybox
# udhcpc in a client namespace with that MAC address gets the reserved address with every
# option, and a second client gets the first address of the range with the scope's lease.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"
require_root_netns
DRIVER="$BUILD/console_dhcp_e2e"
[ -x "$DRIVER" ] || { echo "SKIP: $DRIVER not built" >&2; exit 77; }

GW=$(make_ns gw)
ip -n "$GW" link add br0 type bridge
ip -n "$GW" addr add 10.79.1.1/24 dev br0
ip -n "$GW" link set br0 up
join() {  # join NAME MAC: a client namespace on the bridge; prints the namespace and its interface
  local ns
  ns=$(make_ns "$1")
  read -r a b < <(link_ns "$GW" "" "$ns" "")
  ip -n "$GW" link set "$a" master br0
  ip -n "$ns" link set "$b" down
  ip -n "$ns" link set "$b" address "$2"
  ip -n "$ns" link set "$b" up
  echo "$ns $b"
}
read -r C1 IF1 < <(join c1 02:00:00:0a:bb:07)
read -r C2 IF2 < <(join c2 02:00:00:0a:bb:08)
ns_resolv "$GW" 10.79.1.254

# ---- Engine: the first run makes the DHCP service; it is bound to the bridge ----------------
ns_first_run "$GW" InstallDHCP
ip netns exec "$GW" "$T" -stop >/dev/null
wait_for 30 no_engine_process || fail "engine did not stop"
SVC='Services\DHCP Service'
expect_contains "service stored" "$("$REG" query "$SVC" ServiceType)" "CDHCPService"
"$REG" set "$SVC" BindingOption dword 1
"$REG" set "$SVC" SpecificBinding sz 10.79.1.1
RC=$(ns_free_port "$GW")
rc_service "$RC"
ip netns exec "$GW" "$T" -start >/dev/null
wait_for 30 engine_running || fail "engine did not start again"
wait_for 30 ip netns exec "$GW" bash -c "exec 3<>/dev/tcp/127.0.0.1/$RC" || fail "remote control not listening"

# ---- The console, through its editors ---------------------------------------------------------
LOOKOUT_PORT=$RC DHCP_INTERFACE=10.79.1.1 DHCP_FROM=10.79.1.10 DHCP_TO=10.79.1.40 DHCP_ROUTER=10.79.1.1 \
  DHCP_DNS="10.79.1.53 10.79.1.52" DHCP_DOMAIN=console.example.test DHCP_RESERVED=10.79.1.33 DHCP_MAC=02:00:00:0a:bb:07 QT_QPA_PLATFORM=offscreen HOME="$WORK/home" \
  ip netns exec "$GW" timeout 120 "$DRIVER" >"$WORK/console.log" 2>&1 || fail "console: $(cat "$WORK/console.log")"
expect_contains "console went through" "$(cat "$WORK/console.log")" "scope and reservation sent"

# What the engine saved.
DB="$SVC\\Database"
expect_contains "mode manual" "$("$REG" query "$DB" OperatingMode)" "2"
S="$DB\\Scopes\\0000000001"
expect_contains "scope on the bridge" "$("$REG" query "$S" BoundInterface)" "10.79.1.1"
expect_contains "scope lease" "$("$REG" query "$S" LeaseDuration)" "3600"
expect_contains "node type H among the global options" "$("$REG" query "$DB\\GlobalOptions\\46" OptionData)" "08"
expect_contains "router option bytes" "$("$REG" query "$S\\Options\\3" OptionData | tr -d ' ' | tr A-F a-f)" "0a4f0101"
R="$DB\\Reservations\\10.79.1.33"
expect_contains "reservation MAC in the server's form" "$("$REG" query "$R" MatchData)" "020000"'0ABB07'
expect_contains "reservation in the scope" "$("$REG" query "$R" ScopeID)" "1"

# ---- The clients ------------------------------------------------------------------------------
cat >"$WORK/udhcpc.sh" <<'SH'
#!/bin/sh
case "$1" in
  bound|renew) env | grep -E '^(ip|subnet|router|lease|dns|domain|opt46|nbtype)=' | sort >"$OUT" ;;
esac
exit 0
SH
chmod +x "$WORK/udhcpc.sh"
udhcpc() {  # udhcpc NS IF OUTFILE
  rm -f "$3"
  OUT=$3 ip netns exec "$1" busybox udhcpc -i "$2" -f -q -n -t 6 -T 3 -O 46 -s "$WORK/udhcpc.sh" >>"$WORK/udhcpc.log" 2>&1
}
val() { sed -n "s/^$2=//p" "$1"; }
udhcpc "$C1" "$IF1" "$WORK/c1" || fail "udhcpc c1 got no lease: $(tail -5 "$WORK/udhcpc.log")"
expect_eq "reserved address for the MAC" "$(val "$WORK/c1" ip)" "10.79.1.33"
expect_eq "router from the scope option" "$(val "$WORK/c1" router)" "10.79.1.1"
expect_eq "DNS servers in the order entered" "$(val "$WORK/c1" dns)" "10.79.1.53 10.79.1.52"
expect_eq "domain name" "$(val "$WORK/c1" domain)" "console.example.test"
expect_eq "NetBIOS node type H from the global options" "$(val "$WORK/c1" opt46)" "08"
udhcpc "$C2" "$IF2" "$WORK/c2" || fail "udhcpc c2 got no lease: $(tail -5 "$WORK/udhcpc.log")"
A2=$(val "$WORK/c2" ip)
expect_eq "another client: first address of the range" "$A2" "10.79.1.10"
expect_eq "another client: the scope's lease" "$(val "$WORK/c2" lease)" "3600"
finish

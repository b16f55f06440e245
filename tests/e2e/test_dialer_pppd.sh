#!/usr/bin/env bash
# Dial on demand over a real PPP link. The engine runs in a gateway namespace and dials through
# the layer over pppd that the build puts beside it (no TRELLIS_RASAPI32). Its peer "isp" (the
# gateway namespace's own /etc/ppp, bound there by ip netns exec) runs the provider's pppd in a
# provider namespace over a pty ("pppd ... pty"); the provider asks for PAP with the profile's
# user and password and gives the link its addresses. A client in a third namespace fetches a page
# of the provider's network through the proxy: the link is dialled, the page comes over it, and
# the idle link is hung up. Needs kernel PPP support (/dev/ppp) and pppd (apt install ppp).
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"

require_root_netns
skip() {
  echo "SKIP: $*" >&2
  exit 77
}
[ -e /dev/ppp ] || skip "no /dev/ppp: this kernel has no PPP support"
[ -x /usr/sbin/pppd ] || skip "pppd is not installed (apt install ppp)"
[ -d /etc/ppp ] || skip "/etc/ppp is missing (the place ip netns exec binds a namespace's own over)"
unset TRELLIS_RASAPI32 TRELLIS_PPP_PEERS TRELLIS_PPPD

gateway_and_client
ISP=$(make_ns isp)
# What each namespace sees as /etc/ppp (netns_cleanup removes /etc/netns/<ns>).
GETC="/etc/netns/$GW/ppp"
IETC="/etc/netns/$ISP/ppp"
mkdir -p "$GETC/peers" "$IETC"
touch "$GETC/options" "$IETC/options"
cat >"$GETC/peers/isp" <<EOF
# The provider: its pppd in its own namespace, over a pty.
pty "ip netns exec $ISP /usr/sbin/pppd nodetach notty auth require-pap 10.64.0.1:10.64.0.2"
noauth
noipdefault
defaultroute
EOF
echo 'dialuser * secret *' >"$IETC/pap-secrets"
chmod 600 "$IETC/pap-secrets"

mkdir -p "$WORK/www"
echo "served over PPP" >"$WORK/www/page.html"
ip netns exec "$ISP" python3 -m http.server --bind 0.0.0.0 --directory "$WORK/www" 8080 >/dev/null 2>&1 &
on_exit "kill $!"

P=8080
"$T" -i >/dev/null
on_exit "$T -u"
WKEY='Services\WWW Proxy server'
"$REG" set "$WKEY" ServiceType sz CWWWService
"$REG" set "$WKEY" Name sz 'WWW Proxy server'
"$REG" set "$WKEY" PortNumber dword "$P"
"$REG" set "$WKEY" BindingOption dword 1
"$REG" set "$WKEY" SpecificBinding sz "$GW_ADDR"
"$REG" set "$WKEY\AccessRights\Recipient0" UserName sz Everyone
"$REG" set 'Cache' CacheOptions dword 0
D='Dialer'
"$REG" set "$D" LogOptions dword 3
"$REG" set "$D" TimerInterval dword 1
"$REG" set "$D" RasdialTimeout dword 30000
PR="$D\\Profiles\\Office"
"$REG" set "$PR" Name sz Office
"$REG" set "$PR" ProfileName sz isp
"$REG" set "$PR" Username sz dialuser
"$REG" set "$PR" Password sz qaezox # "secret", scrambled as the engine stores it
"$REG" set "$PR" Retries dword 1
"$REG" set "$PR" DisconnectAfter dword 4
"$REG" set "$PR\\AccessRights\\Recipient0" UserName sz Everyone
gw_start_engine
wait_for 10 cl_open "$GW_ADDR" "$P" || fail "proxy not reachable from the client"

DLOG() { cat "$TRELLIS_HOME"/Logs/Dialer.*.log 2>/dev/null || true; }
expect_contains "the layer beside the program dials" "$(DLOG)" \
  "Dialing through the Remote Access library $(dirname "$T")/librasapi32.so"
ppp_up() { in_gw ip -4 -o addr show | grep -q "inet 10.64.0.2 peer 10.64.0.1"; }
ppp_up && fail "a link is up before anything asked for it"

body=$(in_cl curl -sS -m 60 -x "http://$GW_ADDR:$P" "http://10.64.0.1:8080/page.html" || true)
expect_eq "the page came over the dialled link" "$body" "served over PPP"
expect_contains "dial logged" "$(DLOG)" "Office: Dial succeeded"

wait_for 30 bash -c "! ip netns exec $GW ip -4 -o addr show | grep -q 'inet 10.64.0.2 '" &&
  pass "the idle link is hung up" || fail "the idle link is still up"
expect_contains "hung up by the idle rule" "$(DLOG)" "Office: Timing out connection"
finish

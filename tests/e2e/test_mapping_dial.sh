#!/usr/bin/env bash
# A TCP mapping whose first rule depends on the dial-up link, with the Remote Access simulator as
# the dial-up layer: while the link is down the rule does not match and the client goes to the
# default destination (and the connection dials the link on demand); once the link is up the
# rule's destination serves.
source "$(dirname "$0")/lib.sh"

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

export TRELLIS_RASAPI32="$BUILD/librasapi32-sim.so"
export TRELLIS_RASSIM_PHONEBOOK="$WORK/phonebook.ini"
export TRELLIS_RASSIM_STATE="$WORK/sim.state"
printf '[Sim ISP]\nconnect_ms=300\naddress=10.64.0.2\noutcome=ok\n' >"$TRELLIS_RASSIM_PHONEBOOK"

OA=$(free_port 127.0.0.2)
OB=$(free_port 127.0.0.3)
MP=$(free_port 127.0.0.1)
mkdir -p "$WORK/a" "$WORK/b"
echo "server A" >"$WORK/a/who"
echo "server B" >"$WORK/b/who"
python3 -m http.server --bind 127.0.0.2 --directory "$WORK/a" "$OA" >/dev/null 2>&1 &
PIDS+=($!)
python3 -m http.server --bind 127.0.0.3 --directory "$WORK/b" "$OB" >/dev/null 2>&1 &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$OA" || fail "server A did not start"
wait_for 30 port_open 127.0.0.3 "$OB" || fail "server B did not start"

"$T" -i >/dev/null
K='Services\Dialled'
"$REG" set "$K" ServiceType sz CTCPMappingService >/dev/null
"$REG" set "$K" PortNumber dword "$MP" >/dev/null
"$REG" set "$K" BindingOption dword 1 >/dev/null
"$REG" set "$K" SpecificBinding sz 127.0.0.1 >/dev/null
"$REG" set "$K\\AccessRights\\Recipient0" UserName sz Everyone >/dev/null
"$REG" set "$K\\Mappings" Host sz 127.0.0.2 >/dev/null
"$REG" set "$K\\Mappings" Port dword "$OA" >/dev/null
"$REG" set "$K\\Mappings\\Mapping0" Host sz 127.0.0.3 >/dev/null
"$REG" set "$K\\Mappings\\Mapping0" Port dword "$OB" >/dev/null
"$REG" set "$K\\Mappings\\Mapping0" DialerDependent dword 1 >/dev/null
"$REG" set "$K\\Mappings\\Mapping0" DUNConnectoid sz 'Sim ISP' >/dev/null
D='Dialer'
"$REG" set "$D" TimerInterval dword 1 >/dev/null
"$REG" set "$D" RasdialTimeout dword 5000 >/dev/null
PR="$D\\Profiles\\Office"
"$REG" set "$PR" Name sz Office >/dev/null
"$REG" set "$PR" ProfileName sz 'Sim ISP' >/dev/null
"$REG" set "$PR" Retries dword 1 >/dev/null
"$REG" set "$PR" DisconnectAfter dword 60 >/dev/null
"$REG" set "$PR\\AccessRights\\Recipient0" UserName sz Everyone >/dev/null
start_engine "$MP"

link_up() { grep -qx "up Sim ISP" "$TRELLIS_RASSIM_STATE" 2>/dev/null; }
link_up && fail "the link is up before anything asked for it"
expect_eq "link down: the default destination" "$(curl -sS -m 20 "http://127.0.0.1:$MP/who")" "server A"
wait_for 30 link_up || fail "the mapping's connection did not dial the link"
expect_eq "link up: the rule's destination" "$(curl -sS -m 20 "http://127.0.0.1:$MP/who")" "server B"

finish

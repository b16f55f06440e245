#!/usr/bin/env bash
# The three streaming relays in the running engine, with scripted players and servers written from
# their byte tables (streaming_peers.py): RealAudio's records, status, control messages and data
# datagrams; VDOLive's request, set-up, hello and media both ways; XDMA's rewritten datagrams and
# answers.
source "$(dirname "$0")/lib.sh"

PEERS="$(dirname "$0")/streaming_peers.py"
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

RA=$(free_port 127.0.0.1)
VD=$(free_port 127.0.0.1)
XD=$(free_port 127.0.0.1)
"$T" -i >/dev/null
relay() {  # NAME CLASS PORT
  "$REG" set "Services\\$1" ServiceType sz "$2" >/dev/null
  "$REG" set "Services\\$1" PortNumber dword "$3" >/dev/null
  "$REG" set "Services\\$1" BindingOption dword 1 >/dev/null
  "$REG" set "Services\\$1" SpecificBinding sz 127.0.0.1 >/dev/null
  "$REG" set "Services\\$1\\AccessRights\\Recipient0" UserName sz Everyone >/dev/null
}
relay RealAudio CRealAudioService "$RA"
relay VDOLive CVDOLiveService "$VD"
relay XDMA CXDMAService "$XD"
start_engine "$RA"
wait_for 30 port_open 127.0.0.1 "$VD" || fail "VDOLive relay not listening"
wait_for 30 grep -q "Service started" "$TRELLIS_HOME"/Logs/XDMA.*.log || fail "XDMA relay did not start"

for r in "realaudio $RA" "vdolive $VD" "xdma $XD"; do
  set -- $r
  if python3 "$PEERS" "$1" "$2"; then pass "$1 peers"; else fail "$1 peers"; fi
done
grep -q "VDOLive://127.0.0.2:" "$TRELLIS_HOME"/Logs/VDOLive.*.log && pass "VDOLive request logged" ||
  fail "no VDOLive request line"
expect_eq "engine still runs" "$(engine_running && echo yes)" "yes"
finish

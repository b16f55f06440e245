#!/usr/bin/env bash
# The real engine for the console's tests, on the caller's registry, home and run folder
# (TRELLIS_REGISTRY, TRELLIS_HOME, TRELLIS_RUNDIR): a remote-control service and a web proxy on
# 127.0.0.1 at the ports given, and the first install's Administrator (empty password, to be
# changed at the first log-in).
#   console_engine.sh BUILD_DIR start RC_PORT WWW_PORT
#   console_engine.sh BUILD_DIR restart RC_PORT WWW_PORT   (a stopped engine, as it was)
#   console_engine.sh BUILD_DIR stop
set -euo pipefail
build=$1
T="$build/trellis"
REG="$build/trellis-reg"
LOCK="$TRELLIS_RUNDIR/TrellisEngineApp.lock"
export TRELLIS_EVENTLOG=${TRELLIS_EVENTLOG:-$TRELLIS_HOME/events.log}
source "$(dirname "$0")/../../scripts/engine.sh"

service() {  # service NAME CLASS PORT
  local key="Services\\$1"
  "$REG" set "$key" ServiceType sz "$2" >/dev/null
  "$REG" set "$key" Name sz "$1" >/dev/null
  "$REG" set "$key" PortNumber dword "$3" >/dev/null
  "$REG" set "$key" BindingOption dword 1 >/dev/null
  "$REG" set "$key" SpecificBinding sz 127.0.0.1 >/dev/null
  "$REG" set "$key" TimeOutSessions dword 0 >/dev/null
}

case $2 in
  start)
    mkdir -p "$TRELLIS_HOME" "$TRELLIS_RUNDIR"
    "$T" -i >/dev/null
    service 'Remote Control Service' CRemoteControlService "$3"
    service 'WWW Proxy server' CWWWService "$4"
    "$T" -start >/dev/null
    wait_for 60 port_open 127.0.0.1 "$3" || { echo "remote-control service not listening on $3" >&2; exit 1; }
    wait_for 60 port_open 127.0.0.1 "$4" || { echo "web proxy not listening on $4" >&2; exit 1; }
    ;;
  restart)
    "$T" -start >/dev/null
    wait_for 60 port_open 127.0.0.1 "$3" || { echo "remote-control service not listening on $3" >&2; exit 1; }
    ;;
  stop)
    "$T" -stop >/dev/null 2>&1 || true
    wait_for 60 engine_stopped || kill_engines
    ;;
esac

#!/usr/bin/env bash
# Runs the real engine on the caller's registry, home and run folder (TRELLIS_REGISTRY,
# TRELLIS_HOME, TRELLIS_RUNDIR) with one service of every stored service class, fetches the
# services and cache-settings frames as a console does, and stops the engine again. Tests that
# link only the configuration library compare their own archive bytes with these.
#   capture_engine_frames.sh BUILD_DIR OUT_DIR
# Leaves OUT_DIR/services.bin and OUT_DIR/cache.bin; exits non-zero when something failed.
set -euo pipefail
build=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
T="$build/trellis"
REG="$build/trellis-reg"
LOCK="$TRELLIS_RUNDIR/TrellisEngineApp.lock"
export TRELLIS_EVENTLOG=${TRELLIS_EVENTLOG:-$out/events.log}

source "$here/../../scripts/engine.sh"
wait_until() { wait_for 60 "$@"; }
# A port held for this script while it runs (tests/e2e/ports.py).
free_port() { python3 "$here/../e2e/ports.py" "${1:-127.0.0.1}" $$; }
service() {  # service NAME CLASS PORT [more VALUE TYPE DATA triples]
  local key="Services\\$1"
  "$REG" set "$key" ServiceType sz "$2" >/dev/null
  "$REG" set "$key" Name sz "$1" >/dev/null
  "$REG" set "$key" PortNumber dword "$3" >/dev/null
  "$REG" set "$key" BindingOption dword 1 >/dev/null
  "$REG" set "$key" SpecificBinding sz 127.0.0.1 >/dev/null
  shift 3
  while (($#)); do
    "$REG" set "$key" "$1" "$2" "$3" >/dev/null
    shift 3
  done
}

"$T" -i >/dev/null
RC=$(free_port)
service 'Remote Control Service' CRemoteControlService "$RC" TimeOutSessions dword 0
service 'WWW Proxy server' CWWWService "$(free_port)" UseJavaClient dword 1 CGILabel sz scripts
service 'Plain TCP' CTCPService "$(free_port)" ProxyServer sz upstream.example
service 'Plain' CService 0 Enabled dword 0 Description sz 'no transport'
"$REG" set Cache MaxSize dword 77 >/dev/null
"$REG" set Cache CacheDirectory sz 'web\cache' >/dev/null

status=0
"$T" -start >/dev/null
if wait_until port_open 127.0.0.1 "$RC"; then
  python3 "$here/../e2e/rc_client.py" capture "$RC" "$out" || status=1
else
  echo "remote-control service not listening on $RC" >&2
  status=1
fi
"$T" -stop >/dev/null || true
wait_until engine_stopped || { echo "engine did not stop" >&2; status=1; }
"$T" -u >/dev/null || true
exit $status

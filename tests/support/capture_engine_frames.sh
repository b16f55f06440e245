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

free_port() {
  python3 - <<'PY'
import random, socket
for _ in range(200):
    p = random.randint(20000, 32000)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", p))
    except OSError:
        continue
    finally:
        s.close()
    print(p)
    break
PY
}
engine_running() {
  python3 -c 'import fcntl,os,sys
try: fd=os.open(sys.argv[1],os.O_RDWR)
except OSError: sys.exit(1)
try: fcntl.lockf(fd,fcntl.LOCK_EX|fcntl.LOCK_NB)
except OSError: sys.exit(0)
sys.exit(1)' "$LOCK"
}
listening() { python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 1)" 2>/dev/null; }
wait_until() {
  for _ in $(seq 1 150); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}
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
if wait_until listening "$RC"; then
  python3 "$here/../e2e/rc_client.py" capture "$RC" "$out" || status=1
else
  echo "remote-control service not listening on $RC" >&2
  status=1
fi
"$T" -stop >/dev/null || true
wait_until eval '! engine_running' || { echo "engine did not stop" >&2; status=1; }
"$T" -u >/dev/null || true
exit $status

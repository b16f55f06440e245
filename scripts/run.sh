#!/usr/bin/env bash
# Installs what is needed, builds, then installs the engine as a service into a registry under
# the repository's own state/ folder and starts it, detached, through the service-control layer.
#   scripts/run.sh          install, build, start (again: reports it runs)
#   scripts/run.sh stop     stop the engine
#   scripts/run.sh status   show whether it runs
set -euo pipefail
cd "$(dirname "$0")/.."
# Whether the engine holds its instance lock (an open-file lock, seen by POSIX record locks).
engine_running() {
  python3 -c 'import fcntl,os,sys
fd=os.open(sys.argv[1],os.O_RDWR)
try: fcntl.lockf(fd,fcntl.LOCK_EX|fcntl.LOCK_NB)
except OSError: sys.exit(0)
sys.exit(1)' "$TRELLIS_RUNDIR/TrellisEngineApp.lock" 2>/dev/null
}
top=$(pwd)
state="$top/state"
mkdir -p "$state/home" "$state/run"
export TRELLIS_REGISTRY="$state/registry.db"
export TRELLIS_HOME="$state/home"
export TRELLIS_RUNDIR="$state/run"
export TRELLIS_EVENTLOG="$state/events.log"

case "${1:-start}" in
  stop)
    build/trellis -stop
    exit 0 ;;
  status)
    build/trellis -v
    if engine_running; then echo "engine: running"; else echo "engine: not running"; fi
    exit 0 ;;
esac

bash scripts/setup.sh
bash scripts/build.sh
build/trellis -i
# First install: the engine's first run creates the web proxy on a high port (TRELLIS_WWW_PORT,
# 8080 unless set). Later runs keep whatever the configuration holds.
if ! build/trellis-reg query 'Settings' Version >/dev/null 2>&1; then
  build/trellis-reg set 'Setup' Mode dword 1
  build/trellis-reg set 'Setup' InstallWWW dword 1
  build/trellis-reg set 'Setup' WWWProxyPort dword "${TRELLIS_WWW_PORT:-8080}"
  build/trellis-reg set 'Setup' SecureInstall dword 0
fi
build/trellis -start
for _ in $(seq 1 50); do
  if engine_running; then break; fi
  sleep 0.1
done
if ! engine_running; then
  echo "engine did not start; events:" >&2
  tail -n 20 "$TRELLIS_EVENTLOG" >&2 || true
  exit 1
fi
echo "engine running (registry $TRELLIS_REGISTRY, events $TRELLIS_EVENTLOG)"
for _ in $(seq 1 50); do
  if build/trellis-reg query 'Services\WWW Proxy server' PortNumber >/dev/null 2>&1; then break; fi
  sleep 0.1
done
if port=$(build/trellis-reg query 'Services\WWW Proxy server' PortNumber 2>/dev/null); then
  port=${port##*:}
  echo "web proxy listening on port $port: curl -x http://127.0.0.1:$port http://example.org/"
fi
echo "stop it with: scripts/run.sh stop"

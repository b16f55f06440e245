# Shared helpers of the end-to-end scripts: a private state folder per script, assertions that
# say what failed, polling with a limit, and the engine program with its start, stop and checks.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/engine.sh"

BUILD=${TRELLIS_BUILD:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build}
T=$(realpath "$BUILD/trellis")
REG="$BUILD/trellis-reg"
WORK=$(mktemp -d /tmp/trellis-e2e.XXXXXX)
export TRELLIS_REGISTRY="$WORK/registry.db"
export TRELLIS_HOME="$WORK/home"
export TRELLIS_RUNDIR="$WORK/run"
export TRELLIS_EVENTLOG="$WORK/events.log"
# The engine dials through the layer over pppd beside it by default: its phonebook is an empty
# folder, not the machine's own peers (Debian's ppp ships one), which would be a dial-up interface.
export TRELLIS_PPP_PEERS="$WORK/ppp-peers"
mkdir -p "$TRELLIS_HOME" "$TRELLIS_RUNDIR" "$TRELLIS_PPP_PEERS"
touch "$TRELLIS_EVENTLOG"
# The engine's instance lock: held while an engine of this script runs.
LOCK="$TRELLIS_RUNDIR/TrellisEngineApp.lock"

FAILURES=0
CLEANUPS=()
cleanup() {
  local c
  for c in "${CLEANUPS[@]}"; do eval "$c" >/dev/null 2>&1 || true; done
  if [ "$FAILURES" -eq 0 ] && [ -z "${TRELLIS_KEEP_TEST_DIRS:-}" ]; then rm -rf "$WORK"; else echo "state kept in $WORK"; fi
}
trap cleanup EXIT
on_exit() { CLEANUPS+=("$1"); }

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}
pass() { echo "ok: $*"; }

# expect_eq NAME ACTUAL EXPECTED
expect_eq() {
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1: got [$2] expected [$3]"; fi
}
# expect_contains NAME HAYSTACK NEEDLE
expect_contains() {
  if grep -qF -- "$3" <<<"$2"; then pass "$1"; else fail "$1: [$3] not in [$2]"; fi
}
expect_not_contains() {
  if grep -qF -- "$3" <<<"$2"; then fail "$1: [$3] unexpectedly in [$2]"; else pass "$1"; fi
}

finish() {
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

# start_engine [PORT]: starts the installed engine through the service layer and waits until it
# holds its lock and, given a port, until something listens there on 127.0.0.1.
start_engine() {
  "$T" -start >/dev/null
  wait_for 10 engine_running || fail "engine did not start"
  if [ $# -gt 0 ]; then wait_for 10 port_open 127.0.0.1 "$1" || fail "port $1 not listening"; fi
}
# stop_engine: stops it the same way and waits until its process has gone.
stop_engine() {
  "$T" -stop >/dev/null
  wait_for 15 no_engine_process || fail "engine did not stop"
}
# rc_service PORT: the engine's remote-control service, on 127.0.0.1:PORT of whatever namespace
# the engine runs in, where consoles and rc_client.py reach it.
rc_service() {
  local key='Services\Remote Control Service'
  "$REG" set "$key" ServiceType sz CRemoteControlService
  "$REG" set "$key" Name sz 'Remote Control Service'
  "$REG" set "$key" PortNumber dword "$1"
  "$REG" set "$key" BindingOption dword 1
  "$REG" set "$key" SpecificBinding sz 127.0.0.1
}

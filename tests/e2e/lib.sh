# Shared helpers of the end-to-end scripts: a private state folder per script, assertions that
# say what failed, and polling with a limit.
set -euo pipefail

BUILD=${TRELLIS_BUILD:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build}
WORK=$(mktemp -d /tmp/trellis-e2e.XXXXXX)
export TRELLIS_REGISTRY="$WORK/registry.db"
export TRELLIS_HOME="$WORK/home"
export TRELLIS_RUNDIR="$WORK/run"
export TRELLIS_EVENTLOG="$WORK/events.log"
mkdir -p "$TRELLIS_HOME" "$TRELLIS_RUNDIR"
touch "$TRELLIS_EVENTLOG"

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

# wait_for SECONDS COMMAND...: true once the command succeeds within the limit.
wait_for() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  while ((SECONDS < end)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  "$@"
}

finish() {
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

# lock_held FILE: whether some process holds a lock on FILE (the engine's open-file locks
# conflict with POSIX record locks, unlike flock(1)'s).
lock_held() {
  python3 - "$1" <<'PY'
import fcntl, os, sys
try:
    fd = os.open(sys.argv[1], os.O_RDWR)
except OSError:
    sys.exit(1)
try:
    fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
except OSError:
    sys.exit(0)
sys.exit(1)
PY
}

# Engine processes of this script only: other scripts may run the same program at the same time,
# so a process counts only when its environment names this script's run folder.
engine_pids() {
  local pid
  for pid in $(pgrep -f -x "$T" || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "TRELLIS_RUNDIR=$TRELLIS_RUNDIR"; then echo "$pid"; fi
  done
}
no_engine_process() { [ -z "$(engine_pids)" ]; }
kill_engines() {
  local p
  for p in $(engine_pids); do kill -KILL "$p" 2>/dev/null || true; done
}

# free_port [ADDRESS]: a port nobody listens on, outside the kernel's range for outgoing
# connections (so a client socket of another test cannot take it meanwhile).
free_port() {
  python3 - "${1:-127.0.0.1}" <<'PY'
import random, socket, sys
for _ in range(200):
    p = random.randint(20000, 32000)
    s = socket.socket()
    try:
        s.bind((sys.argv[1], p))
    except OSError:
        continue
    finally:
        s.close()
    print(p)
    break
PY
}

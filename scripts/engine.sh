# Shell helpers for scripts that drive the engine program: polling with a limit, the engine's
# instance lock and processes, ports. The caller sets T (the engine program) and LOCK (its
# instance lock file, in TRELLIS_RUNDIR) before using the engine functions.

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
engine_running() { lock_held "$LOCK"; }
engine_stopped() { ! engine_running; }

# port_open ADDRESS PORT: whether something accepts connections there.
port_open() { python3 -c 'import socket,sys; socket.create_connection((sys.argv[1],int(sys.argv[2])),1)' "$1" "$2" 2>/dev/null; }

# engine_pid: the pid of the running engine service process (it holds a record lock on
# TrellisEngine.lock in TRELLIS_RUNDIR for its whole life), or nothing.
engine_pid() {
  python3 - "$TRELLIS_RUNDIR/TrellisEngine.lock" <<'PY'
import fcntl, os, struct, sys
try:
    fd = os.open(sys.argv[1], os.O_RDONLY)
except OSError:
    sys.exit(0)
form = "hhqqixxxx"
got = fcntl.fcntl(fd, fcntl.F_GETLK, struct.pack(form, fcntl.F_WRLCK, 0, 0, 0, 0))
kind, _, _, _, pid = struct.unpack(form, got)
if kind != fcntl.F_UNLCK and pid > 0:
    print(pid)
PY
}

# engine_listeners PID: one line per socket the process listens on: "tcp 0.0.0.0:8080".
engine_listeners() {
  ss -Hlntup 2>/dev/null | awk -v p="pid=$1," 'index($0, p) { print $1, $5 }' | sort -u
}

# Shared by the area scripts of bench/ (sourced, not run): tools, ports, engines started through
# the service layer each in a folder of its own, and the interleaved rounds' result file.
#
# An area script sets BENCH_TMP (its temporary folder) before it calls bench_engine, and calls
# bench_cleanup from its EXIT trap. Results are lines "<point> <runner> <value>" appended to
# $BENCH_TMP/results; bench/ratios.py turns them into the area's tables.

BENCH_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TRELLIS_BUILD:-$BENCH_TOP/build}
BASELINE=${BENCH_BASELINE:-}
ROUNDS=${BENCH_ROUNDS:-3}
DURATION=${BENCH_DURATION:-5}

# bench_need tool:package ... installs the packages of the tools that are missing.
bench_need() {
  local need=() t
  for t in "$@"; do command -v "${t%%:*}" >/dev/null 2>&1 || need+=("${t##*:}"); done
  ((${#need[@]})) || return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  # A packaged daemon may start where an init system runs; ours use their own ports and files.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}

bench_build() {
  if [ ! -x "$BUILD/trellis" ] || [ ! -x "$BUILD/trellis-reg" ]; then
    [ -n "${TRELLIS_BUILD:-}" ] && { echo "no engine in $BUILD" >&2; exit 1; }
    bash "$BENCH_TOP/scripts/build.sh"
  fi
  if [ -n "$BASELINE" ] && [ ! -x "$BASELINE/trellis" ]; then
    echo "no engine in $BASELINE" >&2
    exit 1
  fi
}

free_port() {
  python3 -c 'import socket,sys
s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1]); s.close()' "$1"
}
wait_port() {
  local i
  for i in $(seq 100); do
    python3 -c 'import socket,sys; socket.create_connection((sys.argv[1],int(sys.argv[2])),1)' "$1" "$2" \
      2>/dev/null && return 0
    sleep 0.1
  done
  echo "${3:-nothing} did not start listening on $1:$2" >&2
  exit 1
}

# ---- Engines ------------------------------------------------------------------------------------
# bench_engine NAME BUILD: makes instance NAME (registry, home and run folder under BENCH_TMP) and
# installs it; the caller sets its values with engine_reg NAME ... and starts it with engine_start.
declare -A ENGINE_BIN ENGINE_REG ENGINE_PID
BENCH_ENGINES=()
engine_env() {
  local d="$BENCH_TMP/$1"
  echo "TRELLIS_REGISTRY=$d/registry.db TRELLIS_HOME=$d/home TRELLIS_RUNDIR=$d/run TRELLIS_EVENTLOG=$d/events.log"
}
in_engine() {
  local name=$1
  shift
  env $(engine_env "$name") "$@"
}
bench_engine() {
  local name=$1 build=$2
  mkdir -p "$BENCH_TMP/$name/home" "$BENCH_TMP/$name/run"
  ENGINE_BIN[$name]=$(realpath "$build/trellis")
  ENGINE_REG[$name]=$(realpath "$build/trellis-reg")
  BENCH_ENGINES+=("$name")
  in_engine "$name" "${ENGINE_BIN[$name]}" -i >/dev/null
}
engine_reg() {
  local name=$1
  shift
  in_engine "$name" "${ENGINE_REG[$name]}" set "$@" >/dev/null
}
# The engine processes of an instance, known by the run folder in their environment.
engine_pids() {
  local pid
  for pid in $(pgrep -f -x "${ENGINE_BIN[$1]}" || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "TRELLIS_RUNDIR=$BENCH_TMP/$1/run" && echo "$pid"
  done
  return 0
}
# engine_start NAME [wrapper...]: starts it through the service layer (a wrapper such as
# "ip netns exec NS" runs the start inside a namespace).
engine_start() {
  local name=$1
  shift
  in_engine "$name" "$@" "${ENGINE_BIN[$name]}" -start >/dev/null
  local i
  for i in $(seq 50); do
    ENGINE_PID[$name]=$(engine_pids "$name" | head -n1)
    [ -n "${ENGINE_PID[$name]}" ] && return 0
    sleep 0.1
  done
  echo "engine $name did not start" >&2
  exit 1
}
engine_stop() {
  local name=$1 i p
  shift
  in_engine "$name" "$@" "${ENGINE_BIN[$name]}" -stop >/dev/null 2>&1
  for i in $(seq 50); do [ -z "$(engine_pids "$name")" ] && return 0; sleep 0.1; done
  for p in $(engine_pids "$name"); do kill -KILL "$p" 2>/dev/null; done
  return 0
}
# The first run makes the Setup services; the caller then changes their values and starts again.
engine_first_run() {
  local name=$1
  shift
  engine_start "$name" "$@"
  sleep 2
  engine_stop "$name" "$@"
}
# CPU seconds (user + system, ended threads included) the process has used so far.
cpu_seconds() {
  python3 -c 'import os,sys
f=open(f"/proc/{sys.argv[1]}/stat").read().rpartition(")")[2].split()
print((int(f[11])+int(f[12]))/os.sysconf("SC_CLK_TCK"))' "$1" 2>/dev/null || echo 0
}

# The same for a process and its children (nginx's master and workers).
tree_cpu_seconds() {
  python3 -c 'import os,subprocess,sys
def cpu(p):
    try:
        f=open(f"/proc/{p}/stat").read().rpartition(")")[2].split()
        return (int(f[11])+int(f[12]))/os.sysconf("SC_CLK_TCK")
    except OSError:
        return 0.0
kids=subprocess.run(["pgrep","-P",sys.argv[1]],capture_output=True,text=True).stdout.split()
print(cpu(sys.argv[1])+sum(cpu(k) for k in kids))' "$1"
}

BENCH_PIDS=()
bench_cleanup() {
  set +e
  local name p
  for name in "${BENCH_ENGINES[@]}"; do
    engine_stop "$name"
    in_engine "$name" "${ENGINE_BIN[$name]}" -u >/dev/null 2>&1
  done
  for p in "${BENCH_PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${BENCH_PIDS[@]}"; do wait "$p" 2>/dev/null; done
  if [ -n "${BENCH_KEEP:-}" ]; then echo "state kept in $BENCH_TMP" >&2; else rm -rf "$BENCH_TMP"; fi
}

# result POINT RUNNER VALUE
result() { echo "$1 $2 $3" >>"$BENCH_TMP/results"; }

# A first line for the area's table: when, where, what ran alongside.
bench_header() {
  echo "# $1, $(date -u +%Y-%m-%d), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) at the start," \
    "$ROUNDS rounds of ${DURATION}s, engine $(git -C "$BENCH_TOP" rev-parse --short HEAD 2>/dev/null || echo '?')"
}

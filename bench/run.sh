#!/usr/bin/env bash
# Side-by-side benchmark of the engine's web proxy against tinyproxy and squid, all on loopback
# in front of one nginx origin. Not part of CI; see bench/README.md.
#   bench/run.sh                                full run (about 15 minutes)
#   BENCH_DURATION=3 BENCH_ROUNDS=2 bench/run.sh    shorter
#   TRELLIS_BUILD=/path/to/build bench/run.sh       engine from another build folder
#   BENCH_BASELINE=/path/to/old/build bench/run.sh  also an older engine ("trellis-base"), in the
#                                                   same alternation: before and after in one run
#   BENCH_PROXIES=trellis,tinyproxy bench/run.sh    only some of the proxies
#   BENCH_PERF=/tmp/prof bench/run.sh           also profile the engine at concurrency 50 (BENCH_PERF_CONC) in the
#                                               first round (linux-perf; writes /tmp/prof.uncached.txt
#                                               and /tmp/prof.cached.txt; the engine's figures of
#                                               that round are lower)
# Every process is started here with its own configuration in a temporary folder and stopped at
# the end; nothing listens outside 127.0.0.x.
#
# A shared machine is noisy: each point runs every proxy in turn, round after round, so a burst of
# outside load falls on all of them alike, and the report gives the median of the rounds with
# their spread.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

DURATION=${BENCH_DURATION:-5}
ROUNDS=${BENCH_ROUNDS:-3}
CONCS=${BENCH_CONCS:-1,50,200}
LARGE_MB=${BENCH_LARGE_MB:-100}
SMALL_BYTES=${BENCH_SMALL_BYTES:-1024}
WRK_THREADS=${BENCH_WRK_THREADS:-2}
IDLE=${BENCH_IDLE:-5000}
IDLE_CONC=${BENCH_IDLE_CONC:-10}
BUILD=${TRELLIS_BUILD:-$top/build}
BASELINE=${BENCH_BASELINE:-}

# ---- Tools ------------------------------------------------------------------------------------
need=()
for tool in wrk:wrk nginx:nginx-light squid:squid tinyproxy:tinyproxy curl:curl python3:python3; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool##*:}")
done
[ -n "${BENCH_PERF:-}" ] && ! command -v perf >/dev/null 2>&1 && need+=(linux-perf)
if ((${#need[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  # Installing squid or nginx may start the packaged daemons where an init system runs; ours use
  # their own ports and configurations, so those are left alone.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [ ! -x "$BUILD/trellis" ] || [ ! -x "$BUILD/trellis-reg" ]; then
  [ -n "${TRELLIS_BUILD:-}" ] && { echo "no engine in $BUILD" >&2; exit 1; }
  bash scripts/build.sh
fi
if [ -n "$BASELINE" ] && { [ ! -x "$BASELINE/trellis" ] || [ ! -x "$BASELINE/trellis-reg" ]; }; then
  echo "no engine in $BASELINE" >&2
  exit 1
fi
# 5,000 idle connections need as many descriptors in the holder, and wrk's reconnects need room.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---- State ------------------------------------------------------------------------------------
D=$(mktemp -d /tmp/trellis-bench.XXXXXX)
chmod 755 "$D"  # squid drops to its own user and must reach its folder
RES="$D/results"
mkdir -p "$RES" "$D/www/u" "$D/www/c" "$D/nginx" "$D/squid/cache"
export TRELLIS_EVENTLOG="$D/events.log"
touch "$TRELLIS_EVENTLOG"

PIDS=()
declare -A ENGINE_BIN ENGINE_DIR
# The engine processes of one instance, known by the run folder in their environment.
engine_pids() {
  local bin=$1 rundir=$2 pid
  for pid in $(pgrep -f -x "$bin" || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "TRELLIS_RUNDIR=$rundir"; then echo "$pid"; fi
  done
}
# Runs a command of engine instance NAME with that instance's registry, home and run folder.
in_engine() {
  local name=$1
  shift
  TRELLIS_REGISTRY="${ENGINE_DIR[$name]}/registry.db" TRELLIS_HOME="${ENGINE_DIR[$name]}/home" \
    TRELLIS_RUNDIR="${ENGINE_DIR[$name]}/run" "$@"
}
cleanup() {
  local p name
  set +e
  for name in "${!ENGINE_BIN[@]}"; do
    in_engine "$name" "${ENGINE_BIN[$name]}" -stop >/dev/null 2>&1
    for _ in $(seq 1 50); do [ -z "$(engine_pids "${ENGINE_BIN[$name]}" "${ENGINE_DIR[$name]}/run")" ] && break; sleep 0.1; done
    for p in $(engine_pids "${ENGINE_BIN[$name]}" "${ENGINE_DIR[$name]}/run"); do kill -KILL "$p" 2>/dev/null; done
    in_engine "$name" "${ENGINE_BIN[$name]}" -u >/dev/null 2>&1
  done
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  if [ -n "${BENCH_KEEP:-}" ]; then echo "state kept in $D"; else rm -rf "$D"; fi
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket,sys
s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1]); s.close()' "$1"
}
port_open() { python3 -c 'import socket,sys; socket.create_connection((sys.argv[1],int(sys.argv[2])),1)' "$1" "$2" 2>/dev/null; }
wait_port() {
  for _ in $(seq 1 100); do port_open "$1" "$2" && return 0; sleep 0.1; done
  echo "$3 did not start listening on $1:$2" >&2
  exit 1
}

declare -A PROXY PID EXTRA
ALL=()
WANTED=",${BENCH_PROXIES:-trellis,trellis-base,tinyproxy,squid,squid-close},"
wanted() { [[ $WANTED == *",$1,"* ]]; }

OP=$(free_port 127.0.0.2)
ORIGIN="http://127.0.0.2:$OP"

# ---- Origin: nginx, two workers, the same files under a never-stored and a storable path ------
head -c "$SMALL_BYTES" /dev/urandom | base64 -w 76 | head -c "$SMALL_BYTES" >"$D/www/u/small.txt"
cp "$D/www/u/small.txt" "$D/www/c/small.txt"
head -c $((LARGE_MB * 1048576)) /dev/urandom >"$D/www/u/big.bin"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat >"$D/nginx/nginx.conf" <<CONF
$user_line
worker_processes 2;
worker_rlimit_nofile 65536;
daemon off;
pid $D/nginx/nginx.pid;
error_log $D/nginx/error.log warn;
events { worker_connections 16384; }
http {
  types { text/plain txt; application/octet-stream bin; }
  log_format uri '\$request_uri';
  access_log $D/nginx/access.log uri;
  client_body_temp_path $D/nginx/body;
  proxy_temp_path $D/nginx/proxy;
  fastcgi_temp_path $D/nginx/fastcgi;
  uwsgi_temp_path $D/nginx/uwsgi;
  scgi_temp_path $D/nginx/scgi;
  sendfile on;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.2:$OP backlog=4096;
    root $D/www;
    location /u/ { add_header Cache-Control "no-store"; }
    location /c/ { add_header Cache-Control "max-age=86400"; }
  }
}
CONF
nginx -e "$D/nginx/error.log" -p "$D/nginx" -c "$D/nginx/nginx.conf" &
PIDS+=($!)
wait_port 127.0.0.2 "$OP" nginx

# ---- The engines, installed and started through the service layer -------------------------------
start_engine() {
  local name=$1 build=$2 addr=$3 port
  port=$(free_port "$addr")
  ENGINE_BIN[$name]=$(realpath "$build/trellis")
  ENGINE_DIR[$name]="$D/$name"
  mkdir -p "$D/$name/home" "$D/$name/run"
  local reg
  reg=$(realpath "$build/trellis-reg")
  in_engine "$name" "${ENGINE_BIN[$name]}" -i >/dev/null
  in_engine "$name" "$reg" set 'Setup' Mode dword 1
  in_engine "$name" "$reg" set 'Setup' InstallWWW dword 1
  in_engine "$name" "$reg" set 'Setup' WWWProxyPort dword "$port"
  in_engine "$name" "$reg" set 'Setup' SecureInstall dword 0
  in_engine "$name" "${ENGINE_BIN[$name]}" -start >/dev/null
  # The engine listens on every address; the loopback address given is where the bench reaches it.
  wait_port "$addr" "$port" "engine $name"
  PID[$name]=$(engine_pids "${ENGINE_BIN[$name]}" "$D/$name/run" | head -n1)
  [ -n "${PID[$name]}" ] || { echo "engine $name: process not found" >&2; exit 1; }
  PROXY[$name]="http://$addr:$port"
  ALL+=("$name")
}
wanted trellis && start_engine trellis "$BUILD" 127.0.0.1
[ -n "$BASELINE" ] && wanted trellis-base && start_engine trellis-base "$BASELINE" 127.0.0.5

# ---- tinyproxy --------------------------------------------------------------------------------
if wanted tinyproxy; then
  TP=$(free_port 127.0.0.3)
  cat >"$D/tinyproxy.conf" <<CONF
Port $TP
Listen 127.0.0.3
Timeout 30
Allow 127.0.0.0/8
LogLevel Warning
LogFile "$D/tinyproxy.log"
PidFile "$D/tinyproxy.pid"
MaxClients 1024
CONF
  [ "$(id -u)" -eq 0 ] && printf 'User root\nGroup root\n' >>"$D/tinyproxy.conf"
  tinyproxy -d -c "$D/tinyproxy.conf" >/dev/null 2>&1 &
  PIDS+=($!)
  PID[tinyproxy]=$!
  PROXY[tinyproxy]="http://127.0.0.3:$TP"
  wait_port 127.0.0.3 "$TP" tinyproxy
  ALL+=(tinyproxy)
fi

# ---- squid: one process, memory cache plus a ufs disk cache -----------------------------------
if wanted squid || wanted squid-close; then
  SP=$(free_port 127.0.0.4)
  cat >"$D/squid/squid.conf" <<CONF
http_port 127.0.0.4:$SP
pid_filename $D/squid/squid.pid
cache_log $D/squid/cache.log
access_log none
cache_store_log none
logfile_rotate 0
coredump_dir $D/squid
netdb_filename none
pinger_enable off
cache_dir ufs $D/squid/cache 1024 16 256
cache_mem 256 MB
maximum_object_size 256 MB
maximum_object_size_in_memory 64 KB
acl loop src 127.0.0.0/8
http_access allow loop
http_access deny all
refresh_pattern . 0 20% 4320
max_filedescriptors 16384
shutdown_lifetime 1 seconds
CONF
  squid_user=$(id -un)
  if [ "$(id -u)" -eq 0 ] && id proxy >/dev/null 2>&1; then
    squid_user=proxy
    echo "cache_effective_user proxy" >>"$D/squid/squid.conf"
  fi
  chown -R "$squid_user" "$D/squid"
  squid -N -z -f "$D/squid/squid.conf" >/dev/null 2>&1
  squid -N -f "$D/squid/squid.conf" >"$D/squid/stdout.log" 2>&1 &
  PIDS+=($!)
  PID[squid]=$!
  PROXY[squid]="http://127.0.0.4:$SP"
  wait_port 127.0.0.4 "$SP" squid
  wanted squid && ALL+=(squid)
  # The same squid with the client's keep-alive off: every request asks "Connection: close", so
  # squid, like the engine, answers one request per connection.
  if wanted squid-close; then
    PID[squid-close]=${PID[squid]}
    PROXY[squid-close]=${PROXY[squid]}
    EXTRA[squid-close]='wrk.headers["Connection"] = "close"'
    ALL+=(squid-close)
  fi
fi
((${#ALL[@]})) || { echo "no proxy to measure" >&2; exit 1; }

# ---- Points -----------------------------------------------------------------------------------
origin_count() { wc -l <"$D/nginx/access.log"; }
# The sampler needs a moment to take its first reading before the measured work begins.
start_sampler() {
  python3 "$top/bench/sample.py" "$1" "$2" &
  SAMPLER=$!
  sleep 0.2
}
stop_sampler() { kill "$SAMPLER"; wait "$SAMPLER" || true; }

# A first fetch stores the page; the second must already be a hit.
warm() {
  local p=$1 h
  curl -sS -o /dev/null -x "${PROXY[$p]}" "$ORIGIN/c/small.txt"
  h=$(curl -sS -D - -o /dev/null -x "${PROXY[$p]}" "$ORIGIN/c/small.txt" | tr -d '\r')
  case $p in
    trellis*) grep -q '^Server: Trellis Engine' <<<"$h" || echo "warning: $p second fetch not from its cache" >&2 ;;
    squid) grep -q '^X-Cache: HIT' <<<"$h" || echo "warning: squid second fetch not a hit" >&2 ;;
  esac
}

# wrk against one proxy: its script turns the request line into the absolute form a proxy expects.
run_wrk() {
  local p=$1 path=$2 c=$3 out=$4 threads=$WRK_THREADS
  ((c < threads)) && threads=$c
  {
    printf 'wrk.path = "%s"\nwrk.headers["Host"] = "127.0.0.2:%s"\n' "$ORIGIN$path" "$OP"
    [ -n "${EXTRA[$p]:-}" ] && printf '%s\n' "${EXTRA[$p]}"
  } >"$D/proxy.$p.lua"
  wrk -t "$threads" -c "$c" -d "${DURATION}s" --timeout 5s --latency -s "$D/proxy.$p.lua" \
    "${PROXY[$p]}/" >"$out" 2>&1 || true
}

point() {
  local p=$1 mode=$2 c=$3 r=$4 path=/u/small.txt before perf_pid=""
  [ "$mode" = cached ] && path=/c/small.txt
  local base="$RES/$p.$mode.$c.r$r"
  before=$(origin_count)
  start_sampler "${PID[$p]}" "$base.sample"
  if [ -n "${BENCH_PERF:-}" ] && [ "$p" = trellis ] && [ "$c" = "${BENCH_PERF_CONC:-50}" ] && [ "$r" = 1 ]; then
    perf record -F 999 -g -o "$RES/perf.$mode.data" -p "${PID[$p]}" >/dev/null 2>&1 &
    perf_pid=$!
  fi
  run_wrk "$p" "$path" "$c" "$base.wrk"
  if [ -n "$perf_pid" ]; then
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    {
      echo "## flat"
      perf report -i "$RES/perf.$mode.data" --no-children --sort sym --stdio -g none 2>/dev/null |
        grep -v '^#' | grep '%' | head -n 40
      echo "## callers"
      perf report -i "$RES/perf.$mode.data" --no-children --sort dso,sym --stdio -G 2>/dev/null |
        grep -v '^#' | grep '%' | head -n 80
    } >"${BENCH_PERF}.$mode.txt" || true
  fi
  stop_sampler
  # Lets the connections of this point leave the proxy before the next one starts.
  sleep 0.5
  echo $(($(origin_count) - before)) >"$base.origin"
}

echo "bench: ${DURATION}s per point, $ROUNDS rounds, concurrency $CONCS, proxies ${ALL[*]}" >&2
for mode in uncached cached; do
  if [ "$mode" = cached ]; then
    for p in "${ALL[@]}"; do warm "$p"; done
  fi
  for c in ${CONCS//,/ }; do
    for r in $(seq 1 "$ROUNDS"); do
      echo "bench: $mode c=$c round $r" >&2
      for p in "${ALL[@]}"; do point "$p" "$mode" "$c" "$r"; done
    done
  done
done

# ---- One large body through each (never stored: the path answers no-store) ---------------------
large() {
  local name=$1 pid=$2 r=$3
  shift 3
  [ -n "$pid" ] && start_sampler "$pid" "$RES/$name.large.r$r.sample"
  curl -sS -o /dev/null -w '%{time_total} %{speed_download}\n' "$@" "$ORIGIN/u/big.bin" >"$RES/$name.large.r$r" || true
  [ -n "$pid" ] && stop_sampler
  return 0
}
echo "bench: large transfers" >&2
for r in $(seq 1 "$ROUNDS"); do
  large direct "" "$r"
  for p in "${ALL[@]}"; do
    [ "$p" = squid-close ] && continue  # one transfer is one connection either way
    large "$p" "${PID[$p]}" "$r" -x "${PROXY[$p]}"
  done
done

# ---- Idle connections held open while a second client fetches -------------------------------------
if [ "$IDLE" -gt 0 ]; then
  for p in "${ALL[@]}"; do
    [ "$p" = squid-close ] && continue
    echo "bench: $p with $IDLE idle connections" >&2
    hostport=${PROXY[$p]#http://}
    python3 "$top/bench/idle.py" "${hostport%:*}" "${hostport#*:}" "$IDLE" >"$RES/$p.idle.hold" &
    holder=$!
    for _ in $(seq 1 600); do grep -q '^ready' "$RES/$p.idle.hold" && break; sleep 0.1; done
    # The proxy takes the connections in; its threads and memory settle before the measurement.
    sleep 2
    start_sampler "${PID[$p]}" "$RES/$p.idle.sample"
    perf_pid=""
    if [ -n "${BENCH_PERF:-}" ] && [ "$p" = trellis ]; then
      # Per-thread events for thousands of threads would take more descriptors than there are: the
      # whole system is recorded and the engine's samples picked out.
      perf record -a -F 999 -g -o "$RES/perf.idle.data" >/dev/null 2>&1 &
      perf_pid=$!
    fi
    run_wrk "$p" /u/small.txt "$IDLE_CONC" "$RES/$p.idle.wrk"
    if [ -n "$perf_pid" ]; then
      kill -INT "$perf_pid" 2>/dev/null || true
      wait "$perf_pid" || true
      perf report -i "$RES/perf.idle.data" --pid "${PID[$p]}" --no-children --sort sym --stdio -g none 2>/dev/null |
        grep -v '^#' | grep '%' | head -n 40 >"${BENCH_PERF}.idle.txt" || true
    fi
    stop_sampler
    kill -TERM "$holder"
    wait "$holder" || true
    sleep 2
  done
fi

# VmHWM: the peak resident set of each proxy over the whole run.
for p in "${ALL[@]}"; do
  [ "$p" = squid-close ] && continue
  start_sampler "${PID[$p]}" "$RES/$p.final.sample"
  sleep 0.2
  stop_sampler
done

echo
echo "# Results $(date -u +%Y-%m-%d), $(nproc) cores, ${DURATION}s per point, $ROUNDS rounds, ${SMALL_BYTES}-byte body"
echo
python3 "$top/bench/report.py" "$RES" "$(IFS=,; echo "${ALL[*]}")" "$CONCS" "$ROUNDS" "$IDLE"

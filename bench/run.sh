#!/usr/bin/env bash
# Side-by-side benchmark of the engine's web proxy against tinyproxy and squid, all on loopback
# in front of one nginx origin. Not part of CI; see bench/README.md.
#   bench/run.sh                          full run (about 5 minutes)
#   BENCH_DURATION=3 bench/run.sh         shorter points
#   TRELLIS_BUILD=/path/to/build bench/run.sh   engine from another build folder
#   BENCH_PERF=/tmp/prof bench/run.sh     also profile the engine at concurrency 50 (linux-perf;
#                                         writes /tmp/prof.uncached.txt and /tmp/prof.cached.txt;
#                                         the figures of such a run are not comparable)
# Every process is started here with its own configuration in a temporary folder and stopped at
# the end; nothing listens outside 127.0.0.x.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

DURATION=${BENCH_DURATION:-10}
CONCS=${BENCH_CONCS:-1,50,200}
LARGE_MB=${BENCH_LARGE_MB:-100}
SMALL_BYTES=${BENCH_SMALL_BYTES:-1024}
WRK_THREADS=${BENCH_WRK_THREADS:-2}
BUILD=${TRELLIS_BUILD:-$top/build}

# ---- Tools ------------------------------------------------------------------------------------
need=()
for tool in wrk:wrk nginx:nginx-light squid:squid tinyproxy:tinyproxy curl:curl python3:python3; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool##*:}")
done
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
T=$(realpath "$BUILD/trellis")
REG=$(realpath "$BUILD/trellis-reg")

# ---- State ------------------------------------------------------------------------------------
D=$(mktemp -d /tmp/trellis-bench.XXXXXX)
chmod 755 "$D"  # squid drops to its own user and must reach its folder
RES="$D/results"
mkdir -p "$RES" "$D/www/u" "$D/www/c" "$D/nginx" "$D/squid/cache" "$D/home" "$D/run"
export TRELLIS_REGISTRY="$D/registry.db" TRELLIS_HOME="$D/home" TRELLIS_RUNDIR="$D/run"
export TRELLIS_EVENTLOG="$D/events.log"
touch "$TRELLIS_EVENTLOG"

PIDS=()
engine_pids() {
  local pid
  for pid in $(pgrep -f -x "$T" || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "TRELLIS_RUNDIR=$TRELLIS_RUNDIR"; then echo "$pid"; fi
  done
}
cleanup() {
  local p
  "$T" -stop >/dev/null 2>&1 || true
  for _ in $(seq 1 50); do [ -z "$(engine_pids)" ] && break; sleep 0.1; done
  for p in $(engine_pids); do kill -KILL "$p" 2>/dev/null || true; done
  "$T" -u >/dev/null 2>&1 || true
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
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

OP=$(free_port 127.0.0.2)
EP=$(free_port 127.0.0.1)
TP=$(free_port 127.0.0.3)
SP=$(free_port 127.0.0.4)
ORIGIN="http://127.0.0.2:$OP"
declare -A PROXY=([trellis]="http://127.0.0.1:$EP" [tinyproxy]="http://127.0.0.3:$TP" [squid]="http://127.0.0.4:$SP")
declare -A PID

# ---- Origin: nginx, two workers, the same files under a never-stored and a storable path ------
head -c "$SMALL_BYTES" /dev/urandom | base64 -w 76 | head -c "$SMALL_BYTES" >"$D/www/u/small.txt"
cp "$D/www/u/small.txt" "$D/www/c/small.txt"
head -c $((LARGE_MB * 1048576)) /dev/urandom >"$D/www/u/big.bin"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat >"$D/nginx/nginx.conf" <<CONF
$user_line
worker_processes 2;
daemon off;
pid $D/nginx/nginx.pid;
error_log $D/nginx/error.log warn;
events { worker_connections 4096; }
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
    listen 127.0.0.2:$OP;
    root $D/www;
    location /u/ { add_header Cache-Control "no-store"; }
    location /c/ { add_header Cache-Control "max-age=86400"; }
  }
}
CONF
nginx -e "$D/nginx/error.log" -p "$D/nginx" -c "$D/nginx/nginx.conf" &
PIDS+=($!)
wait_port 127.0.0.2 "$OP" nginx

# ---- tinyproxy --------------------------------------------------------------------------------
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
wait_port 127.0.0.3 "$TP" tinyproxy

# ---- squid: one process, memory cache plus a ufs disk cache -----------------------------------
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
max_filedescriptors 8192
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
wait_port 127.0.0.4 "$SP" squid

# ---- The engine, installed and started through the service layer -------------------------------
"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallWWW dword 1
"$REG" set 'Setup' WWWProxyPort dword "$EP"
"$REG" set 'Setup' SecureInstall dword 0
"$T" -start >/dev/null
wait_port 127.0.0.1 "$EP" "the engine's web proxy"
PID[trellis]=$(engine_pids | head -n1)
[ -n "${PID[trellis]}" ] || { echo "engine process not found" >&2; exit 1; }

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
    trellis) grep -q '^Server: Trellis Engine' <<<"$h" || echo "warning: trellis second fetch not from its cache" >&2 ;;
    squid) grep -q '^X-Cache: HIT' <<<"$h" || echo "warning: squid second fetch not a hit" >&2 ;;
  esac
}

PROXIES=(trellis tinyproxy squid)
echo "bench: ${DURATION}s per point, concurrency $CONCS, ${SMALL_BYTES}-byte body, ${LARGE_MB} MB large body" >&2
for p in "${PROXIES[@]}"; do
  for mode in uncached cached; do
    path=/u/small.txt
    if [ "$mode" = cached ]; then
      path=/c/small.txt
      warm "$p"
    fi
    for c in ${CONCS//,/ }; do
      base="$RES/$p.$mode.$c"
      threads=$WRK_THREADS
      ((c < threads)) && threads=$c
      echo "bench: $p $mode c=$c" >&2
      before=$(origin_count)
      start_sampler "${PID[$p]}" "$base.sample"
      # wrk connects to the proxy; its script turns the request line into the absolute form.
      printf 'wrk.path = "%s"\nwrk.headers["Host"] = "127.0.0.2:%s"\n' "$ORIGIN$path" "$OP" >"$D/proxy.lua"
      perf_pid=""
      if [ -n "${BENCH_PERF:-}" ] && [ "$p" = trellis ] && [ "$c" = 50 ]; then
        perf record -F 999 -g -o "$RES/perf.$mode.data" -p "${PID[$p]}" >/dev/null 2>&1 &
        perf_pid=$!
      fi
      wrk -t "$threads" -c "$c" -d "${DURATION}s" --timeout 5s --latency -s "$D/proxy.lua" \
        "${PROXY[$p]}/" >"$base.wrk" 2>&1 || true
      if [ -n "$perf_pid" ]; then
        kill -INT "$perf_pid"
        wait "$perf_pid" || true
        perf report -i "$RES/perf.$mode.data" --no-children --sort dso,sym --stdio 2>/dev/null |
          grep -v '^#' | grep '%' | head -n 40 >"${BENCH_PERF}.$mode.txt" || true
      fi
      stop_sampler
      sleep 0.5
      echo $(($(origin_count) - before)) >"$base.origin"
    done
  done
done

# ---- One large body through each (never stored: the path answers no-store) ---------------------
large() {
  local name=$1 pid=$2
  shift 2
  [ -n "$pid" ] && start_sampler "$pid" "$RES/$name.large.sample"
  curl -sS -o /dev/null -w '%{time_total} %{speed_download}\n' "$@" "$ORIGIN/u/big.bin" >"$RES/$name.large" || true
  [ -n "$pid" ] && stop_sampler
  return 0
}
echo "bench: large transfers" >&2
large direct ""
for p in "${PROXIES[@]}"; do large "$p" "${PID[$p]}" -x "${PROXY[$p]}"; done
# VmHWM: the peak resident set of each proxy over the whole run.
for p in "${PROXIES[@]}"; do
  start_sampler "${PID[$p]}" "$RES/$p.final.sample"
  sleep 0.2
  stop_sampler
done

echo
echo "# Results $(date -u +%Y-%m-%d), $(nproc) cores, ${DURATION}s per point, ${SMALL_BYTES}-byte body"
echo
python3 "$top/bench/report.py" "$RES" "$(IFS=,; echo "${PROXIES[*]}")" "$CONCS"

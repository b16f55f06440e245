#!/usr/bin/env bash
# The engine's SOCKS 5 relay side by side with dante-server and microsocks, all on loopback in
# front of one nginx origin (a direct fetch is the yardstick). Per round, every runner in turn:
# one 100 MB and one 1 GiB stream with curl --socks5 (MB/s, and the engine's processor time per
# GiB), then connections per second (socks_load.py: PROCS x CONC clients doing SOCKS 5 CONNECT, a
# 1 KiB HTTP/1.0 fetch and close, over and over). Medians over the rounds, ratios to each peer.
# Not a test; see bench/README.md.
#   bench/socks/run.sh
#   BENCH_BASELINE=/old/build bench/socks/run.sh    also an older engine, "trellis-base"
# Knobs: BENCH_ROUNDS (3), BENCH_DURATION (5 s), BENCH_PROCS (4), BENCH_CONC (8), TRELLIS_BUILD,
# BENCH_KEEP=1.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
PROCS=${BENCH_PROCS:-4}
CONC=${BENCH_CONC:-8}

bench_need nginx:nginx-light danted:dante-server microsocks:microsocks curl:curl python3:python3
bench_build
BENCH_TMP=$(mktemp -d /tmp/trellis-bench-socks.XXXXXX)
trap bench_cleanup EXIT
W=$BENCH_TMP
mkdir -p "$W/www"
# nginx workers run as an unprivileged user: they must reach the files.
chmod 755 "$W" "$W/www"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 >"$W/www/small"
head -c $((100 * 1048576)) /dev/urandom >"$W/www/100m"
head -c $((1024 * 1048576)) /dev/zero >"$W/www/1g"

OP=$(free_port 127.0.0.2)
cat >"$W/nginx.conf" <<NGX
worker_processes 2;
pid $W/nginx.pid;
error_log $W/nginx.err;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  server { listen 127.0.0.2:$OP backlog=4096; root $W/www; }
}
NGX
nginx -c "$W/nginx.conf" -g 'daemon off;' &
BENCH_PIDS+=($!)
wait_port 127.0.0.2 "$OP" nginx

declare -A HOST PORT
# The first-run SOCKS service without the web hand-over and the service log, which would measure
# other things than the relay.
socks_engine() {
  local name=$1 build=$2 addr=$3
  bench_engine "$name" "$build"
  engine_reg "$name" Setup Mode dword 1
  engine_reg "$name" Setup InstallSOCKS dword 1
  engine_reg "$name" Setup SecureInstall dword 0
  engine_first_run "$name"
  local k='Services\SOCKS Proxy server'
  PORT[$name]=$(free_port "$addr")
  HOST[$name]=$addr
  engine_reg "$name" "$k" PortNumber dword "${PORT[$name]}"
  engine_reg "$name" "$k" ReferHTTPRequests dword 0
  engine_reg "$name" "$k" LoggingEnabled dword 0
  engine_start "$name"
  wait_port "$addr" "${PORT[$name]}" "$name"
}
NAMES=(trellis)
socks_engine trellis "$BUILD" 127.0.0.1
if [ -n "$BASELINE" ]; then
  socks_engine trellis-base "$BASELINE" 127.0.0.5
  NAMES+=(trellis-base)
fi

HOST[dante]=127.0.0.3
PORT[dante]=$(free_port 127.0.0.3)
cat >"$W/danted.conf" <<DANTE
logoutput: $W/danted.log
internal: 127.0.0.3 port = ${PORT[dante]}
external: 127.0.0.3
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: root
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
DANTE
danted -f "$W/danted.conf" -N 4 >/dev/null 2>&1 &
BENCH_PIDS+=($!)
wait_port 127.0.0.3 "${PORT[dante]}" danted

HOST[microsocks]=127.0.0.4
PORT[microsocks]=$(free_port 127.0.0.4)
# microsocks reports every connection on standard output.
microsocks -i 127.0.0.4 -p "${PORT[microsocks]}" >/dev/null 2>&1 &
BENCH_PIDS+=($!)
wait_port 127.0.0.4 "${PORT[microsocks]}" microsocks
NAMES+=(dante microsocks)

bench_header "SOCKS 5" >"$W/header"
for r in $(seq "$ROUNDS"); do
  echo "round $r" >&2
  for f in 100m 1g; do
    speed=$(curl -sf -o /dev/null -w '%{speed_download}' "http://127.0.0.2:$OP/$f") || speed=0
    result "stream-$f" direct "$(python3 -c "print($speed/1e6)")"
  done
  for n in "${NAMES[@]}"; do
    for f in 100m 1g; do
      pid=${ENGINE_PID[$n]:-}
      [ -n "$pid" ] && c0=$(cpu_seconds "$pid")
      speed=$(curl -sf -o /dev/null -w '%{speed_download}' --socks5 "${HOST[$n]}:${PORT[$n]}" \
        "http://127.0.0.2:$OP/$f") || speed=0
      result "stream-$f" "$n" "$(python3 -c "print($speed/1e6)")"
      [ "$f" = 1g ] && [ -n "$pid" ] && result stream-cpu "$n" "$(python3 -c "print(($(cpu_seconds "$pid")-$c0)*1000)")"
    done
    read -r cps bad < <(python3 "$BENCH_TOP/bench/socks/socks_load.py" "${HOST[$n]}" "${PORT[$n]}" 127.0.0.2 "$OP" \
      /small "$DURATION" "$PROCS" "$CONC")
    result conn "$n" "$cps"
    [ "${bad:-0}" = 0 ] || echo "warning: $n: $bad failed connections" >&2
  done
done

cat "$W/header"
echo
python3 "$BENCH_TOP/bench/ratios.py" "$W/results" trellis stream-100m=MB/s,higher stream-1g=MB/s,higher \
  stream-cpu="engine CPU ms/GiB,lower" conn="conn/s (${PROCS}x${CONC} clients),higher" -- \
  stream-100m:direct:0.8 stream-1g:direct:0.8 conn:dante:1 conn:microsocks:1

#!/usr/bin/env bash
# A TCP mapping of the engine side by side with socat and rinetd, the port forwarders of Debian,
# each forwarding a loopback port to one nginx (and a direct fetch as the yardstick). Per round,
# every runner in turn: one large download with curl (MB/s, and the engine's processor time per
# GiB), then wrk at concurrency BENCH_CONC asking "Connection: close" (a new forwarded connection
# per request). Medians over the rounds, ratios to each peer. Not a test; see bench/README.md.
#   bench/mapping/run.sh                        3 rounds, a 1 GiB stream, 5 s of wrk
#   BENCH_BASELINE=/old/build bench/mapping/run.sh   also an older engine, "trellis-base"
# Knobs: BENCH_ROUNDS, BENCH_DURATION, BENCH_CONC (50), BENCH_LARGE_MB (1024), TRELLIS_BUILD,
# BENCH_KEEP=1.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
CONC=${BENCH_CONC:-50}
LARGE_MB=${BENCH_LARGE_MB:-1024}

bench_need wrk:wrk nginx:nginx-light rinetd:rinetd socat:socat curl:curl
bench_build
BENCH_TMP=$(mktemp -d /tmp/trellis-bench-map.XXXXXX)
trap bench_cleanup EXIT
W=$BENCH_TMP
mkdir -p "$W/www"
# nginx's workers run as another user when started by root: they must read the files.
chmod a+rx "$W" "$W/www"
head -c 1024 /dev/urandom | base64 >"$W/www/small"
head -c $((LARGE_MB * 1048576)) /dev/zero >"$W/www/large"

OP=$(free_port 127.0.0.2)
cat >"$W/nginx.conf" <<NG
worker_processes 2;
pid $W/nginx.pid;
error_log $W/nginx.err;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  server { listen 127.0.0.2:$OP backlog=4096; root $W/www; }
}
NG
nginx -c "$W/nginx.conf" -g 'daemon off;' &
BENCH_PIDS+=($!)
wait_port 127.0.0.2 "$OP" nginx

declare -A PORT
PORT[socat]=$(free_port 127.0.0.1)
socat TCP-LISTEN:"${PORT[socat]}",bind=127.0.0.1,reuseaddr,fork,backlog=1024 TCP:127.0.0.2:"$OP" &
BENCH_PIDS+=($!)
PORT[rinetd]=$(free_port 127.0.0.1)
printf '127.0.0.1 %s 127.0.0.2 %s\n' "${PORT[rinetd]}" "$OP" >"$W/rinetd.conf"
rinetd -f -c "$W/rinetd.conf" &
BENCH_PIDS+=($!)

# A mapping service stored in the registry, its log off: the relay is what is measured.
map_engine() {
  local name=$1 build=$2 port
  port=$(free_port 127.0.0.1)
  bench_engine "$name" "$build"
  engine_reg "$name" Setup Mode dword 1
  engine_first_run "$name"
  local k='Services\Bench'
  engine_reg "$name" "$k" ServiceType sz CTCPMappingService
  engine_reg "$name" "$k" PortNumber dword "$port"
  engine_reg "$name" "$k" BindingOption dword 1
  engine_reg "$name" "$k" SpecificBinding sz 127.0.0.1
  engine_reg "$name" "$k" LogOptions dword 0
  engine_reg "$name" "$k\\Mappings" Host sz 127.0.0.2
  engine_reg "$name" "$k\\Mappings" Port dword "$OP"
  engine_start "$name"
  PORT[$name]=$port
}
NAMES=(trellis)
map_engine trellis "$BUILD"
if [ -n "$BASELINE" ]; then
  map_engine trellis-base "$BASELINE"
  NAMES+=(trellis-base)
fi
NAMES+=(socat rinetd)
for n in "${NAMES[@]}"; do wait_port 127.0.0.1 "${PORT[$n]}" "$n"; done

bench_header "TCP mapping" >"$W/header"
for r in $(seq "$ROUNDS"); do
  echo "round $r" >&2
  speed=$(curl -sf -o /dev/null -w '%{speed_download}' "http://127.0.0.2:$OP/large") || speed=0
  result stream direct "$(python3 -c "print($speed/1e6)")"
  for n in "${NAMES[@]}"; do
    pid=${ENGINE_PID[$n]:-}
    [ -n "$pid" ] && c0=$(cpu_seconds "$pid")
    speed=$(curl -sf -o /dev/null -w '%{speed_download}' "http://127.0.0.1:${PORT[$n]}/large") || speed=0
    result stream "$n" "$(python3 -c "print($speed/1e6)")"
    [ -n "$pid" ] && result stream-cpu "$n" "$(python3 -c "print(($(cpu_seconds "$pid")-$c0)*1000*1024/$LARGE_MB)")"
    out=$(wrk -t2 -c"$CONC" -d"${DURATION}s" -H 'Connection: close' "http://127.0.0.1:${PORT[$n]}/small")
    grep -q "Non-2xx" <<<"$out" && echo "warning: $n answered with errors" >&2
    result conn "$n" "$(awk '/Requests\/sec/ {print $2}' <<<"$out")"
  done
done

cat "$W/header"
echo
python3 "$BENCH_TOP/bench/ratios.py" "$W/results" trellis stream=MB/s,higher stream-cpu="engine CPU ms/GiB,lower" \
  conn="conn/s at $CONC,higher" -- stream:direct:0.8 conn:rinetd:1 conn:socat:1

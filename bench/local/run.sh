#!/usr/bin/env bash
# The engine's own web server (non-proxy action 3) against nginx serving the same files from the
# same folder: a 1 KiB text and a 10 MiB binary, wrk at each concurrency, every server in turn,
# round after round. nginx runs as it usually does (keep-alive) and, as "nginx-close", with every
# request asking "Connection: close": one request per connection, as the engine serves by design.
# Medians over the rounds, ratios to each peer, and each server's processor time per request (the
# figure outside load disturbs least). Not a test; see bench/README.md.
#   bench/local/run.sh
#   BENCH_BASELINE=/old/build bench/local/run.sh    also an older engine, "trellis-base"
# Knobs: BENCH_ROUNDS (3), BENCH_DURATION (5 s), BENCH_CONCS (1,50), TRELLIS_BUILD, BENCH_KEEP=1.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
CONCS=${BENCH_CONCS:-1,50}

bench_need wrk:wrk nginx:nginx-light curl:curl
bench_build
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
BENCH_TMP=$(mktemp -d /tmp/trellis-bench-local.XXXXXX)
trap bench_cleanup EXIT
W=$BENCH_TMP
mkdir -p "$W/www" "$W/nginx"
chmod 755 "$W" "$W/www"
head -c 1024 /dev/urandom | base64 -w 76 | head -c 1024 >"$W/www/small.txt"
head -c $((10 * 1048576)) /dev/urandom >"$W/www/large.bin"

NP=$(free_port 127.0.0.2)
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
# Two workers, sendfile, no access log: nginx as fast as it goes. (The engine writes its service
# log; that costs it a line per request and a wake-up of its log writer.)
cat >"$W/nginx/nginx.conf" <<CONF
$user_line
worker_processes 2;
worker_rlimit_nofile 65536;
daemon off;
pid $W/nginx/nginx.pid;
error_log $W/nginx/error.log warn;
events { worker_connections 16384; }
http {
  types { text/plain txt; application/octet-stream bin; }
  access_log off;
  client_body_temp_path $W/nginx/body;
  proxy_temp_path $W/nginx/proxy;
  fastcgi_temp_path $W/nginx/fastcgi;
  uwsgi_temp_path $W/nginx/uwsgi;
  scgi_temp_path $W/nginx/scgi;
  sendfile on;
  keepalive_requests 1000000;
  server { listen 127.0.0.2:$NP backlog=4096; root $W/www; }
}
CONF
nginx -e "$W/nginx/error.log" -p "$W/nginx" -c "$W/nginx/nginx.conf" &
BENCH_PIDS+=($!)
NGINX_PID=$!
wait_port 127.0.0.2 "$NP" nginx

declare -A URL LUA
local_engine() {
  local name=$1 build=$2 addr=$3 port k='Services\WWW Proxy server'
  port=$(free_port "$addr")
  bench_engine "$name" "$build"
  engine_reg "$name" "$k" ServiceType sz CWWWService
  engine_reg "$name" "$k" Name sz 'WWW Proxy server'
  engine_reg "$name" "$k" PortNumber dword "$port"
  engine_reg "$name" "$k" BindingOption dword 1
  engine_reg "$name" "$k" SpecificBinding sz "$addr"
  engine_reg "$name" "$k" NonProxyRequestAction dword 3
  engine_reg "$name" "$k" ServerRoot sz "$W/www"
  engine_reg "$name" Settings Version dword 513
  engine_start "$name"
  wait_port "$addr" "$port" "$name"
  URL[$name]="http://$addr:$port"
  cmp -s <(curl -s "${URL[$name]}/large.bin") "$W/www/large.bin" || { echo "$name serves another file" >&2; exit 1; }
}
SERVERS=(trellis)
local_engine trellis "$BUILD" 127.0.0.1
if [ -n "$BASELINE" ]; then
  local_engine trellis-base "$BASELINE" 127.0.0.5
  SERVERS+=(trellis-base)
fi
URL[nginx]="http://127.0.0.2:$NP"
URL[nginx-close]="http://127.0.0.2:$NP"
SERVERS+=(nginx nginx-close)
printf 'wrk.headers["Connection"] = "close"\n' >"$W/close.lua"
printf '\n' >"$W/keep.lua"

bench_header "Local web server" >"$W/header"
for r in $(seq "$ROUNDS"); do
  for file in small.txt large.bin; do
    for c in ${CONCS//,/ }; do
      point="${file%%.*}@$c"
      for s in "${SERVERS[@]}"; do
        lua="$W/keep.lua"
        [ "$s" = nginx-close ] && lua="$W/close.lua"
        t=2
        ((c < t)) && t=$c
        pid=${ENGINE_PID[$s]:-$NGINX_PID}
        c0=$(tree_cpu_seconds "$pid")
        out=$(wrk -t "$t" -c "$c" -d "${DURATION}s" --timeout 5s -s "$lua" "${URL[$s]}/$file" 2>&1)
        rps=$(awk '/Requests\/sec/ { print $2 }' <<<"$out")
        n=$(awk '/requests in/ { print $1 }' <<<"$out")
        result "$point" "$s" "${rps:-0}"
        result "cpu-$point" "$s" "$(python3 -c "print(($(tree_cpu_seconds "$pid")-$c0)*1e6/max(${n:-0},1))")"
        echo "round $r $point $s: ${rps:-0} req/s" >&2
      done
    done
  done
done

cat "$W/header"
echo
specs=()
aims=()
for file in small large; do
  for c in ${CONCS//,/ }; do specs+=("$file@$c=req/s,higher"); done
done
for file in small large; do
  for c in ${CONCS//,/ }; do specs+=("cpu-$file@$c=server CPU us/req,lower"); done
done
for c in ${CONCS//,/ }; do aims+=("small@$c:nginx-close:1" "small@$c:nginx:0.7" "large@$c:nginx:0.95"); done
python3 "$BENCH_TOP/bench/ratios.py" "$W/results" trellis "${specs[@]}" -- "${aims[@]}"

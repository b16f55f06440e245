#!/usr/bin/env bash
# The engine's own web server (non-proxy action 3) against nginx serving the same files from the
# same folder, at the same concurrency, round after round in turn. Not part of CI; see
# bench/README.md ("Local file serving").
#   bench/local.sh                                 about 4 minutes
#   BENCH_DURATION=3 BENCH_ROUNDS=2 bench/local.sh shorter
# nginx runs twice: as it usually runs (keep-alive) and with every request asking
# "Connection: close", which is how the engine serves (one request per connection).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
DURATION=${BENCH_DURATION:-5}
ROUNDS=${BENCH_ROUNDS:-3}
CONCS=${BENCH_CONCS:-1,50}
BUILD=${TRELLIS_BUILD:-$top/build}

for tool in wrk:wrk nginx:nginx-light curl:curl; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${tool##*:}" >/dev/null
  }
done
[ -x "$BUILD/trellis" ] || bash scripts/build.sh
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

D=$(mktemp -d /tmp/trellis-localbench.XXXXXX)
chmod 755 "$D"
mkdir -p "$D/www" "$D/nginx" "$D/home" "$D/run"
export TRELLIS_REGISTRY="$D/registry.db" TRELLIS_HOME="$D/home" TRELLIS_RUNDIR="$D/run" TRELLIS_EVENTLOG="$D/events.log"
T=$(realpath "$BUILD/trellis")
REG="$BUILD/trellis-reg"
NGINX_PID=""
cleanup() {
  set +e
  "$T" -stop >/dev/null 2>&1
  sleep 1
  "$T" -u >/dev/null 2>&1
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" && wait "$NGINX_PID" 2>/dev/null
  rm -rf "$D"
}
trap cleanup EXIT
free_port() {
  python3 -c 'import socket,sys
s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1]); s.close()' "$1"
}
wait_port() {
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://$1:$2/" && return 0
    sleep 0.1
  done
  echo "nothing listens on $1:$2" >&2
  exit 1
}

head -c 1024 /dev/urandom | base64 -w 76 | head -c 1024 >"$D/www/small.txt"
head -c 1048576 /dev/urandom >"$D/www/large.bin"
printf 'index\n' >"$D/www/index.html"

NP=$(free_port 127.0.0.2)
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
  access_log off;
  client_body_temp_path $D/nginx/body;
  proxy_temp_path $D/nginx/proxy;
  fastcgi_temp_path $D/nginx/fastcgi;
  uwsgi_temp_path $D/nginx/uwsgi;
  scgi_temp_path $D/nginx/scgi;
  sendfile on;
  keepalive_requests 1000000;
  server { listen 127.0.0.2:$NP backlog=4096; root $D/www; }
}
CONF
nginx -e "$D/nginx/error.log" -p "$D/nginx" -c "$D/nginx/nginx.conf" &
NGINX_PID=$!
wait_port 127.0.0.2 "$NP"

EP=$(free_port 127.0.0.1)
KEY='Services\WWW Proxy server'
"$T" -i >/dev/null
"$REG" set "$KEY" ServiceType sz CWWWService >/dev/null
"$REG" set "$KEY" Name sz 'WWW Proxy server' >/dev/null
"$REG" set "$KEY" PortNumber dword "$EP" >/dev/null
"$REG" set "$KEY" BindingOption dword 1 >/dev/null
"$REG" set "$KEY" SpecificBinding sz 127.0.0.1 >/dev/null
"$REG" set "$KEY" NonProxyRequestAction dword 3 >/dev/null
"$REG" set "$KEY" ServerRoot sz "$D/www" >/dev/null
"$REG" set Settings Version dword 513 >/dev/null
"$T" -start >/dev/null
wait_port 127.0.0.1 "$EP"
cmp -s <(curl -s "http://127.0.0.1:$EP/large.bin") "$D/www/large.bin" || { echo "engine serves a different file" >&2; exit 1; }

declare -A URL=([engine]="http://127.0.0.1:$EP" [nginx]="http://127.0.0.2:$NP" [nginx-close]="http://127.0.0.2:$NP")
printf 'wrk.headers["Connection"] = "close"\n' >"$D/close.lua"
printf '\n' >"$D/keep.lua"
SERVERS=(engine nginx nginx-close)
declare -A RPS
for file in small.txt large.bin; do
  for c in ${CONCS//,/ }; do
    for r in $(seq 1 "$ROUNDS"); do
      for s in "${SERVERS[@]}"; do
        lua="$D/keep.lua"
        [ "$s" = nginx-close ] && lua="$D/close.lua"
        t=2
        ((c < t)) && t=$c
        v=$(wrk -t "$t" -c "$c" -d "${DURATION}s" --timeout 5s -s "$lua" "${URL[$s]}/$file" 2>&1 |
          awk '/Requests\/sec/ { print $2 }')
        RPS["$file,$c,$s"]="${RPS["$file,$c,$s"]:-} ${v:-0}"
        echo "round $r $file c=$c $s: ${v:-0} req/s" >&2
      done
    done
  done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
echo
echo "| file | concurrency | engine req/s | nginx req/s | nginx close req/s | engine / nginx | engine / nginx close |"
echo "|---|---|---|---|---|---|---|"
for file in small.txt large.bin; do
  for c in ${CONCS//,/ }; do
    e=$(median <<<"${RPS["$file,$c,engine"]}")
    n=$(median <<<"${RPS["$file,$c,nginx"]}")
    nc=$(median <<<"${RPS["$file,$c,nginx-close"]}")
    awk -v f="$file" -v c="$c" -v e="$e" -v n="$n" -v nc="$nc" \
      'BEGIN { printf "| %s | %s | %.0f | %.0f | %.0f | %.2f | %.2f |\n", f, c, e, n, nc, (n ? e / n : 0), (nc ? e / nc : 0) }'
  done
done

#!/usr/bin/env bash
# Side-by-side benchmark of the engine's SOCKS server against dante-server and microsocks, all on
# loopback in front of one nginx origin. Not part of CI; see bench/README.md ("SOCKS server").
#   bench/socks/run.sh                               full run
#   BENCH_DURATION=3 BENCH_ROUNDS=2 bench/socks/run.sh   shorter
# For each round, in turn for every peer: one 100 MB stream through it with curl --socks5 (and a
# direct fetch as the yardstick), then connections per second: socks_load.py keeps PROCS x CONC
# clients doing SOCKS 5 CONNECT + a 1 KiB HTTP/1.0 fetch + close for DURATION seconds. The report
# is the median of the rounds. Every process is started here in a temporary folder and stopped at
# the end; nothing listens outside 127.0.0.x.
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$(pwd)

DURATION=${BENCH_DURATION:-5}
ROUNDS=${BENCH_ROUNDS:-3}
LARGE_MB=${BENCH_LARGE_MB:-100}
PROCS=${BENCH_PROCS:-4}
CONC=${BENCH_CONC:-8}
BUILD=${TRELLIS_BUILD:-$top/build}

need=()
for tool in nginx:nginx-light danted:dante-server microsocks:microsocks curl:curl python3:python3; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool##*:}")
done
if ((${#need[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
[ -x "$BUILD/trellis" ] || bash scripts/build.sh

W=$(mktemp -d /tmp/trellis-socks-bench.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  TRELLIS_REGISTRY="$W/registry.db" TRELLIS_HOME="$W/home" TRELLIS_RUNDIR="$W/run" "$BUILD/trellis" -stop \
    >/dev/null 2>&1 || true
  sleep 1
  TRELLIS_REGISTRY="$W/registry.db" TRELLIS_HOME="$W/home" TRELLIS_RUNDIR="$W/run" "$BUILD/trellis" -u \
    >/dev/null 2>&1 || true
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$W"
}
trap cleanup EXIT
free_port() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$1"
}
wait_port() {
  for _ in $(seq 100); do
    python3 -c 'import socket,sys; socket.create_connection((sys.argv[1],int(sys.argv[2])),1)' "$1" "$2" \
      2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on $1:$2" >&2
  return 1
}

# ---- Origin -----------------------------------------------------------------------------------
OP=$(free_port 127.0.0.2)
mkdir -p "$W/www" "$W/nginx"
# nginx workers run as an unprivileged user: they must reach the files.
chmod 755 "$W"
head -c 1024 /dev/urandom | base64 -w 0 | head -c 1024 >"$W/www/small"
head -c $((LARGE_MB * 1048576)) /dev/urandom >"$W/www/large"
cat >"$W/nginx/nginx.conf" <<NGX
worker_processes 2;
pid $W/nginx/nginx.pid;
error_log $W/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  server { listen 127.0.0.2:$OP; root $W/www; }
}
NGX
nginx -c "$W/nginx/nginx.conf" -g 'daemon off;' &
PIDS+=($!)
wait_port 127.0.0.2 "$OP"

# ---- Peers ------------------------------------------------------------------------------------
TP=$(free_port 127.0.0.1)
export TRELLIS_REGISTRY="$W/registry.db" TRELLIS_HOME="$W/home" TRELLIS_RUNDIR="$W/run"
mkdir -p "$TRELLIS_HOME" "$TRELLIS_RUNDIR"
"$BUILD/trellis" -i >/dev/null
"$BUILD/trellis-reg" set 'Setup' Mode dword 1
"$BUILD/trellis-reg" set 'Setup' InstallSOCKS dword 1
"$BUILD/trellis-reg" set 'Setup' SecureInstall dword 0
"$BUILD/trellis" -start >/dev/null
sleep 2
"$BUILD/trellis" -stop >/dev/null
sleep 2
"$BUILD/trellis-reg" set 'Services\SOCKS Proxy server' PortNumber dword "$TP"
# The web hand-over and the service log would measure other things than the relay.
"$BUILD/trellis-reg" set 'Services\SOCKS Proxy server' ReferHTTPRequests dword 0
"$BUILD/trellis-reg" set 'Services\SOCKS Proxy server' LoggingEnabled dword 0
"$BUILD/trellis" -start >/dev/null
wait_port 127.0.0.1 "$TP"

DP=$(free_port 127.0.0.3)
cat >"$W/danted.conf" <<DANTE
logoutput: $W/danted.log
internal: 127.0.0.3 port = $DP
external: 127.0.0.3
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: root
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
DANTE
danted -f "$W/danted.conf" -N 4 >/dev/null 2>&1 &
PIDS+=($!)
wait_port 127.0.0.3 "$DP"

MP=$(free_port 127.0.0.4)
# microsocks reports every connection on standard output.
microsocks -i 127.0.0.4 -p "$MP" >/dev/null 2>&1 &
PIDS+=($!)
wait_port 127.0.0.4 "$MP"

PEERS="trellis:127.0.0.1:$TP dante:127.0.0.3:$DP microsocks:127.0.0.4:$MP"

# ---- Rounds -----------------------------------------------------------------------------------
: >"$W/results"
for round in $(seq "$ROUNDS"); do
  echo "round $round" >&2
  t=$(curl -s -o /dev/null -w '%{speed_download}' "http://127.0.0.2:$OP/large")
  echo "direct stream $t" >>"$W/results"
  for peer in $PEERS; do
    IFS=: read -r name host port <<<"$peer"
    t=$(curl -s -o /dev/null -w '%{speed_download}' --socks5 "$host:$port" "http://127.0.0.2:$OP/large" || echo 0)
    echo "$name stream $t" >>"$W/results"
    read -r cps bad < <(python3 bench/socks/socks_load.py "$host" "$port" 127.0.0.2 "$OP" /small "$DURATION" \
      "$PROCS" "$CONC")
    echo "$name cps $cps $bad" >>"$W/results"
  done
done

python3 - "$W/results" "$PROCS" "$CONC" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
def med(name, kind):
    v = [float(r[2]) for r in rows if r[0] == name and r[1] == kind]
    return statistics.median(v) if v else 0.0
direct = med("direct", "stream")
print("| peer | one stream MB/s | vs direct | connections/s (%s x %s clients) | failures |" % (sys.argv[2], sys.argv[3]))
print("|---|---|---|---|---|")
print("| direct | %.0f | 1.00 | | |" % (direct / 1e6))
for name in ("trellis", "dante", "microsocks"):
    s = med(name, "stream")
    bad = sum(int(r[3]) for r in rows if r[0] == name and r[1] == "cps")
    print("| %s | %.0f | %.2f | %.0f | %d |" % (name, s / 1e6, s / direct if direct else 0, med(name, "cps"), bad))
PY

#!/usr/bin/env bash
# A TCP mapping of the engine side by side with socat and rinetd, the port forwarders of Debian:
# each forwards a loopback port to one nginx. Per round and forwarder, in turn: the throughput of
# one large download (curl) and the connections per second of wrk asking "Connection: close" (a
# new forwarded connection per request). Medians over the rounds; not a test, the figures depend
# on the machine. Knobs: BENCH_ROUNDS (3), BENCH_DURATION (5 s), BENCH_CONC (50), BENCH_LARGE_MB
# (200), TRELLIS_BUILD, BENCH_KEEP=1 keeps the temporary folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
ROUNDS=${BENCH_ROUNDS:-3}
DURATION=${BENCH_DURATION:-5}
CONC=${BENCH_CONC:-50}
LARGE_MB=${BENCH_LARGE_MB:-200}
BUILD=${TRELLIS_BUILD:-$top/build}

need=()
for tool in wrk:wrk nginx:nginx-light rinetd:rinetd socat:socat curl:curl; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool##*:}")
done
if ((${#need[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
[ -x "$BUILD/trellis" ] || bash "$top/scripts/build.sh"

WORK=$(mktemp -d /tmp/trellis-bench-map.XXXXXX)
export TRELLIS_REGISTRY="$WORK/registry.db" TRELLIS_HOME="$WORK/home" TRELLIS_RUNDIR="$WORK/run"
export TRELLIS_EVENTLOG="$WORK/events.log"
mkdir -p "$TRELLIS_HOME" "$TRELLIS_RUNDIR" "$WORK/www"
# nginx's workers run as another user when started by root: they must read the files.
chmod a+rx "$WORK" "$WORK/www"
T=$(realpath "$BUILD/trellis")
REG="$BUILD/trellis-reg"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  "$T" -stop >/dev/null 2>&1 || true
  sleep 1
  "$T" -u >/dev/null 2>&1 || true
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT
free_port() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$1"
}
wait_port() {
  for _ in $(seq 100); do
    python3 -c 'import socket,sys; socket.create_connection((sys.argv[1],int(sys.argv[2])),1)' "$1" "$2" 2>/dev/null &&
      return 0
    sleep 0.1
  done
  echo "nothing listens on $1:$2" >&2
  exit 1
}

# ---- Origin and forwarders --------------------------------------------------------------------
OP=$(free_port 127.0.0.2)
head -c 1024 /dev/urandom | base64 >"$WORK/www/small"
head -c $((LARGE_MB * 1048576)) /dev/zero >"$WORK/www/large"
cat >"$WORK/nginx.conf" <<NG
worker_processes 2;
pid $WORK/nginx.pid;
error_log $WORK/nginx.err;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  server { listen 127.0.0.2:$OP; root $WORK/www; }
}
NG
nginx -c "$WORK/nginx.conf" -g 'daemon off;' &
PIDS+=($!)
wait_port 127.0.0.2 "$OP"

SP=$(free_port 127.0.0.1)
socat TCP-LISTEN:"$SP",bind=127.0.0.1,reuseaddr,fork,backlog=1024 TCP:127.0.0.2:"$OP" &
PIDS+=($!)
RP=$(free_port 127.0.0.1)
printf '127.0.0.1 %s 127.0.0.2 %s\n' "$RP" "$OP" >"$WORK/rinetd.conf"
rinetd -f -c "$WORK/rinetd.conf" &
PIDS+=($!)
MP=$(free_port 127.0.0.1)
"$T" -i >/dev/null
"$REG" set Setup Mode dword 1 >/dev/null
"$T" -start >/dev/null
sleep 2
"$T" -stop >/dev/null
sleep 2
"$REG" set 'Services\Bench' ServiceType sz CTCPMappingService >/dev/null
"$REG" set 'Services\Bench' PortNumber dword "$MP" >/dev/null
"$REG" set 'Services\Bench' BindingOption dword 1 >/dev/null
"$REG" set 'Services\Bench' SpecificBinding sz 127.0.0.1 >/dev/null
"$REG" set 'Services\Bench' LogOptions dword 0 >/dev/null
"$REG" set 'Services\Bench\Mappings' Host sz 127.0.0.2 >/dev/null
"$REG" set 'Services\Bench\Mappings' Port dword "$OP" >/dev/null
"$T" -start >/dev/null
for p in "$SP" "$RP" "$MP"; do wait_port 127.0.0.1 "$p"; done

declare -A PORT=([trellis]=$MP [socat]=$SP [rinetd]=$RP)
NAMES=(trellis socat rinetd)
declare -A MBS CPS
for r in $(seq "$ROUNDS"); do
  for n in "${NAMES[@]}"; do
    echo "round $r: $n" >&2
    speed=$(curl -sf -o /dev/null -w '%{speed_download}' "http://127.0.0.1:${PORT[$n]}/large") || speed=0
    MBS[$n]+="$(python3 -c "print(round($speed/1048576, 1))") "
    out=$(wrk -t2 -c"$CONC" -d"${DURATION}s" -H 'Connection: close' "http://127.0.0.1:${PORT[$n]}/small")
    grep -q "Non-2xx" <<<"$out" && echo "warning: $n answered with errors" >&2
    rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
    CPS[$n]+="${rps:-0} "
  done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
printf '\n| forwarder | %s MB download, MB/s (median of %s) | connections/s at %s (median) |\n|---|---|---|\n' \
  "$LARGE_MB" "$ROUNDS" "$CONC"
for n in "${NAMES[@]}"; do
  printf '| %s | %s | %s |\n' "$n" "$(echo "${MBS[$n]}" | median)" "$(echo "${CPS[$n]}" | median)"
done

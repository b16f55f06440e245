#!/usr/bin/env bash
# Side-by-side benchmark of the engine's DNS relay against dnsmasq with the same upstream, in
# network namespaces made here (the relay needs port 53 and its resolver must never reach outside):
#   "up"  a dnsmasq upstream answering the *.bench.test names
#   "gw"  the engine's relay on 10.79.1.1:53 and a dnsmasq on 10.79.1.2:53 forwarding to "up"
#   "cl"  dnsperf asking both in turn
# Two query sets: the gateway's own name (each answers it itself: the relay its "TRELLIS", dnsmasq
# a host record) and outside names (through the upstream; dnsmasq caches them, the relay asks its
# resolver every time). Each point runs both servers in turn, round after round, and the report
# gives the median queries per second and the spread of the rounds. Not part of CI; root needed.
#   bench/dns/run.sh                                 3 rounds of 5 s
#   BENCH_DURATION=3 BENCH_ROUNDS=2 bench/dns/run.sh
#   TRELLIS_BUILD=/path/to/build bench/dns/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$(pwd)
DURATION=${BENCH_DURATION:-5}
ROUNDS=${BENCH_ROUNDS:-3}
CLIENTS=${BENCH_CLIENTS:-4}
OUTSTANDING=${BENCH_OUTSTANDING:-64}
BUILD=${TRELLIS_BUILD:-$top/build}
command -v dnsperf >/dev/null 2>&1 || { apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dnsperf >/dev/null; }
command -v dnsmasq >/dev/null 2>&1 || { apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dnsmasq-base >/dev/null; }
[ -x "$BUILD/trellis" ] || bash scripts/build.sh

W=$(mktemp -d /tmp/trellis-dnsbench.XXXXXX)
P="tb$$"
GW=${P}gw CL=${P}cl UP=${P}up
cleanup() {
  for n in $GW $CL $UP; do
    for p in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
    ip netns del "$n" 2>/dev/null || true
    rm -rf "/etc/netns/$n"
  done
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$W"
}
trap cleanup EXIT
for n in $GW $CL $UP; do ip netns add "$n"; ip -n "$n" link set lo up; done
ip link add "v$$c" netns "$GW" type veth peer name "v$$cb" netns "$CL"
ip link add "v$$u" netns "$GW" type veth peer name "v$$ub" netns "$UP"
ip -n "$GW" addr add 10.79.1.1/24 dev "v$$c"
ip -n "$GW" addr add 10.79.1.2/24 dev "v$$c"
ip -n "$CL" addr add 10.79.1.9/24 dev "v$$cb"
ip -n "$GW" addr add 10.79.2.1/24 dev "v$$u"
ip -n "$UP" addr add 10.79.2.2/24 dev "v$$ub"
for l in "$GW v$$c" "$CL v$$cb" "$GW v$$u" "$UP v$$ub"; do set -- $l; ip -n "$1" link set "$2" up; done
mkdir -p "/etc/netns/$GW"
echo "nameserver 10.79.2.2" >"/etc/netns/$GW/resolv.conf"

records=()
for i in $(seq 1 20); do records+=(--host-record="n$i.bench.test,10.66.1.$i"); done
ip netns exec "$UP" dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=10.79.2.2 --bind-interfaces \
  --local=/bench.test/ "${records[@]}" --pid-file="$W/up.pid" >"$W/up.log" 2>&1 &

export TRELLIS_REGISTRY="$W/registry.db" TRELLIS_HOME="$W/home" TRELLIS_RUNDIR="$W/run" TRELLIS_EVENTLOG="$W/events.log"
mkdir -p "$TRELLIS_HOME" "$TRELLIS_RUNDIR"
"$BUILD/trellis" -i >/dev/null
"$BUILD/trellis-reg" set Setup Mode dword 1
"$BUILD/trellis-reg" set Setup InstallDNS dword 1
"$BUILD/trellis-reg" set Setup SecureInstall dword 0
trap 'ip netns exec $GW $BUILD/trellis -stop >/dev/null 2>&1 || true; sleep 1; $BUILD/trellis -u >/dev/null 2>&1 || true; cleanup' EXIT
# The first run makes the service; it then listens on its own address only, beside the peer.
ip netns exec "$GW" "$BUILD/trellis" -start >/dev/null
sleep 2
ip netns exec "$GW" "$BUILD/trellis" -stop >/dev/null
sleep 2
"$BUILD/trellis-reg" set 'Services\DNS server' BindingOption dword 1
"$BUILD/trellis-reg" set 'Services\DNS server' SpecificBinding sz 10.79.1.1
ip netns exec "$GW" "$BUILD/trellis" -start >/dev/null
ip netns exec "$GW" dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=10.79.1.2 --bind-interfaces \
  --server=10.79.2.2 --host-record=trellis,10.79.1.2 --pid-file="$W/peer.pid" >"$W/peer.log" 2>&1 &
for _ in $(seq 50); do
  ip netns exec "$CL" dig @10.79.1.1 +time=1 +tries=1 +short trellis 2>/dev/null | grep -q . && break
  sleep 0.2
done

printf 'trellis A\n' >"$W/own.txt"
for i in $(seq 1 20); do printf 'n%s.bench.test A\n' "$i"; done >"$W/outside.txt"
declare -A RESULTS
for round in $(seq 1 "$ROUNDS"); do
  for set in own outside; do
    for server in trellis:10.79.1.1 dnsmasq:10.79.1.2; do
      name=${server%%:*} addr=${server#*:}
      out=$(ip netns exec "$CL" dnsperf -s "$addr" -d "$W/$set.txt" -l "$DURATION" -c "$CLIENTS" -q "$OUTSTANDING" 2>&1)
      qps=$(sed -n 's/.*Queries per second: *\([0-9.]*\).*/\1/p' <<<"$out")
      lost=$(sed -n 's/.*Queries lost: *\([0-9]*\).*/\1/p' <<<"$out")
      RESULTS[$set.$name]+="${qps:-0} "
      echo "round $round $set $name: ${qps:-?} q/s, lost ${lost:-?}" >&2
    done
  done
done
printf '\n| query set | server | q/s (median) | spread |\n|---|---|---|---|\n'
for set in own outside; do
  for name in trellis dnsmasq; do
    python3 - "$set" "$name" ${RESULTS[$set.$name]} <<'PY'
import statistics, sys
s, n, v = sys.argv[1], sys.argv[2], [float(x) for x in sys.argv[3:]]
m = statistics.median(v)
print(f"| {s} | {n} | {m:.0f} | {(max(v) - min(v)) / m * 100 if m else 0:.0f}% |")
PY
  done
done

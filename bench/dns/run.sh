#!/usr/bin/env bash
# The engine's DNS relay side by side with dnsmasq and the same upstream, in network namespaces
# made here (the relay needs port 53 and its resolver must never reach outside):
#   "up"  a dnsmasq upstream answering n1..n20.bench.test
#   "gw"  the engine's relay on 10.79.1.1:53 (its resolver pointed at "up"), dnsmasq on 10.79.1.2:53
#         forwarding to "up" with a host record for "trellis" (and, with BASELINE, an older engine
#         on 10.79.1.3)
#   "cl"  dnsperf
# Points, every server in turn, round after round:
#   own       queries/s for the gateway's own name, which each answers itself (dnsperf -c 4 -q 64)
#   outside   queries/s for the upstream names: dnsmasq from its cache after the first query, the
#             relay through its resolver every time
#   latency   one outside query at a time, asked of every server in turn (bench/dns/latency.py):
#             the relay, a second dnsmasq that never caches (10.79.1.4, --cache-size=0: every
#             query forwarded, as the relay does), the caching dnsmasq (answers from its cache)
#             and the upstream itself; "added" is the median of a server's time minus the
#             upstream's in the same turn
# With own and outside, each server's processor time per query. Medians over the rounds and the
# ratios. Not a test; root needed. See bench/README.md.
#   bench/dns/run.sh
#   BENCH_BASELINE=/old/build bench/dns/run.sh
# Knobs: BENCH_ROUNDS (3), BENCH_DURATION (5 s), BENCH_CLIENTS (4), BENCH_OUTSTANDING (64),
# BENCH_LATENCY_QUERIES (3000 turns a round), TRELLIS_BUILD, BENCH_KEEP=1.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
CLIENTS=${BENCH_CLIENTS:-4}
OUTSTANDING=${BENCH_OUTSTANDING:-64}
LATENCY_QUERIES=${BENCH_LATENCY_QUERIES:-3000}

bench_need dnsperf:dnsperf dnsmasq:dnsmasq-base dig:bind9-dnsutils
bench_build
BENCH_TMP=$(mktemp -d /tmp/trellis-bench-dns.XXXXXX)
W=$BENCH_TMP
P="tb$$"
GW=${P}gw CL=${P}cl UP=${P}up
netns_cleanup() {
  local n p
  for n in $GW $CL $UP; do
    for p in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
    ip netns del "$n" 2>/dev/null || true
    rm -rf "/etc/netns/$n"
  done
}
cleanup() {
  for name in "${BENCH_ENGINES[@]}"; do engine_stop "$name" ip netns exec "$GW"; done
  netns_cleanup
  bench_cleanup
}
trap cleanup EXIT
for n in $GW $CL $UP; do
  ip netns add "$n"
  ip -n "$n" link set lo up
done
ip link add "v$$c" netns "$GW" type veth peer name "v$$cb" netns "$CL"
ip link add "v$$u" netns "$GW" type veth peer name "v$$ub" netns "$UP"
for a in 10.79.1.1 10.79.1.2 10.79.1.3 10.79.1.4; do ip -n "$GW" addr add "$a/24" dev "v$$c"; done
ip -n "$CL" addr add 10.79.1.9/24 dev "v$$cb"
ip -n "$GW" addr add 10.79.2.1/24 dev "v$$u"
ip -n "$UP" addr add 10.79.2.2/24 dev "v$$ub"
for l in "$GW v$$c" "$CL v$$cb" "$GW v$$u" "$UP v$$ub"; do
  set -- $l
  ip -n "$1" link set "$2" up
done
# The client reaches the upstream directly too (for the yardstick), through the gateway.
ip -n "$CL" route add 10.79.2.0/24 via 10.79.1.1
ip -n "$UP" route add 10.79.1.0/24 via 10.79.2.1
ip netns exec "$GW" sysctl -qw net.ipv4.ip_forward=1
mkdir -p "/etc/netns/$GW"
echo "nameserver 10.79.2.2" >"/etc/netns/$GW/resolv.conf"

records=()
for i in $(seq 1 20); do records+=(--host-record="n$i.bench.test,10.66.1.$i"); done
ip netns exec "$UP" dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=10.79.2.2 --bind-interfaces \
  --local=/bench.test/ "${records[@]}" --pid-file="$W/up.pid" >"$W/up.log" 2>&1 &

declare -A ADDR
dns_engine() {
  local name=$1 build=$2 addr=$3
  bench_engine "$name" "$build"
  engine_reg "$name" Setup Mode dword 1
  engine_reg "$name" Setup InstallDNS dword 1
  engine_reg "$name" Setup SecureInstall dword 0
  # The first run makes the service; it then listens on its own address only, beside the peers.
  engine_first_run "$name" ip netns exec "$GW"
  engine_reg "$name" 'Services\DNS server' BindingOption dword 1
  engine_reg "$name" 'Services\DNS server' SpecificBinding sz "$addr"
  ADDR[$name]=$addr
}
NAMES=(trellis)
dns_engine trellis "$BUILD" 10.79.1.1
if [ -n "$BASELINE" ]; then
  dns_engine trellis-base "$BASELINE" 10.79.1.3
  NAMES+=(trellis-base)
fi
for n in "${NAMES[@]}"; do engine_start "$n" ip netns exec "$GW"; done
ip netns exec "$GW" dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=10.79.1.2 --bind-interfaces \
  --server=10.79.2.2 --host-record=trellis,10.79.1.2 --pid-file="$W/peer.pid" >"$W/peer.log" 2>&1 &
declare -A PID=([dnsmasq]=$!)
ip netns exec "$GW" dnsmasq --keep-in-foreground --no-resolv --no-hosts --listen-address=10.79.1.4 --bind-interfaces \
  --server=10.79.2.2 --cache-size=0 --pid-file="$W/nocache.pid" >"$W/nocache.log" 2>&1 &
ADDR[dnsmasq]=10.79.1.2
ADDR[dnsmasq-nocache]=10.79.1.4
ADDR[upstream]=10.79.2.2
for n in "${NAMES[@]}" dnsmasq dnsmasq-nocache upstream; do
  for _ in $(seq 50); do
    ip netns exec "$CL" dig @"${ADDR[$n]}" +time=1 +tries=1 +short n1.bench.test 2>/dev/null | grep -q . && break
    sleep 0.2
  done
done

printf 'trellis A\n' >"$W/own.txt"
for i in $(seq 1 20); do printf 'n%s.bench.test A\n' "$i"; done >"$W/outside.txt"
perf_run() {  # server-address query-file clients outstanding -> dnsperf output
  ip netns exec "$CL" dnsperf -s "$1" -d "$2" -l "$DURATION" -c "$3" -q "$4" 2>&1
}
bench_header "DNS relay" >"$W/header"
for r in $(seq "$ROUNDS"); do
  echo "round $r" >&2
  for set in own outside; do
    for n in "${NAMES[@]}" dnsmasq; do
      pid=${ENGINE_PID[$n]:-${PID[$n]}}
      c0=$(cpu_seconds "$pid")
      out=$(perf_run "${ADDR[$n]}" "$W/$set.txt" "$CLIENTS" "$OUTSTANDING")
      c1=$(cpu_seconds "$pid")
      result "$set" "$n" "$(sed -n 's/.*Queries per second: *\([0-9.]*\).*/\1/p' <<<"$out")"
      done_=$(sed -n 's/.*Queries completed: *\([0-9]*\).*/\1/p' <<<"$out")
      result "cpu-$set" "$n" "$(python3 -c "print(($c1 - $c0) * 1e6 / max(${done_:-0}, 1))")"
      lost=$(sed -n 's/.*Queries lost: *\([0-9]*\).*/\1/p' <<<"$out")
      [ "${lost:-0}" = 0 ] || echo "round $r $set $n: $lost lost" >&2
    done
  done
  targets=()
  for n in upstream "${NAMES[@]}" dnsmasq dnsmasq-nocache; do targets+=("$n=${ADDR[$n]}"); done
  while read -r n added median; do
    if [ "$n" = upstream ]; then result latency upstream "$median"; else result added-latency "$n" "$added"; fi
  done < <(ip netns exec "$CL" python3 "$BENCH_TOP/bench/dns/latency.py" "$LATENCY_QUERIES" "${targets[@]}")
done

cat "$W/header"
echo
python3 "$BENCH_TOP/bench/ratios.py" "$W/results" trellis own=q/s,higher outside=q/s,higher \
  cpu-own="server CPU us/query,lower" cpu-outside="server CPU us/query,lower" \
  added-latency="us added to a forwarded query,lower" latency="us of the upstream alone,lower" -- \
  own:dnsmasq:1 added-latency:dnsmasq-nocache:1.5

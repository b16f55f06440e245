# Network namespaces for end-to-end tests that need real addresses and privileged ports (DNS on
# 53, DHCP on 67/68). Every name carries this script's process id, so runs never meet; everything
# made here is removed on exit, whether the test passed or not. Nothing touches the host's own
# namespace: addresses live only inside the namespaces, on veth pairs between them.

# The "-" ends the pid: without it this run's prefix "tr123" would also match run 1234's names.
NS_PREFIX="tr$$-"

# Found by prefix rather than kept in a list: make_ns runs in command substitutions (subshells).
netns_cleanup() {
  local n
  for n in $(ip netns list | awk -v p="$NS_PREFIX" 'index($1, p) == 1 {print $1}'); do
    # Processes still in the namespace (engine, peers) go first, or the namespace stays alive.
    for p in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$p" 2>/dev/null || true; done
    ip netns del "$n" 2>/dev/null || true
    rm -rf "/etc/netns/$n"
  done
}
on_exit netns_cleanup

# make_ns NAME: a namespace with loopback up; prints its full name.
make_ns() {
  local n="${NS_PREFIX}$1"
  ip netns add "$n"
  ip -n "$n" link set lo up
  echo "$n"
}

# link_ns NS_A ADDR_A/PREFIX NS_B ADDR_B/PREFIX: a veth pair between two namespaces, named after
# this run and the second namespace (one link per namespace B), with the addresses set (an empty
# one is left out) and both ends up. Prints the two interface names.
link_ns() {
  local tag="${3#"$NS_PREFIX"}"
  local a="v$$${tag}a" b="v$$${tag}b"
  ip link add "$a" netns "$1" type veth peer name "$b" netns "$3"
  [ -n "$2" ] && ip -n "$1" addr add "$2" dev "$a"
  [ -n "$4" ] && ip -n "$3" addr add "$4" dev "$b"
  ip -n "$1" link set "$a" up
  ip -n "$3" link set "$b" up
  echo "$a $b"
}

# ns_resolv NS SERVER: the resolv.conf `ip netns exec` shows inside that namespace.
ns_resolv() {
  mkdir -p "/etc/netns/$1"
  echo "nameserver $2" >"/etc/netns/$1/resolv.conf"
}

# ns_free_port NS: a free port on the namespace's loopback.
ns_free_port() {
  ip netns exec "$1" python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# ns_udp_bound NS PORT: whether a datagram socket is bound to that port inside NS (a DHCP or DNS
# service is ready).
ns_udp_bound() { [ -n "$(ip netns exec "$1" ss -Hlun "sport = :$2")" ]; }

# ns_first_run NS SETTING...: installs the engine (removed again on exit) and has its first run
# inside NS make the services the named Setup settings ask for (InstallDHCP, InstallDNS), without
# the secure install's password; returns once the engine runs.
ns_first_run() {
  local ns=$1 s
  shift
  "$T" -i >/dev/null
  on_exit "ip netns exec $ns $T -stop; sleep 1; kill_engines; $T -u"
  "$REG" set 'Setup' Mode dword 1
  for s in "$@"; do "$REG" set 'Setup' "$s" dword 1; done
  "$REG" set 'Setup' SecureInstall dword 0
  ip netns exec "$ns" "$T" -start >/dev/null
  wait_for 30 engine_running || fail "engine did not start"
}

# netns_available: whether this run may make namespaces (root, and ip netns works).
netns_available() { [ "$(id -u)" = 0 ] && ip netns list >/dev/null 2>&1; }
require_root_netns() {
  if ! netns_available; then
    echo "SKIP: needs root and ip netns" >&2
    exit 77
  fi
}

# gateway_and_client [GW_ADDR CL_ADDR]: the shape every rule test needs: a "gateway" namespace
# where the engine runs and a "client" namespace for a host of the LAN, joined by a veth pair
# (10.77.0.1/24 and 10.77.0.2/24 unless given), so what the engine sees is a client that is not
# on the gateway. Sets GW, CL, GW_ADDR, CL_ADDR, GW_IF and CL_IF (the two ends of the pair) and
# defines in_gw / in_cl (run a command in one of them); both namespaces are removed on exit with
# whatever still runs in them.
gateway_and_client() {
  GW_ADDR=${1:-10.77.0.1}
  CL_ADDR=${2:-10.77.0.2}
  GW=$(make_ns gw)
  CL=$(make_ns cl)
  local links
  links=$(link_ns "$GW" "$GW_ADDR/24" "$CL" "$CL_ADDR/24")
  read -r GW_IF CL_IF <<<"$links"
}
in_gw() { ip netns exec "$GW" "$@"; }
in_cl() { ip netns exec "$CL" "$@"; }

# gw_start_engine: starts the installed engine inside the gateway namespace (stopped again on
# exit) and waits until it holds its lock.
gw_start_engine() {
  in_gw "$T" -start >/dev/null
  on_exit "ip netns exec $GW $T -stop; sleep 1; kill_engines"
  wait_for 30 engine_running || fail "engine did not start"
}
# cl_open ADDRESS PORT: whether the client namespace reaches something listening there.
cl_open() { in_cl python3 -c "import socket,sys; socket.create_connection(('$1', $2), 1)" 2>/dev/null; }
# gw_listens PORT: whether something listens on that TCP port in the gateway (seen without
# connecting, so no session is made).
gw_listens() { [ -n "$(in_gw ss -Hltn "sport = :$1")" ]; }

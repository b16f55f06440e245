#!/usr/bin/env bash
# The README's run command as an operator meets it: status and stop before anything is installed
# (also from a clone without a build), unknown words, a start whose port another program holds
# (reported with the port, the reason and the log, exit non-zero), "already running", a stop
# followed at once by a start, a clean stop, and a password set for the consoles' log-in.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/netns.sh"

SRC=${TRELLIS_SOURCE:-$(cd "$(dirname "$0")/../.." && pwd)}
RUN="$SRC/scripts/run.sh"
export TRELLIS_STATE="$WORK/state"
# The run command's registry and folders, as it sets them.
export TRELLIS_REGISTRY="$TRELLIS_STATE/registry.db"
export TRELLIS_HOME="$TRELLIS_STATE/home"
export TRELLIS_RUNDIR="$TRELLIS_STATE/run"
export TRELLIS_EVENTLOG="$TRELLIS_STATE/events.log"
LOCK="$TRELLIS_RUNDIR/TrellisEngineApp.lock"
on_exit "bash $RUN stop; kill_engines"

# ---- Before anything is installed ----------------------------------------------------------------
expect_contains "status before install" "$(bash "$RUN" status)" "engine: not installed"
expect_contains "stop before install" "$(bash "$RUN" stop)" "engine: not installed"
set +e
err=$(bash "$RUN" bogus 2>&1 >/dev/null)
rc=$?
set -e
expect_eq "unknown word exits 2" "$rc" 2
expect_contains "unknown word shows the usage" "$err" "usage: scripts/run.sh"
[ ! -e "$TRELLIS_STATE" ] && pass "nothing created before install" || fail "state created before install"
mkdir -p "$WORK/clone" && cp -r "$SRC/scripts" "$WORK/clone/"
expect_contains "status in a clone without a build" "$(bash "$WORK/clone/scripts/run.sh" status)" "engine: not installed"
expect_contains "stop in a clone without a build" "$(bash "$WORK/clone/scripts/run.sh" stop)" "engine: not installed"

# ---- A start whose port is taken -----------------------------------------------------------------
TAKEN=$(free_port 127.0.0.1)
python3 -c "
import socket, time
s = socket.socket(); s.bind(('127.0.0.1', $TAKEN)); s.listen(); time.sleep(120)" &
HOLDER=$!
on_exit "kill $HOLDER"
wait_for 30 port_open 127.0.0.1 "$TAKEN" || fail "port holder did not listen"
# A configuration of this test's own (a first run would put the consoles' service on the port
# every test shares): the web proxy on the taken port, the consoles' service on a free one.
RC=$(free_port 127.0.0.1)
mkdir -p "$TRELLIS_STATE"
seed() {  # seed NAME CLASS PORT BINDING-OPTION
  local key="Services\\$1"
  "$REG" set "$key" ServiceType sz "$2" >/dev/null
  "$REG" set "$key" Name sz "$1" >/dev/null
  "$REG" set "$key" PortNumber dword "$3" >/dev/null
  "$REG" set "$key" BindingOption dword "$4" >/dev/null
  "$REG" set "$key" SpecificBinding sz 127.0.0.1 >/dev/null
}
seed 'Remote Control Service' CRemoteControlService "$RC" 1
seed 'WWW Proxy server' CWWWService "$TAKEN" 0
"$REG" set Settings Version dword 513 >/dev/null
set +e
out=$(bash "$RUN" 2>&1)
rc=$?
set -e
[ "$rc" -ne 0 ] && pass "a port in use fails the run command" || fail "run command exited 0 with its port taken"
expect_contains "the failing service and port are named" "$out" "service 'WWW Proxy server' is NOT accepting connections on port $TAKEN"
expect_contains "the reason is given in plain words, with its number" "$out" \
  "why: another program holds the port, or the address is in use (0.0.0.0:$TAKEN, error 10048)"
expect_not_contains "the number is said once" "$out" "Socket Error"
expect_contains "the log is named" "$out" "its log: $TRELLIS_HOME/Logs/WWW Proxy server."
expect_not_contains "no false success" "$out" "web proxy: curl"
expect_contains "the failure is in the event log" "$(cat "$TRELLIS_EVENTLOG")" "Service WWW Proxy server failed startup on interface 0.0.0.0:$TAKEN error 10048"

# ---- Status, a second start, stop and start at once ----------------------------------------------
st=$(bash "$RUN" status)
expect_contains "status: running with its pid" "$st" "engine: running (pid $(engine_pid))"
expect_contains "status: the ports that accept" "$st" "listening: 127.0.0.1:$RC (tcp)"
expect_contains "a second start says it runs" "$(bash "$RUN" 2>&1)" "engine: already running"
expect_eq "one engine after the second start" "$(engine_pids | wc -l)" 1

stops=$(grep -c "Stop command received" "$TRELLIS_EVENTLOG" || true)
stopping() { [ "$(grep -c "Stop command received" "$TRELLIS_EVENTLOG")" -gt "$stops" ]; }
"$T" -stop >/dev/null &
STOPPER=$!
wait_for 30 stopping || fail "the stop did not begin"
"$T" -start >/dev/null || fail "-start during a stop"
wait "$STOPPER" || fail "-stop during the test"
wait_for 30 engine_running || fail "no engine after -stop then -start"
wait_for 30 port_open 127.0.0.1 "$RC" || fail "the new engine does not listen"
expect_eq "one engine after -stop then -start" "$(engine_pids | wc -l)" 1

out=$(bash "$RUN" stop)
expect_eq "stop says stopped" "$out" "Nomra Trellis Engine service stopped"
no_engine_process && pass "no engine process once stop returned" || fail "an engine runs after stop returned"
expect_contains "status after stop" "$(bash "$RUN" status)" "engine: not running"

# ---- Administrator's password ----------------------------------------------------------------------
echo "s3cret" | bash "$RUN" password >/dev/null || fail "password"
kill "$HOLDER" 2>/dev/null || true
wait_for 30 sh -c "! python3 -c 'import socket; socket.create_connection((\"127.0.0.1\", $TAKEN), 1)' 2>/dev/null" || true
out=$(bash "$RUN" 2>&1) || fail "run command with every port free: $out"
expect_contains "the web proxy is reported" "$out" "service 'WWW Proxy server': listening on 0.0.0.0:$TAKEN"
expect_contains "the consoles' service is reported" "$out" "service 'Remote Control Service': listening on 127.0.0.1:$RC"
expect_not_contains "a start of the installed engine says nothing about installing" "$out" "installed"
login() {
  python3 - "$SRC/tests/e2e" "$RC" "$1" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import rc_client
try:
    console, code = rc_client.login_admin(int(sys.argv[2]), sys.argv[3])
except rc_client.LinkError:
    sys.exit(1)
sys.exit(0 if code == 5 else 1)
PY
}
login s3cret && pass "a console logs in with the password set" || fail "log-in with the password set"
login "" && fail "the empty password still logs in" || pass "the empty password no longer logs in"
bash "$RUN" stop >/dev/null

# ---- A first run, as the README gives it, in a namespace of its own (its ports are the defaults) --
NS=$(make_ns run)
FIRST="$WORK/first"
on_exit "ip netns exec $NS env TRELLIS_STATE=$FIRST bash $RUN stop"
out=$(ip netns exec "$NS" env TRELLIS_STATE="$FIRST" bash "$RUN" 2>&1) || fail "first run: $out"
echo "$out" | sed 's/^/  first run: /'
expect_contains "first run: the web proxy is listed" "$out" "service 'WWW Proxy server': listening on 0.0.0.0:8080"
expect_contains "first run: the consoles' service is listed" "$out" \
  "service 'Remote Control Service': listening on 127.0.0.1:808"
expect_contains "first run: installed once" "$out" "Nomra Trellis Engine installed"
ip netns exec "$NS" env TRELLIS_STATE="$FIRST" bash "$RUN" stop >/dev/null
finish

#!/usr/bin/env bash
# Consoles against the real engine through the remote-control service, with a client written from
# docs/wire-format.md: log-in and password change, fetching and uploading users, services and
# rights, starting and stopping a service, notifications, refusals, malformed frames, the uploaded
# configuration after a restart, a reload of what an operator changed in the store, and (as root,
# in network namespaces) strangers flooding the door with wrong passwords while the operator works.
source "$(dirname "$0")/lib.sh"

CLIENT="$(dirname "$0")/rc_client.py"

on_exit "$T -stop; sleep 1; kill_engines; $T -u"

PORT=$(free_port 127.0.0.1)
KEY='Services\Remote Control Service'
"$T" -i >/dev/null
rc_service "$PORT"
"$REG" set "$KEY" TimeOutSessions dword 0

# A web proxy and an origin, so a console can watch a browser's session.
WP=$(free_port 127.0.0.1)
OP=$(free_port 127.0.0.2)
WKEY='Services\WWW Proxy server'
"$REG" set "$WKEY" ServiceType sz CWWWService
"$REG" set "$WKEY" Name sz 'WWW Proxy server'
"$REG" set "$WKEY" PortNumber dword "$WP"
"$REG" set "$WKEY" BindingOption dword 1
"$REG" set "$WKEY" SpecificBinding sz 127.0.0.1
mkdir -p "$WORK/www/keep" "$WORK/www/skip" && echo hello >"$WORK/www/index.html"
for f in keep/a.css keep/c.css keep/d.txt skip/b.css; do echo "body of $f" >"$WORK/www/$f"; done
python3 -u -m http.server "$OP" --bind 127.0.0.2 --directory "$WORK/www" >/dev/null 2>"$WORK/origin.log" &
ORIGIN=$!
on_exit "kill $ORIGIN"

start_engine "$PORT"

STATE="$WORK/state.json"
if python3 "$CLIENT" scenario "$PORT" "$STATE"; then pass "console scenario"; else fail "console scenario"; fi
wait_for 10 port_open 127.0.0.2 "$OP" || fail "origin down"
if python3 "$CLIENT" proxy "$PORT" "$WP http://127.0.0.2:$OP/index.html"; then pass "console watches a browser and the cache"; else
  fail "console watches a browser and the cache"
fi
if python3 "$CLIENT" cache_filters "$PORT" "$WP http://127.0.0.2:$OP $WORK/origin.log"; then
  pass "console's what-to-cache and purge filters"
else
  fail "console's what-to-cache and purge filters"
fi
if python3 "$CLIENT" scheduler "$PORT" "$WP $TRELLIS_HOME/Logs"; then pass "console's scheduler"; else
  fail "console's scheduler"
fi
LOG=$(cat "$TRELLIS_HOME"/Logs/*Remote* 2>/dev/null || true)
expect_contains "malformed frame logged" "$LOG" "Bad frame from the console"
expect_contains "malformed frame logged as the failed receive" "$LOG" "Caught CException in CRemoteControlSession::ReceiveObject() - terminating"

stop_engine
start_engine "$PORT"
if python3 "$CLIENT" verify "$PORT" "$STATE"; then pass "configuration after restart"; else fail "configuration after restart"; fi

# An operator changes the store and a console asks the running engine to reload it.
if python3 "$CLIENT" reload "$PORT" "$REG"; then pass "reload from the store"; else fail "reload from the store"; fi
LOGS="$TRELLIS_HOME/Logs"
bob_refused() { grep -qP '\tbob\t\d+\tFailed authorisation:\tUser bob cannot log in - Access denied' "$LOGS"/Remote*; }
bob_reason() { grep -qP '\tbob\t\d+\tTerminated exit code 5' "$LOGS"/Remote*; }
wait_for 10 bob_refused && pass "refused log-in logged" || fail "refused log-in not logged"
wait_for 10 bob_reason && pass "refused log-in ends with reason 5" || fail "refused log-in: no exit code 5"
reloaded() { grep -q "Service configuration reloaded from the registry" "$@" 2>/dev/null; }
wait_for 10 reloaded "$LOGS"/Test* && pass "changed service replaced" || fail "changed service not replaced"
if ! ls "$LOGS"/WWW* >/dev/null 2>&1; then
  fail "no web proxy log"
elif reloaded "$LOGS"/WWW*; then
  fail "an unchanged service was replaced"
else
  pass "unchanged service kept running untouched"
fi
# The second reload found both replaced services as stored: neither was replaced again.
expect_eq "a reloaded service is not replaced again" "$(grep -c 'reloaded from the registry' "$LOGS"/Test*)" 1
expect_eq "the consoles' service is not replaced again" \
  "$(grep -c 'reloaded from the registry' "$LOGS"/Remote*)" 1

stop_engine

# ---- Strangers at the door ----------------------------------------------------------------------
# A host of the LAN (a namespace of its own) tries wrong passwords from 64 threads, each again at
# once after its answer, while the operator, logged in on the gateway before, goes on working and
# logs in once more half-way. Every failure waits longer, so only a few dozen passwords at most
# are answered; the event log names the address once; the service log stays small.
if [ "$(id -u)" = 0 ] && ip netns list >/dev/null 2>&1; then
  source "$(dirname "$0")/netns.sh"
  gateway_and_client
  "$REG" set "$KEY" BindingOption dword 0
  "$REG" set 'UserDatabase\Administrator' Password sz qaezox  # "secret", scrambled as the registry keeps it
  "$REG" set 'UserDatabase\Administrator' UserMustChangePassword dword 0
  gw_start_engine
  wait_for 10 gw_listens "$PORT" || fail "remote control does not listen in the gateway"
  logsize() { cat "$LOGS"/Remote* | wc -c; }
  before=$(logsize)
  in_gw python3 "$CLIENT" operator "$PORT" "127.0.0.1 secret 20 $WORK/ready" >"$WORK/operator.out" 2>&1 &
  OPERATOR=$!
  wait_for 15 test -e "$WORK/ready" || fail "the operator did not log in"
  flood=$(in_cl python3 "$CLIENT" flood "$PORT" "$GW_ADDR 20")
  echo "$flood"
  if wait "$OPERATOR"; then pass "operator served during the flood"; else fail "operator: $(grep FAIL "$WORK/operator.out")"; fi
  cat "$WORK/operator.out"
  answered=$(sed -n 's/^wrong passwords answered: \([0-9]*\);.*/\1/p' <<<"$flood")
  # Without a growing wait the flood is answered hundreds of times; with it, about ten.
  if [ -n "$answered" ] && [ "$answered" -lt 40 ]; then
    pass "wrong passwords answered: $answered"
  else
    fail "wrong passwords answered: [$answered], expected fewer than 40"
  fi
  reported() { [ "$(grep -c 'failed console log-ins from 10.77.0.2 ' "$TRELLIS_EVENTLOG")" -ge 1 ]; }
  wait_for 10 reported || fail "the flood is not in the event log"
  expect_eq "the flood reported once" "$(grep -c 'failed console log-ins from ' "$TRELLIS_EVENTLOG")" "1"
  grown=$(($(logsize) - before))
  if [ "$grown" -lt 65536 ]; then pass "service log grew $grown bytes"; else fail "service log grew $grown bytes"; fi
  in_gw "$T" -stop >/dev/null
  wait_for 15 no_engine_process || fail "engine did not stop"
else
  echo "SKIP: strangers at the door (needs root and ip netns)"
fi
finish

#!/usr/bin/env bash
# Dial on demand on the real engine, with curl through the web proxy and the Remote Access
# simulator as the dial-up layer (phonebook and outcomes in a file the test rewrites, the layer's
# counters in a state file it writes): a request to an outside address dials, waits for the link
# and is served; a local site is not dialled; an idle link is hung up after its time; a failing
# dial is retried as configured and the browser gets the error page; a dialer restart (a fatal
# error of the layer) while a dial runs loses no profile; consoles dial, reset, hang up and edit
# the dialer (requests 60-63) and hear notification 63; a transfer keeps the link up and silence
# takes it down; by default the engine dials through the layer over pppd beside it and says so;
# without the library the engine runs and never dials.
source "$(dirname "$0")/lib.sh"

CLIENT="$(dirname "$0")/rc_client.py"
PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

export TRELLIS_RASAPI32="$BUILD/librasapi32-sim.so"
export TRELLIS_RASSIM_PHONEBOOK="$WORK/phonebook.ini"
export TRELLIS_RASSIM_STATE="$WORK/sim.state"

P=$(free_port 127.0.0.1)
RC=$(free_port 127.0.0.1)
OUT_PORT=$(free_port 127.0.0.7)
LOCAL_PORT=$(free_port 127.0.0.8)
PROXY="http://127.0.0.1:$P"
OUTSIDE="http://127.0.0.7:$OUT_PORT/page.html"
LOCAL="http://127.0.0.8:$LOCAL_PORT/page.html"

phonebook() {
  cat >"$TRELLIS_RASSIM_PHONEBOOK" <<EOF
[Sim ISP]
connect_ms=300
address=10.64.0.2
$1
[Broken ISP]
connect_ms=10
outcome=handle-with-error:625
EOF
}
phonebook "outcome=ok"

# ---- Origins ------------------------------------------------------------------------------------
mkdir -p "$WORK/www"
echo "served from beyond the link" >"$WORK/www/page.html"
for a in "127.0.0.7 $OUT_PORT" "127.0.0.8 $LOCAL_PORT"; do
  set -- $a
  python3 -m http.server --bind "$1" --directory "$WORK/www" "$2" >/dev/null 2>&1 &
  PIDS+=($!)
done
wait_for 10 port_open 127.0.0.7 "$OUT_PORT" || fail "outside origin did not start"
wait_for 10 port_open 127.0.0.8 "$LOCAL_PORT" || fail "local origin did not start"

# ---- Engine and dialer settings --------------------------------------------------------------------
"$T" -i >/dev/null
WKEY='Services\WWW Proxy server'
"$REG" set "$WKEY" ServiceType sz CWWWService
"$REG" set "$WKEY" Name sz 'WWW Proxy server'
"$REG" set "$WKEY" PortNumber dword "$P"
"$REG" set "$WKEY" BindingOption dword 1
"$REG" set "$WKEY" SpecificBinding sz 127.0.0.1
"$REG" set "$WKEY\AccessRights\Recipient0" UserName sz Everyone
# Every request must reach its origin (and so the dialer): nothing comes from the cache.
"$REG" set 'Cache' CacheOptions dword 0
KEY='Services\Remote Control Service'
rc_service "$RC"
"$REG" set "$KEY" TimeOutSessions dword 0
D='Dialer'
"$REG" set "$D" LogOptions dword 3
"$REG" set "$D" TimerInterval dword 1
"$REG" set "$D" RasdialTimeout dword 5000
"$REG" set "$D" TimeBetweenRetries dword 300
"$REG" set "$D\\LocalSites" 127.0.0.8 dword 0
PR="$D\\Profiles\\Office"
"$REG" set "$PR" Name sz Office
"$REG" set "$PR" ProfileName sz 'Sim ISP'
"$REG" set "$PR" Username sz dialuser
"$REG" set "$PR" Retries dword 2
"$REG" set "$PR" DisconnectAfter dword 3
"$REG" set "$PR\\AccessRights\\Recipient0" UserName sz Everyone
start_engine "$P"
wait_for 10 port_open 127.0.0.1 "$RC" || fail "remote control not listening"

DLOG() { cat "$TRELLIS_HOME"/Logs/Dialer.*.log 2>/dev/null || true; }
sim() { cat "$TRELLIS_RASSIM_STATE" 2>/dev/null || true; }
dials() { sim | awk '$1 == "dials" { print $2 }' | grep . || echo 0; }
link_up() { sim | grep -qx "up Sim ISP"; }
link_down() { ! link_up; }
wait_for 10 grep -q "Dialer thread started" "$TRELLIS_HOME"/Logs/Dialer.*.log || fail "dialer thread not started"

# ---- A local site is not dialled ---------------------------------------------------------------------
body=$(curl -sS -x "$PROXY" "$LOCAL" || true)
expect_eq "local site served" "$body" "served from beyond the link"
expect_eq "local site: no dial" "$(dials)" 0
expect_contains "local site logged" "$(DLOG)" "Local site 127.0.0.8 not dialed - matched on 127.0.0.8"

# ---- An outside address dials, waits for the link and is served ----------------------------------------
body=$(curl -sS -x "$PROXY" "$OUTSIDE" || true)
expect_eq "outside page served once the link is up" "$body" "served from beyond the link"
expect_eq "one dial" "$(dials)" 1
link_up && pass "link up after the dial" || fail "link not up"
expect_contains "dial logged" "$(DLOG)" "Dialing profile Office"
expect_contains "dialled with the stored user" "$(sim)" "last_user dialuser"
expect_contains "callback number" "$(sim)" "last_callback *"
# A second request uses the link without a second dial.
curl -sS -x "$PROXY" -o /dev/null "$OUTSIDE" || fail "second outside fetch"
expect_eq "no second dial while on line" "$(dials)" 1

# ---- The idle link is hung up after DisconnectAfter --------------------------------------------------
wait_for 20 link_down && pass "idle link hung up" || fail "idle link still up"
expect_contains "idle hang-up logged" "$(DLOG)" "Office: Timing out connection"
expect_contains "hang-up in the dialer log" "$(DLOG)" "Office: Disconnecting Sim ISP"

# ---- A failing dial is retried as configured, then the browser gets its error page ---------------------
phonebook "outcome=error:678"
before=$(dials)
code=$(curl -sS -x "$PROXY" -o "$WORK/err.html" -w '%{http_code}' "$OUTSIDE" || true)
expect_eq "two attempts (Retries 2)" "$(dials)" $((before + 2))
[ "$code" != 200 ] && pass "failed dial is no success ($code)" || fail "failed dial answered 200"
expect_contains "error page names the dialer" "$(cat "$WORK/err.html")" "Trellis Dialer failed connection"
expect_contains "failure logged" "$(DLOG)" "Profile Office failed connection"

# ---- A dialer restart while a dial runs --------------------------------------------------------------
phonebook "outcome=hang"
before=$(dials)
curl -sS -x "$PROXY" -o "$WORK/hang.html" -w '%{http_code}' "$OUTSIDE" >"$WORK/hang.code" 2>/dev/null &
CURL=$!
dial_started() { [ "$(dials)" -gt "$before" ]; }
wait_for 10 dial_started || fail "the hanging dial did not start"
# The console dials the broken entry: the layer's fatal error restarts the dialer under the dial.
cat >"$WORK/fatal.py" <<EOF
import sys
sys.path.insert(0, "$(dirname "$0")")
import rc_client as rc
a, code = rc.login_admin($RC, "")
if code == 120:
    a.request(120, "Administrator", "", "secret")
    a.wait_note(5)
d = rc.read_dialer(a.request(60, receive=1)[1][0])
d["Profiles"]["Broken"] = dict(d["Profiles"]["Office"], Name="Broken", ProfileName="Broken ISP", AutoConnect=0)
w = rc.Writer()
rc.write_dialer(w, d)
rc.check("upload", a.request(61, upload=[w.out])[0] == 3)
rc.check("dial broken", a.request(63, "Broken", "1")[0] == 3)
sys.exit(1 if rc.FAILS else 0)
EOF
python3 "$WORK/fatal.py" && pass "console dialled the broken entry" || fail "console could not dial the broken entry"
restarted() { [ "$(grep -c 'Dialer thread started' "$TRELLIS_HOME"/Logs/Dialer.*.log)" -ge 2 ]; }
wait_for 20 restarted && pass "dialer restarted" || fail "dialer not restarted"
expect_contains "fatal error logged" "$(DLOG)" "Broken: RasDial failed ERROR_CORRUPT_PHONEBOOK - restarting dialer thread"
wait "$CURL" || true
[ "$(cat "$WORK/hang.code")" != 200 ] && pass "the dial under the restart failed cleanly" || fail "hang answered 200"
engine_running && pass "engine still running after the restart" || fail "engine gone after the restart"
phonebook "outcome=ok"
body=$(curl -sS -x "$PROXY" "$OUTSIDE" || true)
expect_eq "after the restart the profiles still dial" "$body" "served from beyond the link"
curl -sS -x "$PROXY" -o /dev/null "$LOCAL" || fail "local after restart"

# ---- Consoles: requests 60-63 and notification 63 -------------------------------------------------------
if python3 "$CLIENT" dialer "$RC" "secret $TRELLIS_RASSIM_PHONEBOOK"; then pass "console dialer scenario"; else
  fail "console dialer scenario"
fi
expect_contains "modified dialer saved" "$("$REG" query 'Dialer\Profiles\Backup' ProfileName)" "Broken ISP"
stop_engine

# ---- A busy link stays up, a silent one goes ---------------------------------------------------------
# The idle rule counts a session as using the link when its connection to the server goes out from
# the link's address, so the simulated link's address must be one the engine really sends from: the
# engine runs in a namespace whose only way to the outside is a veth pair carrying that address.
if [ "$(id -u)" = 0 ] && ip netns list >/dev/null 2>&1; then
  source "$(dirname "$0")/netns.sh"
  GW=$(make_ns gw)
  ISP=$(make_ns isp)
  link_ns "$GW" 10.64.0.2/24 "$ISP" 10.64.0.1/24 >/dev/null
  # An origin that sends a byte every 0.2 s until the test has seen enough.
  cat >"$WORK/trickle.py" <<'EOF_PY'
import http.server, os, sys, time
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        end = time.time() + 120
        while not os.path.exists(sys.argv[3]) and time.time() < end:
            self.wfile.write(b"x")
            self.wfile.flush()
            time.sleep(0.2)
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer((sys.argv[1], int(sys.argv[2])), H).serve_forever()
EOF_PY
  ip netns exec "$ISP" python3 "$WORK/trickle.py" 10.64.0.1 8080 "$WORK/stop" &
  PIDS+=($!)
  ns_open() { ip netns exec "$1" python3 -c "import socket; socket.create_connection(('$2', $3), 1)" 2>/dev/null; }
  wait_for 10 ns_open "$ISP" 10.64.0.1 8080 || fail "trickling origin did not start"
  phonebook "outcome=ok"
  "$REG" set "$PR" DisconnectAfter dword 4
  "$REG" set "$D" TimerInterval dword 1
  ip netns exec "$GW" "$T" -start >/dev/null
  wait_for 10 engine_running || fail "engine did not start in its namespace"
  wait_for 10 ns_open "$GW" 127.0.0.1 "$P" || fail "proxy not listening in its namespace"
  timeouts() { grep -c "Office: Timing out connection" "$TRELLIS_HOME"/Logs/Dialer.*.log || true; }
  before=$(timeouts)
  ip netns exec "$GW" curl -sS -N -x "$PROXY" -o "$WORK/trickled" "http://10.64.0.1:8080/" &
  CURL=$!
  received() { [ -s "$WORK/trickled" ]; }
  wait_for 30 received || fail "the transfer did not start"
  link_up && pass "link dialled for the transfer" || fail "link not up for the transfer"
  # DisconnectAfter is 4 s: an idle link would be gone within 6 s (a pass a second); 10 s of
  # traffic later this one is still there.
  sleep 10
  link_up && pass "a busy link stays up past DisconnectAfter" || fail "busy link hung up"
  expect_eq "no idle time-out during the transfer" "$(timeouts)" "$before"
  touch "$WORK/stop"
  wait "$CURL" || fail "the transfer did not end cleanly"
  wait_for 30 link_down && pass "the silent link is hung up" || fail "silent link still up"
  [ "$(timeouts)" -gt "$before" ] && pass "hung up by the idle rule" || fail "no idle time-out logged"
  stop_engine
else
  echo "skip: a busy link: needs root and ip netns"
fi

# ---- By default the engine dials through the layer over pppd beside it, and says so ---------------------
rm -f "$TRELLIS_HOME"/Logs/Dialer.*.log
TRELLIS_RASAPI32='' start_engine "$P"
wait_for 10 grep -qF "Dialing through the Remote Access library $(dirname "$T")/librasapi32.so" \
  "$TRELLIS_HOME"/Logs/Dialer.*.log && pass "the default layer is named" || fail "the default layer is not named"
stop_engine

# ---- Without the library the engine runs and never dials --------------------------------------------------
before=$(dials)
rm -f "$TRELLIS_HOME"/Logs/Dialer.*.log
TRELLIS_RASAPI32="$WORK/missing/librasapi32.so" start_engine "$P"
body=$(curl -sS -x "$PROXY" "$OUTSIDE" || true)
expect_eq "without the library the page is served" "$body" "served from beyond the link"
expect_eq "without the library nothing is dialled" "$(dials)" "$before"
wait_for 10 grep -q "could not load library RASAPI32 - RAS is not installed" "$TRELLIS_HOME"/Logs/Dialer.*.log &&
  pass "missing library logged" || fail "missing library not logged"
stop_engine
finish

#!/usr/bin/env bash
# Installs what is needed, builds the engine and the registry tool, installs the engine as a
# service into a registry under the repository's own state/ folder (TRELLIS_STATE names another)
# and starts it, detached, through the service-control layer; then checks that every enabled
# service accepts connections and says plainly which one does not.
#   scripts/run.sh [start]    install, build, start (says "already running" when it runs)
#   scripts/run.sh stop       stop the engine; returns once it has stopped
#   scripts/run.sh restart    stop, then start: registry changes take effect at a start
#   scripts/run.sh status     whether it runs, its pid and the ports it listens on
#   scripts/run.sh password   set Administrator's password (the consoles' log-in); restarts
#   scripts/run.sh console    build and start the console (build/lookout) against this engine
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
state=${TRELLIS_STATE:-$top/state}
export TRELLIS_REGISTRY="$state/registry.db"
export TRELLIS_HOME="$state/home"
export TRELLIS_RUNDIR="$state/run"
export TRELLIS_EVENTLOG="$state/events.log"
T="$top/build/trellis"
REG="$top/build/trellis-reg"
LOCK="$TRELLIS_RUNDIR/TrellisEngineApp.lock"
source "$top/scripts/engine.sh"

usage() {
  echo "usage: scripts/run.sh [start|stop|restart|status|password|console]" >&2
  exit 2
}
# Installed: the programs are built and the service is recorded in this state's registry. Nothing
# here may create the registry as a side effect.
installed() { [ -x "$T" ] && [ -x "$REG" ] && [ -f "$TRELLIS_REGISTRY" ] && "$T" -v | grep -q "is installed"; }
not_installed() { echo "engine: not installed (bash scripts/run.sh installs and starts it)"; }

# One line per service of the registry: name, enabled, port (tab-separated).
services() {
  "$REG" export Services 2>/dev/null | python3 -c '
import re, sys
svc = {}
name = None
for line in sys.stdin:
    m = re.match(r"\[.*\\Services\\([^\\\]]+)\]$", line.strip())
    if m:
        name = m.group(1)
        svc.setdefault(name, {"Enabled": 1, "PortNumber": 0})
        continue
    if line.startswith("["):
        name = None
        continue
    m = re.match(r"\"(Enabled|PortNumber)\"=dword:(\d+)", line.strip())
    if name and m:
        svc[name][m.group(1)] = int(m.group(2))
# The engine makes the consoles service (port 808) when the registry has none; it is stored only
# when a console saves the configuration, yet it listens from the first run on.
svc.setdefault("Remote Control Service", {"Enabled": 1, "PortNumber": 808})
for n, v in sorted(svc.items()):
    print("%s\t%d\t%d" % (n, v["Enabled"], v["PortNumber"]))
'
}

# The build uses half the processors: the machine is often shared with other work.
jobs() { local n; n=$(nproc); echo $(((n + 1) / 2)); }

# A start-up failure's Windows socket error number in plain words.
error_words() {
  case "$1" in
    10048) echo "another program holds the port, or the address is in use" ;;
    10049) echo "the address is not one of this machine's" ;;
    10013) echo "no permission to listen on that port" ;;
    *) echo "the service could not listen" ;;
  esac
}

show_status() {
  local pid
  pid=$(engine_pid)
  if [ -z "$pid" ]; then
    echo "engine: not running"
    return 1
  fi
  echo "engine: running (pid $pid)"
  engine_listeners "$pid" | while read -r proto addr; do echo "  listening: $addr ($proto)"; done
}

# Waits until every enabled service with a port listens, or its failure is in the event log;
# then reports each. Non-zero when one does not listen.
check_services() {
  local since=$1 pid name enabled port failures=0 listening line
  for _ in $(seq 1 150); do
    pid=$(engine_pid)
    [ -n "$pid" ] || break
    local missing=0
    while IFS=$'\t' read -r name enabled port; do
      [ "$enabled" = 1 ] && [ "$port" != 0 ] || continue
      engine_listeners "$pid" | grep -q ":$port\$" || missing=1
    done < <(services)
    [ "$missing" = 0 ] && break
    tail -c +"$since" "$TRELLIS_EVENTLOG" 2>/dev/null | grep -q "failed startup" && break
    sleep 0.1
  done
  pid=$(engine_pid)
  if [ -z "$pid" ]; then
    echo "engine stopped during start-up; events:" >&2
    tail -c +"$since" "$TRELLIS_EVENTLOG" >&2 || true
    return 1
  fi
  while IFS=$'\t' read -r name enabled port; do
    if [ "$enabled" != 1 ]; then
      echo "service '$name': disabled"
      continue
    fi
    [ "$port" != 0 ] || continue
    listening=$(engine_listeners "$pid" | awk -v p=":$port" 'substr($2, length($2) - length(p) + 1) == p { print $2 }' | tr '\n' ' ')
    if [ -n "$listening" ]; then
      echo "service '$name': listening on ${listening% }"
    else
      failures=$((failures + 1))
      echo "service '$name' is NOT accepting connections on port $port" >&2
      line=$(tail -c +"$since" "$TRELLIS_EVENTLOG" 2>/dev/null | grep -F "Service $name failed startup" | tail -n 1 || true)
      if [[ "$line" =~ failed\ startup\ on\ interface\ ([^ ]+)\ error\ ([0-9]+) ]]; then
        echo "  why: $(error_words "${BASH_REMATCH[2]}") (${BASH_REMATCH[1]}, error ${BASH_REMATCH[2]})" >&2
      fi
      echo "  its log: $TRELLIS_HOME/Logs/$name.$(LC_ALL=C date +%d%b%y).log; events: $TRELLIS_EVENTLOG" >&2
    fi
  done < <(services)
  [ "$failures" = 0 ]
}

stop_command() {
  if ! installed; then
    not_installed
    return 0
  fi
  "$T" -stop
}

start_command() {
  bash scripts/setup.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  # Only the two programs: the tests are built by scripts/test.sh.
  cmake --build build -j"$(jobs)" --target trellis trellis-reg
  mkdir -p "$state/home" "$state/run"
  if [ -n "$(engine_pid)" ]; then
    echo "engine: already running"
    show_status
    return 0
  fi
  # Installed once; a later start says nothing about installing.
  "$T" -v | grep -q "is installed" || "$T" -i
  # First install: the engine's first run creates the web proxy on a high port (TRELLIS_WWW_PORT,
  # 8080 unless set). Later runs keep whatever the configuration holds.
  if ! "$REG" query 'Settings' Version >/dev/null 2>&1; then
    "$REG" set 'Setup' Mode dword 1
    "$REG" set 'Setup' InstallWWW dword 1
    "$REG" set 'Setup' WWWProxyPort dword "${TRELLIS_WWW_PORT:-8080}"
    "$REG" set 'Setup' SecureInstall dword 0
  fi
  touch "$TRELLIS_EVENTLOG"
  local since
  since=$(($(stat -c %s "$TRELLIS_EVENTLOG") + 1))
  "$T" -start
  if ! wait_for 10 engine_running; then
    echo "engine did not start; events:" >&2
    tail -c +"$since" "$TRELLIS_EVENTLOG" >&2 || true
    return 1
  fi
  echo "engine running (pid $(engine_pid); registry $TRELLIS_REGISTRY, events $TRELLIS_EVENTLOG)"
  if ! check_services "$since"; then
    echo "the engine runs, but not every service is listening (see above); stop it with: bash scripts/run.sh stop" >&2
    return 1
  fi
  local port
  port=$(services | awk -F'\t' '$1 == "WWW Proxy server" && $2 == 1 { print $3 }')
  [ -n "$port" ] && echo "web proxy: curl -x http://127.0.0.1:$port http://example.org/"
  echo "registry: TRELLIS_REGISTRY=$TRELLIS_REGISTRY build/trellis-reg export"
  echo "stop it with: bash scripts/run.sh stop"
}

# Administrator's password is kept scrambled (byte i XOR (2i+2)) in the user database; the engine
# reads it at start, so the engine is stopped around the change. The operator chose it here, so
# the first console log-in is not asked to change it again.
password_command() {
  if ! installed; then
    not_installed
    return 1
  fi
  local pw
  if [ -t 0 ]; then
    read -rsp "new password for Administrator: " pw
    echo
  else
    IFS= read -r pw || true
  fi
  [ -n "$pw" ] || { echo "an empty password is not set" >&2; return 2; }
  local was_running=""
  [ -n "$(engine_pid)" ] && was_running=1
  [ -z "$was_running" ] || "$T" -stop >/dev/null
  PW="$pw" python3 -c '
import os
pw = os.environ["PW"].encode()
text = "".join("\\x%02x" % (b ^ ((2 * i + 2) & 0xFF)) for i, b in enumerate(pw))
print("[HKLM\\SOFTWARE\\Nomra Software\\Trellis 2\\UserDatabase\\Administrator]")
print("\"Password\"=sz:\"%s\"" % text)
print("\"UserMustChangePassword\"=dword:0")
' | "$REG" import -
  echo "Administrator's password is set"
  [ -z "$was_running" ] || start_command
}

# The console, built on demand and given this state's registry and run folder, so its local log-in
# check finds this engine running and its users.
console_command() {
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "the console needs a desktop (DISPLAY is not set)" >&2
    return 1
  fi
  bash scripts/setup.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(jobs)" --target lookout
  exec "$top/build/lookout"
}

case "${1:-start}" in
  start) start_command ;;
  stop) stop_command ;;
  restart)
    stop_command
    start_command ;;
  status)
    if ! installed; then
      not_installed
      exit 0
    fi
    "$T" -v | head -n 1
    show_status || true ;;
  password) password_command ;;
  console) console_command ;;
  *) usage ;;
esac

#!/usr/bin/env bash
# The console's first log-in as an operator meets it on a desktop: the console program (build/lookout)
# on a virtual display with a real window manager (openbox), driven with the keyboard through
# xdotool, against a fresh engine each round. Every window is typed into only once the window
# manager has made it the active one, so a dialog left behind another, or out of sight, fails the
# round. Each round: On-line Options (Enter with the empty password), the question about the empty
# password (Enter), the notice that the password must change (Enter), the Change Password dialog
# (old empty, the new one twice, Enter); then the engine's mark is cleared, the console fetches
# the configuration, and File > Exit ends the program. Ten rounds, ten log-ins.
source "$(dirname "$0")/lib.sh"

LOOKOUT="$BUILD/lookout"
for tool in Xvfb openbox xdotool; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed (scripts/setup.sh installs it)"; exit 77; }
done
[ -x "$LOOKOUT" ] || { echo "skipped: $LOOKOUT is not built"; exit 77; }
ROUNDS=${ROUNDS:-10}

# A display of our own: the X server picks a free number itself and writes it when it is ready, so
# no other test's server is taken for ours.
unset XAUTHORITY
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB=$!
on_exit "kill $XVFB"
display_ready() { [ -s "$WORK/display" ] && grep -q '^[0-9]' "$WORK/display"; }
wait_for 60 display_ready || { fail "the virtual display did not come up: $(cat "$WORK/xvfb.log")"; finish; }
export DISPLAY=":$(head -n 1 "$WORK/display")"
# The window manager, with a home of its own (it keeps no state there).
HOME="$WORK/home-x" openbox >"$WORK/openbox.log" 2>&1 &
WM=$!
on_exit "kill $WM"
wait_for 60 xdotool get_num_desktops >/dev/null 2>&1 ||
  { fail "the window manager did not come up on $DISPLAY: $(cat "$WORK/openbox.log")"; finish; }

PORT=$(free_port 127.0.0.1)
# The console's own settings (QSettings), pointed at the engine; nothing of the real profile.
export XDG_CONFIG_HOME="$WORK/config"
settings() {
  mkdir -p "$XDG_CONFIG_HOME/Nomra Software"
  printf '[Settings]\nTrellisServer=127.0.0.1\nTrellisPort=%s\nUsername=Administrator\n' "$PORT" \
    >"$XDG_CONFIG_HOME/Nomra Software/Lookout.conf"
}

# active_is TITLE: the window manager's active window has that title and holds the keyboard focus
# (the window manager marks a window active a moment before the X server gives it the focus; keys
# sent in between go to the window before it).
active_is() {
  local w
  w=$(xdotool getactivewindow 2>/dev/null) || return 1
  [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && [ "$(xdotool getwindowfocus -f 2>/dev/null)" = "$w" ]
}
# type_into TITLE KEYS...: waits until the window of that title is the active one, then sends the
# keys (xdotool's key names; "text:..." types a text).
type_into() {
  local title=$1
  shift
  if ! wait_for 30 active_is "$title"; then
    fail "round $ROUND: '$title' did not become the active window (active: '$(xdotool getactivewindow getwindowname 2>/dev/null)'; shown: $(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | tr '\n' '|'))"
    return 1
  fi
  local k
  for k in "$@"; do
    case "$k" in
      text:*) xdotool type --delay 20 -- "${k#text:}" ;;
      *) xdotool key "$k" ;;
    esac
  done
}
mark_cleared() { "$REG" query 'UserDatabase\Administrator' UserMustChangePassword 2>/dev/null | grep -q 'dword:0'; }
fetched() { grep -q "Register for everything" "$TRELLIS_HOME"/Logs/Remote* 2>/dev/null; }
gone() { ! kill -0 "$1" 2>/dev/null; }

completed=0
for ROUND in $(seq 1 "$ROUNDS"); do
  # A fresh engine: its first install's Administrator has the empty password and must change it.
  stop_engine >/dev/null 2>&1 || true
  rm -rf "$TRELLIS_REGISTRY"* "$TRELLIS_HOME" && mkdir -p "$TRELLIS_HOME"
  "$T" -i >/dev/null
  rc_service "$PORT" >/dev/null
  "$REG" set 'Services\Remote Control Service' TimeOutSessions dword 0 >/dev/null
  start_engine "$PORT"
  settings
  "$LOOKOUT" >"$WORK/lookout-$ROUND.log" 2>&1 &
  CONSOLE=$!
  ok=1
  type_into "On-line Options" Return || ok=0
  [ $ok = 1 ] && { type_into "Lookout" Return || ok=0; }
  [ $ok = 1 ] && { type_into "Trellis Authentication" Return || ok=0; }
  [ $ok = 1 ] && { type_into "Change Password" Tab text:n3w-secret Tab text:n3w-secret Return || ok=0; }
  if [ $ok = 1 ]; then
    wait_for 30 mark_cleared || { fail "round $ROUND: the password change did not reach the engine"; ok=0; }
  fi
  if [ $ok = 1 ]; then
    wait_for 30 fetched || { fail "round $ROUND: the console did not fetch the configuration"; ok=0; }
  fi
  # File > Exit from the main window.
  if [ $ok = 1 ]; then
    type_into "Nomra Lookout - Online to 127.0.0.1" alt+f x || ok=0
    wait_for 30 gone "$CONSOLE" || { fail "round $ROUND: File > Exit did not end the console"; ok=0; }
  fi
  if [ $ok = 1 ]; then
    completed=$((completed + 1))
  else
    cp "$WORK/lookout-$ROUND.log" "$WORK/failed-round-$ROUND.log" 2>/dev/null || true
  fi
  kill "$CONSOLE" 2>/dev/null || true
  wait "$CONSOLE" 2>/dev/null || true
done
stop_engine
expect_eq "first log-ins completed under a window manager" "$completed" "$ROUNDS"
finish

#!/usr/bin/env bash
# The engine's command line and its life as a service: install, start, a refused second copy,
# stop, remove and clean, all through the service-control layer with a private registry.
source "$(dirname "$0")/lib.sh"

on_exit "$T -stop; sleep 1; kill_engines"

out=$("$T" -v)
expect_eq "-v before install" "$out" $'Trellis 2.1d\nThe service is not installed'

out=$("$T" -x)
expect_eq "usage text" "$out" "$(printf 'Invalid parameter - valid parameters are (case sensitive)\n-i\tInstall service\n-u\tUninstall service\n-start\tStart service\n-stop\tStop service\n-clean\tStop service, uninstall, and remove registry entries\n-v\tQuery service version number')"

out=$("$T" -stop)
expect_eq "-stop when not installed" "$out" "Nomra Trellis Engine is not installed"
out=$("$T" -clean)
expect_eq "-clean when not installed" "$out" "Nomra Trellis Engine is not installed"

# Outside the service-control layer and without a switch the dispatcher refuses at once.
set +e
timeout 10 "$T" </dev/null >/dev/null 2>&1
rc=$?
set -e
expect_eq "no switch outside the service layer exits 0" "$rc" 0

out=$("$T" -i)
expect_eq "-i installs" "$out" "Nomra Trellis Engine installed"
out=$("$T" -I)
expect_eq "-I again (any case)" "$out" "Nomra Trellis Engine is already installed"
out=$("$T" -v)
expect_eq "-v after install" "$out" $'Trellis 2.1d\nThe service is installed'
expect_eq "image path stored" "$("$REG" query 'HKLM\SYSTEM\CurrentControlSet\Services\TrellisEngine' ImagePath | grep -c "$T")" 1
expect_contains "event source registered" "$("$REG" query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TrellisEngine' TypesSupported)" "7"
expect_contains "install event" "$(cat "$TRELLIS_EVENTLOG")" "The TrellisEngine service was installed successfully."

out=$("$T" -stop)
expect_eq "-stop on a stopped service" "$out" "Nomra Trellis Engine service stopped"

out=$("$T" -start)
expect_eq "-start" "$out" "Nomra Trellis Engine service started"
if wait_for 30 engine_running; then pass "engine holds the instance lock"; else fail "engine did not take the instance lock"; fi
first=$(engine_pids)
expect_eq "one engine process" "$(wc -w <<<"$first")" 1
out=$("$T" -START)
expect_eq "-START again" "$out" "Nomra Trellis Engine service started"
sleep 0.5
expect_eq "still one engine process" "$(engine_pids)" "$first"
expect_contains "start events" "$(cat "$TRELLIS_EVENTLOG")" "Starting Engine."
expect_contains "running event" "$(cat "$TRELLIS_EVENTLOG")" "The service has been started."

# The engine's lock descriptor must not pass to programs it starts.
lockfd=$(ls -l /proc/"$first"/fd 2>/dev/null | awk -v l="$LOCK" '$NF==l {print $(NF-2)}' | head -n1)
if [ -n "$lockfd" ]; then
  flags=$(awk '/^flags:/ {print $2}' /proc/"$first"/fdinfo/"$lockfd")
  if (( (8#$flags & 8#2000000) != 0 )); then pass "instance lock is close-on-exec"; else fail "instance lock fd inheritable (flags $flags)"; fi
else
  fail "engine does not hold the lock file open"
fi

# A second copy started as the service layer would start it finds the engine running and ends.
set +e
TRELLIS_SCM_DISPATCH=TrellisEngine timeout 20 "$T" </dev/null >/dev/null 2>&1
rc=$?
set -e
expect_eq "second engine ends by itself" "$rc" 0
expect_contains "second engine logs" "$(cat "$TRELLIS_EVENTLOG")" "TrellisEngine already running - terminating."
expect_eq "first engine untouched" "$(engine_pids)" "$first"

start=$SECONDS
out=$("$T" -stop)
expect_eq "-stop" "$out" "Nomra Trellis Engine service stopped"
if wait_for 30 engine_stopped; then pass "lock released after stop"; else fail "engine still holds the lock"; fi
if wait_for 30 no_engine_process; then pass "engine process gone within $((SECONDS - start)) s"; else fail "engine process still there"; fi
expect_contains "stop events" "$(cat "$TRELLIS_EVENTLOG")" "Stop command received from Service Control Manager - stopping Engine."
expect_contains "stopped event" "$(cat "$TRELLIS_EVENTLOG")" "Engine stopped."

# A service set to interact with the desktop still starts, and the flag is cleared for next time.
"$REG" set 'HKLM\SYSTEM\CurrentControlSet\Services\TrellisEngine' Type dword 272
"$T" -start >/dev/null
wait_for 30 engine_running || fail "engine with desktop flag did not start"
wait_for 30 grep -qF "Service was set to interact with desktop - disabled - will take effect on next start" "$TRELLIS_EVENTLOG" \
  && pass "desktop flag reported" || fail "desktop flag not reported"
expect_contains "type rewritten" "$("$REG" query 'HKLM\SYSTEM\CurrentControlSet\Services\TrellisEngine' Type)" "16"

# A killed engine leaves a status file behind; it must not make the service look alive.
kill -KILL "$(engine_pids)"
wait_for 30 engine_stopped || fail "lock of killed engine not released"
out=$("$T" -stop)
expect_eq "-stop after a crash" "$out" "Nomra Trellis Engine service stopped"
out=$("$T" -start)
expect_eq "-start after a crash" "$out" "Nomra Trellis Engine service started"
wait_for 30 engine_running || fail "engine did not start after a crash"

# -clean stops the engine, removes the service and the whole configuration tree.
"$REG" set 'Services\Test' ServiceType sz CTestService
"$REG" set 'HKLM\SOFTWARE\Other Vendor\Keep' Value dword 1
out=$("$T" -clean)
expect_eq "-clean prints nothing" "$out" ""
if engine_stopped && [ -z "$(engine_pids)" ]; then pass "-clean stopped the engine"; else fail "engine runs after -clean"; fi
out=$("$T" -v)
expect_eq "-clean removed the service" "$out" $'Trellis 2.1d\nThe service is not installed'
expect_eq "configuration tree gone" "$("$REG" export 'HKLM\SOFTWARE\Nomra Software' | grep -c 'Trellis 2' || true)" 0
expect_contains "other vendors' keys kept" "$("$REG" export 'HKLM\SOFTWARE\Other Vendor')" "Keep"

"$T" -i >/dev/null
out=$("$T" -u)
expect_eq "-u removes" "$out" "Nomra Trellis Engine removed. (You must delete the file ($T) yourself.)"
out=$("$T" -u)
expect_eq "-u when not installed" "$out" "Nomra Trellis Engine is not installed"
expect_contains "removal event" "$(cat "$TRELLIS_EVENTLOG")" "The TrellisEngine service was removed successfully."

finish

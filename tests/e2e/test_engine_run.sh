#!/usr/bin/env bash
# The engine's own start-up and stop as an operator sees them: a first run with "Setup" values
# acts once and removes them, a stop ends the process in time, and the logs it wrote (they hold
# client addresses, user names and URLs) are for the owner and its group only.
source "$(dirname "$0")/lib.sh"

on_exit "$T -stop; sleep 1; kill_engines; $T -u"

# The engine makes its event log file itself.
rm -f "$TRELLIS_EVENTLOG"
"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallVDOLive dword 1
"$REG" set 'Setup' SecureInstall dword 0
"$REG" set 'Settings' DownstreamSOCKSConnectTimeout dword 4000
# An audited user, for an audit file.
"$REG" set 'UserDatabase\bob' Type sz User
"$REG" set 'UserDatabase\bob' Name sz bob
"$REG" set 'UserDatabase\bob' AuditUser dword 1

out=$("$T" -start)
expect_eq "-start" "$out" "Nomra Trellis Engine service started"
wait_for 10 engine_running || fail "engine did not start"

if wait_for 10 bash -c "! '$REG' query 'Setup' >/dev/null 2>&1"; then pass "Setup tree removed"; else fail "Setup tree still there"; fi
expect_contains "first-run relay created" "$("$REG" export 2>/dev/null)" "CVDOLiveService"
expect_contains "version written" "$("$REG" query 'Settings' Version)" "513"
expect_contains "time-out kept" "$("$REG" query 'Settings' DownstreamSOCKSConnectTimeout)" "4000"
logs_written() { ls "$TRELLIS_HOME"/Logs/Scheduler.*.log "$TRELLIS_HOME"/Logs/Dialer.*.log >/dev/null 2>&1; }
wait_for 10 logs_written || fail "no scheduler and dialer logs"
modes=$( (cd "$TRELLIS_HOME" && find Logs Audit -printf '%y %m %p\n'; stat -c 'f %a events' "$TRELLIS_EVENTLOG") | sort)
echo "$modes"
expect_eq "log files 0640" "$(awk '$1 == "f" && $2 != "640"' <<<"$modes")" ""
expect_eq "log folders 0750" "$(awk '$1 == "d" && $2 != "750"' <<<"$modes")" ""
expect_eq "service, dialer, scheduler and audit logs and the event log seen" \
  "$(grep -cE ' (Logs/(VDOLive|Dialer|Scheduler)[^/]*\.log|Audit/bob[^/]*\.log|events)$' <<<"$modes")" "5"

start=$SECONDS
"$T" -stop >/dev/null
if wait_for 10 no_engine_process; then pass "engine gone within $((SECONDS - start)) s"; else fail "engine still running"; fi
expect_contains "stopped event" "$(cat "$TRELLIS_EVENTLOG")" "Engine stopped."

# The next start is an ordinary one: nothing of the first run happens again.
lines=$(grep -c "First-run service" "$TRELLIS_EVENTLOG" || true)
"$T" -start >/dev/null
wait_for 10 engine_running || fail "second start failed"
sleep 1
expect_eq "first run acts once" "$(grep -c "First-run service" "$TRELLIS_EVENTLOG" || true)" "$lines"
"$T" -stop >/dev/null
wait_for 10 no_engine_process || fail "engine still running after the second stop"

finish

#!/usr/bin/env bash
# The Telnet gateway with a scripted Telnet client (telnet_client.py, written from RFC 854) on
# loopback: the engine is installed with the first-run "Setup" value that creates the Telnet service
# (moved to a free high port); the client answers the gateway's options, types a host with DEL
# fixing a typo, reaches an echo peer on 127.0.0.2 that greets first, and checks NUL as LF toward a
# raw port (and kept toward port 23 when that port is free), the line cap and failures; then a
# right that asks for a log-in makes the gateway ask for bob's, masks the password and refuses a
# wrong one with "Access Denied".
source "$(dirname "$0")/lib.sh"

SVC='Services\Telnet Proxy server'
HERE=$(cd "$(dirname "$0")" && pwd)

on_exit "$T -stop; sleep 1; kill_engines; $T -u"

P=$(free_port 127.0.0.1)
EP=$(free_port 127.0.0.2)

"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallTelnet dword 1
"$REG" set 'Setup' SecureInstall dword 0
start_engine
expect_contains "service stored" "$("$REG" query "$SVC" ServiceType)" "CTelnetService"
expect_contains "first-run port" "$("$REG" query "$SVC" PortNumber)" "23"
expect_contains "Prompt default" "$("$REG" query "$SVC" Prompt)" "Trellis>"
stop_engine
"$REG" set "$SVC" PortNumber dword "$P"
start_engine "$P"

P23=""
port_open 127.0.0.2 23 || P23=23
python3 "$HERE/telnet_client.py" open "$P" "$EP" $P23 || fail "telnet_client.py open"

stop_engine
"$REG" set 'UserDatabase\bob' Type sz User
"$REG" set 'UserDatabase\bob' Name sz bob
"$REG" set 'UserDatabase\bob' Password sz qaezox  # "secret", scrambled as the registry keeps it
"$REG" set 'UserDatabase\bob' AccountEnabled dword 1
"$REG" set "$SVC\\AccessRights" IncludeDefaultRights dword 0
"$REG" set "$SVC\\AccessRights\\Recipient0" UserName sz bob
"$REG" set "$SVC\\AccessRights\\Recipient0" SpecifyUser dword 1
start_engine "$P"
EP2=$(free_port 127.0.0.2)
python3 "$HERE/telnet_client.py" login "$P" "$EP2" || fail "telnet_client.py login"

expect_logged "request logged" "Telnet: 127.0.0.2:$EP" "$TRELLIS_HOME"/Logs/*Telnet*
expect_logged "failed log-in logged" "user bob failed login" "$TRELLIS_HOME"/Logs/*Telnet*
engine_running && pass "engine still running" || fail "engine gone"
finish

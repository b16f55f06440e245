#!/usr/bin/env bash
# Two engines joined by the enciphered link: curl asks engine A's mapping (it logs in to B and
# enciphers), engine B's mapping (it demands the login of any user of its database) relays to an
# HTTP server. A recording socat between the engines must hold no plain byte of the body; a wrong
# password relays nothing and B names the user; a plain client of B hears only the challenge.
source "$(dirname "$0")/lib.sh"

PIDS=()
B="$WORK/b"
mkdir -p "$B/home" "$B/run"
touch "$B/events.log"
BENV=(env TRELLIS_REGISTRY="$B/registry.db" TRELLIS_HOME="$B/home" TRELLIS_RUNDIR="$B/run"
  TRELLIS_EVENTLOG="$B/events.log")
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; ${BENV[*]} $T -stop; sleep 1; kill_engines; TRELLIS_RUNDIR=$B/run kill_engines; $T -u; ${BENV[*]} $T -u"

OP=$(free_port 127.0.0.2)
AP=$(free_port 127.0.0.1)
BP=$(free_port 127.0.0.1)
TP=$(free_port 127.0.0.1)
mkdir -p "$WORK/www"
for i in $(seq 60000); do echo "PLAIN-MARKER line $i of the body"; done >"$WORK/www/body.txt"
python3 -m http.server --bind 127.0.0.2 --directory "$WORK/www" "$OP" >/dev/null 2>&1 &
PIDS+=($!)
# The wire between the engines, recorded both ways.
socat -r "$WORK/a-to-b.cap" -R "$WORK/b-to-a.cap" TCP-LISTEN:"$TP",bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:"$BP" &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$OP" || fail "origin did not start"

mapping() {  # REG-COMMAND... NAME PORT HOST DEST_PORT
  local n=$# args=("$@")
  local reg=("${args[@]:0:n-4}") name=${args[n-4]} port=${args[n-3]} host=${args[n-2]} dport=${args[n-1]}
  "${reg[@]}" set "Services\\$name" ServiceType sz CTCPMappingService >/dev/null
  "${reg[@]}" set "Services\\$name" PortNumber dword "$port" >/dev/null
  "${reg[@]}" set "Services\\$name" BindingOption dword 1 >/dev/null
  "${reg[@]}" set "Services\\$name" SpecificBinding sz 127.0.0.1 >/dev/null
  "${reg[@]}" set "Services\\$name\\AccessRights\\Recipient0" UserName sz Everyone >/dev/null
  "${reg[@]}" set "Services\\$name\\Mappings" Host sz "$host" >/dev/null
  "${reg[@]}" set "Services\\$name\\Mappings" Port dword "$dport" >/dev/null
}
"${BENV[@]}" "$T" -i >/dev/null
mapping "${BENV[@]}" "$REG" In "$BP" 127.0.0.2 "$OP"
"${BENV[@]}" "$REG" set 'Services\In' EncryptConnectionsIn dword 1 >/dev/null
"${BENV[@]}" "$REG" set 'Services\In' SpecifyUserForIncomingConnection dword 0 >/dev/null
"${BENV[@]}" "$T" -start >/dev/null
wait_for 30 port_open 127.0.0.1 "$BP" || fail "engine B's mapping not listening"

"$T" -i >/dev/null
mapping "$REG" Out "$AP" 127.0.0.1 "$TP"
"$REG" set 'Services\Out' EncryptConnectionsOut dword 1 >/dev/null
# Engine B's built-in Administrator, whose password is still empty.
"$REG" set 'Services\Out' UsernameOut sz Administrator >/dev/null
start_engine "$AP"

curl -sS -m 60 -o "$WORK/got.txt" "http://127.0.0.1:$AP/body.txt" || fail "curl through both engines"
cmp -s "$WORK/got.txt" "$WORK/www/body.txt" && pass "body identical through the link" || fail "body differs"
sz=$(($(stat -c %s "$WORK/a-to-b.cap" 2>/dev/null || echo 0) + $(stat -c %s "$WORK/b-to-a.cap" 2>/dev/null || echo 0)))
[ "$sz" -gt "$(stat -c %s "$WORK/www/body.txt")" ] && pass "the wire carried the body" || fail "capture too small: $sz"
if grep -qa "PLAIN-MARKER\|GET /body.txt\|HTTP/1" "$WORK/a-to-b.cap" "$WORK/b-to-a.cap"; then
  fail "plain bytes between the engines"
else
  pass "no plain byte between the engines"
fi

# A wrong password ("x" stored scrambled as "z"): nothing relayed, B names the user.
stop_engine
"$REG" set 'Services\Out' PasswordOut sz z >/dev/null
start_engine "$AP"
out=$(curl -sS -m 30 "http://127.0.0.1:$AP/body.txt" 2>&1 | head -c 200 || true)
expect_not_contains "wrong password: nothing relayed" "$out" "PLAIN-MARKER"
wait_for 30 grep -q "User Administrator failed password" "$B"/home/Logs/In.*.log ||
  fail "engine B did not name the user"

# A plain client of B hears the challenge and no relay.
reply=$(printf 'GET /body.txt HTTP/1.0\r\n\r\n' | timeout 30 nc -q 30 127.0.0.1 "$BP" | head -c 4096 | tr -d '\0' || true)
expect_not_contains "plain client: no relay" "$reply" "PLAIN-MARKER"

"${BENV[@]}" "$T" -stop >/dev/null
finish

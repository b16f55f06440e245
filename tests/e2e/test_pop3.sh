#!/usr/bin/env bash
# The POP3 gateway with real clients on loopback: the engine is installed with the first-run
# "Setup" values that create the POP3 service (moved to a free high port); a POP3 server written
# for the test (pop3_server.py) runs on 127.0.0.2; curl lists and retrieves two messages through
# the gateway as "bob#127.0.0.2:port" byte for byte (after the gateway answers its CAPA with
# "-ERR unrecognised command CAPA"); Python's poplib does the same with a pipelined log-in; raw
# exchanges check the greeting, that the server's greeting is swallowed and its answer to USER
# relayed, the last "#" splitting, a bad user name, and an over-long line, after which the gateway
# still serves.
source "$(dirname "$0")/lib.sh"

SVC='Services\POP3 Proxy server'
HERE=$(cd "$(dirname "$0")" && pwd)

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

P=$(free_port 127.0.0.1)
SP=$(free_port 127.0.0.2)

mkdir -p "$WORK/out"
printf 'From: a@example.org\r\nSubject: one\r\n\r\nfirst message\r\n.starts with a dot\r\n' >"$WORK/m1.eml"
{ printf 'From: b@example.org\r\nSubject: two\r\n\r\n'; head -c 300000 /dev/urandom | base64 -w 76 | sed 's/$/\r/'; } \
  >"$WORK/m2.eml"
python3 -u "$HERE/pop3_server.py" 127.0.0.2 "$SP" "$WORK/m1.eml" "$WORK/m2.eml" >"$WORK/pop3d.log" 2>&1 &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$SP" || fail "POP3 server did not start"

"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallPOP3 dword 1
"$REG" set 'Setup' SecureInstall dword 0
start_engine
expect_contains "service stored" "$("$REG" query "$SVC" ServiceType)" "CPOP3Service"
expect_contains "first-run port" "$("$REG" query "$SVC" PortNumber)" "110"
expect_contains "Delimiter default" "$("$REG" query "$SVC" Delimiter)" "35"
stop_engine
"$REG" set "$SVC" PortNumber dword "$P"
start_engine "$P"

URL="pop3://bob%23127.0.0.2%3A$SP:pw@127.0.0.1:$P"
list=$(curl -sS --max-time 20 "$URL/" | tr -d '\r' || true)
expect_eq "curl LIST" "$list" "1 $(($(stat -c %s "$WORK/m1.eml") - 2))
2 $(($(stat -c %s "$WORK/m2.eml") - 2))"
for i in 1 2; do
  curl -sS --max-time 20 -o "$WORK/out/m$i" "$URL/$i" || fail "curl RETR $i"
  cmp -s "$WORK/m$i.eml" "$WORK/out/m$i" && pass "curl RETR $i identical" || fail "curl RETR $i differs"
done
expect_contains "curl's CAPA answered by the gateway" "$(cat "$WORK/pop3d.log")" "C: USER bob"
expect_not_contains "CAPA never reached the server before log-in" "$(head -1 "$WORK/pop3d.log")" "CAPA"

python3 - "$P" "$SP" "$WORK" <<'PY' || fail "poplib and raw exchanges"
import poplib, socket, sys
port, sp, work = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
failed = 0
def check(name, cond, detail=""):
    global failed
    print(("ok: " if cond else "FAIL: ") + name, "" if cond else detail, file=sys.stdout if cond else sys.stderr)
    failed += 0 if cond else 1

p = poplib.POP3("127.0.0.1", port, timeout=10)
check("gateway greeting", p.getwelcome() == b"+OK Trellis Engine POP3 Gateway ready")
check("answer to USER relayed", p.user("bob#127.0.0.2:%d" % sp) == b"+OK user bob accepted")
check("PASS", p.pass_("pw").startswith(b"+OK"))
check("STAT", p.stat()[0] == 2)
body = b"\r\n".join(p.retr(1)[1])
check("poplib RETR 1", body == open(work + "/m1.eml", "rb").read()[:-2], body)
p.quit()

def raw(lines):
    s = socket.create_connection(("127.0.0.1", port), 10)
    s.settimeout(10)
    f = s.makefile("rb")
    out = [f.readline()]
    s.sendall(lines)
    while True:
        try:
            l = f.readline()
        except (socket.timeout, ConnectionResetError):
            break
        if not l:
            break
        out.append(l)
    s.close()
    return out

r = raw(b"CAPA\r\nuser b#ob#127.0.0.2:%d\r\nPASS pw\r\nQUIT\r\n" % sp)
check("CAPA unrecognised", r[1] == b"-ERR unrecognised command CAPA\r\n", r)
check("pipelined log-in, server greeting swallowed", r[2:] == [b"+OK user b#ob accepted\r\n", b"-ERR invalid login\r\n",
      b"+OK bye\r\n"], r)
# A command is its whole first word: "USERNAME" is no USER; lower case is.
r = raw(b"USERNAME bob#127.0.0.2:%d\r\nuser bob#127.0.0.2:%d\r\nQUIT\r\n" % (sp, sp))
check("USERNAME unrecognised, user taken", r[1:] == [b"-ERR unrecognised command USERNAME\r\n",
      b"+OK user bob accepted\r\n", b"+OK bye\r\n"], r)
r = raw(b"USER nobody\r\nQUIT\r\n")
check("USER without host refused", r[1] == b"-ERR bad username\r\n" and len(r) == 2, r)
r = raw(b"USER bob#127.0.0.2:70000\r\nQUIT\r\n")
check("bad port refused", r[1] == b"-ERR bad username\r\n", r)
r = raw(b"USER " + b"x" * 5000)
check("over-long line ended", r[-1] == b"-ERR line too long\r\n", r[-1:])
r = raw(b"QUIT\r\n")
check("still serving", r[0].startswith(b"+OK Trellis"), r)
sys.exit(1 if failed else 0)
PY
expect_contains "the last # splits" "$(cat "$WORK/pop3d.log")" "C: USER b#ob"
expect_logged "request logged" "POP3: bob at 127.0.0.2:$SP" "$TRELLIS_HOME"/Logs/*POP3*
expect_logged "unrecognised command logged" "Unrecognised command CAPA" "$TRELLIS_HOME"/Logs/*POP3*
expect_logged "non-proxy refusal logged" "Non proxy request rejected - client sent nobody" "$TRELLIS_HOME"/Logs/*POP3*
engine_running && pass "engine still running" || fail "engine gone"
finish

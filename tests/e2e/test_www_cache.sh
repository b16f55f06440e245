#!/usr/bin/env bash
# The web cache with curl through the engine and a Python origin on 127.0.0.2 that misbehaves on
# purpose: a body without a length cut off by a reset is never served from the cache and curl
# sees an error; a torn index (and a body file no record names) is reported in the event log and
# the web proxy's log and caching goes on with what was kept; a full cache stops storing and says
# so once instead of writing and deleting every new object; a response whose explicit lifetime has
# passed (max-age=0, an Expires in the past) is revalidated with If-Modified-Since and answered
# from the copy on the origin's 304.
source "$(dirname "$0")/lib.sh"

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

P=$(free_port 127.0.0.1)
OP=$(free_port 127.0.0.2)
PROXY="http://127.0.0.1:$P"
ORIGIN="http://127.0.0.2:$OP"
CACHE="$TRELLIS_HOME/cache"
mkdir -p "$WORK/out"

# ---- Origin -----------------------------------------------------------------------------------
# Every request is noted as "PATH IMS=<If-Modified-Since or ->" in origin.log.
cat >"$WORK/origin.py" <<'PY'
import socket, socketserver, struct, sys, threading, time

LAST_MODIFIED = "Sat, 01 Jan 2000 00:00:00 GMT"
lock = threading.Lock()

def note(line):
    with lock, open(sys.argv[2], "a") as f:
        f.write(line + "\n")

class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        c = self.request
        req = b""
        while b"\r\n\r\n" not in req:
            data = c.recv(4096)
            if not data:
                return
            req += data
        lines = req.split(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
        path = lines[0].split(" ")[1]
        headers = {k.strip().lower(): v.strip() for k, v in (l.split(":", 1) for l in lines[1:] if ":" in l)}
        ims = headers.get("if-modified-since", "-")
        note(f"{path} IMS={ims}")
        head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
        if path.startswith("/reset") or path.startswith("/fin"):
            # A body without a length: only the way the connection ends says whether it is whole.
            c.sendall((head + "\r\n").encode() + b"r" * 3000)
            if path.startswith("/reset"):
                time.sleep(0.3)
                c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                c.close()
            return
        if path.startswith("/age0") or path.startswith("/expired"):
            life = "Cache-Control: max-age=0\r\n" if path.startswith("/age0") else \
                "Expires: Thu, 01 Jan 1998 00:00:00 GMT\r\n"
            if ims != "-":
                c.sendall(f"HTTP/1.0 304 Not Modified\r\n{life}\r\n".encode())
                return
            body = b"lifetime " * 100
            c.sendall(f"{head}{life}Last-Modified: {LAST_MODIFIED}\r\nContent-Length: {len(body)}\r\n\r\n".encode()
                      + body)
            return
        size = 700 * 1024 if path.startswith("/big/") else 2000
        c.sendall(f"{head}Content-Length: {size}\r\n\r\n".encode() + b"b" * size)

class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

Server(("127.0.0.2", int(sys.argv[1])), Handler).serve_forever()
PY
python3 "$WORK/origin.py" "$OP" "$WORK/origin.log" 2>"$WORK/origin.err" &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$OP" || fail "origin did not start"
touch "$WORK/origin.log"
asked() { grep -c "^$1 " "$WORK/origin.log" || true; }

# ---- Engine -----------------------------------------------------------------------------------
"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallWWW dword 1
"$REG" set 'Setup' WWWProxyPort dword "$P"
"$REG" set 'Setup' SecureInstall dword 0
start_engine "$P"

# fetch NAME PATH: curl through the proxy into out/NAME (headers in out/NAME.h); prints curl's exit code.
fetch() {
  local rc=0
  curl -sS -x "$PROXY" -D "$WORK/out/$1.h" -o "$WORK/out/$1" "$ORIGIN$2" 2>>"$WORK/curl.err" || rc=$?
  echo "$rc"
}
from_cache() { grep -q "Server: Trellis Engine" "$WORK/out/$1.h"; }

# ---- A reset is no end -------------------------------------------------------------------------
expect_eq "orderly close without a length: curl succeeds" "$(fetch fin1 /fin)" 0
expect_eq "orderly close: whole body" "$(stat -c %s "$WORK/out/fin1")" 3000
expect_eq "orderly close: second fetch succeeds" "$(fetch fin2 /fin)" 0
from_cache fin2 && pass "orderly close: stored and served from the cache" || fail "orderly close not cached"
expect_eq "orderly close: origin asked once" "$(asked /fin)" 1

rc=$(fetch reset1 /reset)
[ "$rc" != 0 ] && pass "reset origin: curl sees an error ($rc)" || fail "reset origin: curl saw a clean end"
rc=$(fetch reset2 /reset)
[ "$rc" != 0 ] && pass "reset origin again: curl sees an error ($rc)" || fail "reset origin again: clean end"
expect_eq "reset origin: never answered from the cache" "$(asked /reset)" 2
from_cache reset2 && fail "cut body served from the cache" || pass "no cached copy of the cut body"

# ---- Expired lifetimes are revalidated ---------------------------------------------------------
for path in /age0 /expired; do
  expect_eq "$path first fetch" "$(fetch "${path#/}1" "$path")" 0
  expect_eq "$path second fetch" "$(fetch "${path#/}2" "$path")" 0
  expect_contains "$path: the origin saw the conditional request" "$(cat "$WORK/origin.log")" \
    "$path IMS=Sat, 01 Jan 2000 00:00:00 GMT"
  from_cache "${path#/}2" && pass "$path: the origin's 304 answered from the copy" || fail "$path: not from the copy"
  cmp -s "$WORK/out/${path#/}1" "$WORK/out/${path#/}2" && pass "$path: same body" || fail "$path: body differs"
done

# ---- A torn index and a leftover body file -------------------------------------------------------
stop_engine
index_size=$(stat -c %s "$CACHE/cache.idx")
printf '\x30127.0.0.2:%s/torn' "$OP" >>"$CACHE/cache.idx"  # a URL that claims 48 bytes, cut short
printf 'a download cut off by a kill' >"$CACHE/0000ZZZZ.tlc"
start_engine "$P"
wait_for 30 grep -q "cache.idx damaged at byte $index_size" "$TRELLIS_EVENTLOG" \
  && pass "torn index reported in the event log" || fail "torn index not in the event log"
grep -q "TrellisEngine\[[0-9]*\] [A-Za-z]* 8: .*cache.idx damaged at byte $index_size of .*: kept the 3 entries" \
  "$TRELLIS_EVENTLOG" && pass "event log: source, text id 8 and what was kept" \
  || fail "event log line: $(grep damaged "$TRELLIS_EVENTLOG")"
grep -q "cache.idx damaged at byte $index_size" "$TRELLIS_HOME"/Logs/*.log \
  && pass "torn index reported in the web proxy's log" || fail "torn index not in the web proxy's log"
[ -e "$CACHE/0000ZZZZ.tlc" ] && fail "leftover body file still there" || pass "leftover body file removed"
grep -q "removed 1 body files" "$TRELLIS_EVENTLOG" && pass "removal reported" || fail "removal not reported"
expect_eq "index cut back to its whole records" "$(stat -c %s "$CACHE/cache.idx")" "$index_size"
expect_eq "kept entry still served" "$(fetch fin3 /fin)" 0
from_cache fin3 && pass "kept entry from the cache" || fail "kept entry lost"
fetch new1 /after-damage >/dev/null
expect_eq "after the damage: new object fetched" "$(fetch new2 /after-damage)" 0
from_cache new2 && pass "caching goes on after the damage" || fail "caching stopped after the damage"
expect_eq "after the damage: origin asked once" "$(asked /after-damage)" 1

# ---- A full cache -------------------------------------------------------------------------------
stop_engine
"$REG" set 'Cache' MaxSize dword 1
start_engine "$P"
fetch big1a /big/1 >/dev/null
expect_eq "first large object cached" "$(fetch big1b /big/1)" 0
from_cache big1b && pass "first large object from the cache" || fail "first large object not cached"
# Past the limit: stored, removed again, and the purge (no purge filters) makes no room.
expect_eq "object past the limit relayed" "$(fetch big2a /big/2)" 0
full_said() { cat "$@" | grep -c "Web cache full" || true; }
wait_for 30 grep -q "Web cache full" "$TRELLIS_HOME"/Logs/*.log \
  && pass "full cache said in the web proxy's log" || fail "full cache not said"
# From now on nothing is written: watch the folder for new files while fetching more.
cat >"$WORK/watch.py" <<'PY'
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
if fd < 0 or libc.inotify_add_watch(fd, sys.argv[1].encode(), 0x100) < 0:  # IN_CREATE
    sys.exit(1)
out = open(sys.argv[2], "a", buffering=1)
out.write("watching\n")
while True:
    data = os.read(fd, 65536)
    i = 0
    while i < len(data):
        _, _, _, n = struct.unpack_from("iIII", data, i)
        out.write(data[i + 16:i + 16 + n].rstrip(b"\0").decode() + "\n")
        i += 16 + n
PY
python3 "$WORK/watch.py" "$CACHE" "$WORK/created" &
PIDS+=($!)
wait_for 30 grep -q watching "$WORK/created" || fail "watcher did not start"
for i in 1 2 3; do
  expect_eq "full cache: /big/2 fetch $i relayed" "$(fetch big2b /big/2)" 0
  expect_eq "full cache: /big/2 fetch $i whole" "$(stat -c %s "$WORK/out/big2b")" $((700 * 1024))
done
expect_eq "full cache: another object relayed" "$(fetch big3 /big/3)" 0
expect_eq "full cache: the origin answered every fetch" "$(asked /big/2)" 4
expect_eq "full cache: no body file written" "$(grep -c '\.tlc$' "$WORK/created" || true)" 0
expect_eq "full cache: said once in the web proxy's log" "$(full_said "$TRELLIS_HOME"/Logs/*.log)" 1
expect_eq "full cache: said once in the event log" "$(full_said "$TRELLIS_EVENTLOG")" 1
expect_eq "full cache: stored objects still served" "$(fetch big1c /big/1)" 0
from_cache big1c && pass "full cache: lookups go on" || fail "full cache: lookups stopped"
engine_running && pass "engine still running" || fail "engine gone"

finish

#!/usr/bin/env bash
# Request filters through the real engine with curl and a Python origin on 127.0.0.2: the web
# proxy's access right holds one recipient (everybody) with a ban filter (a URL containing
# "casino", or a "X-Client: banned" header) and request filters that let a guest GET under
# /public of the origin's host and ask a login level (2) for anything POSTed, which a guest cannot
# reach. Banned URLs get the refusal page with its 403 status; other requests are served or refused
# by what the filters ask. A ban filter stored with a criterion of a class the engine does not know
# refuses everything instead of banning less.
source "$(dirname "$0")/lib.sh"

SVC='Services\WWW Proxy server'
R="$SVC\\AccessRights\\Recipient0"

PIDS=()
on_exit 'for p in "${PIDS[@]}"; do kill "$p"; done'
on_exit "$T -stop; sleep 1; kill_engines; $T -u"

P=$(free_port 127.0.0.1)
OP=$(free_port 127.0.0.2)
PROXY="http://127.0.0.1:$P"
ORIGIN="http://127.0.0.2:$OP"

mkdir -p "$WORK/www/public" "$WORK/out"
printf 'public page\n' >"$WORK/www/public/page.html"
printf 'casino page\n' >"$WORK/www/public/casino.html"
printf 'private page\n' >"$WORK/www/private.html"
python3 -u -m http.server --bind 127.0.0.2 --directory "$WORK/www" "$OP" 2>"$WORK/origin.log" >/dev/null &
PIDS+=($!)
wait_for 30 port_open 127.0.0.2 "$OP" || fail "origin did not start"
origin_hits() { grep -c "\"$1 $2 " "$WORK/origin.log" || true; }

# criterion KEY INDEX COMPARISON DATATYPE TEXT [NOT] [VARIABLE]
criterion() {
  "$REG" set "$1" Type sz CRequestCriterion
  "$REG" set "$1" DataIndex dword "$2"
  "$REG" set "$1" Comparison dword "$3"
  "$REG" set "$1" DataType dword "$4"
  if [ "$4" = 0 ]; then "$REG" set "$1" nData dword "$5"; else "$REG" set "$1" strData sz "$5"; fi
  "$REG" set "$1" Not dword "${6:-0}"
  if [ -n "${7:-}" ]; then "$REG" set "$1" VariableName sz "$7"; fi
}

"$T" -i >/dev/null
"$REG" set 'Setup' Mode dword 1
"$REG" set 'Setup' InstallWWW dword 1
"$REG" set 'Setup' WWWProxyPort dword "$P"
"$REG" set 'Setup' SecureInstall dword 0
start_engine "$P"
stop_engine

"$REG" set "$SVC\\AccessRights" IncludeDefaultRights dword 0
"$REG" set "$R" UserName sz Everyone
"$REG" set "$R" SpecifyUser dword 0
"$REG" set "$R" SpecifyBan dword 1
"$REG" set "$R" SpecifyRequest dword 1
# Ban: URL contains "casino" (15, contains), or the header X-Client equals "banned" (18, equals).
criterion "$R\\BanFilter\\Criterion0" 15 3 2 casino
criterion "$R\\BanFilter\\Criterion1" 18 0 2 banned 0 X-Client
# Filter 0: a GET (13) of the origin's host (15, "host:port/path", begins with) under /public (14 begins with): level 0.
criterion "$R\\RequestFilter\\Filter0\\Criterion0" 13 0 2 GET
criterion "$R\\RequestFilter\\Filter0\\Criterion1" 15 4 2 "127.0.0.2:$OP/"
criterion "$R\\RequestFilter\\Filter0\\Criterion2" 14 4 2 /public
# Filter 1: a POST asks authentication level 2 (5 equals 2).
criterion "$R\\RequestFilter\\Filter1\\Criterion0" 13 0 2 POST
criterion "$R\\RequestFilter\\Filter1\\Criterion1" 5 0 0 2
start_engine "$P"

fetch() { curl -s -o "$WORK/out/body" -w '%{http_code}' -x "$PROXY" -H 'Pragma: no-cache' "$@"; }

expect_eq "a public GET is served" "$(fetch "$ORIGIN/public/page.html")" 200
expect_eq "its body" "$(cat "$WORK/out/body")" "public page"
before=$(origin_hits GET /public/casino.html)
expect_eq "a banned URL is refused" "$(fetch "$ORIGIN/public/casino.html")" 403
expect_contains "with the refusal page" "$(cat "$WORK/out/body")" "<TITLE>Access Denied</TITLE>"
expect_eq "the origin never saw the banned URL" "$(origin_hits GET /public/casino.html)" "$before"
expect_eq "a banned header is refused" "$(fetch -H 'X-Client: BANNED' "$ORIGIN/public/page.html")" 403
expect_eq "another header value is served" "$(fetch -H 'X-Client: fine' "$ORIGIN/public/page.html")" 200
expect_eq "a path no filter allows is refused" "$(fetch "$ORIGIN/private.html")" 403
expect_eq "a host no filter allows is refused" "$(fetch "http://localhost:$OP/public/page.html")" 403
expect_eq "a HEAD (no filter for it) is refused" "$(fetch -I "$ORIGIN/public/page.html")" 403
expect_eq "a guest's POST needs a login it cannot give" "$(fetch --data 'x=1' "$ORIGIN/public/page.html")" 403
grep -q "Failed authorisation" "$TRELLIS_HOME"/Logs/*.log 2>/dev/null && pass "refusals logged" \
  || fail "no Failed authorisation line"

# A criterion of a class the engine does not know: the ban filter can no longer say what it bans,
# so it bans everything rather than serving what its author meant to ban.
stop_engine
"$REG" set "$R\\BanFilter\\Criterion0" Type sz CFutureCriterion
start_engine "$P"
expect_eq "an incomplete ban filter refuses" "$(fetch "$ORIGIN/public/page.html")" 403
engine_running && pass "engine still running" || fail "engine gone"

finish

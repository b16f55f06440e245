#!/usr/bin/env bash
# trellis-reg as an operator uses it: every value type written, read, exported and imported; names
# matched without regard to case; exports that round-trip exactly; bad input refused with one line on
# stderr and the store left as it was.
set -euo pipefail

BUILD=${TRELLIS_BUILD:?TRELLIS_BUILD must name the build folder}
REG="$BUILD/trellis-reg"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/trellis-reg-e2e.XXXXXX")
cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT
export TRELLIS_REGISTRY="$WORK/main/registry.db"

fail() { echo "FAIL: $*" >&2; exit 1; }
expect_eq() { [[ "$1" == "$2" ]] || fail "$3: expected [$2], got [$1]"; }

# Runs trellis-reg expecting a refusal: non-zero exit, exactly one line on stderr, nothing on stdout,
# and the store's export unchanged.
expect_refused() {
  local before after rc=0
  before=$("$REG" export)
  "$REG" "$@" >"$WORK/out" 2>"$WORK/err" || rc=$?
  [[ $rc -ne 0 ]] || fail "trellis-reg $* succeeded"
  [[ $(wc -l <"$WORK/err") -eq 1 ]] || fail "trellis-reg $* wrote $(wc -l <"$WORK/err") stderr lines: $(cat "$WORK/err")"
  grep -q '^trellis-reg: ' "$WORK/err" || fail "trellis-reg $* error lacks its prefix: $(cat "$WORK/err")"
  [[ ! -s "$WORK/out" ]] || fail "trellis-reg $* wrote to stdout"
  after=$("$REG" export)
  [[ "$before" == "$after" ]] || fail "trellis-reg $* changed the store"
}

# Reads and deletes of a registry that does not exist say so, exit 1 and create nothing.
for cmd in "query Settings" "query Settings Version" "export" "export Settings" "delete Settings"; do
  rc=0
  err=$(TRELLIS_REGISTRY="$WORK/missing/registry.db" "$REG" $cmd 2>&1 >/dev/null) || rc=$?
  expect_eq "$rc" 1 "trellis-reg $cmd on a missing registry: exit status"
  expect_eq "$err" "trellis-reg: no registry at $WORK/missing/registry.db (TRELLIS_REGISTRY names the registry file)" \
    "trellis-reg $cmd on a missing registry: message"
  [[ ! -e "$WORK/missing" ]] || fail "trellis-reg $cmd created $WORK/missing"
done

# ---- set and query every type ----
"$REG" set Settings Version dword 513
"$REG" set Settings Mask dword 0xFFFFFFFF
"$REG" set Settings LogFileDirectory sz 'Logs "quoted" \ and é'
"$REG" set Settings Path expand_sz '%TRELLIS_HOME%\Logs'
"$REG" set Settings Blob binary 00FF7f0a
"$REG" set Settings Nothing binary ''
"$REG" set Settings Recipients multi_sz 'Recipient one' '' 'three'
"$REG" set Settings NoStrings multi_sz
"$REG" set 'hkcu\Software\Nomra Software\Lookout\Settings' Server sz 127.0.0.1
"$REG" set 'HKLM\SYSTEM\CurrentControlSet\Services\TrellisEngine' Start dword 3

expect_eq "$("$REG" query settings version)" '"Version"=dword:513' "dword read"
expect_eq "$("$REG" query SETTINGS MASK)" '"Mask"=dword:4294967295' "hex dword read"
expect_eq "$("$REG" query Settings logfiledirectory)" '"LogFileDirectory"=sz:"Logs \"quoted\" \\ and é"' "sz read"
expect_eq "$("$REG" query Settings path)" '"Path"=expand_sz:"%TRELLIS_HOME%\\Logs"' "expand_sz read"
expect_eq "$("$REG" query Settings blob)" '"Blob"=binary:00ff7f0a' "binary read"
expect_eq "$("$REG" query Settings nothing)" '"Nothing"=binary:' "empty binary read"
expect_eq "$("$REG" query Settings recipients)" '"Recipients"=multi_sz:"Recipient one","","three"' "multi_sz read"
expect_eq "$("$REG" query Settings nostrings)" '"NoStrings"=multi_sz:' "empty multi_sz read"
expect_eq "$("$REG" query 'HKCU\SOFTWARE\nomra software\lookout\settings' SERVER)" '"Server"=sz:"127.0.0.1"' "HKCU read"
expect_eq "$("$REG" query 'hklm\system\currentcontrolset\services\trellisengine' start)" '"Start"=dword:3' "HKLM read"

# A whole key: its stored spelling, values in name order, sub-keys listed.
"$REG" set 'Settings\Interfaces' 127.0.0.1 dword 1
out=$("$REG" query sEtTiNgS)
expect_eq "$(head -1 <<<"$out")" '[HKLM\SOFTWARE\Nomra Software\Trellis 2\Settings]' "key line"
expect_eq "$(sed -n 2p <<<"$out")" '"Blob"=binary:00ff7f0a' "first value in name order"
expect_eq "$(tail -1 <<<"$out")" '; sub-key Interfaces' "sub-key listed"

# Rewriting a value in another spelling keeps one value with its first spelling.
"$REG" set SETTINGS VERSION dword 514
expect_eq "$("$REG" query Settings Version)" '"Version"=dword:514' "rewrite"
expect_eq "$("$REG" export | grep -ci '"version"')" 1 "one Version value"

# ---- export, import into an empty store, same export ----
"$REG" export >"$WORK/first.txt"
grep -qx '"Version"=dword:514' "$WORK/first.txt" || fail "export lacks Version"
TRELLIS_REGISTRY="$WORK/second/registry.db" "$REG" import "$WORK/first.txt"
TRELLIS_REGISTRY="$WORK/second/registry.db" "$REG" export >"$WORK/second.txt"
cmp "$WORK/first.txt" "$WORK/second.txt" || fail "export -> import -> export differs"

# Import from stdin works as well.
TRELLIS_REGISTRY="$WORK/stdin/registry.db" "$REG" import - <"$WORK/first.txt"
cmp "$WORK/first.txt" <(TRELLIS_REGISTRY="$WORK/stdin/registry.db" "$REG" export) || fail "stdin import differs"

# ---- bytes the command line cannot carry: zeros, non-UTF-8, newlines, quotes, odd types ----
cat >"$WORK/odd.txt" <<'EOF'
; hand-written, with every form the format has
[HKLM\Odd\Key with %25 and %0A newline and ]bracket]
"esc\"aped\\name\t"=sz:"a\x00b\nc\r\td\"e\\f\xff\xfe"
"latin1"=binary:e9e8ff00
"dword short"=hex(4):0102
"unterminated sz"=hex(1):616263
"no type"=hex(0):
"big type"=hex(4294967295):00
"multi odd"=hex(7):610062
"multi"=multi_sz:"a\x00","","\xc3\xa9"
"utf8 name é"=sz:""
""=sz:"default value"
[HKLM\Odd\%FF%FEraw]
[HKLM\Odd\Empty]
EOF
"$REG" import "$WORK/odd.txt"
"$REG" export 'HKLM\Odd' >"$WORK/odd1.txt"
# Command-line arguments are taken literally, newline and all.
expect_eq "$("$REG" query $'hklm\\odd\\key with % and \n newline and ]bracket' '')" '""=sz:"default value"' \
  "literal key argument"
grep -qF '"dword short"=hex(4):0102' "$WORK/odd1.txt" || fail "short dword not kept as hex: $(cat "$WORK/odd1.txt")"
grep -qF '"unterminated sz"=hex(1):616263' "$WORK/odd1.txt" || fail "unterminated sz not kept"
grep -qF '"multi odd"=hex(7):610062' "$WORK/odd1.txt" || fail "odd multi_sz not kept"
grep -qF '"esc\"aped\\name\t"=sz:"a\x00b\nc\r\td\"e\\f\xff\xfe"' "$WORK/odd1.txt" || fail "escapes not kept"
grep -qF '[HKLM\Odd\%FF%FEraw]' "$WORK/odd1.txt" || fail "non-UTF-8 key name not kept"
grep -qF '"utf8 name é"=sz:""' "$WORK/odd1.txt" || fail "UTF-8 name not kept"
TRELLIS_REGISTRY="$WORK/third/registry.db" "$REG" import "$WORK/odd1.txt"
cmp "$WORK/odd1.txt" <(TRELLIS_REGISTRY="$WORK/third/registry.db" "$REG" export 'HKLM\Odd') ||
  fail "odd bytes do not round-trip"
# The stored bytes themselves, checked apart from our own reader.
hex=$(sqlite3 "$WORK/third/registry.db" "SELECT hex(data) FROM vals WHERE name = CAST('latin1' AS BLOB)")
expect_eq "$hex" "E9E8FF00" "raw bytes in the file"
hex=$(sqlite3 "$WORK/third/registry.db" "SELECT hex(data) FROM vals WHERE name = CAST('multi' AS BLOB)")
expect_eq "$hex" "61000000C3A90000" "multi_sz layout"

# The whole store round-trips too.
"$REG" export >"$WORK/all1.txt"
TRELLIS_REGISTRY="$WORK/fourth/registry.db" "$REG" import "$WORK/all1.txt"
cmp "$WORK/all1.txt" <(TRELLIS_REGISTRY="$WORK/fourth/registry.db" "$REG" export) || fail "whole store differs"

# ---- refusals: one stderr line, non-zero exit, nothing written ----
expect_refused
expect_refused frobnicate
expect_refused set Settings X
expect_refused set Settings X qword 1
expect_refused set Settings X dword 4294967296
expect_refused set Settings X dword -1
expect_refused set Settings X dword 0x
expect_refused set Settings X dword 12abc
expect_refused set Settings X binary 0g
expect_refused set Settings X binary abc
expect_refused set Settings X sz one two
expect_refused set "Settings\\$(printf 'k%.0s' {1..256})" X sz one
expect_refused query Settings Version extra
expect_refused query Settings NoSuchValue
expect_refused query NoSuchKey
expect_refused delete NoSuchKey
expect_refused delete Settings NoSuchValue
expect_refused export NoSuchKey
expect_refused import "$WORK/does-not-exist.txt"
for bad in \
  '"v"=sz:"x"' \
  '[HKLM\Ok]
"v"=qword:1' \
  '[HKLM\Ok]
"v"=binary:0' \
  '[HKLM\Ok]
"v"=sz:"unterminated' \
  '[HKLM\Ok]
"v"=sz:"bad \q escape"' \
  '[HKLM\Ok]
"v"=sz:"x" trailing' \
  '[HKLM\Ok]
"v"=dword:99999999999' \
  '[HKLM\Ok]
"v"=multi_sz:"a";"b"' \
  '[HKLM\Ok]
"v"=hex(x):00' \
  '[HKLM\Ok]
"a\x00b"=sz:"a value name cannot hold a zero byte"' \
  '[HKLM\Bad%G1]' \
  '[HKLM\Nul%00]' \
  '[HKLM\\Double]' \
  '[HKLM\Ok
"v"=sz:"x"' \
  '[HKLM\Ok]
v=sz:"x"' \
  '[HKLM\Ok]
"v"=sz:"fine"
garbage at the end'; do
  printf '%s\n' "$bad" >"$WORK/bad.txt"
  expect_refused import "$WORK/bad.txt"
done
# An import refused on its last line wrote none of the lines before it.
cp "$WORK/first.txt" "$WORK/bad.txt"
printf '[HKLM\\New]\n"v"=sz:"new"\nnot a line\n' >>"$WORK/bad.txt"
expect_refused import "$WORK/bad.txt"
"$REG" query 'HKLM\New' >/dev/null 2>&1 && fail "refused import created a key"

# ---- delete ----
"$REG" delete Settings Blob
"$REG" query Settings Blob >/dev/null 2>&1 && fail "deleted value still there"
"$REG" delete settings
"$REG" query Settings >/dev/null 2>&1 && fail "deleted key still there"
"$REG" query 'settings\interfaces' >/dev/null 2>&1 && fail "sub-key of deleted key still there"
"$REG" query '' >/dev/null || fail "engine root went with its sub-key"

# The file is private and sound.
expect_eq "$(stat -c %a "$TRELLIS_REGISTRY")" 600 "file mode"
expect_eq "$(sqlite3 "$TRELLIS_REGISTRY" 'PRAGMA integrity_check')" ok "integrity"
echo "trellis-reg e2e: ok"

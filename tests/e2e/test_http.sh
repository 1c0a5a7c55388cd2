#!/usr/bin/env bash
# HttpPost against a listener that misbehaves on purpose.
source "$(dirname "$0")/lib.sh"
trap 'stop_listener; cleanup' EXIT
new_prefix
start_listener
post() { wine_run "$QV_BUILD_DIR/qvpost.exe" 127.0.0.1 "$1" "${2:-body}" | tr -d '\r'; }
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }
# The two that only wait for time-outs run beside the others.
post mode/silent >"$T/silent.out" &
silent=$!
post mode/drip >"$T/drip.out" &
drip=$!
expect() {  # expect MODE RESULT [LENGTH] (a mode started above: its output)
  local out
  if [ -f "$T/$1.out" ]; then out=$(cat "$T/$1.out"); else out=$(post "mode/$1"); fi
  local what="$1: result $(field result "$out"), length $(field length "$out"), $(field ms "$out") ms"
  if [ "$(field result "$out")" = "$2" ] && { [ -z "${3:-}" ] || [ "$(field length "$out")" = "$3" ]; }; then
    pass "$what"; else fail "$what (wanted $2 ${3:-})"; fi
  LAST=$out
}
expect ok 1 2
check "ok: bytes and the zero after them" test "$(field head "$LAST")" = 4f4b -a "$(field zero_after "$LAST")" = 1
expect len10 1 10
check "len10: byte 10 is zero, buffer of 10 485 761" test "$(field zero_after "$LAST")" = 1 -a "$(field capacity "$LAST")" = 10485761
expect huge 1 10485760
check "huge: nothing past the buffer" test "$(field capacity "$LAST")" = 10485761
expect cl0 0
expect 404 0
check "404: body not read (no buffer)" test "$(field capacity "$LAST")" = 0
expect 500 0
expect short 0
expect reset 0
expect clhuge 0
check "Content-Length 4294967295: no buffer at all" test "$(field capacity "$LAST")" = 0
expect clover 0
check "Content-Length above the capacity: no buffer" test "$(field capacity "$LAST")" = 0
wait $silent $drip
expect silent 0
check "silent server: given up within the 2 s time-outs ($(field ms "$LAST") ms)" test "$(field ms "$LAST")" -lt 6000
expect drip 0
check "dripping server: ended by the 10 s deadline ($(field ms "$LAST") ms)" test "$(field ms "$LAST")" -lt 14000

before=$(requests)
out=$(post mode/ok -)
check "empty body: false, and no request at all" test "$(field result "$out")" = 0 -a "$(requests)" -eq "$before"

# The raw request of a plain post.
post micro_stats 'game_id=3&name=星辰' >/dev/null
req=$T/requests/$(ls "$T/requests" | tail -1)
head_text=$(sed -n '1,/^\r$/p' "$req" | tr -d '\r')
check "request line" grep -qx 'POST /micro_stats HTTP/1.0' <<<"$head_text"
check "Accept: */*" grep -qix 'accept: \*/\*' <<<"$head_text"
check "no Content-Type" bash -c "! grep -qi '^content-type' <<<\"\$1\"" _ "$head_text"
check "no User-Agent" bash -c "! grep -qi '^user-agent' <<<\"\$1\"" _ "$head_text"
body=$(python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.stdout.write(d.split(b"\r\n\r\n", 1)[1].hex())' "$req")
check "body in code page 936" test "$body" = "$(printf 'game_id=3&name=星辰' | iconv -t GBK | python3 -c 'import sys; print(sys.stdin.buffer.read().hex())')"
finish

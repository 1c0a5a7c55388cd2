#!/usr/bin/env bash
# The harness's private networks: while a program holds this machine's own
# 127.0.0.1:80, a test still listens on that port in its namespace, its
# WinINet post reaches its own listener, and nothing reaches the outside one.
source "$(dirname "$0")/../e2e/lib.sh"
LISTEN="python3 $QV_SOURCE_DIR/tests/http/listener.py --port 80 --lifetime 100"
new_prefix

$LISTEN --record "$T/outside" --ready "$T/outside.ready" 2>"$T/outside.err" &
outside=$!
trap 'kill $outside 2>/dev/null || true; wait $outside 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 100); do [ -e "$T/outside.ready" ] || ! kill -0 $outside 2>/dev/null && break; sleep 0.05; done
if [ -e "$T/outside.ready" ]; then
  echo "holding this machine's 127.0.0.1:80"
else
  echo "127.0.0.1:80 of this machine is held by another program"
fi

inside=$("$QV_SOURCE_DIR/tools/netns-run.sh" bash -c '
  '"$LISTEN"' --record "$1/inside" --ready "$1/inside.ready" &
  for _ in $(seq 100); do [ -e "$1/inside.ready" ] && break; sleep 0.05; done
  "$2" "$3" 127.0.0.1 micro_stats body </dev/null | tr -d "\r"
  kill %1' netns "$T" "$QV_WINE_RUN" "$QV_BUILD_DIR/qvpost.exe")
echo "post inside: $inside"
check "the test's own listener bound port 80" test -e "$T/inside.ready"
check "the post inside was answered" grep -q 'result=1' <<<"$inside"
check "it reached the test's own listener" test "$(ls "$T/inside" 2>/dev/null | wc -l)" -eq 1
check "nothing reached the machine's port 80" test "$(ls "$T/outside" 2>/dev/null | wc -l)" -eq 0
finish

#!/usr/bin/env bash
# The sample installer under Wine posts to the real statistics server on
# 127.0.0.1:80: one verified report with the right game, version, system
# and identifier is stored; a second installation on the same machine
# gives the machine 2 reports and the day 1 new machine.
source "$(dirname "$0")/lib.sh"
[ -x "${QV_QVSTATS:-}" ] || { echo "needs QV_QVSTATS, the server of the native tree (scripts/test sets it)"; exit 1; }
new_prefix
"$QV_QVSTATS" serve --db "sqlite:$T/stats.db" --listen 127.0.0.1:80 --dashboard 127.0.0.1:8080 >"$T/qvstats.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 200); do (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break; sleep 0.05; done
# What a publisher reads: the export and the dashboard's API, not the tables.
get() { python3 -c 'import sys, urllib.request
print(urllib.request.urlopen("http://127.0.0.1:8080" + sys.argv[1], timeout=10).read().decode())' "$1"; }
export_rows() { get '/export.csv?game=3' | tail -n +2 | grep -c .; }
summary() { get '/api/v1/summary?game=3' | python3 -c 'import json, sys
a = json.load(sys.stdin); print(a["reports"], a["machines"], a["new_machines"])'; }
IFS=$'\t' read -r major minor _ < <(wine_run "$QV_BUILD_DIR/qvver.exe" | tr -d '\r')

check "installer exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "one report stored ($(export_rows))" test "$(export_rows)" = 1
# received_at,game_id,version,guid,client_time,osmajor,osminor,system,...
IFS=, read -r _ game version guid _ os_major os_minor system _ < <(get '/export.csv?game=3' | sed -n 2p | tr -d '\r')
check "game 3, version 1.0.0.0" test "$game/$version" = 3/1.0.0.0
check "the Windows version Wine reports ($major.$minor)" test "$os_major.$os_minor" = "$major.$minor"
check "a machine identifier ending in the install date ($guid)" grep -Eq '^[0-9a-f]{0,12}.*[0-9]{14}$' <<<"$guid"
check "the system description ($system)" grep -q '^"\?Microsoft Windows' <<<"$system"
check "nothing refused" bash -c '! grep -E "^qvstats_requests_refused_total\{.*\} [1-9]" <<<"$1"' _ "$(get /metrics)"

check "second installation exits 0" run_installer "$QV_SAMPLE_INSTALLER"
check "two reports, one machine, new once ($(summary))" test "$(summary)" = "2 1 1"
kill -TERM $server
rc=0; wait $server || rc=$?
check "the server stops on SIGTERM with 0" test $rc -eq 0
finish

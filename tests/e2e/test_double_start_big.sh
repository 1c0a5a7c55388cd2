#!/usr/bin/env bash
# A copy started while another extracts a large archive ends at once and the
# first completes; an update started meanwhile waits for it.
source "$(dirname "$0")/lib.sh"
new_prefix
D=$(install_dir)
starts() { [ -f "$D/starts.log" ] && grep -c '^start' "$D/starts.log" || echo 0; }

# A copy started while the first extracts a large archive.
mkdir -p "$T/big"
head -c $((96 * 1024 * 1024)) /dev/urandom >"$T/big/level.dat"
$MAKE --settings "$SAMPLE/setting.ini" \
  --client "$QV_BUILD_DIR/sample_client.exe" --res "$T/big" --stats-host 127.0.0.1 -o "$T/big.exe" 2>/dev/null
remove_tree "$T/big"
before=$(starts)
"$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 &
first=$!
for _ in $(seq 2000); do [ -e "$D/res.zip" ] && break; sleep 0.01; done
check "the first copy is extracting" test -e "$D/res.zip"
t0=$(date +%s.%N)
rc=0; "$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 || rc=$?
t1=$(date +%s.%N)
still=$(kill -0 $first 2>/dev/null && echo yes || echo no)
check "the second copy exits 0 ($(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }') s)" test $rc -eq 0
check "  while the first is still at work" test "$still" = yes
rc=0; wait $first || rc=$?
check "the first completes" test $rc -eq 0 -a -f "$D/res/level.dat" -a ! -e "$D/res.zip" -a ! -e "$D/temp.exe"
check "  the big file is whole" test "$(stat -c %s "$D/res/level.dat")" -eq $((96 * 1024 * 1024))
n=$(client_starts "$D/starts.log" $((before + 1)) 10)
check "  and the client was started once ($before -> $n)" test "$n" -eq $((before + 1))

# An update started meanwhile is not dropped: it waits for the running
# installation (and the client it starts), then installs, starting nothing.
before=$(starts)
"$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 &
first=$!
for _ in $(seq 2000); do [ -e "$D/res.zip" ] && break; sleep 0.01; done
rc=0; "$QV_WINE_RUN" "$T/big.exe" "-update:$GAME_NAME" </dev/null >/dev/null 2>&1 || rc=$?
first_done=$(kill -0 $first 2>/dev/null && echo no || echo yes)
wait $first || true
check "an update during an installation exits 0, after it" test $rc -eq 0 -a "$first_done" = yes
check "  and installed once more (res.zip gone, the big file whole)" \
  test ! -e "$D/res.zip" -a "$(stat -c %s "$D/res/level.dat")" -eq $((96 * 1024 * 1024))
n=$(client_starts "$D/starts.log" $((before + 1)) 5)
check "  the client was started by the installation only ($before -> $n)" test "$n" -eq $((before + 1))
finish

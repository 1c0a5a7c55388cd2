#!/usr/bin/env bash
# Installers of one game started while another extracts a large archive are
# never dropped: a second copy of the same build waits, installs after it,
# and the client starts once; another build of the game (another client, or
# its name in other letter case) is the one that ends installed and
# started; a copy killed while it waited leaves the client's start to the
# installation before it; an update started meanwhile waits for it.
source "$(dirname "$0")/lib.sh"
new_prefix
D=$(install_dir)
starts() { [ -f "$D/starts.log" ] && grep -c '^start' "$D/starts.log" || echo 0; }
await_extraction() {  # await_extraction FOLDER: until the installation there writes res.zip
  local i
  for i in $(seq 2000); do [ -e "$1/res.zip" ] && return 0; sleep 0.01; done
  return 1
}

mkdir -p "$T/big"
head -c $((96 * 1024 * 1024)) /dev/urandom >"$T/big/level.dat"
$MAKE --settings "$SAMPLE/setting.ini" \
  --client "$QV_BUILD_DIR/sample_client.exe" --res "$T/big" --stats-host 127.0.0.1 -o "$T/big.exe" 2>/dev/null
# Build B: the same game with another client (the sample's, with bytes of
# its own appended, which Windows ignores) and a small archive.
cp "$QV_BUILD_DIR/sample_client.exe" "$T/client-b.exe"
printf 'build B' >>"$T/client-b.exe"
$MAKE --settings "$SAMPLE/setting.ini" --client "$T/client-b.exe" --res "$SAMPLE/res" --stats-host 127.0.0.1 \
  -o "$T/b.exe" 2>/dev/null

# The same build, a second copy started while the first extracts.
before=$(starts)
"$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 &
first=$!
check "the first copy is extracting" await_extraction "$D"
rc=0; "$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 || rc=$?
first_done=$(kill -0 $first 2>/dev/null && echo no || echo yes)
check "the second copy exits 0, after the first" test $rc -eq 0 -a "$first_done" = yes
rc=0; wait $first || rc=$?
check "  the first exits 0 too" test $rc -eq 0
check "  the installation is complete" test -f "$D/res/level.dat" -a ! -e "$D/res.zip" -a ! -e "$D/temp.exe"
check "  the big file is whole" test "$(stat -c %s "$D/res/level.dat")" -eq $((96 * 1024 * 1024))
n=$(client_starts "$D/starts.log" $((before + 1)) 10)
check "  and the client was started once ($before -> $n)" test "$n" -eq $((before + 1))

# Build B started while the first build extracts: B is what ends installed.
before=$(starts)
"$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 &
first=$!
check "build A is extracting" await_extraction "$D"
rc=0; "$QV_WINE_RUN" "$T/b.exe" </dev/null >/dev/null 2>&1 || rc=$?
check "  A exits 0" wait $first
check "build B, started during build A's installation, exits 0" test $rc -eq 0
check "  B's client is the one installed" cmp -s "$T/client-b.exe" "$D/$GAME_NAME.exe"
n=$(client_starts "$D/starts.log" $((before + 1)) 10)
check "  the client was started once ($before -> $n)" test "$n" -eq $((before + 1))

# The game's name in other letter case is the same game (one folder).
settings_named() {  # settings_named OUT NAME
  python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(d.replace("name=星辰物语".encode("gbk"), ("name=" + sys.argv[3]).encode("gbk")))' \
    "$SAMPLE/setting.ini" "$1" "$2"
}
settings_named "$T/case-a.ini" CaseGame
settings_named "$T/case-b.ini" CASEGAME
$MAKE --settings "$T/case-a.ini" --client "$QV_BUILD_DIR/sample_client.exe" --res "$T/big" --stats-host 127.0.0.1 \
  -o "$T/case-a.exe" 2>/dev/null
$MAKE --settings "$T/case-b.ini" --client "$T/client-b.exe" --res "$SAMPLE/res" --stats-host 127.0.0.1 \
  -o "$T/case-b.exe" 2>/dev/null
C=$(appdata)/CaseGame
"$QV_WINE_RUN" "$T/case-a.exe" </dev/null >/dev/null 2>&1 &
first=$!
check "the game under a name in other letter case is extracting" await_extraction "$C"
rc=0; "$QV_WINE_RUN" "$T/case-b.exe" </dev/null >/dev/null 2>&1 || rc=$?
check "  it exits 0" wait $first
client=$(find "$(appdata)" -maxdepth 2 -iname casegame.exe | head -1)
check "a name in other letter case, started meanwhile, exits 0" test $rc -eq 0
check "  its client is the one installed (${client#"$(appdata)/"})" cmp -s "$T/client-b.exe" "$client"
check "  in one folder" test "$(find "$(appdata)" -maxdepth 1 -iname casegame | wc -l)" -eq 1

# A copy that queued to start the client and was killed while it waited
# leaves the start to no one else: the installation before it starts it.
cp "$T/big.exe" "$T/waiter.exe"
before=$(starts)
"$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 &
first=$!
check "another installation is extracting" await_extraction "$D"
pkill -STOP -f "$T/big.exe" || true   # held there until the waiter has queued
"$QV_WINE_RUN" "$T/waiter.exe" </dev/null >/dev/null 2>&1 &
waiter=$!
sleep 3
pkill -KILL -f "$T/waiter.exe" || true
wait $waiter 2>/dev/null || true
pkill -CONT -f "$T/big.exe" || true
check "  it exits 0" wait $first
n=$(client_starts "$D/starts.log" $((before + 1)) 10)
check "  and starts the client, once ($before -> $n)" test "$n" -eq $((before + 1))
remove_tree "$T/big"

# An update started meanwhile is not dropped: it waits for the running
# installation (and the client it starts), then installs, starting nothing.
before=$(starts)
"$QV_WINE_RUN" "$T/big.exe" </dev/null >/dev/null 2>&1 &
first=$!
await_extraction "$D" || true
rc=0; "$QV_WINE_RUN" "$T/big.exe" "-update:$GAME_NAME" </dev/null >/dev/null 2>&1 || rc=$?
first_done=$(kill -0 $first 2>/dev/null && echo no || echo yes)
wait $first || true
check "an update during an installation exits 0, after it" test $rc -eq 0 -a "$first_done" = yes
check "  and installed once more (res.zip gone, the big file whole)" \
  test ! -e "$D/res.zip" -a "$(stat -c %s "$D/res/level.dat")" -eq $((96 * 1024 * 1024))
n=$(client_starts "$D/starts.log" $((before + 1)) 5)
check "  the client was started by the installation only ($before -> $n)" test "$n" -eq $((before + 1))
finish

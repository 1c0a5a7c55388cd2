#!/usr/bin/env bash
# The publisher's installer: its icon is the given one, its version block
# is the game's (read back through the version API under Wine, Chinese name
# included), bad values are refused with a message, and the same inputs
# give the same bytes, built at other times in other folders.
source "$(dirname "$0")/lib.sh"
new_prefix
base=(--settings "$SAMPLE/setting.ini" --client "$CLIENT" --archive "$QV_BUILD_DIR/sample-res.qvz" --stats-host 127.0.0.1)

# An icon of our own: two images, 16 and 32 pixels, 32 bits.
python3 - "$T/game.ico" <<'PY'
import struct, sys
images = []
for size, colour in ((16, b"\x20\x80\xe0\xff"), (32, b"\xe0\x40\x20\xff")):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    images.append(header + colour * size * size + mask)
out = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for (size, _), image in zip(((16, 0), (32, 0)), images):
    out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
    offset += len(image)
open(sys.argv[1], "wb").write(out + b"".join(images))
PY
check "builds with --icon" $MAKE "${base[@]}" --icon "$T/game.ico" -o "$T/icon.exe"
check "the icon group (id 100) is the given icon" python3 - "$T/game.ico" "$T/icon.exe" "$QV_SOURCE_DIR/tests/e2e/pe_resources.py" <<'PY'
import os, struct, sys
sys.path.insert(0, os.path.dirname(sys.argv[3]))
import pe_resources as pe
ico = open(sys.argv[1], "rb").read()
res = {(t, n): blob for t, n, _, blob in pe.resources(open(sys.argv[2], "rb").read())}
group = res[(14, 100)]
count = struct.unpack_from("<H", group, 4)[0]
wanted = struct.unpack_from("<H", ico, 4)[0]
ok = group[:6] == ico[:6] and count == wanted
for i in range(count):
    entry, ico_entry = group[6 + 14 * i:6 + 14 * i + 14], ico[6 + 16 * i:6 + 16 * i + 16]
    size, offset = struct.unpack_from("<II", ico_entry, 8)
    ok = ok and entry[:12] == ico_entry[:12] and res[(3, struct.unpack_from("<H", entry, 12)[0])] == ico[offset:offset + size]
sys.exit(0 if ok else 1)
PY
printf 'not an icon' >"$T/bad.ico"
refuses() {  # refuses WORD ARGS...
  local word=$1; shift
  local rc=0
  $MAKE "$@" >"$T/out" 2>&1 || rc=$?
  [ "$rc" -ne 0 ] && grep -q -- "$word" "$T/out"
}
check "refuses a file that is no icon, saying so" refuses "not an icon file" "${base[@]}" --icon "$T/bad.ico" -o "$T/x.exe"
head -c 30 "$T/game.ico" >"$T/cut.ico"
check "refuses a cut icon file" refuses "icon" "${base[@]}" --icon "$T/cut.ico" -o "$T/x.exe"
check "refuses a description of two lines" refuses "one line" "${base[@]}" --description $'a\nb' -o "$T/x.exe"
check "nothing written by refused calls" test ! -e "$T/x.exe"

# The version block, as a Chinese Windows' Explorer reads it.
info() { wine_run "$QV_BUILD_DIR/qvfileinfo.exe" "$(winpath "$1")" | tr -d '\r'; }
field() { sed -n "s/^$1=//p" <<<"$2"; }
check "builds with a description and a publisher" \
  $MAKE "${base[@]}" --description "星辰物语 安装程序" --publisher "星辰游戏 \"Quorvel\" Ltd." -o "$T/named.exe"
v=$(info "$T/named.exe")
check "ProductName is the game's name ($(field ProductName "$v"))" test "$(field ProductName "$v")" = 星辰物语
check "ProductVersion and FileVersion are [game] version" test "$(field ProductVersion "$v")/$(field FileVersion "$v")" = 1.0.0.0/1.0.0.0
check "FileDescription ($(field FileDescription "$v"))" test "$(field FileDescription "$v")" = "星辰物语 安装程序"
check "CompanyName ($(field CompanyName "$v"))" test "$(field CompanyName "$v")" = "星辰游戏 \"Quorvel\" Ltd."
check "the numeric versions" test "$(field file "$v")/$(field product "$v")" = 1.0.0.0/1.0.0.0
v=$(info "$QV_SAMPLE_INSTALLER")
check "without them: the description is the name, no company" \
  test "$(field FileDescription "$v")" = 星辰物语 -a -z "$(field CompanyName "$v")"
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(d.replace(b"version=1.0.0.0", b"version=2.13 beta 7"))' \
  "$SAMPLE/setting.ini" "$T/beta.ini"
check "a version that is not four numbers builds" $MAKE --settings "$T/beta.ini" --client "$CLIENT" \
  --archive "$QV_BUILD_DIR/sample-res.qvz" --stats-host 127.0.0.1 -o "$T/beta.exe"
v=$(info "$T/beta.exe")
check "  shown as text ($(field ProductVersion "$v"))" test "$(field ProductVersion "$v")" = "2.13 beta 7"
check "  with what can be parsed as numbers ($(field file "$v"))" test "$(field file "$v")" = 2.13.0.0

# Reproducible: the same inputs, copied into two folders at different
# times (so their files' times differ), built from two working folders.
export SOURCE_DATE_EPOCH=1700000000
for n in 1 2; do
  mkdir -p "$T/src$n"
  cp -r "$SAMPLE/res" "$SAMPLE/setting.ini" "$CLIENT" "$T/src$n/"
  (cd "$T/src$n" && $MAKE --settings setting.ini --client sample_client.exe --res res --stats-host 127.0.0.1 \
    --icon "$T/game.ico" -o "$T/src$n/setup.exe" 2>/dev/null)
  sleep 1.1
done
one=$(sha256sum <"$T/src1/setup.exe"); two=$(sha256sum <"$T/src2/setup.exe")
check "two builds of the sample, other times and folders: one SHA-256 (${one%% *})" test "$one" = "$two"
check "--check-reproducible agrees" $MAKE "${base[@]}" -o "$T/checked.exe" --check-reproducible
unset SOURCE_DATE_EPOCH
check "the sample installer's link time stamp is 0" python3 -c 'import struct, sys
d = open(sys.argv[1], "rb").read(); pe = struct.unpack_from("<I", d, 0x3C)[0]
sys.exit(0 if struct.unpack_from("<I", d, pe + 8)[0] == 0 else 1)' "$QV_SAMPLE_INSTALLER"
check "the branded installer installs" run_installer "$T/named.exe"
check "  the client in place" cmp "$CLIENT" "$(install_dir)/$GAME_NAME.exe"
finish

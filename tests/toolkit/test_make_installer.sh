#!/usr/bin/env bash
# The publisher's command, without Wine: builds an installer from any
# folder, with what it was given where a PE reader of its own finds it, and
# refuses missing or unusable input with a message that names the input.
source "$(dirname "$0")/../e2e/lib.sh"
PE_CHECK=$QV_SOURCE_DIR/tests/toolkit/pe_check.py

refuses() {  # refuses WORD ARGS...: non-zero exit and a message naming WORD
  local word=$1; shift
  local rc=0
  $MAKE "$@" >"$T/out" 2>&1 || rc=$?
  [ "$rc" -ne 0 ] && grep -q -- "$word" "$T/out"
}
ok_args=(--settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$SAMPLE/res" --stats-host 127.0.0.1)
check "refuses a missing settings file" refuses "nope.ini" --settings "$T/nope.ini" --client "$CLIENT" --res "$SAMPLE/res" --stats-host h -o "$T/x.exe"
check "refuses a missing client" refuses "nope.exe" --settings "$SAMPLE/setting.ini" --client "$T/nope.exe" --res "$SAMPLE/res" --stats-host h -o "$T/x.exe"
check "refuses a folder as client" refuses "client" --settings "$SAMPLE/setting.ini" --client "$T" --res "$SAMPLE/res" --stats-host h -o "$T/x.exe"
check "refuses a missing resource folder" refuses "nores" --settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$T/nores" --stats-host h -o "$T/x.exe"
check "refuses a missing archive" refuses "none.qvz" --settings "$SAMPLE/setting.ini" --client "$CLIENT" --archive "$T/none.qvz" --stats-host h -o "$T/x.exe"
check "refuses both --res and --archive" refuses "exactly one" "${ok_args[@]}" --archive "$QV_BUILD_DIR/sample-res.qvz" -o "$T/x.exe"
check "refuses a host that is not a name" refuses "host" --settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$SAMPLE/res" --stats-host 'a b"' -o "$T/x.exe"
check "refuses an output folder that does not exist" refuses "folder" "${ok_args[@]}" -o "$T/no/such/x.exe"
check "refuses unknown arguments" refuses "unknown" "${ok_args[@]}" -o "$T/x.exe" --frobnicate
mkdir -p "$T/badres"; : >"$T/badres/CON.txt"
check "refuses a resource folder the installer could not extract" refuses "CON.txt" --settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$T/badres" --stats-host h -o "$T/x.exe"
mkdir -p "$T/caseres"; : >"$T/caseres/A.txt"; : >"$T/caseres/a.txt"
check "refuses names that differ only in letter case" refuses "letter case" --settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$T/caseres" --stats-host h -o "$T/x.exe"

# Settings files as the players' Windows (code page 936) would misread them.
settings_with() {  # settings_with OUT ENCODING NAME: the sample's settings, re-encoded, with that name
  python3 - "$SAMPLE/setting.ini" "$1" "$2" "$3" <<'PY'
import sys
src, out, encoding, name = sys.argv[1:]
text = open(src, "rb").read().decode("gbk")
lines = [("name=" + name) if l.startswith("name=") else l for l in text.split("\r\n")]
text = "\r\n".join(lines)
data = {"utf-8-bom": b"\xef\xbb\xbf" + text.encode("utf-8"), "utf-8": text.encode("utf-8"),
        "utf-16": text.encode("utf-16"), "gbk": text.encode("gbk")}[encoding]
open(out, "wb").write(data)
PY
}
settings_with "$T/bom.ini" utf-8-bom 星辰物语
settings_with "$T/utf16.ini" utf-16 星辰物语
settings_with "$T/utf8.ini" utf-8 星辰物语
settings_with "$T/long.ini" gbk "$(printf '星%.0s' $(seq 80))"
settings_with "$T/fits.ini" gbk "$(printf '星%.0s' $(seq 60))"
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(d.replace("name=".encode() + "星辰物语".encode("gbk"), b"name=\xff\xfe\xfd"))' \
  "$SAMPLE/setting.ini" "$T/bytes.ini"
args() { echo --client "$CLIENT" --res "$SAMPLE/res" --stats-host h -o "$T/x.exe"; }
# shellcheck disable=SC2046
{
check "refuses UTF-8 with a byte-order mark, saying how to save it" refuses "code page 936" --settings "$T/bom.ini" $(args)
check "  (the message names the byte-order mark)" grep -q "byte-order mark" "$T/out"
check "refuses UTF-16" refuses "UTF-16" --settings "$T/utf16.ini" $(args)
check "refuses UTF-8 meant for code page 936" refuses "UTF-8 text" --settings "$T/utf8.ini" $(args)
check "refuses a name too long for the paths it makes, saying the limit" refuses "259" --settings "$T/long.ini" $(args)
check "  (the message says the profile folder it allowed for)" grep -q "40 characters" "$T/out"
check "refuses a name that code page 936 cannot represent" refuses "can represent" --settings "$T/bytes.ini" $(args)
check "refuses a code page that is no number" refuses "code page" --settings "$SAMPLE/setting.ini" $(args) --codepage gbk
check "nothing written by refused calls" test ! -e "$T/x.exe"
check "a name of 60 characters fits" $MAKE --settings "$T/fits.ini" $(args)
check "--unchecked-settings embeds a UTF-8 file all the same" $MAKE --settings "$T/utf8.ini" $(args) --unchecked-settings
check "--help lists --unchecked-settings" bash -c "$MAKE --help | grep -q -- --unchecked-settings"
}

# Archives the installer could not extract: refused as the archive, with
# the reason, whatever --unchecked-settings says.
ARCHIVE=$QV_BUILD_DIR/sample-res.qvz
head -c 30000 "$ARCHIVE" >"$T/cut.qvz"
printf 'QVZ' >"$T/short.qvz"
python3 - "$ARCHIVE" "$T/con.qvz" <<'PY'
import sys
d = bytearray(open(sys.argv[1], "rb").read())
at = d.find("title.png".encode("utf-16-le"))  # an entry's name, in the table
assert at > 0
d[at:at + 18] = "CON.png\0\0".encode("utf-16-le")
open(sys.argv[2], "wb").write(d)
PY
arch() { echo --settings "$SAMPLE/setting.ini" --client "$CLIENT" --stats-host h -o "$T/x.exe" --archive; }
# shellcheck disable=SC2046
{
check "refuses a cut archive as the archive" refuses "archive refused: $T/cut.qvz" $(arch) "$T/cut.qvz"
check "  saying why" grep -q "cut short" "$T/out"
check "  and how to skip the check" grep -q -- "--unchecked-archive" "$T/out"
check "refuses a file that is no archive" refuses "archive refused: .*not an archive" $(arch) "$T/short.qvz"
check "refuses an entry named CON" refuses "archive refused: .*CON.png" $(arch) "$T/con.qvz"
check "--unchecked-settings does not skip it" refuses "archive refused" $(arch) "$T/cut.qvz" --unchecked-settings
check "UTF-8 settings are refused as the settings" refuses "settings refused: $T/utf8.ini: " --settings "$T/utf8.ini" $(args)
check "--unchecked-archive embeds it all the same" $MAKE $(arch) "$T/cut.qvz" --unchecked-archive
check "  byte for byte" "$PE_CHECK" "$T/x.exe" --data 1002="$T/cut.qvz"
check "--help lists --unchecked-archive" bash -c "$MAKE --help | grep -q -- --unchecked-archive"
}
rm -f "$T/x.exe"

# Any folder: nested, non-ASCII and spaced names, an empty folder.
R=$T/game-res
mkdir -p "$R/maps/第一章" "$R/empty dir"
head -c 70000 /dev/urandom >"$R/maps/第一章/level 1.dat"
printf 'hello' >"$R/readme.txt"
mkdir "$T/out dir"
check "builds from a folder, into a relative output path" \
  bash -c "cd '$T' && SOURCE_DATE_EPOCH=1700000000 $MAKE --settings '$SAMPLE/setting.ini' --client '$CLIENT' --res '$R' \
           --stats-host stats.example.com --publisher 星辰游戏 -o 'out dir/custom.exe'"
SOURCE_DATE_EPOCH=1700000000 "$QV_QVPACK" create "$T/custom.qvz" "$R"
check "what it carries, read back with pefile: sections, resources, time stamp, checksum, version block" \
  "$PE_CHECK" "$T/out dir/custom.exe" --time 1700000000 --host stats.example.com \
  --data 1000="$SAMPLE/setting.ini" --data 1001="$CLIENT" --data 1002="$T/custom.qvz" \
  --version ProductName="$GAME_NAME" --version FileDescription="$GAME_NAME" --version CompanyName=星辰游戏 \
  --version FileVersion=1.0.0.0
check "no link time stamp without SOURCE_DATE_EPOCH" "$PE_CHECK" "$QV_SAMPLE_INSTALLER" --time 0
check "its work folder is gone: the output folder holds the installer alone" \
  test "$(ls -A "$T/out dir")" = custom.exe
check "refused calls leave nothing beside the output either" test -z "$(ls -A "$T" | grep '^\.make-installer')"
check "refuses a publisher that is not UTF-8 text" refuses "UTF-8" "${ok_args[@]}" -o "$T/y.exe" --publisher "$(printf 'a\xffb')"
SOURCE_DATE_EPOCH=4294967296 check "refuses a SOURCE_DATE_EPOCH past what a time stamp holds" \
  refuses "2106" "${ok_args[@]}" -o "$T/y.exe"
finish

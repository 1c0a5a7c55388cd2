#!/usr/bin/env bash
# The publisher's command: builds an installer from any folder, carries the
# statistics host, and refuses missing or unusable input with a message.
source "$(dirname "$0")/lib.sh"

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

# Any folder: nested, non-ASCII and spaced names, an empty folder.
R=$T/game-res
mkdir -p "$R/maps/第一章" "$R/empty dir"
head -c 70000 /dev/urandom >"$R/maps/第一章/level 1.dat"
printf 'hello' >"$R/readme.txt"
check "builds from a folder" $MAKE --settings "$SAMPLE/setting.ini" --client "$CLIENT" --res "$R" --stats-host stats.example.com -o "$T/custom.exe"
cp "$T/custom.exe" "$T/restamped.exe"
python3 "$QV_SOURCE_DIR/tools/pe-stamp.py" "$T/restamped.exe" 0
check "its PE checksum is right (recomputing it changes nothing)" cmp -s "$T/custom.exe" "$T/restamped.exe"
check "refuses a publisher that is not UTF-8 text" refuses "UTF-8" "${ok_args[@]}" -o "$T/y.exe" --publisher "$(printf 'a\xffb')"
check "the host is carried in the installer" python3 -c 'import sys; sys.exit(0 if "stats.example.com".encode("utf-16-le") in open(sys.argv[1], "rb").read() else 1)' "$T/custom.exe"
new_prefix
check "the installer runs" run_installer "$T/custom.exe"
D=$(install_dir)
check "the folder is installed as it was" diff -r "$R" "$D/res"
check "the empty folder is there" test -d "$D/res/empty dir"
finish

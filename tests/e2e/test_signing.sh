#!/usr/bin/env bash
# Authenticode signing with a certificate made here: a throwaway CA and a
# code-signing certificate in a PKCS#12 file. osslsigncode accepts the
# signed installer against that CA, the signed installer installs exactly
# as the unsigned one, and a wrong password is refused with a message.
source "$(dirname "$0")/lib.sh"
new_prefix
P=$T/pki
mkdir -p "$P"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$P/ca.key" -out "$P/ca.pem" -days 2 -subj "/CN=Quorvel Test CA" \
  -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$P/cs.key" -out "$P/cs.csr" -subj "/CN=Quorvel Test Publisher" 2>/dev/null
printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$P/cs.ext"
openssl x509 -req -in "$P/cs.csr" -CA "$P/ca.pem" -CAkey "$P/ca.key" -CAcreateserial -days 2 -extfile "$P/cs.ext" \
  -out "$P/cs.pem" 2>/dev/null
printf 'correct horse\n' >"$P/password"
openssl pkcs12 -export -inkey "$P/cs.key" -in "$P/cs.pem" -certfile "$P/ca.pem" -passout "pass:correct horse" \
  -out "$P/cs.p12" 2>/dev/null
check "a PKCS#12 file with a code-signing certificate" test -s "$P/cs.p12"

base=(--settings "$SAMPLE/setting.ini" --client "$CLIENT" --archive "$QV_BUILD_DIR/sample-res.qvz" --stats-host 127.0.0.1)
check "builds and signs" $MAKE "${base[@]}" --sign-pkcs12 "$P/cs.p12" --sign-password-file "$P/password" -o "$T/signed.exe"
check "osslsigncode verifies it against the CA" \
  bash -c 'osslsigncode verify -CAfile "$1" -in "$2" >"$3" 2>&1' _ "$P/ca.pem" "$T/signed.exe" "$T/verify.log"
grep -q 'Signature verification: ok' "$T/verify.log" || sed 's/^/    /' "$T/verify.log" | tail -5
check "  with SHA-256" grep -qi 'sha256' "$T/verify.log"

# The signed installer installs exactly as the unsigned one.
check "the signed installer exits 0" run_installer "$T/signed.exe"
D=$(install_dir)
tree_stat "$D/res" >"$T/installed.stat"
archive_stat "$QV_BUILD_DIR/sample-res.qvz" >"$T/archive.stat"
check "res carries the archive's sizes, attributes and times" diff "$T/archive.stat" "$T/installed.stat"
check "setting.ini is the embedded settings file" cmp "$SAMPLE/setting.ini" "$D/setting.ini"
check "client has its final name" cmp "$CLIENT" "$D/$GAME_NAME.exe"
check "no temp.exe or res.zip left" test ! -e "$D/temp.exe" -a ! -e "$D/res.zip"
n=$(client_starts "$D/starts.log" 1)
check "client started once (got $n)" test "$n" -eq 1
count=$(find "$PREFIX/drive_c/users" -name '*.lnk' | wc -l)
check "three shortcuts ($count)" test "$count" -eq 3

printf 'wrong\n' >"$P/wrong"
rc=0; $MAKE "${base[@]}" --sign-pkcs12 "$P/cs.p12" --sign-password-file "$P/wrong" -o "$T/x.exe" >"$T/out" 2>&1 || rc=$?
check "a wrong password is refused ($(tail -1 "$T/out"))" test $rc -ne 0 -a ! -e "$T/x.exe"
check "  with a message that says what is wrong" grep -qi 'password' "$T/out"
rc=0; $MAKE "${base[@]}" --sign-password-file "$P/password" -o "$T/x.exe" >"$T/out" 2>&1 || rc=$?
check "a password file without a PKCS#12 file is refused" test $rc -ne 0 -a ! -e "$T/x.exe"
finish

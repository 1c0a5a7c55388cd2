#!/usr/bin/env bash
# A 1 GiB payload, built reproducibly twice, from copies in two folders at
# different times: the same bytes, the right checksum, the payload where a
# reader of its own finds it, and a build that never holds it in memory.
source "$(dirname "$0")/../e2e/lib.sh"
PE_CHECK=$QV_SOURCE_DIR/tests/toolkit/pe_check.py
export SOURCE_DATE_EPOCH=1700000000

# Random at both ends, a hole between: quick to make, read in whole all the same.
mkdir -p "$T/res/data"
big=$T/res/data/big.bin
head -c $((8 << 20)) /dev/urandom >"$big"
truncate -s $(((1024 - 8) << 20)) "$big"
head -c $((8 << 20)) /dev/urandom >>"$big"

# The peak resident size in KiB of a command and all it waited for.
peak() {
  python3 -c 'import os, subprocess, sys
p = subprocess.Popen(sys.argv[2:])
_, status, usage = os.wait4(p.pid, 0)
open(sys.argv[1], "w").write("%d\n" % usage.ru_maxrss)
sys.exit(os.waitstatus_to_exitcode(status))' "$@"
}
for n in 1 2; do
  mkdir "$T/src$n"
  cp -r --sparse=always "$T/res" "$SAMPLE/setting.ini" "$CLIENT" "$T/src$n/"
  started=$(date +%s.%N)
  check "build $n" bash -c "cd '$T/src$n' && $(declare -f peak); peak '$T/peak$n' $MAKE --settings setting.ini \
    --client sample_client.exe --res res --stats-host 127.0.0.1 -o setup.exe"
  echo "build $n: $(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s, peak $(($(cat "$T/peak$n") / 1024)) MiB"
  check "  its peak memory is under 100 MB" test "$(cat "$T/peak$n")" -lt $((100 * 1000 * 1000 / 1024))
  rm -rf "$T/src$n/res"
  sleep 1.1
done
check "the two builds are the same bytes" cmp "$T/src1/setup.exe" "$T/src2/setup.exe"
check "read back: time stamp, checksum (osslsigncode), sections, settings and client in place" \
  "$PE_CHECK" "$T/src1/setup.exe" --time "$SOURCE_DATE_EPOCH" --checksum osslsigncode \
  --data 1000="$SAMPLE/setting.ini" --data 1001="$CLIENT" --version ProductName="$GAME_NAME"
finish

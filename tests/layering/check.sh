#!/usr/bin/env bash
# check.sh CMAKE BUILD_DIR TARGET:PASS|FAIL:DESCRIPTION...
# Builds each probe: a floor that includes a header of a floor above must
# fail to compile, and the top floor must see every floor below it.
set -uo pipefail
cmake=$1 build=$2; shift 2
failures=0
for probe in "$@"; do
  target=${probe%%:*}; rest=${probe#*:}; expect=${rest%%:*}; what=${rest#*:}
  header=${what##* }
  log=$build/layer-probe.log
  if "$cmake" --build "$build" --target "$target" >"$log" 2>&1; then
    got=PASS
  elif grep -q "$header: No such file" "$log"; then
    got=FAIL   # refused for the reason under test, not another error
  else
    got=ERROR
  fi
  if [ "$got" = "$expect" ]; then
    echo "ok: $what: $( [ "$got" = PASS ] && echo builds || echo 'does not build' )"
  else
    echo "FAIL: $what: expected $expect, got $got"; tail -5 "$log" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]

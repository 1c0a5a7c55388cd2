#!/usr/bin/env bash
# cmake/LinkerScript.cmake against ld defaults of other shapes than today's:
# each change it cannot follow stops the configuration with a message, and
# today's default gives the script the installer is linked with, which
# refuses links its changes would break.
#   test_linker_script.sh SOURCE_DIR LD CXX
set -uo pipefail
src=$1 real_ld=$2 cxx=$3
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
failed=0
check() {  # check LABEL COMMAND...
  local label=$1; shift
  if "$@"; then echo "ok    $label"; else echo "FAIL  $label"; failed=$((failed + 1)); fi
}

# An ld whose --verbose is the real one's, edited by the sed program in $EDIT.
cat >"$T/ld" <<EOF
#!/bin/sh
"$real_ld" "\$@" | sed -e "\$EDIT"
EOF
chmod +x "$T/ld"
cat >"$T/make.cmake" <<EOF
cmake_minimum_required(VERSION 3.20)
include("$src/cmake/LinkerScript.cmake")
qv_installer_linker_script("\${OUT}")
EOF
make_script() {  # make_script SED-PROGRAM: configure output in $T/log, the script in $T/out.ld
  rm -f "$T/out.ld"
  EDIT=$1 cmake -DQV_LD="$T/ld" -DOUT="$T/out.ld" -P "$T/make.cmake" >"$T/log" 2>&1
}
refused() {  # refused SED-PROGRAM WORD: configuring fails, names WORD, writes nothing
  ! make_script "$1" && grep -q -- "$2" "$T/log" && [ ! -e "$T/out.ld" ]
}

section() {  # the body of output section $1 of the made script
  awk -v head="  $1 " 'index($0, head) == 1 { on = 1; next } on && /^  }/ { exit } on' "$T/out.ld"
}
in_order() {  # in_order SECTION PATTERN...: the section has lines matching each, in this order
  local body line last=0 pattern
  body=$(section "$1")
  for pattern in "${@:2}"; do
    line=$(grep -n -m1 -E -- "$pattern" <<<"$body" | cut -d: -f1)
    [ -n "$line" ] && [ "$line" -gt "$last" ] || return 1
    last=$line
  done
}
no_sections_of_their_own() { ! grep -qE '^  \.(data|tls) BLOCK' "$T/out.ld"; }

check "today's default is taken" make_script ''
check "  .data and .tls have no sections of their own" no_sections_of_their_own
check "  .idata opens with the import descriptors, then the data, then the TLS template" \
  in_order .idata 'idata\$2' '__data_start__ =' '___tls_start__ =' 'ASSERT'
check "  .rdata keeps crtbegin's and crtend's frames, .CRT after them" in_order .rdata 'crtbegin\.o' 'crtend\.o' 'CRT\$XC'
check "  the other frames are discarded" in_order /DISCARD/ 'eh_frame'

# Links with today's script, of a program that needs nothing it changes,
# and of programs that need what it drops or moves.
links() {  # links SOURCE [WORD]: links, or with WORD fails naming it
  printf '%s\n' "$1" >"$T/p.cpp"
  if "$cxx" -static -Os -Wl,--file-alignment,4096 -Wl,-T,"$T/out.ld" "$T/p.cpp" -o "$T/p.exe" >"$T/link" 2>&1; then
    [ -z "${2:-}" ]
  else
    [ -n "${2:-}" ] && grep -q -- "$2" "$T/link"
  fi
}
make_script ''
check "a program links with it" links 'int main() { return 0; }'
check "  but not with an unwinder: its frames are dropped" \
  links 'int main(int n, char**) { try { if (n > 5) throw n; } catch (int) { return 1; } return 0; }' unwinder
check "  nor with thread-local data in .tls, which no longer starts its section" \
  links '__attribute__((section(".tls$B"))) int x = 1; int main() { return 0; }' thread-local

check "refuses an ld that prints no default" refused 's/^=\{50\}$//' "no default linker script"
check "refuses a default without .tls" refused 's/^  \.tls BLOCK/  .tlsdata BLOCK/' "'.tls'"
check "refuses a default whose .idata opens with something else" \
  refused 's/^    KEEP (SORT(\*)(\.idata\$2))/    KEEP (*(.idata$1))\n&/' "import"
check "refuses a default whose .eh_frame takes other sections" \
  refused 's/KEEP(\*(\.eh_frame\*))/KEEP(*(.eh_frame))/' ".eh_frame"
check "refuses a default without /DISCARD/" refused 's|^  /DISCARD/ :|  /DROP/ :|' "/DISCARD/"

echo "$failed failed"
[ "$failed" -eq 0 ]

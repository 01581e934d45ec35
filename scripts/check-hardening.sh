#!/usr/bin/env bash
# Checks that programs carry Debian's hardening: position independent, stack
# protector, fortified functions, read-only relocations bound at start
# (RELRO + BIND_NOW), and control-flow protection: main, which the C library
# calls indirectly, starts with ENDBR64. (Debian 12's C start files carry no
# IBT/SHSTK property, so no program linked with them does either, and
# hardening-check then calls control-flow integrity missing.) Reads the ELF
# files only (binutils); with devscripts' hardening-check installed, its
# verdict on the rest must agree. Works on stripped programs too.
#
#   scripts/check-hardening.sh PROGRAM...
#
# Run by CTest for builds with PINGSWEEP_HARDENING (not sanitizer builds).
set -euo pipefail

failures=0
fail() { echo "FAIL: $1: $2" >&2; failures=$((failures + 1)); }

for program in "$@"; do
  name=$(basename "$program")
  header=$(readelf -h "$program")
  dynamic=$(readelf -d "$program")
  segments=$(readelf -lW "$program")
  imports=$(readelf --dyn-syms -W "$program" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')

  grep -q 'Type: *DYN' <<<"$header" && grep -q 'FLAGS_1.*PIE' <<<"$dynamic" ||
    fail "$name" "not a position independent executable"
  grep -qx '__stack_chk_fail' <<<"$imports" || fail "$name" "no stack protector (__stack_chk_fail)"
  grep -qE '^__[a-z_]+_chk$' <<<"$(grep -vx '__stack_chk_fail' <<<"$imports")" ||
    fail "$name" "no fortified function (__*_chk)"
  grep -q 'GNU_RELRO' <<<"$segments" || fail "$name" "no RELRO segment"
  grep -qE 'BIND_NOW|FLAGS_1.* NOW' <<<"$dynamic" || fail "$name" "not bound at start (BIND_NOW)"
  # _start hands main's address to __libc_start_main in %rdi.
  entry=$(awk '/Entry point address/ { print $4 }' <<<"$header")
  main=$(objdump -d --no-show-raw-insn --start-address="$entry" --stop-address=$((entry + 64)) "$program" |
    sed -nE 's/.*lea .*,%rdi *# *([0-9a-f]+).*/\1/p' | sed -n 1p)
  [ -n "$main" ] && grep -q endbr64 <<<"$(objdump -d --no-show-raw-insn --start-address=$((0x$main)) \
    --stop-address=$((0x$main + 4)) "$program")" ||
    fail "$name" "no control-flow protection (main does not start with ENDBR64)"

  if command -v hardening-check >/dev/null; then
    # It fails only on what it finds missing; stack clash protection shows
    # only in functions with large frames, so it may call that unknown.
    # Control-flow integrity: see above.
    out=$(hardening-check --quiet --nocfprotection "$program" 2>&1) || fail "$name" "hardening-check: $out"
  fi
done

[ "$failures" -eq 0 ] || exit 1
echo "hardened: $*"

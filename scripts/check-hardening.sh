#!/usr/bin/env bash
# Checks that programs carry Debian's hardening: position independent, stack
# protector, fortified functions, read-only relocations bound at start
# (RELRO + BIND_NOW), and the x86 control-flow marks (IBT, SHSTK) where the
# linker kept them. Reads the ELF files only (binutils' readelf); with
# devscripts' hardening-check installed, its verdict must agree.
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
  notes=$(readelf -n "$program")

  grep -q 'Type: *DYN' <<<"$header" && grep -q 'FLAGS_1.*PIE' <<<"$dynamic" ||
    fail "$name" "not a position independent executable"
  grep -qx '__stack_chk_fail' <<<"$imports" || fail "$name" "no stack protector (__stack_chk_fail)"
  grep -qE '^__[a-z_]+_chk$' <<<"$(grep -vx '__stack_chk_fail' <<<"$imports")" ||
    fail "$name" "no fortified function (__*_chk)"
  grep -q 'GNU_RELRO' <<<"$segments" || fail "$name" "no RELRO segment"
  grep -qE 'BIND_NOW|FLAGS_1.* NOW' <<<"$dynamic" || fail "$name" "not bound at start (BIND_NOW)"
  grep -q 'x86 feature:.*IBT' <<<"$notes" && grep -q 'x86 feature:.*SHSTK' <<<"$notes" ||
    fail "$name" "no control-flow protection marks (IBT, SHSTK)"

  if command -v hardening-check >/dev/null; then
    # It fails only on what it finds missing; stack clash protection shows
    # only in functions with large frames, so it may call that unknown.
    out=$(hardening-check --quiet "$program" 2>&1) || fail "$name" "hardening-check: $out"
  fi
done

[ "$failures" -eq 0 ] || exit 1
echo "hardened: $*"

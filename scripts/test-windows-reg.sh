#!/usr/bin/env bash
# pingsweep-reg.exe under Wine, over Wine's registry (the throw-away prefix
# of ./test.sh windows): every verb, its exit status and output, .reg export
# and import, and an import that fails part way leaving the registry as it
# was (the undo log: the Windows registry has no transaction here).
#   scripts/test-windows-reg.sh PINGSWEEP-REG.exe
set -euo pipefail
[ -n "${WINEPREFIX:-}" ] || { echo "test-windows-reg: run by ./test.sh windows"; exit 0; }
reg=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/pingsweep-reg.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "test-windows-reg: FAIL: $*" >&2; failures=$((failures + 1)); }
ok='The operation completed successfully.'
key='HKCU\Software\PingSweepTest'

# step STATUS ARGS INPUT OUT ERR: runs the program with ARGS (shell words)
# and INPUT on standard input; its exit status must be STATUS, its standard
# output OUT exactly (line ends as the console writes them, \r\n, taken as
# \n) and its standard error must hold ERR (be empty when ERR is).
step() {
  local want=$1 args=$2 input=$3 out=$4 err=$5 status=0
  eval "set -- $args"
  printf '%s' "$input" >stdin
  "$here/wine-run.sh" "$reg" "$@" <stdin >stdout 2>stderr || status=$?
  local got
  got=$(tr -d '\r' <stdout; echo x)
  got=${got%x}
  [ "$status" = "$want" ] || fail "$args: exit $status, not $want ($(cat stderr))"
  [ "$got" = "$out" ] || fail "$args: printed [$got], not [$out]"
  if [ -z "$err" ]; then
    [ ! -s stderr ] || fail "$args: wrote [$(cat stderr)] to standard error"
  else
    grep -qF -- "$err" stderr || fail "$args: no '$err' in [$(cat stderr)]"
  fi
}

nl=$'\n'
step 0 "add '$key' /v Name /d first" "" "$ok$nl" ""
step 1 "add '$key' /v name /d other" "" "Value name exists, overwrite(Yes/No)? $nl" \
  "ERROR: The operation was cancelled"
step 0 "add '$key' /v Name /d changed" "yes$nl" \
  "Value Name exists, overwrite(Yes/No)? $ok$nl" ""
step 0 "add '$key' /v D /t reg_dword /d 0x10 /f" "" "$ok$nl" ""
step 0 "add '$key' -v Q -t REG_QWORD -d 18446744073709551615" "" "$ok$nl" ""
step 0 "add '$key' /v M /t REG_MULTI_SZ /d 'a\\0b'" "" "$ok$nl" ""
step 0 "add '$key' /v B /t REG_BINARY /d 00ff" "" "$ok$nl" ""
step 0 "add '$key\\Sub'" "" "$ok$nl" ""
step 1 "add '$key' /v D /t REG_DWORD /d 4294967296 /f" "" "" "numeric value"
# Wine keeps a key's values sorted by name (Windows and the Linux store list
# them as they were made).
step 0 "query '$key'" "" "${nl}HKEY_CURRENT_USER\\Software\\PingSweepTest
    B    REG_BINARY    00FF
    D    REG_DWORD    0x10
    M    REG_MULTI_SZ    a\\0b
    Name    REG_SZ    changed
    Q    REG_QWORD    0xffffffffffffffff
${nl}HKEY_CURRENT_USER\\Software\\PingSweepTest\\Sub$nl" ""
step 0 "query '$key' /v d" "" "${nl}HKEY_CURRENT_USER\\Software\\PingSweepTest
    D    REG_DWORD    0x10$nl$nl" ""
step 1 "query '$key\\Nowhere'" "" "" "ERROR: The system was unable to find"
step 0 "export '$key' t.reg" "" "$ok$nl" ""
head -c 2 t.reg | od -An -tx1 | grep -q 'ff fe' || fail "export: not UTF-16LE with its mark"
step 1 "export '$key' t.reg" "" "File t.reg already exists. Overwrite (Yes/No)? $nl" "cancelled"
step 0 "delete '$key' /v Name /f" "" "$ok$nl" ""
step 1 "delete '$key' /v Name /f" "" "" "unable to find"
step 0 "delete '$key' /f" "" "$ok$nl" ""
step 0 "import t.reg" "" "$ok$nl" ""
step 0 "query '$key' /s /v q" "" "${nl}HKEY_CURRENT_USER\\Software\\PingSweepTest
    Q    REG_QWORD    0xffffffffffffffff
${nl}End of search: 1 match(es) found.$nl" ""
step 1 "import missing.reg" "" "" "ERROR: Cannot open missing.reg"
step 1 "delete HKCU /f" "" "" "root key cannot be deleted"

# All or nothing: the first sections apply (a value changed, a key made, a
# key deleted), then a bad value stops the import: every change is undone.
step 0 "add '$key\\Gone' /v g /d kept" "" "$ok$nl" ""
printf '%s\r\n' 'REGEDIT4' '' '[HKEY_CURRENT_USER\Software\PingSweepTest]' '"D"=dword:00000099' \
  '' '[HKEY_CURRENT_USER\Software\PingSweepTest\Made]' '"m"="1"' '' \
  '[-HKEY_CURRENT_USER\Software\PingSweepTest\Gone]' '' \
  '[HKEY_CURRENT_USER\Software\PingSweepTest\Late]' '"x"=dword:nothex' >bad.reg
step 1 "import bad.reg" "" "" "ERROR: bad.reg: line 12"
step 0 "query '$key' /v D" "" "${nl}HKEY_CURRENT_USER\\Software\\PingSweepTest
    D    REG_DWORD    0x10$nl$nl" ""
step 1 "query '$key\\Made'" "" "" "unable to find"
step 1 "query '$key\\Late'" "" "" "unable to find"
step 0 "query '$key\\Gone' /v g" "" "${nl}HKEY_CURRENT_USER\\Software\\PingSweepTest\\Gone
    g    REG_SZ    kept$nl$nl" ""
step 0 "delete '$key' /f" "" "$ok$nl" ""

[ "$failures" = 0 ] || exit 1
echo "test-windows-reg: every step as expected"

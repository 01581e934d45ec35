#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine: the emulator CMake puts in
# front of every Windows test (CMAKE_CROSSCOMPILING_EMULATOR).
#   scripts/wine-run.sh PROGRAM.exe [ARG]...
# Uses $WINEPREFIX when set (./test.sh windows makes one throw-away prefix for
# the whole run); otherwise makes one for this run alone and removes it after.
# Wine's own chatter is off, and it offers to install neither Mono nor Gecko.
set -euo pipefail
wine=$(command -v wine64 || command -v wine || true)
for candidate in /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64; do
  [ -n "$wine" ] && break
  [ -x "$candidate" ] && wine=$candidate
done
[ -n "$wine" ] || { echo "wine-run: wine64 is not installed (apt-get install wine64)" >&2; exit 127; }
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$(mktemp -d /tmp/pingsweep-wine.XXXXXX)
  export WINEPREFIX
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
fi
# Wine keeps the exit status of the program; signals and a missing program
# give its own codes.
status=0
"$wine" "$@" || status=$?
exit "$status"

#!/usr/bin/env bash
# Builds PingSweep and runs its whole test suite: ./test.sh [default|sanitize|windows]
# "windows" cross-builds the Windows programs with mingw-w64 and runs their
# tests under Wine, in a private network namespace (needs root).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh

preset=${1:-default}
if [ "$preset" = windows ]; then
  pingsweep_ensure_packages windows || exit 1
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$(nproc)"
  exec scripts/test-windows.sh -j "$(nproc)"
fi
pingsweep_ensure_packages runtime test || exit 1

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"

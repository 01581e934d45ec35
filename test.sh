#!/usr/bin/env bash
# Builds PingSweep and runs its whole test suite: ./test.sh [default|sanitize]
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
pingsweep_ensure_packages runtime test || exit 1

preset=${1:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"

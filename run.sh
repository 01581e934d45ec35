#!/usr/bin/env bash
# Builds PingSweep when needed and opens its window.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
pingsweep_ensure_packages runtime || exit 1

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "PingSweep opens a window, and this session has no display (DISPLAY is not set)." >&2
  echo "Run it from a desktop session, or under a virtual display: xvfb-run -a ./run.sh" >&2
  exit 2
fi
if [ -n "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && ! timeout 5 xdpyinfo >/dev/null 2>&1; then
  echo "PingSweep cannot reach the display '$DISPLAY'. Check that the X server runs and that you may use it," >&2
  echo "or run under a virtual display: xvfb-run -a ./run.sh" >&2
  exit 2
fi

# Its own build folder without the tests: the runtime packages are all it takes.
cmake --preset run >/dev/null
cmake --build --preset run -j "$(nproc)" --target pingsweep
exec build/run/app/pingsweep "$@"

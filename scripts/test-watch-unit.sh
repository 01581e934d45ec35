#!/usr/bin/env bash
# Checks the watch's system service: the sandbox the README promises, and
# systemd-analyze verify on an instance (its program the one just built).
# Starts nothing. Exit 77 (skipped) without systemd-analyze.
#
#   scripts/test-watch-unit.sh UNIT-FILE PINGSWEEP-CLI
set -euo pipefail
unit=$1 program=$(realpath "$2")
fail() { echo "FAIL: $*" >&2; exit 1; }

for line in 'NoNewPrivileges=yes' 'CapabilityBoundingSet=CAP_NET_RAW' \
  'AmbientCapabilities=CAP_NET_RAW' 'ProtectSystem=strict' 'StateDirectory=pingsweep' \
  'StandardOutput=journal' 'SuccessExitStatus=130'; do
  grep -qxF "$line" "$unit" || fail "$unit lacks $line"
done
grep -qE '^ExecStart=/usr/bin/pingsweep-cli --watch --machine-inventory --interface=%I$' "$unit" ||
  fail "$unit: not the watch of its instance's interface"
! grep -rqs 'pingsweep-watch' "$(dirname "$0")/../packaging/" ||
  fail "a maintainer script touches the watch service: it ships disabled"

command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# The manual page is not installed where the tests run.
sed -e "s|/usr/bin/pingsweep-cli|$program|" -e '/^Documentation=/d' "$unit" \
  >"$dir/pingsweep-watch@.service"
out=$(cd "$dir" && systemd-analyze verify "pingsweep-watch@eth0.service" 2>&1) || fail "$out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
echo "ok"

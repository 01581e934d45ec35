#!/usr/bin/env bash
# Runs the Windows build's tests (build/windows) under Wine:
#   scripts/test-windows.sh [CTEST-ARG]...
# Everything runs inside a private network namespace made here (as root:
# Windows programs that send may send nowhere else), with loopback up, a few
# silent loopback hosts (127.0.0.{0,3,4,100,200,253}) and a silent subnet
# (10.99.0.0/24 on loopback: what arrives for any address of it but .1 is
# dropped), names for some loopback hosts in a private /etc/hosts,
# in a throw-away Wine prefix and, for the window, a private X display (Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "test-windows: needs root, for the private network namespace" >&2
  exit 1
fi
if [ -z "${PINGSWEEP_IN_NAMESPACE:-}" ]; then
  exec env PINGSWEEP_IN_NAMESPACE=1 unshare --net --mount "$0" "$@"
fi

ip link set lo up
ip addr add 10.99.0.1/24 dev lo
nft -f - <<'RULES'
table ip silent {
  chain in {
    type filter hook input priority 0;
    ip daddr != 10.99.0.1 ip daddr 10.99.0.0/24 drop
    ip daddr { 127.0.0.0, 127.0.0.3, 127.0.0.4, 127.0.0.100, 127.0.0.200, 127.0.0.253 } icmp type echo-request drop
  }
}
RULES
hosts=$(mktemp /tmp/pingsweep-hosts.XXXXXX)
printf '%s\n' "127.0.0.1 localhost" "127.0.0.2 alpha.test alpha" "127.0.0.9 bravo.test" \
  "127.0.0.77 charlie.test" "127.0.0.78 café.test" "127.0.0.200 silent-but-named.test" \
  "127.0.0.254 last.test" >"$hosts"
mount --bind "$hosts" /etc/hosts
export PINGSWEEP_SILENT_HOST=10.99.0.2

WINEPREFIX=$(mktemp -d /tmp/pingsweep-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$WINEPREFIX" "$hosts"
}
trap cleanup EXIT

# A display of our own: its socket lives in this namespace alone.
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display

start=$(date +%s)
# One Wine session for the whole run: without -p the server, and the system
# processes wineboot starts, end with each test program, and the next one
# boots them all again (seconds each).
wineserver -p
wineboot --init >/dev/null 2>&1
echo "test-windows: Wine prefix ready in $(( $(date +%s) - start )) s" >&2
ctest --preset windows "$@"

#!/usr/bin/env bash
# The window's echo request on the wire, sent by the Windows build under Wine:
# one request to 127.0.0.1 carrying the 37-byte text with TTL 255 (IP length
# 20 + 8 + 37 = 65), as on Linux. Run by ctest inside test-windows.sh's
# namespace:  scripts/check-windows-wire.sh PROGRAM.exe [ARG]...
set -euo pipefail
[ -n "${PINGSWEEP_IN_NAMESPACE:-}" ] || { echo "check-windows-wire: run by ./test.sh windows"; exit 0; }
capture=$(mktemp /tmp/pingsweep-wire.XXXXXX)
trap 'rm -f "$capture"' EXIT
tcpdump -i lo -n -U -c 1 -w "$capture" 'icmp[icmptype] == icmp-echo and dst host 127.0.0.1' \
  >/dev/null 2>&1 &
dump=$!
sleep 1
"$(dirname "$0")/wine-run.sh" "$@" >/dev/null
wait "$dump"
text=$(tcpdump -r "$capture" -n -v -A 2>/dev/null)
echo "$text"
grep -q 'ttl 255' <<<"$text" || { echo "check-windows-wire: TTL is not 255"; exit 1; }
grep -q 'length 65)' <<<"$text" || { echo "check-windows-wire: not 65 bytes of IP"; exit 1; }
grep -q 'tos 0x0,' <<<"$text" || { echo "check-windows-wire: TOS is not 0"; exit 1; }
grep -q 'Ping from KORVEL Datatronics software' <<<"$text" ||
  { echo "check-windows-wire: not the 37-byte text"; exit 1; }
echo "check-windows-wire: as on Linux"

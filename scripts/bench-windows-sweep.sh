#!/usr/bin/env bash
# The time of a silent /24 sweep (--timeout 10, no names) by the Linux build,
# by the Windows build under Wine with a raw ICMP socket (as root), and by the
# Windows build through the system's echo service (IcmpSendEcho2: Wine's
# server started without CAP_NET_RAW, so its raw socket is refused). Medians of RUNS runs of
# the whole process, Wine's start-up included, and the sweep's own figure;
# for Wine, also the start-up alone (--version). Each Wine prefix keeps one
# session (wineserver -p), as Windows keeps its system running: without it
# every run boots Wine's system processes again (wineboot), which costs
# several times the sweep.
#   scripts/bench-windows-sweep.sh [RUNS]      (root; after both builds)
# Everything runs in a private network namespace made here: 10.99.0.0/24 sits
# on its loopback and every address of it but .1 drops what arrives.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
[ "$(id -u)" -eq 0 ] || { echo "bench-windows-sweep: needs root" >&2; exit 1; }
if [ -z "${PINGSWEEP_IN_NAMESPACE:-}" ]; then
  exec env PINGSWEEP_IN_NAMESPACE=1 unshare --net "$0" "$@"
fi
ip link set lo up
ip addr add 10.99.0.1/24 dev lo
nft -f - <<'RULES'
table ip silent {
  chain in {
    type filter hook input priority 0;
    ip daddr != 10.99.0.1 ip daddr 10.99.0.0/24 drop
  }
}
RULES
# Wine's echo service uses ICMP datagram sockets when it may not open raw ones.
sysctl -qw net.ipv4.ping_group_range="0 2147483647"

linux=build/default/cli/pingsweep-cli
windows=build/windows/cli/pingsweep-cli.exe
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
prefixes=()
trap 'for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null || true; rm -rf "$p"; done' EXIT

# new_prefix [WRAPPER...]: a booted Wine prefix whose wineserver (which opens
# the sockets) runs under WRAPPER; prints its path (run in a subshell: the
# caller records it for removal).
new_prefix() {
  local p
  p=$(mktemp -d /tmp/pingsweep-bench-wine.XXXXXX)
  WINEPREFIX=$p "$@" wineserver -p
  WINEPREFIX=$p "$@" wineboot --init >/dev/null 2>&1
  echo "$p"
}

# measure NAME COMMAND...: RUNS runs; the median wall time, start-up alone
# (Wine) and sweep time.
measure() {
  local name=$1 walls=() sweeps=() out start end
  shift
  "$@" --check 2>&1 | grep -i 'icmp' | head -1 | sed "s/^/  $name: /" >&2 || true
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    out=$("$@" -n --timeout 10 10.99.0.0/24 2>&1 || true)
    end=$(date +%s%N)
    walls+=($(( (end - start) / 1000000 )))
    sweeps+=("$(grep -o 'answered in [0-9.]* s' <<<"$out" | grep -o '[0-9.]*' || echo '?')")
  done
  local starts=() start_up=-
  if [ "$name" != linux ]; then
    for _ in $(seq "$runs"); do
      start=$(date +%s%N)
      "$@" --version >/dev/null 2>&1 || true
      end=$(date +%s%N)
      starts+=($(( (end - start) / 1000000 )))
    done
    start_up=$(printf '%s\n' "${starts[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
  fi
  printf '%-22s wall %6s ms   start-up %6s ms   sweep %6s s   (%s)\n' "$name" \
    "$(printf '%s\n' "${walls[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")" "$start_up" \
    "$(printf '%s\n' "${sweeps[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")" \
    "$(tail -1 <<<"$out")"
}

measure linux "$linux"
raw_prefix=$(new_prefix)
prefixes+=("$raw_prefix")
measure wine-raw env WINEPREFIX="$raw_prefix" "$wine" "$windows"
WINEPREFIX=$raw_prefix wineserver -k 2>/dev/null || true
# The wineserver opens the program's sockets: started without CAP_NET_RAW,
# and with ping sockets denied (Wine falls back to one when a raw socket is
# refused), it gives the program no raw socket, so the program takes the echo
# service. The service itself (nsiproxy, in winedevice.exe, which wineboot
# starts) opens its own socket and keeps root's rights.
service_prefix=$(mktemp -d /tmp/pingsweep-bench-wine.XXXXXX)
prefixes+=("$service_prefix")
WINEPREFIX=$service_prefix setpriv --bounding-set=-net_raw wineserver -p
WINEPREFIX=$service_prefix wineboot --init >/dev/null 2>&1
sysctl -qw net.ipv4.ping_group_range="1 0"
measure wine-IcmpSendEcho2 env WINEPREFIX="$service_prefix" "$wine" "$windows"

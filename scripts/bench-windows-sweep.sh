#!/usr/bin/env bash
# The time of a silent /24 sweep (--timeout 10, no names) by the Linux build,
# by the Windows build under Wine with a raw ICMP socket (as root), and by the
# Windows build through the system's echo service (IcmpSendEcho2: Wine's
# server started without CAP_NET_RAW, so its raw socket is refused). Medians of RUNS runs of
# the whole process, Wine's start-up included, and the sweep's own figure;
# for Wine (the program stripped, as the packages ship it; as built too, for
# the raw socket), also the program's start-up alone (--version) and the floor of
# any Windows program there: `wine` running an empty one (hello.exe, built
# here with mingw-w64). Then the ratios to the Linux build. Each Wine prefix
# is booted first (a warm prefix) and keeps one session (wineserver -p), as
# Windows keeps its system running: without it every run boots Wine's system
# processes again (wineboot), which costs several times the sweep. Figures
# only: nothing here passes or fails.
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
hello_dir=$(mktemp -d /tmp/pingsweep-bench-hello.XXXXXX)
trap 'for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null || true; rm -rf "$p"; done
      rm -rf "$hello_dir"' EXIT

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

median() { sort -n | sed -n "$(( (runs + 1) / 2 ))p"; }
# wall_ms COMMAND...: the median wall time of RUNS runs after one to warm up, in ms.
wall_ms() {
  local walls=() start end
  "$@" >/dev/null 2>&1 || true
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    timeout 60 "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    walls+=($(( (end - start) / 1000000 )))
  done
  printf '%s\n' "${walls[@]}" | median
}
# ratio A B: A / B to two places.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "?" }'; }
declare -A wall

# measure NAME COMMAND...: RUNS runs; the median wall time (kept in
# wall[NAME]), start-up alone (Wine) and sweep time.
measure() {
  local name=$1 walls=() sweeps=() out start end
  shift
  "$@" --check 2>&1 | grep -i 'icmp' | head -1 | sed "s/^/  $name: /" >&2 || true
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    out=$(timeout 60 "$@" -n --timeout 10 10.99.0.0/24 2>&1 || echo "exit status $?")
    end=$(date +%s%N)
    walls+=($(( (end - start) / 1000000 )))
    sweeps+=("$(grep -o 'answered in [0-9.]* s' <<<"$out" | grep -o '[0-9.]*' || echo '?')")
  done
  local start_up=-
  [ "$name" = linux ] || start_up=$(wall_ms "$@" --version)
  wall[$name]=$(printf '%s\n' "${walls[@]}" | median)
  printf '%-22s wall %6s ms   start-up %6s ms   sweep %6s s   (%s)\n' "$name" \
    "${wall[$name]}" "$start_up" "$(printf '%s\n' "${sweeps[@]}" | median)" \
    "$(tail -1 <<<"$out")"
}

# The program as the packages ship it (cpack strips it): as built, its debug
# information (40 MB) costs Wine some 120 ms to load at every start.
strip_exe() { x86_64-w64-mingw32-strip -o "$hello_dir/$(basename "$1")" "$1"; }
strip_exe "$windows"
built=$windows
windows=$hello_dir/$(basename "$windows")
# An empty Windows program: what Wine's start-up costs any program.
printf 'int main(void) { return 0; }\n' >"$hello_dir/hello.c"
x86_64-w64-mingw32-gcc -O2 -static -o "$hello_dir/hello.exe" "$hello_dir/hello.c"

measure linux "$linux"
raw_prefix=$(new_prefix)
prefixes+=("$raw_prefix")
measure wine-raw env WINEPREFIX="$raw_prefix" "$wine" "$windows"
wall[built]=$(wall_ms env WINEPREFIX="$raw_prefix" "$wine" "$built" -n --timeout 10 10.99.0.0/24)
printf '%-22s wall %6s ms   (as built, with its debug information)\n' wine-raw-unstripped \
  "${wall[built]}"
wall[hello]=$(wall_ms env WINEPREFIX="$raw_prefix" "$wine" "$hello_dir/hello.exe")
printf '%-22s wall %6s ms   (wine running an empty program: the start-up floor)\n' wine-hello \
  "${wall[hello]}"
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

echo "ratios to the Linux build's wall time (${wall[linux]} ms):"
printf '  wine-raw %s   wine-IcmpSendEcho2 %s   wine-hello %s\n' \
  "$(ratio "${wall[wine-raw]}" "${wall[linux]}")" \
  "$(ratio "${wall[wine-IcmpSendEcho2]}" "${wall[linux]}")" \
  "$(ratio "${wall[hello]}" "${wall[linux]}")"
printf '  beyond the empty program: wine-raw %s   wine-IcmpSendEcho2 %s\n' \
  "$(ratio $(( ${wall[wine-raw]} - ${wall[hello]} )) "${wall[linux]}")" \
  "$(ratio $(( ${wall[wine-IcmpSendEcho2]} - ${wall[hello]} )) "${wall[linux]}")"

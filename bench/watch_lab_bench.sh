#!/usr/bin/env bash
# The watch's standing cost: pingsweep-cli --watch=60 of a /24 on a lab
# segment (a far namespace whose 24 hosts answer from MACs of their own, on
# macvlans), for SECONDS (default 600), as root. Prints the watch's average
# CPU (percent of one core, from /proc utime+stime) and its resident memory
# (median and peak of samples every 5 s). Sends nothing outside the private
# namespaces it makes.
#
#   sudo bench/watch_lab_bench.sh [SECONDS] [PINGSWEEP-CLI]
set -euo pipefail
seconds=${1:-600}
program=$(realpath "${2:-$(dirname "$0")/../build/default/cli/pingsweep-cli}")
[ "$(id -u)" = 0 ] || { echo "needs root (it makes network namespaces)" >&2; exit 1; }

if [ "${PS_WATCH_BENCH_INSIDE:-}" != 1 ]; then
  exec env PS_WATCH_BENCH_INSIDE=1 unshare --net --mount -- "$0" "$seconds" "$program"
fi

dir=$(mktemp -d)
far_pid=
cleanup() {
  [ -n "${watch_pid:-}" ] && kill -INT "$watch_pid" 2>/dev/null && wait "$watch_pid" 2>/dev/null || true
  [ -n "$far_pid" ] && kill "$far_pid" 2>/dev/null || true
  [ -n "${PS_WATCH_BENCH_KEEP:-}" ] && cp "$dir/events" "$dir/err" "$PS_WATCH_BENCH_KEEP"/ 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

ip link set lo up
unshare --net sleep infinity &
far_pid=$!
sleep 0.2
far() { nsenter -t "$far_pid" -n -- "$@"; }
ip link add pswb0 type veth peer name far0 netns "$far_pid"
ip addr add 10.79.0.254/24 dev pswb0
ip link set pswb0 up
far ip link set lo up
# Each host answers ARP for its own address only (no "ARP flux" from far0).
far sysctl -qw net.ipv4.conf.all.arp_ignore=1 net.ipv4.conf.all.arp_announce=2
far ip link set far0 up
for i in $(seq 1 24); do
  far ip link add link far0 name mv$i address "02:00:00:79:00:$(printf %02x "$i")" type macvlan mode bridge
  far ip addr add "10.79.0.$((i * 10 % 250 + 1))/24" dev mv$i
  far ip link set mv$i up
done

export PINGSWEEP_REGISTRY_DIR=$dir
"$program" --watch=60 -n 10.79.0.0/24 >"$dir/events" 2>"$dir/err" &
watch_pid=$!
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$watch_pid/stat"; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$watch_pid/status"; }
sleep 2  # the first sweep's start-up (the vendor registry loaded) is counted too
start_ticks=0
samples=()
for ((t = 0; t < seconds; t += 5)); do
  sleep 5
  kill -0 "$watch_pid" 2>/dev/null || { echo "the watch ended early:" >&2; cat "$dir/err" >&2; exit 1; }
  samples+=("$(rss_kb)")
done
end_ticks=$(cpu_ticks)
cpu=$(awk -v t="$end_ticks" -v s="$start_ticks" -v hz="$ticks" -v d="$((seconds + 2))" \
  'BEGIN { printf "%.2f", (t - s) / hz / d * 100 }')
sorted=$(printf '%s\n' "${samples[@]}" | sort -n)
median=$(sed -n "$(((${#samples[@]} + 1) / 2))p" <<<"$sorted")
peak=$(tail -1 <<<"$sorted")
events=$(wc -l <"$dir/events")
printf 'watch of a /24 (24 hosts answer), 60 s interval, %d s: CPU %s%% of one core on average\n' \
  "$((seconds + 2))" "$cpu"
printf 'resident memory: median %.1f MB, peak %.1f MB (%d samples); %d events\n' \
  "$(bc -l <<<"$median / 1024")" "$(bc -l <<<"$peak / 1024")" "${#samples[@]}" "$events"

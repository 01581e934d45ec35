#!/usr/bin/env bash
# Saves docs/screenshot.png: the real application under Xvfb after a sweep of
# 127.0.0.x, inside a private network namespace (loopback only) with a private
# /etc/hosts naming a few hosts and nftables keeping most hosts silent.
#
#   sudo scripts/screenshot.sh [build-dir]     (default: build/default)
#
# Needs root (namespaces, nft), xvfb-run, xdotool and ImageMagick's import.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/default}
binary=$build/app/pingsweep
out=$repo/docs/screenshot.png

[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespace, nftables)" >&2; exit 1; }
[ -x "$binary" ] || { echo "no $binary: build first (cmake --build $build --target pingsweep)" >&2; exit 1; }
for tool in xvfb-run xdotool import nft unshare; do
  command -v "$tool" >/dev/null || {
    echo "missing: $tool (sudo apt-get install xvfb xdotool imagemagick nftables util-linux)" >&2
    exit 1
  }
done

if [ -z "${PINGSWEEP_SCREENSHOT_INSIDE:-}" ]; then
  # Everything below runs in fresh network and mount namespaces.
  exec env PINGSWEEP_SCREENSHOT_INSIDE=1 unshare --net --mount "$0" "$build"
fi

# The variable alone proves nothing: go on only in namespaces other than the
# caller's (unshare exec'd this script in place, so the parent is the caller),
# with no network interface but loopback.
refuse() { echo "not in a private network and mount namespace: refusing to go on ($1)" >&2; exit 1; }
for ns in net mnt; do
  mine=$(readlink "/proc/self/ns/$ns") || refuse "cannot read /proc/self/ns/$ns"
  caller=$(readlink "/proc/$PPID/ns/$ns") || refuse "cannot read /proc/$PPID/ns/$ns"
  [ -n "$mine" ] && [ -n "$caller" ] && [ "$mine" != "$caller" ] || refuse "$ns namespace"
done
others=$(ip -o link show | awk -F': ' '$2 != "lo" { print $2 }') || refuse "cannot list interfaces"
[ -z "$others" ] || refuse "interfaces besides lo: $others"
ip link set lo up
mount --make-rprivate /
work=$(mktemp -d /tmp/pingsweep-shot-XXXXXX)
trap 'umount /etc/hosts 2>/dev/null || true; rm -rf "$work"' EXIT

cat > "$work/hosts" <<'HOSTS'
127.0.0.1 localhost
127.0.0.2 gateway.lan
127.0.0.10 nas.lan
127.0.0.23 printer.lan
127.0.0.64 build-server.lan
127.0.0.128 camera-garden.lan
127.0.0.200 laptop.lan
HOSTS
chmod 644 "$work/hosts"
mount --bind "$work/hosts" /etc/hosts

# Only these hosts answer; requests to the others are dropped on the way out.
nft -f - <<'NFT'
table inet shot {
  chain out {
    type filter hook output priority 0; policy accept;
    ip daddr 127.0.0.0/24 ip daddr != { 127.0.0.1, 127.0.0.2, 127.0.0.10, 127.0.0.17, 127.0.0.23, 127.0.0.64, 127.0.0.99, 127.0.0.128, 127.0.0.200 } icmp type echo-request drop
  }
}
NFT

cat > "$work/drive.sh" <<DRIVE
set -euo pipefail
"$binary" & app=\$!
id=
for _ in \$(seq 100); do
  id=\$(xdotool search --name '^Form1\$' 2>/dev/null | head -1) && [ -n "\$id" ] && break
  sleep 0.1
done
[ -n "\$id" ] || { echo "no window" >&2; kill \$app; exit 1; }
# Type the subnet into Text1 and press Command1 (design positions).
xdotool mousemove --window "\$id" 80 33 click 1
xdotool key --window "\$id" ctrl+a BackSpace
xdotool type --window "\$id" --delay 20 127.0.0.255
xdotool mousemove --window "\$id" 216 36 click 1
for _ in \$(seq 300); do
  [ "\$(xdotool getwindowname "\$id")" = 127.0.0.254 ] && break
  sleep 0.1
done
xdotool mousemove --window "\$id" 300 500
sleep 0.5
import -window "\$id" "$work/shot.png"
kill \$app
wait \$app || true
DRIVE
xvfb-run -a -s "-screen 0 800x700x24" bash "$work/drive.sh"
cp "$work/shot.png" "$out"
echo "saved $out"

#!/usr/bin/env bash
# Checks that ./run.sh needs nothing beyond the runtime packages: in a fresh
# Debian 12 root with only those installed (by run.sh itself), it builds the
# window and the window starts. Needs root and several minutes; CI does not
# run it.
#
#   sudo scripts/check-run-deps.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "missing: debootstrap" >&2; exit 1; }
mirror=$({ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
  awk '/^deb / && $3 ~ /^bookworm$/ { print $2; exit }
       /^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ && uri != "" { print uri; exit }')
[ -n "$mirror" ] || { echo "no bookworm mirror in /etc/apt/sources.list*" >&2; exit 1; }

root=$(mktemp -d /var/tmp/pingsweep-run.XXXXXX)
chmod 0755 "$root"
cleanup() {
  for m in dev/pts dev proc; do umount "$root/$m" 2>/dev/null || true; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }

step "debootstrap bookworm from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >/dev/null 2>&1
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mkdir -p "$root/src"
git -C "$repo" archive HEAD | tar -x -C "$root/src"

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"
}
step "./run.sh --version (installs the runtime packages, builds, runs)"
# A display is all run.sh asks of the session; the program answers --version
# before it opens one.
in_root sh -c 'cd /src && apt-get update -q >/dev/null && WAYLAND_DISPLAY=none ./run.sh --version' 2>&1 |
  grep -vE '^\[ *[0-9]+%\]' | tail -n 12
step "test packages present in the root (none expected)"
in_root dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' libgtest-dev libgmock-dev libbenchmark-dev \
  xvfb xdotool help2man 2>&1 | grep '^ii' || echo "none"
step "the window opens (offscreen platform, 3 s)"
status=0
in_root sh -c 'QT_QPA_PLATFORM=offscreen timeout 3 /src/build/run/app/pingsweep' || status=$?
echo "pingsweep ran until stopped: exit $status (124: still running after 3 s)"
[ "$status" -eq 124 ] || exit 1
step "PASS"

#!/usr/bin/env bash
# Checks the Debian package in a fresh Debian 12 root: it installs with apt,
# the programs get CAP_NET_RAW, an unprivileged user can sweep, and purging
# leaves nothing behind. Needs root and a few minutes (debootstrap, then apt
# fetching Qt); CI does not run it.
#
#   sudo scripts/check-deb.sh [PACKAGE.deb]     (default: build/default/pingsweep_*.deb)
#
# The mirror is the one this machine's apt already uses. Nothing is sent to
# any host but that mirror: the program's own check runs in a private network
# namespace with loopback only (and probes nothing anyway).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap, chroot)" >&2; exit 1; }
deb=${1:-$(ls "$repo"/build/default/pingsweep_*_amd64.deb 2>/dev/null | head -1)}
[ -f "$deb" ] || { echo "no package: cd build/default && cpack -G DEB" >&2; exit 1; }
for tool in debootstrap unshare; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install debootstrap util-linux)" >&2; exit 1; }
done

# The Debian mirror of this machine's sources (one-line or deb822 format).
mirror=$({ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
  awk '/^deb / && $3 ~ /^bookworm$/ { print $2; exit }
       /^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ && uri != "" { print uri; exit }')
[ -n "$mirror" ] || { echo "no bookworm mirror in /etc/apt/sources.list*" >&2; exit 1; }

root=$(mktemp -d /var/tmp/pingsweep-root.XXXXXX)
chmod 0755 "$root"  # a root file system every user may enter
cleanup() {
  for m in dev/pts dev proc; do umount "$root/$m" 2>/dev/null || true; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

step "debootstrap bookworm from $mirror into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
  { tail -20 "$root.log"; exit 1; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
in_root useradd --create-home --shell /bin/bash tester

# What the root holds before the package, outside the folders apt and the
# logs change whatever is installed.
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./tmp -o -path ./var/log \
      -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./run \) -prune \
      -o -print | sort)
}
step "apt-get install ./$(basename "$deb")"
in_root apt-get update -q >/dev/null
# The dependencies and recommendations first (with what they recommend), so
# that the snapshot holds them: what the package itself leaves behind is what
# is looked for.
in_root apt-get install -y -q \
  $(dpkg-deb -f "$deb" Depends Recommends | sed -E 's/^[A-Za-z]+://; s/\([^)]*\)//g; s/,/ /g') >/dev/null
before=$(snapshot)
cp "$deb" "$root/tmp/"
in_root apt-get install -y -q "/tmp/$(basename "$deb")" 2>&1 | grep -E 'pingsweep|Setting up|^E:' || true
in_root dpkg -s pingsweep | grep -E '^(Status|Version):'

step "capabilities and folders"
for program in /usr/bin/pingsweep /usr/bin/pingsweep-cli; do
  [ -e "$root$program" ] || continue
  echo "$program: $(getcap "$root$program" | awk '{print $2}')"
done
stat -c '%n %A %U:%G' "$root/var/lib/pingsweep"

step "as the unprivileged user tester, in a private network namespace"
unshare --net chroot --userspec=tester:tester "$root" /usr/bin/env -i HOME=/home/tester \
  PATH=/usr/bin:/bin sh -c 'id; sysctl net.ipv4.ping_group_range 2>/dev/null || cat /proc/sys/net/ipv4/ping_group_range;
    pingsweep --version | head -1; pingsweep-cli --check; echo "pingsweep-cli --check: exit $?"'
[ -z "$(unshare --net chroot --userspec=tester:tester "$root" /usr/bin/pingsweep-cli --check >/dev/null 2>&1 || echo failed)" ] ||
  { echo "FAIL: pingsweep-cli --check failed for an unprivileged user" >&2; exit 1; }

step "remove, then purge"
in_root apt-get remove -y -q pingsweep >/dev/null
echo "after remove: /var/lib/pingsweep $( [ -d "$root/var/lib/pingsweep" ] && echo kept || echo gone)"
in_root apt-get purge -y -q pingsweep >/dev/null
echo "after purge: /var/lib/pingsweep $( [ -d "$root/var/lib/pingsweep" ] && echo kept || echo gone)"
in_root dpkg -s pingsweep 2>&1 | head -1 || true
left=$(diff <(echo "$before") <(snapshot) || true)
if [ -n "$left" ]; then
  echo "FAIL: the root differs from before the install:" >&2
  echo "$left" >&2
  exit 1
fi
echo "nothing left behind: the root holds the same files as before the install"
step "PASS"

#!/usr/bin/env bash
# Checks the Debian packages against what the README promises. First their
# contents (no root needed): control fields, every file, the maintainer
# scripts, hardened programs, lintian. Then, unless --contents-only, in a
# fresh Debian 12 root: apt installs the package, both sweeping programs get
# CAP_NET_RAW, an unprivileged user sweeps loopback and starts the window,
# pingsweep-reg keeps, exports and imports a key, remove and purge leave
# nothing of the package behind, and a purge keeps the machine's registry that
# was there before. Needs root and a few minutes (debootstrap, then apt
# fetching Qt); CI does not run it.
#
#   sudo scripts/check-deb.sh [--contents-only] [PACKAGE.deb [DEV-PACKAGE.deb]]
#
# Default: build/default/pingsweep_*.deb and pingsweep-dev_*.deb beside it.
# The mirror is the one this machine's apt already uses. Nothing is sent to
# any host but that mirror: the programs run in private network namespaces
# with loopback only.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
contents_only=0
if [ "${1:-}" = --contents-only ]; then contents_only=1; shift; fi
deb=$(realpath "${1:-$(ls "$repo"/build/default/pingsweep_*_amd64.deb 2>/dev/null | sed -n 1p)}")
[ -f "$deb" ] || { echo "no package: cd build/default && cpack -G DEB" >&2; exit 1; }
dev=${2:-$(ls "$(dirname "$deb")"/pingsweep-dev_*_amd64.deb 2>/dev/null | sed -n 1p)}
[ -f "$dev" ] || { echo "no pingsweep-dev package beside $deb" >&2; exit 1; }

step() { printf '\n== %s\n' "$*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "control fields"
field() { dpkg-deb -f "$1" "$2"; }
for f in Package Version Depends Recommends Homepage Description; do
  printf '%-12s %s\n' "$f:" "$(field "$deb" "$f" | sed -n 1p)"
done
printf '%-12s %s\n' "dev:" "$(field "$dev" Description | sed -n 1p)"
for p in "$deb" "$dev"; do
  ! grep -qiE 'example\.(org|com)|org\.example' <<<"$(dpkg-deb -f "$p")" ||
    fail "$(basename "$p"): placeholder in the control fields"
done
[ "$(field "$deb" Description | sed -n 1p)" != "$(field "$dev" Description | sed -n 1p)" ] ||
  fail "pingsweep-dev carries the programs' summary"
depends=$(field "$deb" Depends)
# The libraries come from dpkg-shlibdeps; the X11 plugin is in libqt6gui6; libcurl4 is loaded, not linked.
for want in libcap2-bin libqt6svg6 libcurl4 libqt6gui6 libqt6widgets6 libc6; do
  grep -qE "(^|, )$want( |,|$)" <<<"$depends" || fail "Depends lacks $want: $depends"
done
! grep -q qt6-qpa-plugins <<<"$depends" || fail "Depends names qt6-qpa-plugins: $depends"

step "files"
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
id=$(grep -oE '/usr/share/metainfo/[^/]+\.metainfo\.xml$' <<<"$listing" | sed 's|.*/||; s|\.metainfo\.xml$||' || true)
[[ $id =~ ^[a-z]+(\.[A-Za-z0-9_-]+){2,}$ ]] || fail "no AppStream metainfo named after a reverse-DNS id: '$id'"
for file in /usr/bin/pingsweep /usr/bin/pingsweep-cli /usr/bin/pingsweep-reg \
  /usr/share/man/man1/pingsweep.1.gz /usr/share/man/man1/pingsweep-cli.1.gz \
  /usr/share/man/man1/pingsweep-reg.1.gz /usr/share/applications/pingsweep.desktop \
  /usr/share/icons/hicolor/scalable/apps/pingsweep.svg "/usr/share/metainfo/$id.metainfo.xml" \
  /usr/share/bash-completion/completions/pingsweep-cli /usr/share/doc/pingsweep/copyright \
  /lib/systemd/system/pingsweep-watch@.service \
  /usr/share/doc/pingsweep/changelog.gz; do
  grep -qxF "$file" <<<"$listing" || fail "the package lacks $file"
done
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
grep -qx './postinst' <<<"$control" || fail "no postinst"
grep -qx './postrm' <<<"$control" || fail "no postrm"
unpacked=$(mktemp -d /tmp/pingsweep-deb.XXXXXX)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
! grep -rqiE 'example\.(org|com)|org\.example' "$unpacked/usr/share/metainfo" ||
  fail "placeholder in the AppStream metainfo"
# The UPnP names' libraries, from dpkg-shlibdeps too, wherever a program links them.
for lib in libcurl libpugixml; do
  if objdump -p "$unpacked/usr/bin/pingsweep-cli" | grep -qE "NEEDED +$lib"; then
    grep -qE "(^|, )$lib" <<<"$depends" || fail "pingsweep-cli links $lib but Depends lacks it: $depends"
  fi
done
echo "$(wc -l <<<"$listing") entries, AppStream id $id"

step "hardening of the packaged programs"
"$repo/scripts/check-hardening.sh" "$unpacked"/usr/bin/*

if command -v lintian >/dev/null; then
  step "lintian"
  out=$(lintian --tag-display-limit 0 "$deb" "$dev" 2>&1 | grep -v 'running with root privileges' || true)
  echo "${out:-no tags}"
  ! grep -q '^E:' <<<"$out" || fail "lintian errors"
fi

if [ "$contents_only" -eq 1 ]; then
  step "PASS (contents)"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap, chroot)" >&2; exit 1; }
for tool in debootstrap unshare ip; do
  command -v "$tool" >/dev/null ||
    { echo "missing: $tool (apt-get install debootstrap util-linux iproute2)" >&2; exit 1; }
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
  rm -rf --one-file-system "$root" "$unpacked"
}
trap cleanup EXIT
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"
}
# as_tester COMMAND: runs the shell command as the unprivileged user, in a
# private network namespace whose loopback is up.
as_tester() {
  unshare --net sh -c 'ip link set lo up && exec chroot --userspec=tester:tester "$0" /usr/bin/env -i \
    HOME=/home/tester PATH=/usr/bin:/bin sh -c "$1"' "$root" "$1"
}

step "debootstrap bookworm from $mirror into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
  { tail -20 "$root.log"; exit 1; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
in_root useradd --create-home --shell /bin/bash tester

# What the root holds, outside the folders apt and the logs change whatever is
# installed, and the user's own files (which no purge touches).
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./tmp -o -path ./var/log \
      -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./run \
      -o -path ./home/tester \) -prune -o -print | sort)
}
install_package() {
  in_root apt-get install -y -q "/tmp/$(basename "$deb")" 2>&1 | grep -E '^pingsweep|^E:' || true
  grep -q '^Status: install ok installed' <<<"$(in_root dpkg -s pingsweep)" || fail "the package did not install"
}
state() { [ -d "$root/var/lib/pingsweep" ] && echo kept || echo gone; }

step "apt-get install ./$(basename "$deb")"
in_root apt-get update -q >/dev/null
# The dependencies and recommendations first (with what they recommend), so
# that the snapshot holds them: what the package itself leaves behind is what
# is looked for.
in_root apt-get install -y -q \
  $(dpkg-deb -f "$deb" Depends Recommends | sed -E 's/^[A-Za-z]+://; s/\([^)]*\)//g; s/,/ /g') >/dev/null
before=$(snapshot)
cp "$deb" "$root/tmp/"
install_package

step "every file, the capabilities, the registry's folder"
for file in $listing; do
  [ "${file%/}" = "$file" ] || continue  # folders
  [ -e "$root$file" ] || fail "not installed: $file"
done
for program in /usr/bin/pingsweep /usr/bin/pingsweep-cli; do
  caps=$(getcap "$root$program" | awk '{ print $2 }')
  echo "$program: ${caps:-none}"
  [ "$caps" = cap_net_raw=ep ] || fail "$program lacks cap_net_raw+ep"
done
[ -z "$(getcap "$root/usr/bin/pingsweep-reg")" ] || fail "pingsweep-reg holds a capability"
[ "$(stat -c '%a %U:%G' "$root/var/lib/pingsweep")" = "755 root:root" ] ||
  fail "/var/lib/pingsweep: $(stat -c '%a %U:%G' "$root/var/lib/pingsweep")"

step "as the unprivileged user tester: a sweep of loopback, the window"
as_tester 'id; pingsweep-cli --check; pingsweep-cli -n 127.0.0.1-3' || fail "pingsweep-cli failed for tester"
grep -q '^127\.0\.0\.1,.*answered' <<<"$(as_tester 'pingsweep-cli -n -o csv 127.0.0.1')" ||
  fail "127.0.0.1 did not answer tester's sweep"
status=0
as_tester 'QT_QPA_PLATFORM=offscreen timeout 3 pingsweep' || status=$?
echo "pingsweep ran until stopped: exit $status (124: still running after 3 s)"
[ "$status" -eq 124 ] || fail "the window did not start for tester"

step "pingsweep-reg: add, export, delete, import, query (tester's HKCU)"
as_tester "cd && pingsweep-reg add 'HKCU\\Software\\Demo' /v Port /t REG_DWORD /d 8080 /f &&
  pingsweep-reg add 'HKCU\\Software\\Demo' /v Server /d scanner.lan /f &&
  pingsweep-reg export 'HKCU\\Software\\Demo' demo.reg /y &&
  pingsweep-reg delete 'HKCU\\Software\\Demo' /f &&
  ! pingsweep-reg query 'HKCU\\Software\\Demo' 2>/dev/null &&
  pingsweep-reg import demo.reg && pingsweep-reg query 'HKCU\\Software\\Demo'" >"$root/tmp/query" ||
  fail "pingsweep-reg round trip"
grep -qE 'Port +REG_DWORD +0x1f90' "$root/tmp/query" && grep -qE 'Server +REG_SZ +scanner\.lan' "$root/tmp/query" ||
  fail "the imported key differs: $(cat "$root/tmp/query")"
echo "the key came back from demo.reg"

step "remove, then purge"
in_root apt-get remove -y -q pingsweep >/dev/null
echo "after remove: /var/lib/pingsweep $(state)"
[ "$(state)" = kept ] || fail "remove took the registry's folder"
in_root apt-get purge -y -q pingsweep >/dev/null
echo "after purge: /var/lib/pingsweep $(state)"
rm -f "$root/tmp/query"
left=$(diff <(echo "$before") <(snapshot) || true)
[ -z "$left" ] || fail "the root differs from before the install:
$left"
echo "nothing left behind: the root holds the same files as before the install"

step "a machine registry there before the package survives its purge"
install_package
in_root pingsweep-reg add 'HKLM\Software\Other' /v Kept /d yes /f >/dev/null
in_root apt-get purge -y -q pingsweep 2>&1 | grep '^pingsweep:' || true
[ -f "$root/var/lib/pingsweep/HKEY_LOCAL_MACHINE.db" ] ||
  fail "purge removed the registry written after the install"
install_package
grep -q 'REG_SZ *yes' <<<"$(in_root pingsweep-reg query 'HKLM\Software\Other' /v Kept)" ||
  fail "the registry there before the install lost its value"
files() { (cd "$root/var/lib/pingsweep" 2>/dev/null && find . -type f -exec sha256sum {} + | sort); }
sum=$(files)
in_root apt-get purge -y -q pingsweep >/dev/null
[ "$(files)" = "$sum" ] || fail "purge changed the registry that was there before the install:
$sum
$(files)"
echo "kept: $(ls -A "$root/var/lib/pingsweep" | tr '\n' ' ')"
step "PASS"

#!/usr/bin/env bash
# Tests the package's postinst and postrm on the machine registry's folder, in
# a throw-away root given to them as dpkg gives one (DPKG_ROOT): a purge
# removes the folder only when postinst made it and nothing else is in it.
#
#   scripts/test-maintainer-scripts.sh POSTINST POSTRM
#
# Run by CTest. (scripts/check-deb.sh runs the same through dpkg in a fresh
# Debian root.)
set -euo pipefail

postinst=$(realpath "$1")
postrm=$(realpath "$2")
root=$(mktemp -d /tmp/pingsweep-root.XXXXXX)
trap 'rm -rf "$root"' EXIT
state=$root/var/lib/pingsweep
db=$state/HKEY_LOCAL_MACHINE.db

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# dpkg's calls, in a root that holds /var/lib and no programs.
dpkg_runs() {
  local script=$1
  shift
  DPKG_ROOT=$root DPKG_MAINTSCRIPT_PACKAGE=pingsweep sh "$script" "$@" >/dev/null 2>"$root/err" ||
    fail "$(basename "$script") $* failed: $(cat "$root/err")"
}
# What the folder holds, or "none" for no folder.
folder() { if [ -d "$state" ]; then (cd "$state" && find . -mindepth 1 | sort | tr '\n' ' '); else echo none; fi; }

# Each case: what is there before, then install, [more], remove, purge.
reset() { rm -rf "$root/var"; mkdir -p "$root/var/lib"; }

# Fresh: the folder is made (0755), kept by an upgrade and by remove, gone
# after purge.
reset
dpkg_runs "$postinst" configure
[ -d "$state" ] && [ "$(stat -c %a "$state")" = 755 ] || fail "fresh install: no folder 0755"
dpkg_runs "$postinst" configure 0.1.0
dpkg_runs "$postrm" remove
[ -d "$state" ] || fail "remove took the folder"
dpkg_runs "$postrm" purge
[ ! -e "$state" ] || fail "fresh install, purge: left $(folder)"

# There before, with a registry: untouched by install and purge.
reset
mkdir -p "$state"
echo before >"$db"
dpkg_runs "$postinst" configure
dpkg_runs "$postrm" remove
dpkg_runs "$postrm" purge
[ "$(folder)" = "./HKEY_LOCAL_MACHINE.db " ] && [ "$(cat "$db")" = before ] ||
  fail "registry there before, purge: left $(folder)"

# There before and empty: still there after purge.
reset
mkdir -p "$state"
dpkg_runs "$postinst" configure
dpkg_runs "$postrm" purge
[ -d "$state" ] && [ "$(folder)" = "" ] || fail "empty folder there before, purge: left $(folder)"

# Made by the package, then used: the registry stays, the package's marker
# goes, and a reinstall does not claim the folder again.
reset
dpkg_runs "$postinst" configure
echo used >"$db"
dpkg_runs "$postrm" purge
[ "$(folder)" = "./HKEY_LOCAL_MACHINE.db " ] || fail "registry written after install, purge: left $(folder)"
grep -q 'kept .*var/lib/pingsweep' "$root/err" || fail "purge did not say why it kept the folder"
dpkg_runs "$postinst" configure
dpkg_runs "$postrm" purge
[ "$(folder)" = "./HKEY_LOCAL_MACHINE.db " ] || fail "reinstall and purge: left $(folder)"

[ "$failures" -eq 0 ] || exit 1
echo "postinst and postrm make and remove only the package's own"

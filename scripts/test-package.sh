#!/usr/bin/env bash
# Makes the Debian packages of a build into a temporary folder and checks
# their contents with check-deb.sh --contents-only (control fields, files,
# maintainer scripts, hardening, lintian when installed). Skipped (exit 77)
# without dpkg-shlibdeps and file, which cpack needs for the dependencies (the
# packaging list of scripts/deps.sh has them).
#
#   scripts/test-package.sh BUILD-DIR
#
# Run by CTest.
set -euo pipefail

build=$(realpath "$1")
for tool in dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool (apt-get install dpkg-dev file)"; exit 77; }
done
out=$(mktemp -d /tmp/pingsweep-cpack.XXXXXX)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; exit 1; }
"$(dirname "$0")/check-deb.sh" --contents-only "$out"/pingsweep_*.deb "$out"/pingsweep-dev_*.deb

# Sourced by run.sh, test.sh and the packaging scripts: the Debian packages
# PingSweep needs, one list per purpose, and the check that they are present.
# As root the check installs what is missing; otherwise it prints the one
# apt-get line to run and stops.

# Building and running the window (cmake -DBUILD_TESTING=OFF).
PINGSWEEP_RUNTIME_PACKAGES=(
  g++ make cmake pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev libqt6svg6
  libsqlite3-dev libsodium-dev nlohmann-json3-dev libcap-dev ieee-data
  libcurl4-openssl-dev libpugixml-dev
  x11-utils fonts-dejavu-core
)

# Building and running the tests and benchmarks, on top of the runtime list.
PINGSWEEP_TEST_PACKAGES=(
  libgtest-dev libgmock-dev libbenchmark-dev libx11-dev sqlite3
  iproute2 nftables util-linux procps libcap2-bin
  xvfb xauth xdotool
  help2man appstream desktop-file-utils groff-base
  avahi-daemon samba minidlna
)

# Building the Debian package and checking it, on top of the runtime list.
PINGSWEEP_PACKAGING_PACKAGES=(
  help2man dpkg-dev fakeroot file lintian debootstrap
)

# Cross-building the Windows programs and testing them under Wine
# (./test.sh windows): mingw-w64 with POSIX threads, GoogleTest's sources,
# Wine, NSIS for the installer and the IEEE registries it carries, a private
# display for the window, nftables for the silent test subnet, tcpdump for the
# wire check, python3 for the TCP test's listener, procps (sysctl) for the
# Windows benchmark.
PINGSWEEP_WINDOWS_PACKAGES=(
  cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  googletest nlohmann-json3-dev wine wine64 nsis ieee-data
  xvfb iproute2 nftables util-linux tcpdump python3-minimal procps
)

# Prints the packages of the named lists (runtime, test, packaging, windows) that are
# not installed, on one line.
pingsweep_missing_packages() {
  local missing=() p list
  for list in "$@"; do
    local -n packages="PINGSWEEP_${list^^}_PACKAGES"
    for p in "${packages[@]}"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
  done
  echo "${missing[@]}"
}

# pingsweep_ensure_packages LIST...: makes sure every package of the named
# lists is installed; returns non-zero when it could not.
pingsweep_ensure_packages() {
  local missing
  missing=$(pingsweep_missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "PingSweep needs these Debian packages. Install them, then run this command again:" >&2
    echo "  sudo apt-get install -y $missing" >&2
    return 1
  fi
  echo "Installing the Debian packages PingSweep needs: $missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  local log status=0 policy=/usr/sbin/policy-rc.d own_policy=
  log=$(mktemp /tmp/pingsweep-apt.XXXXXX)
  # The test partners (avahi-daemon, nmbd, minidlna) run only inside the
  # tests' namespaces: their packages must not start them on this machine.
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && own_policy=1
  fi
  { apt-get update -q && apt-get install -y -q --no-install-recommends $missing; } >"$log" 2>&1 ||
    status=$?
  [ -n "$own_policy" ] && rm -f "$policy"
  if [ "$status" -ne 0 ]; then
    tail -n 30 "$log" >&2
    echo "apt-get failed; its full output is in $log" >&2
    return 1
  fi
  rm -f "$log"
}

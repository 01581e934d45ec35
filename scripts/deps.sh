# Sourced by run.sh and test.sh: makes sure the Debian packages the build and the
# tests need are present. As root it installs what is missing; otherwise it
# prints the one apt-get line to run and stops.

PINGSWEEP_PACKAGES=(
  g++ make cmake pkg-config help2man
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libsqlite3-dev sqlite3
  libsodium-dev nlohmann-json3-dev
  ieee-data libcap-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 nftables util-linux procps
  xvfb xauth x11-utils xdotool
  fonts-dejavu-core
)

pingsweep_missing_packages() {
  local missing=() p
  for p in "${PINGSWEEP_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]}"
}

pingsweep_ensure_packages() {
  local missing
  missing=$(pingsweep_missing_packages)
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "PingSweep needs these Debian packages. Install them, then run this command again:" >&2
    echo "  sudo apt-get install -y $missing" >&2
    return 1
  fi
  echo "Installing the Debian packages PingSweep needs: $missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  local log
  log=$(mktemp /tmp/pingsweep-apt.XXXXXX)
  if ! { apt-get update -q && apt-get install -y -q --no-install-recommends $missing; } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "apt-get failed; its full output is in $log" >&2
    return 1
  fi
  rm -f "$log"
}

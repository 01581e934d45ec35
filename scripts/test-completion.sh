#!/usr/bin/env bash
# Tests the bash completion of pingsweep-cli: the candidates offered for each
# option, and that no name the system provides (interfaces, hosts) is ever
# expanded by the shell that completes, nor offered unquoted.
#
#   scripts/test-completion.sh COMPLETION-FILE PINGSWEEP-CLI
#
# The interfaces are real ones, with hostile names, in a private network and
# mount namespace (root only: otherwise the test is skipped, exit 77). Run by
# CTest.
set -euo pipefail

completion=$(realpath "$1")
program=$(realpath "$2")

if [ "${PINGSWEEP_IN_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --net --mount true 2>/dev/null; then
    echo "skipped: needs root for a private network namespace"
    exit 77
  fi
  # Its own /sys shows the namespace's interfaces.
  exec unshare --net --mount --propagation private env PINGSWEEP_IN_NAMESPACE=1 \
    bash -c 'mount -t sysfs sysfs /sys && exec "$0" "$@"' "$0" "$@"
fi

# Names of at most 15 characters without blanks or "/", as the kernel allows;
# the shell would run the two commands in them.
ip link add eth0 type veth peer name '$(touch${IFS}x)'
ip link add '`touch${IFS}y`' type veth peer name br-lan
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf '127.0.0.1 localhost\n127.0.0.2 $(touch${IFS}h) printer.lan\n' >hosts

# The candidates offered for the last of the words, one a line, from a fresh
# shell that has only the completion loaded.
complete_words() {
  HOSTFILE=$work/hosts bash --norc --noprofile -c '
    source "$1" || exit 1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _pingsweep_cli
    [ ${#COMPREPLY[@]} -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$program" "$@"
}

failures=0
# check WORDS... -- EXPECTED...: the candidates, in any order.
check() {
  local words=() want=()
  while [ "$1" != -- ]; do words+=("$1"); shift; done
  shift
  want=("$@")
  local got expected=
  got=$(complete_words "${words[@]}" | sort)
  ((${#want[@]} == 0)) || expected=$(printf '%s\n' "${want[@]}" | sort)
  if [ "$got" != "$expected" ]; then
    echo "FAIL: pingsweep-cli ${words[*]}<Tab> offered:" >&2
    echo "${got:-(nothing)}" | sed 's/^/    /' >&2
    echo "  expected:" >&2
    echo "${expected:-(nothing)}" | sed 's/^/    /' >&2
    failures=$((failures + 1))
  fi
  for ran in x y h; do
    [ ! -e "$ran" ] || { echo "FAIL: pingsweep-cli ${words[*]}<Tab> ran 'touch $ran'" >&2; exit 1; }
  done
}

# Interfaces: every one, quoted as the shell must read it.
all=(lo eth0 br-lan '\$\(touch\$\{IFS\}x\)' '\`touch\$\{IFS\}y\`')
check -I '' -- "${all[@]}"
check --interface '' -- "${all[@]}"
check --interface=e -- eth0
check --interface = e -- eth0
check --format = -- text csv json
check --link-local '' -- "${all[@]}"
check -I '$' -- '\$\(touch\$\{IFS\}x\)'
# Values without a closed set: nothing.
check --interval '' --
check -i '' --
check --timeout '' --
# Closed sets and options.
check --format c -- csv
check --probe a -- auto arp
check --in -- --interface --interval --inventory
check --wa -- --watch
check --exec '' --
check --offline-after '' --
check --quiet-for '' -- 60 300
# Targets: host names, quoted alike.
check '' -- localhost printer.lan '\$\(touch\$\{IFS\}h\)'
check pr -- printer.lan

[ "$failures" -eq 0 ] || exit 1
echo "completion offers what it should and runs nothing"

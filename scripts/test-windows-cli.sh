#!/usr/bin/env bash
# pingsweep-cli.exe under Wine, run by ctest inside test-windows.sh's
# namespace (where the wineserver, which opens every socket, runs too):
#   scripts/test-windows-cli.sh PINGSWEEP-CLI.exe
# What --help and --check say on Windows, what is refused there and why, TCP
# probes by connect() to loopback listeners and closed ports, and sweeps of
# a lab made here: an on-link /24 behind a veth pair (10.77.0.0/24: the far
# side answers as .2, .9 and .130, this side is .1) and two /24s routed
# through the far side (10.78.0.0/24: .5, .77 and .254 answer; 10.79.0.0/24:
# .3, .130 and .249; the far side does not forward, so the rest are silent).
set -euo pipefail
[ -n "${PINGSWEEP_IN_NAMESPACE:-}" ] || { echo "test-windows-cli: run by ./test.sh windows"; exit 0; }
cli=$1
here=$(dirname "$0")
failures=0
fail() { echo "test-windows-cli: FAIL: $*" >&2; failures=$((failures + 1)); }

peer=
listener=
cleanup() {
  [ -n "$listener" ] && kill "$listener" 2>/dev/null
  [ -n "$peer" ] && kill "$peer" 2>/dev/null
  ip link del lab0 2>/dev/null || true
}
trap cleanup EXIT

# The far side: a network namespace held by a sleeping process.
unshare --net sleep 600 &
peer=$!
sleep 0.2
far() { nsenter -t "$peer" -n "$@"; }
ip link add lab0 type veth peer name lab1
ip link set lab1 netns "$peer"
ip addr add 10.77.0.1/24 dev lab0
ip link set lab0 up
ip route add 10.78.0.0/24 via 10.77.0.2
ip route add 10.79.0.0/24 via 10.77.0.2
far ip link set lo up
far ip link set lab1 up
for a in 10.77.0.2 10.77.0.9 10.77.0.130; do far ip addr add "$a/24" dev lab1; done
for a in 10.78.0.5 10.78.0.77 10.78.0.254 10.79.0.3 10.79.0.130 10.79.0.249; do
  far ip addr add "$a/32" dev lo
done

# A listener on 127.0.0.3:8443 (which drops echo requests); 127.0.0.4 has
# none there (a reset answers).
python3 -c '
import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.3", 8443)); s.listen(64)
while True:
    c, _ = s.accept(); c.close()
' &
listener=$!
sleep 0.3

# expect STATUS ARG... : runs the program; its exit status must be STATUS.
# Leaves what it printed (both streams) in $said.
expect() {
  local want=$1 status=0
  shift
  said=$("$here/wine-run.sh" "$cli" "$@" 2>&1 | tr -d '\r') || status=$?
  [ "$status" = "$want" ] || fail "$* exited $status, not $want: $said"
}
has() { grep -qF -- "$1" <<<"$said" || fail "no '$1' in: $said"; }
lacks() { ! grep -qF -- "$1" <<<"$said" || fail "'$1' in: $said"; }
# The answering hosts of a CSV run (address and via), one a line, sorted.
# Columns by their names in the header (more may follow; standard error's
# lines are mixed in).
answered() {
  awk -F, '/^address,/ { for (i = 1; i <= NF; ++i) column[$i] = i; next }
           ("status" in column) && $column["status"] == "answered" { print $1, $column["via"] }' \
    <<<"$said" | sort -V
}
same() { [ "$1" = "$2" ] || fail "$3: got [$1], want [$2]"; }
# The round trips (ms) of a CSV run's answering hosts, one a line.
round_trips() {
  awk -F, '/^address,/ { for (i = 1; i <= NF; ++i) column[$i] = i; next }
           ("status" in column) && $column["status"] == "answered" { print $column["rtt_ms"] }' \
    <<<"$said"
}
# The requests it took each of HOSTS (addresses) to answer in a CSV run.
sends() {
  local h
  for h in "$@"; do
    awk -F, -v h="$h" '/^address,/ { for (i = 1; i <= NF; ++i) column[$i] = i; next }
                        $1 == h { print h, $column["sent"] }' <<<"$said"
  done
}
# Each reply is stamped when it came: replies to one batch, from hosts at
# different distances in it, never share one stamp (read together after the
# batch, they all would).
distinct_round_trips() {
  local all
  all=$(round_trips)
  [ "$(sort -u <<<"$all" | wc -l)" = "$(wc -l <<<"$all")" ] ||
    fail "$1: round trips stamped together: $(tr '\n' ' ' <<<"$all")"
}

expect 0 --help
has "On Windows:"
has "no TCP segment over a raw socket"
has "--link-local is refused"
expect 0 --check
has "raw ICMP socket: allowed: the process runs as an administrator"
has "ICMP echo service (IcmpSendEcho2): available"
has "TCP probes: SYN by connect() only (Windows sends no TCP segments over raw sockets)"
has "ARP: not available: "
for linux_only in ping_group_range sysctl setcap CAP_NET_RAW; do lacks "$linux_only"; done

# What Windows cannot do is refused, with the reason.
expect 4 --probe tcp-ack:80 127.0.0.3
has "tcp-ack probes need a raw socket: Windows sends no TCP segments over raw sockets"
expect 4 --probe arp 10.77.0.2
has "SendARP, which this system does not implement"
expect 4 --link-local
has "--link-local is not available on this system: it needs every host's answer to one echo"

expect 0 -n -a -o csv --timeout 3000 --probe icmp,tcp:8443 127.0.0.1-4 10.99.0.5
has "probing TCP ports by connect(): Windows sends no TCP segments over raw sockets"
same "$(answered)" "$(printf '%s\n' '127.0.0.1 icmp' '127.0.0.2 icmp' '127.0.0.3 tcp:8443' \
  '127.0.0.4 tcp:8443')" "TCP after ICMP on loopback"
grep -q '^10.99.0.5,,silent,' <<<"$said" || fail "10.99.0.5 not silent: $said"

# The lab: exactly the answering hosts, by ICMP (auto falls back from ARP)
# and by TCP connect() (a reset answers).
expect 0 -n -o csv --timeout 3000 10.77.0.0/24
has "probing by ICMP: "
same "$(answered)" "$(printf '10.77.0.%s icmp\n' 1 2 9 130)" "on-link /24"
distinct_round_trips "on-link /24"
expect 0 -n -o csv --timeout 3000 10.78.0.0/24
same "$(answered)" "$(printf '10.78.0.%s icmp\n' 5 77 254)" "routed /24"
distinct_round_trips "routed /24"
# A short time-out: the engine reads only between send batches (250 sendto
# calls take 8-250 ms under Wine), but each reply is stamped as it came and
# each request as it went, so hosts early, half-way and last in the first
# batch of 250 are all in time. Retries absorb a reader thread scheduled late
# on a busy machine (early in a batch, its wake-up waits on the sends); hosts
# later in it answer their first request (counted from the batch's start,
# they took two or three).
expect 0 -n -o csv --timeout 10 --retries 3 10.79.0.0/24
same "$(answered)" "$(printf '10.79.0.%s icmp\n' 3 130 249)" "routed /24, --timeout 10"
same "$(sends 10.79.0.130 10.79.0.249)" "$(printf '10.79.0.%s 1\n' 130 249)" \
  "requests late in a batch answered at --timeout 10"
expect 0 -n -o csv --timeout 3000 --probe tcp:9 10.78.0.0/24
same "$(answered)" "$(printf '10.78.0.%s tcp:9\n' 5 77 254)" "routed /24 by connect()"

[ "$failures" = 0 ] || exit 1
echo "test-windows-cli: every case as expected"

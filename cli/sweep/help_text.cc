// The --help and --version texts, kept apart from the option parser: most of
// the help is prose that changes with every option.
#include <string>

#include "cli/sweep/options.h"
#include "platform/inet/sweep_io.h"  // the platform's own help section

namespace ps::cli {

std::string VersionText() {
  return "pingsweep-cli " PINGSWEEP_VERSION "\n"
         "A concurrent ICMP sweeper, part of PingSweep.\n";
}

std::string HelpText(const std::string& program) {
  return "Usage: " + program + " [OPTION]... [TARGET]...\n"
R"(Find the hosts that answer ICMP echo requests (ping) among many addresses, fast;
with --probe tcp, also those that drop ping but answer on a TCP port.

Every target is probed concurrently over one ICMP socket; a reply counts only
when it comes from the address probed, carries this sweep's keyed cookie and
arrives within the time-out. Without a target, every directly connected IPv4
subnet of the interfaces that are up (loopback excepted) is swept, each capped
at a /16; standard error says which. On a directly connected subnet ARP
requests find the hosts that drop echo requests too (see --probe).

Targets:
  ADDRESS               one address, e.g. 192.168.1.10
  ADDRESS/PREFIX        a CIDR block, e.g. 10.0.0.0/16; its network and
                        broadcast addresses are skipped up to /30
  FIRST-LAST            a range, e.g. 10.0.0.5-10.0.1.20
  ADDRESS-N             a range within the last part, e.g. 10.0.0.5-20
  NAME                  every address of a host name, IPv4 and IPv6 (but
                        IPv6 link-local ones)
  -                     targets from standard input, one a line (as -f)
  IPv6 alike: fd00::1, fd00::/112, fd00::1-fd00::ff, fd00::1-ff (the last
  group); at most 65536 addresses a target
0.0.0.0, 255.255.255.255, multicast (224.0.0.0/4) and reserved (240.0.0.0/4)
addresses are refused, and so are ::, IPv6 multicast and link-local ones (see
--link-local).

Options:
  -f, --file=FILE       read targets from FILE (- for standard input), one a
                        line of at most 4096 bytes; '#' starts a comment
  -x, --exclude=TARGET  do not probe TARGET (any target form; repeatable)
  -t, --timeout=MS      wait MS milliseconds for each reply (default 500)
  -r, --retries=N       probe a silent host N more times (default 1)
  -c, --count=N         send N probes to every host and report the minimum,
                        average and maximum round trip and the loss
                        (default 1; with more, no retries)
  -i, --interval=MS     with --count, wait MS milliseconds between the probes
                        to one host (default 1000)
  -R, --rate=PPS        send at most PPS requests per second (default 10000);
                        'max' sends as fast as the system takes them
  -n, --numeric         do not look up host names (as --names=none)
      --names=LIST      where names come from, sources separated by commas
                        (default all of them, best first): dns (the
                        system's resolver), mdns (multicast DNS, and the
                        DNS-SD services of on-link hosts), netbios (node
                        status: name, workgroup, MAC), llmnr, ssdp (UPnP
                        friendly name and model); none asks nothing
      --name-wait=MS    wait up to MS milliseconds (default 600) for each
                        host's answers, from when it answers the sweep
  -a, --all             list the hosts that did not answer too
  -A, --all-addresses   probe network and broadcast addresses of blocks too
      --allow-large     allow more than 65536 addresses (at most 16777216)
  -o, --format=FORMAT   text (default), csv or json
      --probe=LIST      how to probe: kinds separated by commas (repeatable;
                        the lists add up), e.g. icmp,tcp:22,443,tcp-ack:80.
                        A host is up when any probe is answered. ARP and
                        ICMP go first, then the TCP probes to the hosts still
                        silent, all ports of a host at once. PORTS are
                        numbers or ranges (FIRST-LAST) separated by commas,
                        64 TCP probes at most. The kinds:
                          auto  the default: ARP for targets on a directly
                                connected subnet when a packet socket may be
                                opened, ICMP echo for the rest (for all
                                otherwise). It adds no TCP probes, with a raw
                                socket or not: to a host and to intrusion
                                detection they look like a port scan, so they
                                go only where asked (--probe auto,tcp)
                          icmp  ICMP echo to every target
                          arp   ARP to the on-link targets (off-link ones
                                need another kind in the list)
                          both  arp and icmp, both to on-link targets
                          tcp[:PORTS]
                                a TCP SYN to each port (default
                                443,80,22,445,3389); a SYN-ACK or a reset from
                                the port answers
                          tcp-ack[:PORTS]
                                a TCP ACK to each port (default 80); a reset
                                answers, also through a filter that passes
                                only established traffic
  -I, --interface=IFACE ARP only through IFACE
      --link-local[=IFACE]
                        find the IPv6 hosts on the links of the interfaces
                        given (=IFACE, or as the arguments), or of every
                        interface that is up and carries multicast: one echo
                        request to ff02::1 on each, every host that answers
                        within the time-out (address%interface, name, MAC)
      --check           say which ICMP socket a sweep would use and why,
                        whether ARP is available, or how to allow them;
                        probes nothing
      --watch[=SECONDS] sweep every SECONDS (default 60) until interrupted and
                        print what changed as events (see Watch below)
      --changes         sweep once and print only the events against the
                        inventory, which it then records; exit status 0 when
                        nothing changed, 5 when something did
      --inventory       print the inventory (every device known) and exit
      --offline-after=N a device is offline after N sweeps in a row without
                        an answer and as long without traffic (default 2)
      --quiet-for=SECONDS
                        a flapping device gives at most one offline/online
                        pair per SECONDS (default 300)
      --exec=CMD        run CMD with /bin/sh once per event, the event's
                        fields in PINGSWEEP_* environment variables
      --machine-inventory
                        keep the inventory in the machine's registry root
                        (/var/lib/pingsweep; the system service does), not
                        the user's
  -h, --help            show this help and exit
  -V, --version         show the version and exit

Output:
  text  aligned columns sorted by address (address, name, round trip, TTL;
        the probe that answered when not all were ICMP echo; MAC and vendor
        when some host has one; KIND when some host's is known), then
        "N of M hosts answered in T s"
  csv   RFC 4180 with a header row; the summary goes to standard error
  json  JSON Lines, one object a host; the summary goes to standard error
CSV columns and JSON fields: address, name, status (answered, silent or
error), rtt_ms, rtt_min_ms, rtt_avg_ms, rtt_max_ms, ttl, sent, received,
loss_percent, duplicates, error, mac, vendor, via, and then name_source,
kind and model. JSON adds names (every source's answer), services, and the
NetBIOS workgroup. Absent values are empty in CSV and null in JSON. via
names the probe that answered first: icmp, arp, tcp:PORT (SYN, or
connect()) or tcp-ack:PORT; the round trip is that probe's. For a host
found by TCP, sent counts its rounds of TCP probes.
The MAC address of an on-link host comes from its ARP reply or the kernel's
neighbour table; the vendor from the IEEE registries of the ieee-data package
("private address" for a locally administered one).
Names: each host is asked as soon as it answers the sweep, by every source at
once: reverse DNS; a multicast DNS reverse query to its port 5353 and, on a
directly connected link, to the link's group (224.0.0.251, ff02::fb) with
the unicast-response bit, plus one DNS-SD browse of the link's services; a
NetBIOS node status query; an LLMNR reverse query; one SSDP search per link
and the host's own UPnP description. An answer counts only from the host
asked, to a query of this run (its random id and question echoed), before
--name-wait runs out; nothing is sent to a host that did not answer, but
the links' multicast queries. name is the best name: dns, then mdns,
netbios, llmnr, ssdp (name_source says which). kind is one of printer,
tv/media, phone/tablet, computer, router/gateway (also the default route's
gateway), nas, iot or unknown, from the services, the UPnP device type, the
vendor and NetBIOS, by the table in names/kind_table.cc.
Control and bidirectional formatting characters, and bytes that are not
UTF-8, in names and in every message are written as \xNN, in every format.
While standard error is a terminal, a progress line shows there.

Watch:
  --watch keeps an inventory of the devices on the swept links: one per MAC
  address on a link (one per address beyond a router), with first and last
  seen, addresses, names and their sources, vendor, and whether the MAC is
  randomized (locally administered). It lives in the registry, under
  HKEY_CURRENT_USER\Software\PingSweep\Inventory (HKEY_LOCAL_MACHINE with
  --machine-inventory), so a watch started again announces nothing it knew.
  At most 65536 devices are kept; past that one warning says so and new
  devices are not tracked. Between sweeps it listens on the interfaces of
  on-link targets for ARP, IPv6 neighbour and router solicitations and
  advertisements, and DHCP requests (host name, option 12, and vendor class,
  option 60, become names); that needs CAP_NET_RAW, without which it sweeps
  only and says so once. Events, one a line with an ISO 8601 time, as text
  or JSON Lines (--format json; csv is for --inventory only):
    new       a device never seen before
    online    a device back after an offline
    offline   no answer to N sweeps (--offline-after) and no traffic as long
    address   a device took another address
    conflict  an address answers from another MAC (a warning: possible
              spoofing)
    name      a source gave a device another name
    full      the inventory reached its cap (a warning)
  --exec runs CMD (at most 4 at once, each killed after 10 s; its output
  goes to standard error) with PINGSWEEP_EVENT, PINGSWEEP_TIME,
  PINGSWEEP_WARNING (1 or 0), PINGSWEEP_DEVICE, PINGSWEEP_MAC,
  PINGSWEEP_ADDRESS, PINGSWEEP_PREVIOUS_ADDRESS, PINGSWEEP_PREVIOUS_MAC,
  PINGSWEEP_NAME, PINGSWEEP_PREVIOUS_NAME, PINGSWEEP_SOURCE and
  PINGSWEEP_VENDOR set (empty when absent). Text from the network is only
  ever in these values, escaped as above, never in the command line: quote
  them in CMD ("$PINGSWEEP_NAME"). --inventory fields: device, mac,
  addresses, names, vendor, randomized, online, first_seen, last_seen.

Permissions:
  The unprivileged ICMP datagram socket (ICMPv6 alike) is used when the user's
  group lies in net.ipv4.ping_group_range, else a raw socket (needs
  CAP_NET_RAW). --check prints the commands that allow either. ARP needs a
  packet socket, so CAP_NET_RAW (root, or setcap cap_net_raw+ep on the
  program). TCP probes with CAP_NET_RAW are segments built and read over a
  raw socket, with no connection made: the SYN-ACK of an open port is reset
  by the kernel, as nothing here listens on the source port the sweep holds.
  Without it, tcp SYN probes become non-blocking connect() attempts, at most
  16384 at a time within the open-file limit (its soft value raised as far
  as the hard one allows), each socket closed at once with a reset and no
  data sent; tcp-ack needs CAP_NET_RAW. Once its sockets are open the
  program gives up every capability it holds.

)" + platform::SystemHelpSection() + R"(Large on-link subnets:
  Each on-link address probed takes an entry in the kernel's neighbour table,
  which the whole machine shares (net.ipv4.neigh.default.gc_thresh3 entries).
  The sweep never overfills it, so no answering host is lost, but a subnet
  larger than the table takes a while; standard error says how long. ARP
  probing takes no entry and is not held back.

Exit status:
  0  at least one host answered
  1  no host answered
  2  usage error (the offending text is named)
  3  no permission to send ICMP echo requests or tcp-ack probes (the fixes
     are printed)
  4  another system failure, such as output that cannot be written
  5  --changes: something changed (0: nothing did)
  130  interrupted (Ctrl-C): what was found so far is printed

Examples:
  pingsweep-cli 192.168.1.0/24
  pingsweep-cli -n --rate max --format csv 10.0.0.0/16 > hosts.csv
  pingsweep-cli -c 5 -a 10.0.0.1-20 --exclude 10.0.0.7
  sudo pingsweep-cli --probe arp -I eth0 192.168.1.0/24
  pingsweep-cli fd00::/120 10.0.0.0/24
  sudo pingsweep-cli --probe icmp,tcp:443,22,tcp-ack:80 10.1.0.0/16
  pingsweep-cli --link-local eth0
  sudo pingsweep-cli --watch=120 --exec 'logger -t lan "$PINGSWEEP_EVENT"'
  pingsweep-cli --changes 192.168.1.0/24
  pingsweep-cli --names=mdns,netbios --name-wait=300 -o json 192.168.1.0/24
)";
}

}  // namespace ps::cli

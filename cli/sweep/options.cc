#include "cli/sweep/options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <span>

#include "core/terminal_text.h"
#include "platform/inet/sweep_io.h"

namespace ps::cli {
namespace {

enum LongOnly {
  kAllowLarge = 256, kCheck, kProbe, kLinkLocal, kNames, kNameWait,
  kWatch, kInventory, kChanges, kQuietFor, kOfflineAfter, kExec, kMachineInventory,
};

const option kOptions[] = {
    {"file", required_argument, nullptr, 'f'},
    {"exclude", required_argument, nullptr, 'x'},
    {"timeout", required_argument, nullptr, 't'},
    {"retries", required_argument, nullptr, 'r'},
    {"count", required_argument, nullptr, 'c'},
    {"interval", required_argument, nullptr, 'i'},
    {"rate", required_argument, nullptr, 'R'},
    {"numeric", no_argument, nullptr, 'n'},
    {"all", no_argument, nullptr, 'a'},
    {"all-addresses", no_argument, nullptr, 'A'},
    {"allow-large", no_argument, nullptr, kAllowLarge},
    {"format", required_argument, nullptr, 'o'},
    {"check", no_argument, nullptr, kCheck},
    {"probe", required_argument, nullptr, kProbe},
    {"interface", required_argument, nullptr, 'I'},
    {"link-local", optional_argument, nullptr, kLinkLocal},
    {"watch", optional_argument, nullptr, kWatch},
    {"inventory", no_argument, nullptr, kInventory},
    {"changes", no_argument, nullptr, kChanges},
    {"quiet-for", required_argument, nullptr, kQuietFor},
    {"offline-after", required_argument, nullptr, kOfflineAfter},
    {"exec", required_argument, nullptr, kExec},
    {"machine-inventory", no_argument, nullptr, kMachineInventory},
    {"names", required_argument, nullptr, kNames},
    {"name-wait", required_argument, nullptr, kNameWait},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};
constexpr char kShort[] = ":f:x:t:r:c:i:R:naAo:I:hV";

bool ParseInt(const char* text, long min, long max, long* out) {
  const char* end = text + std::strlen(text);
  const auto [p, ec] = std::from_chars(text, end, *out);
  return ec == std::errc() && p == end && p != text && *out >= min && *out <= max;
}

constexpr std::uint16_t kSynPorts[] = {443, 80, 22, 445, 3389};
constexpr std::uint16_t kAckPorts[] = {80};
constexpr std::size_t kMostTcpProbes = 64;

// What the --probe lists said, all of them together.
struct ProbeList {
  bool given = false, automatic = false, icmp = false, arp = false;
  std::vector<TcpProbeOption> tcp;
};

// PORT or FIRST-LAST, added to `tcp` as `ack` probes; or what is wrong.
Status AddPorts(const std::string& text, bool ack, std::vector<TcpProbeOption>* tcp) {
  const std::size_t dash = text.find('-');
  long first = 0, last = 0;
  if (!ParseInt(text.substr(0, dash).c_str(), 1, 65535, &first) ||
      !ParseInt(dash == std::string::npos ? text.c_str() : text.substr(dash + 1).c_str(), first,
                65535, &last)) {
    return Status::Failure(QuoteText(text) +
                           " is not a port (1 to 65535) or a range of them (FIRST-LAST)");
  }
  for (long port = first; port <= last; ++port) {
    const TcpProbeOption probe{ack, static_cast<std::uint16_t>(port)};
    if (std::find(tcp->begin(), tcp->end(), probe) != tcp->end()) continue;
    if (tcp->size() == kMostTcpProbes)
      return Status::Failure("more than " + std::to_string(kMostTcpProbes) + " TCP probes");
    tcp->push_back(probe);
  }
  return Status::Ok();
}

// One kind of a --probe list, with its ports; *ports_of then says what a
// number after it adds to (-1: nothing; 0 SYN, 1 ACK probes).
Status AddKind(const std::string& item, ProbeList* list, int* ports_of) {
  const std::size_t colon = item.find(':');
  const std::string kind = item.substr(0, colon);
  if (kind == "tcp" || kind == "tcp-ack") {
    const bool ack = kind == "tcp-ack";
    *ports_of = colon == std::string::npos ? -1 : ack;
    if (colon != std::string::npos) return AddPorts(item.substr(colon + 1), ack, &list->tcp);
    for (const std::uint16_t port : ack ? std::span<const std::uint16_t>(kAckPorts)
                                        : std::span<const std::uint16_t>(kSynPorts)) {
      if (Status added = AddPorts(std::to_string(port), ack, &list->tcp); !added.ok()) return added;
    }
    return Status::Ok();
  }
  if (colon == std::string::npos &&
      (kind == "auto" || kind == "icmp" || kind == "arp" || kind == "both")) {
    *ports_of = -1;
    list->automatic = list->automatic || kind == "auto";
    list->icmp = list->icmp || kind == "icmp" || kind == "both";
    list->arp = list->arp || kind == "arp" || kind == "both";
    return Status::Ok();
  }
  return Status::Failure(QuoteText(item) +
                         " is not a probe kind (auto, icmp, arp, both, tcp[:PORTS] or "
                         "tcp-ack[:PORTS])");
}

// One --probe value: kinds separated by commas; a number after tcp:PORT or
// tcp-ack:PORT continues its list of ports ("tcp:22,80,tcp-ack:80").
Status AddProbeList(const std::string& text, ProbeList* list) {
  list->given = true;
  int ports_of = -1;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    const bool number = !item.empty() && item[0] >= '0' && item[0] <= '9' && ports_of >= 0;
    const Status added =
        number ? AddPorts(item, ports_of == 1, &list->tcp) : AddKind(item, list, &ports_of);
    if (!added.ok() || comma == std::string::npos) return added;
    start = comma + 1;
  }
}

// The probes the lists ask for, or why they cannot be.
Status ChooseProbes(const ProbeList& list, Options* o) {
  if (!list.given) return Status::Ok();
  if (list.automatic && (list.icmp || list.arp)) {
    return Status::Failure(
        "--probe: auto chooses between ARP and ICMP itself; give it without icmp, arp or both");
  }
  o->tcp = list.tcp;
  if (list.automatic) o->probe = ProbeMethod::kAuto;
  else if (list.icmp && list.arp) o->probe = ProbeMethod::kBoth;
  else if (list.icmp) o->probe = ProbeMethod::kIcmp;
  else if (list.arp) o->probe = ProbeMethod::kArp;
  else o->probe = ProbeMethod::kNone;
  return Status::Ok();
}

// The options that take a whole number, its bounds, and what it is.
struct NumberOption {
  int option;
  long min, max;
  int Options::*field;
  const char* what;
};
constexpr NumberOption kNumbers[] = {
    {'t', 1, 3600000, &Options::timeout_ms, "a time-out in milliseconds (1 to 3600000)"},
    {'r', 0, 100, &Options::retries, "a number of retries (0 to 100)"},
    {'c', 1, 10000, &Options::count, "a probe count (1 to 10000)"},
    {'i', 0, 3600000, &Options::interval_ms, "an interval in milliseconds (0 to 3600000)"},
    {kWatch, 1, 86400, &Options::watch_seconds, "a number of seconds (1 to 86400)"},
    {kQuietFor, 0, 86400, &Options::quiet_for_s, "a number of seconds (0 to 86400)"},
    {kOfflineAfter, 1, 1000, &Options::offline_after, "a number of sweeps (1 to 1000)"},
    {kNameWait, 0, 10000, &Options::name_wait_ms, "a wait in milliseconds (0 to 10000)"},
};

// `name: 'value' is not <what>`, the value as typed, escaped.
Status NotA(const std::string& name, const std::string& value, const std::string& what) {
  return Status::Failure(name + ": " + QuoteText(value) + " is not " + what);
}

// --names: source words separated by commas, or "none".
Status ParseNameSources(const std::string& name, const std::string& arg, unsigned* out) {
  static constexpr const char* kWords[] = {"dns", "mdns", "netbios", "llmnr", "ssdp"};
  *out = 0;
  if (arg == "none") return Status::Ok();
  std::size_t at = 0;
  do {
    const std::size_t comma = std::min(arg.find(',', at), arg.size());
    const std::string word = arg.substr(at, comma - at);
    const auto it = std::find(std::begin(kWords), std::end(kWords), word);
    if (it == std::end(kWords))
      return NotA(name, word, "a name source (dns, mdns, netbios, llmnr, ssdp or none)");
    *out |= 1u << (it - std::begin(kWords));
    at = comma + 1;
  } while (at <= arg.size());
  return Status::Ok();
}

// An option's value: a number, a rate, a format, an interface.
Status ApplyValue(int c, const std::string& name, const std::string& arg, Options* o) {
  long v = 0;
  for (const NumberOption& n : kNumbers) {
    if (n.option != c) continue;
    if (!ParseInt(arg.c_str(), n.min, n.max, &v)) return NotA(name, arg, n.what);
    o->*n.field = static_cast<int>(v);
    return Status::Ok();
  }
  switch (c) {
    case 'R':
      if (arg == "max") o->rate = 0;
      else if (ParseInt(arg.c_str(), 1, 100000000, &v)) o->rate = static_cast<double>(v);
      else return NotA(name, arg, "a rate (packets per second, or 'max')");
      return Status::Ok();
    case 'o':
      if (arg == "text") o->format = Format::kText;
      else if (arg == "csv") o->format = Format::kCsv;
      else if (arg == "json") o->format = Format::kJson;
      else return NotA(name, arg, "a format (text, csv or json)");
      return Status::Ok();
    case kNames: return ParseNameSources(name, arg, &o->name_sources);
    case 'I':
      if (arg.empty()) return Status::Failure(name + ": needs an interface name");
      o->interface = arg;
      return Status::Ok();
    case kExec:
      if (arg.empty()) return Status::Failure(name + ": needs a command");
      o->exec = arg;
      return Status::Ok();
  }
  return Status::Failure("unknown option " + QuoteText(name));
}

// One option getopt_long returned (`c`), with its value if it takes one.
Status Apply(int c, const std::string& name, const std::string& arg, char** argv, Options* o) {
  switch (c) {
    case 'f': o->files.push_back(arg); return Status::Ok();
    case 'x': o->excludes.push_back(arg); return Status::Ok();
    case 'n': o->numeric = true; return Status::Ok();
    case 'a': o->all = true; return Status::Ok();
    case 'A': o->all_addresses = true; return Status::Ok();
    case kAllowLarge: o->allow_large = true; return Status::Ok();
    case kCheck: o->check = true; return Status::Ok();
    case kInventory: o->inventory = true; return Status::Ok();
    case kChanges: o->changes = true; return Status::Ok();
    case kMachineInventory: o->machine_inventory = true; return Status::Ok();
    case kWatch:
      if (arg.empty()) {
        o->watch_seconds = 60;
        return Status::Ok();
      }
      break;  // a number of seconds
    case 'h': o->help = true; return Status::Ok();
    case 'V': o->version = true; return Status::Ok();
    case kLinkLocal:
      o->link_local = true;
      if (!arg.empty()) o->link_local_interfaces.push_back(arg);
      return Status::Ok();
    case ':': return Status::Failure(EscapeText(argv[optind - 1]) + ": needs a value");
    case '?':
      return Status::Failure(
          "unknown option " + QuoteText(optopt != 0 ? std::string("-") + static_cast<char>(optopt)
                                                    : std::string(argv[optind - 1])));
  }
  return ApplyValue(c, name, arg, o);
}

}  // namespace

Result<Options> ParseOptions(int argc, char** argv) {
  Options o;
  ProbeList probes;  // --probe lists add up: chosen at the end
  Status first_error;
  opterr = 0;
  optind = 0;  // full re-initialisation, so that tests can parse again
  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, argv, kShort, kOptions, &index);
    if (c == -1) break;
    const std::string arg = optarg != nullptr ? optarg : "";
    const std::string name =
        index >= 0 ? std::string("--") + kOptions[index].name : std::string("-") + static_cast<char>(c);
    Status applied = c == kProbe ? AddProbeList(arg, &probes) : Apply(c, name, arg, argv, &o);
    if (c == kProbe && !applied.ok()) applied = Status::Failure(name + ": " + applied.message());
    if (!applied.ok() && first_error.ok()) first_error = std::move(applied);
  }
  if (first_error.ok()) first_error = ChooseProbes(probes, &o);
  if (o.numeric) o.name_sources = 0;
  if (!first_error.ok()) return first_error;
  for (int i = optind; i < argc; ++i) o.targets.emplace_back(argv[i]);
  return o;
}

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

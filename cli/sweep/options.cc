#include "cli/sweep/options.h"

#include <getopt.h>

#include <charconv>
#include <cstring>

#include "core/terminal_text.h"

namespace ps::cli {
namespace {

enum LongOnly { kAllowLarge = 256, kCheck, kProbe, kLinkLocal };

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
};

// `name: 'value' is not <what>`, the value as typed, escaped.
Status NotA(const std::string& name, const std::string& value, const std::string& what) {
  return Status::Failure(name + ": " + QuoteText(value) + " is not " + what);
}

// An option's value: a number, a rate, a format, a probe method, an interface.
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
    case kProbe:
      if (arg == "auto") o->probe = ProbeMethod::kAuto;
      else if (arg == "icmp") o->probe = ProbeMethod::kIcmp;
      else if (arg == "arp") o->probe = ProbeMethod::kArp;
      else if (arg == "both") o->probe = ProbeMethod::kBoth;
      else return NotA(name, arg, "a probe kind (auto, icmp, arp or both)");
      return Status::Ok();
    case 'I':
      if (arg.empty()) return Status::Failure(name + ": needs an interface name");
      o->interface = arg;
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
    if (Status applied = Apply(c, name, arg, argv, &o); !applied.ok() && first_error.ok())
      first_error = std::move(applied);
  }
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
R"(Find the hosts that answer ICMP echo requests (ping) among many addresses, fast.

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
  -n, --numeric         do not look up host names
  -a, --all             list the hosts that did not answer too
  -A, --all-addresses   probe network and broadcast addresses of blocks too
      --allow-large     allow more than 65536 addresses (at most 16777216)
  -o, --format=FORMAT   text (default), csv or json
      --probe=KIND      auto (default): ARP for targets on a directly connected
                        subnet when a packet socket may be opened, ICMP for
                        the rest and otherwise; icmp; arp (on-link targets
                        only); both (ARP and ICMP for on-link targets)
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
  -h, --help            show this help and exit
  -V, --version         show the version and exit

Output:
  text  aligned columns sorted by address (address, name, round trip, TTL;
        MAC and vendor when some host has one), then "N of M hosts answered
        in T s"
  csv   RFC 4180 with a header row; the summary goes to standard error
  json  JSON Lines, one object a host; the summary goes to standard error
CSV columns and JSON fields: address, name, status (answered, silent or
error), rtt_ms, rtt_min_ms, rtt_avg_ms, rtt_max_ms, ttl, sent, received,
loss_percent, duplicates, error, mac, vendor. Absent values are empty in CSV
and null in JSON. The MAC address of an on-link host comes from its ARP reply
or the kernel's neighbour table; the vendor from the IEEE registries of the
ieee-data package ("private address" for a locally administered one).
Control and bidirectional formatting characters, and bytes that are not
UTF-8, in names and in every message are written as \xNN, in every format.
While standard error is a terminal, a progress line shows there.

Permissions:
  The unprivileged ICMP datagram socket (ICMPv6 alike) is used when the user's
  group lies in net.ipv4.ping_group_range, else a raw socket (needs
  CAP_NET_RAW). --check prints the commands that allow either. ARP needs a
  packet socket, so CAP_NET_RAW (root, or setcap cap_net_raw+ep on the
  program). Once its sockets are open the program gives up every capability
  it holds.

Large on-link subnets:
  Each on-link address probed takes an entry in the kernel's neighbour table,
  which the whole machine shares (net.ipv4.neigh.default.gc_thresh3 entries).
  The sweep never overfills it, so no answering host is lost, but a subnet
  larger than the table takes a while; standard error says how long. ARP
  probing takes no entry and is not held back.

Exit status:
  0  at least one host answered
  1  no host answered
  2  usage error (the offending text is named)
  3  no permission to send ICMP echo requests (the fixes are printed)
  4  another system failure, such as output that cannot be written
  130  interrupted (Ctrl-C): what was found so far is printed

Examples:
  pingsweep-cli 192.168.1.0/24
  pingsweep-cli -n --rate max --format csv 10.0.0.0/16 > hosts.csv
  pingsweep-cli -c 5 -a 10.0.0.1-20 --exclude 10.0.0.7
  sudo pingsweep-cli --probe arp -I eth0 192.168.1.0/24
  pingsweep-cli fd00::/120 10.0.0.0/24
  pingsweep-cli --link-local eth0
)";
}

}  // namespace ps::cli

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
    case kNames:
      o->names_asked = true;
      return ParseNameSources(name, arg, &o->name_sources);
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

}  // namespace ps::cli

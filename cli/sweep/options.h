// The command line of pingsweep-cli: GNU-style options parsed into values,
// and the --help and --version texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"

namespace ps::cli {

enum class Format { kText, kCsv, kJson };
// How targets are probed before any TCP probes: ARP for on-link ones (auto:
// when a packet socket may be opened), ICMP echo, both, or neither (TCP
// probes alone).
enum class ProbeMethod { kAuto, kIcmp, kArp, kBoth, kNone };

// A TCP probe asked for: a SYN (tcp:PORT) or an ACK (tcp-ack:PORT).
struct TcpProbeOption {
  bool ack = false;
  std::uint16_t port = 0;
  bool operator==(const TcpProbeOption&) const = default;
};

struct Options {
  std::vector<std::string> targets;   // as typed; "-" reads standard input
  std::vector<std::string> files;     // -f; "-" is standard input
  std::vector<std::string> excludes;
  int timeout_ms = 500;
  int retries = 1;
  int count = 1;
  int interval_ms = 1000;
  double rate = 10000;  // 0 = max
  bool numeric = false;  // -n: no name source at all
  // --names: the sources asked, bit (1 << names::Source): dns, mdns,
  // netbios, llmnr, ssdp; all by default.
  unsigned name_sources = 0x1F;
  bool names_asked = false;  // --names was given: a source it names must work
  // --name-wait: how long each host's name queries may take from the moment
  // it answers the sweep.
  int name_wait_ms = 600;
  bool all = false;
  bool all_addresses = false;
  bool allow_large = false;
  Format format = Format::kText;
  ProbeMethod probe = ProbeMethod::kAuto;
  // Sent after ARP and ICMP to the targets still silent; in the order given.
  std::vector<TcpProbeOption> tcp;
  std::string interface;  // ARP only on this interface; "" = any
  bool check = false;
  // Discover IPv6 hosts on these interfaces (all multicast ones when empty);
  // the targets then name interfaces too.
  bool link_local = false;
  std::vector<std::string> link_local_interfaces;
  // The watch (watch_run.h): a sweep every watch_seconds (0: no watch), or
  // --inventory, or --changes; events as text or JSON Lines.
  int watch_seconds = 0;
  bool inventory = false;
  bool changes = false;
  int quiet_for_s = 300;
  int offline_after = 2;  // sweeps without an answer before `offline`
  std::string exec;       // run once per event; "" = none
  bool machine_inventory = false;  // the machine's registry root, not the user's
  bool help = false;
  bool version = false;
};

// Parses argv (getopt_long; options and targets may be mixed, "--" ends the
// options): the options, or the first usage error, naming the offending text.
// Thread-unsafe: getopt keeps global state.
Result<Options> ParseOptions(int argc, char** argv);

// The texts printed by --help and --version (help2man reads both).
std::string HelpText(const std::string& program);
std::string VersionText();

}  // namespace ps::cli

// Writing sweep results: aligned text, RFC 4180 CSV, JSON Lines.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/sweep/options.h"
#include "sweep/engine.h"

namespace ps::cli {

// One host as printed: the engine's result, its name, MAC address and the
// MAC's vendor ("" for none). Names, vendors and zones are written through
// EscapeText (core/terminal_text.h) in every format.
struct HostLine {
  sweep::HostResult result;
  std::string name;
  std::string mac;
  std::string vendor;
  std::string zone;  // IPv6 link-local: the interface, shown as address%zone
  // From the name sources (all "" or empty with -n): the source of `name`
  // ("dns", "mdns", "netbios", "llmnr", "ssdp"), every source's answer as
  // (source, name) best first, the DNS-SD service types, the UPnP model and
  // what the host is (names/kind_table.h).
  std::string name_source;
  std::vector<std::pair<std::string, std::string>> names;
  std::vector<std::string> services;
  std::string model;
  std::string kind;
  std::string workgroup;  // NetBIOS
};

// "answered", "silent" or "error".
std::string StatusWord(const sweep::HostResult& r);
// The probe that answered first: "icmp", "arp", "tcp:443" or "tcp-ack:80";
// "" when none did.
std::string ViaText(const sweep::HostResult& r);
// The ICMP error or failed send, e.g. "host unreachable from 10.0.0.1"; "" if none.
std::string ProbeFailureText(const sweep::HostResult& r);

// The address as printed: with "%zone" for an IPv6 link-local one.
std::string AddressText(const HostLine& h);
// One host as a line of JSON Lines.
void WriteJsonLine(std::ostream& out, const HostLine& h);

// The hosts to write, made one at a time, so that a sweep of a /16 never holds
// every line at once. The text format asks for each host twice.
class HostSource {
 public:
  virtual ~HostSource() = default;
  virtual std::size_t size() const = 0;
  // The i-th host; valid until the next call.
  virtual const HostLine& Get(std::size_t i) = 0;
};

// Writes the hosts (in the order given) in the chosen format. `count` is the
// probes per host asked for (min/avg/max and loss are shown when above 1).
void WriteHosts(std::ostream& out, Format format, HostSource& hosts, int count);
void WriteHosts(std::ostream& out, Format format, const std::vector<HostLine>& hosts, int count);
// A time in milliseconds as printed: "%.3f" of ns / 1e6.
std::string Milliseconds(std::int64_t ns);
// "N of M hosts answered in T s".
std::string SummaryLine(const sweep::SweepSummary& summary);

}  // namespace ps::cli

// The addresses a sweep probes, from what the user typed: an address, a CIDR
// block, a range, a host name or a file of them, less the exclusions.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"
#include "platform/inet/sweep_io.h"
#include "platform/memory/bulk_memory.h"

namespace ps::sweep {

// A sweep's addresses: a /16's are a megabyte, filled at once, in bulk
// memory (a page fault per 2 MB).
using TargetAddresses = std::vector<IpAddress, platform::BulkAllocator<IpAddress>>;

// Above this many addresses a sweep must be asked for explicitly.
// (Also the most one IPv6 target may hold: a /112.)
inline constexpr std::uint64_t kLargeSweep = 65536;
// No sweep holds more (a /8): each address costs about 150 bytes of state.
inline constexpr std::uint64_t kLargestSweep = 1u << 24;
// A line of targets holds at most this many bytes, its line break aside.
inline constexpr std::size_t kMaxLineBytes = 4096;

struct TargetRules {
  bool all_addresses = false;  // keep network and broadcast addresses of blocks up to /30
  bool allow_large = false;    // more than kLargeSweep addresses
};

class TargetList {
 public:
  // The resolver answers host names; it is used during Add only.
  explicit TargetList(platform::Resolver* resolver) : resolver_(resolver) {}

  // Adds one target: "10.0.0.1", "10.0.0.0/16", "10.0.0.5-10.0.1.20",
  // "10.0.0.5-20", or a host name (all its addresses, IPv4 and IPv6, but
  // link-local IPv6 ones, which need an interface); IPv6 alike:
  // "fd00::1", "fd00::/112", "fd00::1-fd00::ff", "fd00::1-ff" (the last
  // group), each of at most kLargeSweep addresses. Refuses 0.0.0.0,
  // 255.255.255.255, multicast, 240.0.0.0/4, ::, IPv6 multicast and
  // link-local (no interface to send on). A failure names the target.
  Status Add(std::string_view text);
  // The same forms, removed from the result whatever the order of calls.
  Status Exclude(std::string_view text);
  // One target a line; '#' starts a comment; blank lines are skipped. A
  // failure names `source` and the line number.
  Status AddLines(std::istream& in, std::string_view source);
  // A CIDR block as-is (network and broadcast skipped per the rules).
  void AddBlock(const IpAddress& network, int prefix);

  void set_rules(const TargetRules& rules) { rules_ = rules; }

  // Addresses counted after exclusions (no expansion).
  std::uint64_t Count() const;
  // Sorted, without duplicates or exclusions. Fails when there are more than
  // kLargeSweep and large sweeps are not allowed, or more than kLargestSweep.
  Result<TargetAddresses> Expand() const;

 private:
  __extension__ typedef unsigned __int128 Number;  // an address as one number
  struct Range {
    Number first;
    Number last;
  };
  // Index 0: IPv4, 1: IPv6.
  using Ranges = std::array<std::vector<Range>, 2>;
  // One target of any form into `out`. `adding`: a target to probe (refused
  // when special; a block loses its network and broadcast addresses per the
  // rules); else an exclusion, taken whole.
  Status Parse(std::string_view text, bool adding, Ranges* out) const;
  // The steps of Parse: an IPv6 form, an IPv4 form, a host name's addresses.
  Status ParseV6(std::string_view text, bool adding, std::vector<Range>* out) const;
  Status ParseV4(std::string_view text, bool adding, std::vector<Range>* out) const;
  Status ParseName(std::string_view text, Ranges* out) const;
  std::vector<Range> Effective(int family) const;

  platform::Resolver* resolver_;
  TargetRules rules_;
  Ranges include_;
  Ranges exclude_;
};

}  // namespace ps::sweep

// Which ICMP socket a sweep gets, and what to do when it gets none.
#pragma once

#include <memory>
#include <string>

#include "platform/inet/sweep_io.h"

namespace ps::cli {

struct SocketChoice {
  std::unique_ptr<platform::IcmpSocket> socket;  // null when neither kind opened
  int datagram_error = 0;
  int raw_error = 0;
};

// The datagram ("ping") socket where allowed, else a raw one (ICMPv6 ones
// for IPv6; the same ping_group_range governs both).
SocketChoice OpenIcmpSocket(platform::IcmpOpener* opener,
                            IpAddress::Family family = IpAddress::Family::kV4);

// True when the errors mean "not allowed" rather than a failure of the system.
bool PermissionDenied(const SocketChoice& choice);

// The exact commands that allow this user and this program to send ICMP echo
// requests (platform::IcmpPermissionFixes).
std::string PermissionFixes(const platform::IcmpPermissionFacts& facts);

// The --check report: which kind of socket a sweep would use and why, for
// IPv4 and then IPv6 targets ("IPv6 not available" on a system without it);
// the fixes when neither may be opened. *usable says whether an IPv4 one
// could be (IPv6 is reported only).
std::string CheckReport(platform::IcmpOpener* opener, bool* usable);

}  // namespace ps::cli

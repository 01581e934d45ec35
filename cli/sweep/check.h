// pingsweep-cli --check: which ICMP socket a sweep would get, and why.
// (Opening it, and the fixes when none may be opened: platform/inet/icmp_access.h.)
#pragma once

#include <string>

#include "platform/inet/sweep_io.h"

namespace ps::cli {

// The --check report: which kind of socket a sweep would use and why, for
// IPv4 and then IPv6 targets ("IPv6 not available" on a system without it);
// the fixes when neither may be opened. *usable says whether an IPv4 one
// could be (IPv6 is reported only).
std::string CheckReport(platform::IcmpOpener* opener, bool* usable);

}  // namespace ps::cli

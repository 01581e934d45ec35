// What an ICMP or ICMPv6 error says, in words for the user.
#pragma once

#include <string>

#include "core/ip_address.h"

namespace ps::platform {

// "host unreachable", "hop limit exceeded", ...: the error of `type` and
// `code` (RFC 792 for IPv4, RFC 4443 for IPv6); unknown ones by number.
std::string IcmpErrorText(IpAddress::Family family, int type, int code);

}  // namespace ps::platform

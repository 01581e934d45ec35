#include "cli/sweep/check.h"

#include <cstring>
#include <utility>

#include "core/terminal_text.h"
#include "platform/inet/icmp_access.h"

namespace ps::cli {
namespace {

using platform::GroupInRange;
using platform::IcmpSocket;

bool Denied(int error) {
  return platform::ClassifyIcmpFailure(error) == platform::IcmpFailure::kNotAllowed;
}

std::string GroupText(const platform::IcmpPermissionFacts& f) {
  return std::to_string(f.group_id) +
         (f.group_name.empty() ? "" : " (" + EscapeText(f.group_name) + ")");
}

}  // namespace

SocketChoice OpenIcmpSocket(platform::IcmpOpener* opener, IpAddress::Family family) {
  platform::IcmpSocketChoice opened = platform::OpenPreferredIcmpSocket(*opener, family);
  return {std::move(opened.socket), opened.datagram.system_error(), opened.raw.system_error()};
}

bool PermissionDenied(const SocketChoice& choice) {
  return !choice.socket && Denied(choice.datagram_error) && Denied(choice.raw_error);
}

std::string PermissionFixes(const platform::IcmpPermissionFacts& f) {
  return platform::IcmpPermissionFixes(f);
}

namespace {

// Whether each kind of socket of a family may be opened (each is closed again).
struct Attempt {
  bool datagram = false;
  bool raw = false;
  int datagram_error = 0;
  int raw_error = 0;
};

Attempt TryBoth(platform::IcmpOpener* opener, IpAddress::Family family) {
  Attempt a;
  const auto datagram = opener->Open(family, IcmpSocket::Kind::kDatagram);
  const auto raw = opener->Open(family, IcmpSocket::Kind::kRaw);
  a.datagram = datagram.ok();
  a.raw = raw.ok();
  a.datagram_error = datagram.status().system_error();
  a.raw_error = raw.status().system_error();
  return a;
}

// One line for each kind of socket: may it be opened, and why. `icmp` names
// the protocol ("ICMP" or "ICMPv6").
std::string KindLines(const Attempt& a, const platform::IcmpPermissionFacts& f, const std::string& icmp) {
  std::string text;
  const std::string range = f.ping_group_range.empty() ? "unreadable" : "\"" + f.ping_group_range + "\"";
  text += icmp + " datagram (ping) socket: ";
  if (a.datagram) {
    text += "allowed: group " + GroupText(f) + " is within net.ipv4.ping_group_range " + range + "\n";
  } else if (Denied(a.datagram_error)) {
    text += "not allowed: group " + GroupText(f) +
            (GroupInRange(f.ping_group_range, f.group_id) ? " is within" : " is outside") +
            " net.ipv4.ping_group_range " + range + "\n";
  } else {
    text += std::string("unavailable: ") + std::strerror(a.datagram_error) + "\n";
  }
  text += "raw " + icmp + " socket: ";
  if (a.raw) {
    text += f.cap_net_raw ? "allowed: the process holds CAP_NET_RAW\n" : "allowed\n";
  } else if (Denied(a.raw_error)) {
    text += "not allowed: needs CAP_NET_RAW, which this process does not hold\n";
  } else {
    text += std::string("unavailable: ") + std::strerror(a.raw_error) + "\n";
  }
  return text;
}

}  // namespace

std::string CheckReport(platform::IcmpOpener* opener, bool* usable) {
  const platform::IcmpPermissionFacts f = opener->PermissionFacts();
  const Attempt v4 = TryBoth(opener, IpAddress::Family::kV4);
  std::string text = KindLines(v4, f, "ICMP");
  *usable = v4.datagram || v4.raw;
  if (v4.datagram) {
    text += "A sweep would use the datagram socket (no privilege needed).\n";
  } else if (v4.raw) {
    text += "A sweep would use the raw socket.\n";
  } else {
    text += "A sweep cannot send ICMP echo requests.\n" + PermissionFixes(f);
  }
  // IPv6 is reported but decides nothing: most sweeps are of IPv4 targets, and
  // a system without IPv6 is not a fault.
  const Attempt v6 = TryBoth(opener, IpAddress::Family::kV6);
  if (!v6.datagram && !v6.raw && !Denied(v6.datagram_error) && !Denied(v6.raw_error)) {
    return text + "ICMPv6: IPv6 not available (" + std::strerror(v6.datagram_error) +
           "); IPv6 targets cannot be swept\n";
  }
  text += KindLines(v6, f, "ICMPv6");
  if (v6.datagram) {
    text += "A sweep of IPv6 targets would use the ICMPv6 datagram socket (no privilege needed).\n";
  } else if (v6.raw) {
    text += "A sweep of IPv6 targets would use the raw ICMPv6 socket.\n";
  } else {
    text += "A sweep of IPv6 targets cannot send ICMPv6 echo requests.\n";
    if (*usable) text += PermissionFixes(f);
  }
  return text;
}

}  // namespace ps::cli

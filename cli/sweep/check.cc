#include "cli/sweep/check.h"

#include <string>

#include "core/terminal_text.h"
#include "platform/inet/icmp_access.h"

namespace ps::cli {
namespace {

using platform::GroupInRange;
using platform::IcmpSocket;

bool Denied(const Status& status) {
  return !status.ok() &&
         platform::ClassifyIcmpFailure(status.system_error()) == platform::IcmpFailure::kNotAllowed;
}

std::string GroupText(const platform::IcmpPermissionFacts& f) {
  return std::to_string(f.group_id) +
         (f.group_name.empty() ? "" : " (" + EscapeText(f.group_name) + ")");
}

// Whether each kind of socket of a family may be opened (each is closed
// again): ok, or why not.
struct Attempt {
  Status datagram;
  Status raw;
};

Attempt TryBoth(platform::IcmpOpener* opener, IpAddress::Family family) {
  return {opener->Open(family, IcmpSocket::Kind::kDatagram).status(),
          opener->Open(family, IcmpSocket::Kind::kRaw).status()};
}

// One line for each kind of socket: may it be opened, and why. `icmp` names
// the protocol ("ICMP" or "ICMPv6").
std::string KindLines(const Attempt& a, const platform::IcmpPermissionFacts& f, const std::string& icmp) {
  std::string text;
  const std::string range = f.ping_group_range.empty() ? "unreadable" : "\"" + f.ping_group_range + "\"";
  text += icmp + " datagram (ping) socket: ";
  if (a.datagram.ok()) {
    text += "allowed: group " + GroupText(f) + " is within net.ipv4.ping_group_range " + range + "\n";
  } else if (Denied(a.datagram)) {
    text += "not allowed: group " + GroupText(f) +
            (GroupInRange(f.ping_group_range, f.group_id) ? " is within" : " is outside") +
            " net.ipv4.ping_group_range " + range + "\n";
  } else {
    text += "unavailable: " + a.datagram.message() + "\n";
  }
  text += "raw " + icmp + " socket: ";
  if (a.raw.ok()) {
    text += f.cap_net_raw ? "allowed: the process holds CAP_NET_RAW\n" : "allowed\n";
  } else if (Denied(a.raw)) {
    text += "not allowed: needs CAP_NET_RAW, which this process does not hold\n";
  } else {
    text += "unavailable: " + a.raw.message() + "\n";
  }
  return text;
}

// Under Windows's rules: the echo service for anyone, a raw IPv4 socket for
// an administrator (the opener gives the raw one for either kind when it may).
std::string WindowsReport(platform::IcmpOpener* opener, const platform::IcmpPermissionFacts& f,
                          bool* usable) {
  const Attempt v4 = TryBoth(opener, IpAddress::Family::kV4);
  std::string text = "raw ICMP socket: ";
  if (v4.raw.ok()) text += "allowed: the process runs as an administrator\n";
  else if (Denied(v4.raw)) text += "not allowed: only an administrator may open one\n";
  else text += "unavailable: " + v4.raw.message() + "\n";
  text += "ICMP echo service (IcmpSendEcho2): " +
          (v4.datagram.ok() ? std::string("available, no rights needed\n")
                            : "unavailable: " + v4.datagram.message() + "\n");
  *usable = v4.datagram.ok() || v4.raw.ok();
  if (v4.raw.ok()) {
    text += "A sweep would use the raw socket.\n";
  } else if (v4.datagram.ok()) {
    text += "A sweep would use the echo service, many requests at once; run as an administrator "
            "(\"Run as administrator\") it would use a raw socket, which is faster.\n";
  } else {
    text += "A sweep cannot send ICMP echo requests.\n" + platform::IcmpPermissionFixes(f);
  }
  const Status v6 = opener->Open(IpAddress::Family::kV6, IcmpSocket::Kind::kDatagram).status();
  if (!v6.ok()) {
    return text + "ICMPv6: IPv6 not available (" + v6.message() + "); IPv6 targets cannot be swept\n";
  }
  return text + "A sweep of IPv6 targets would use the ICMPv6 echo service (Icmp6SendEcho2); "
                "raw ICMPv6 sockets are not used on Windows.\n";
}

}  // namespace

std::string CheckReport(platform::IcmpOpener* opener, bool* usable) {
  const platform::IcmpPermissionFacts f = opener->PermissionFacts();
  if (f.rules == platform::IcmpPermissionFacts::Rules::kWindows) return WindowsReport(opener, f, usable);
  const Attempt v4 = TryBoth(opener, IpAddress::Family::kV4);
  std::string text = KindLines(v4, f, "ICMP");
  *usable = v4.datagram.ok() || v4.raw.ok();
  if (v4.datagram.ok()) {
    text += "A sweep would use the datagram socket (no privilege needed).\n";
  } else if (v4.raw.ok()) {
    text += "A sweep would use the raw socket.\n";
  } else {
    text += "A sweep cannot send ICMP echo requests.\n" + platform::IcmpPermissionFixes(f);
  }
  // IPv6 is reported but decides nothing: most sweeps are of IPv4 targets, and
  // a system without IPv6 is not a fault.
  const Attempt v6 = TryBoth(opener, IpAddress::Family::kV6);
  if (!v6.datagram.ok() && !v6.raw.ok() && !Denied(v6.datagram) && !Denied(v6.raw)) {
    return text + "ICMPv6: IPv6 not available (" + v6.datagram.message() +
           "); IPv6 targets cannot be swept\n";
  }
  text += KindLines(v6, f, "ICMPv6");
  if (v6.datagram.ok()) {
    text += "A sweep of IPv6 targets would use the ICMPv6 datagram socket (no privilege needed).\n";
  } else if (v6.raw.ok()) {
    text += "A sweep of IPv6 targets would use the raw ICMPv6 socket.\n";
  } else {
    text += "A sweep of IPv6 targets cannot send ICMPv6 echo requests.\n";
    if (*usable) text += platform::IcmpPermissionFixes(f);
  }
  return text;
}

}  // namespace ps::cli

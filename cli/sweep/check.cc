#include "cli/sweep/check.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include "core/terminal_text.h"

namespace ps::cli {
namespace {

using platform::IcmpSocket;

bool Denied(int error) { return error == EACCES || error == EPERM; }

// The smallest ping_group_range that keeps the groups allowed now and adds `gid`.
std::string WidenedRange(const std::string& current, unsigned gid) {
  std::istringstream in(current);
  long long lo = 1, hi = 0;
  in >> lo >> hi;
  if (!in || lo > hi) return std::to_string(gid) + " " + std::to_string(gid);
  lo = std::min<long long>(lo, gid);
  hi = std::max<long long>(hi, gid);
  return std::to_string(lo) + " " + std::to_string(hi);
}

bool GroupInRange(const std::string& range, unsigned gid) {
  std::istringstream in(range);
  long long lo = 1, hi = 0;
  in >> lo >> hi;
  return in && lo <= gid && gid <= hi;
}

std::string GroupText(const platform::IcmpPermissionFacts& f) {
  return std::to_string(f.group_id) +
         (f.group_name.empty() ? "" : " (" + EscapeText(f.group_name) + ")");
}

}  // namespace

SocketChoice OpenIcmpSocket(platform::IcmpOpener* opener, IpAddress::Family family) {
  SocketChoice choice;
  choice.socket = opener->Open(family, IcmpSocket::Kind::kDatagram, &choice.datagram_error);
  if (!choice.socket) choice.socket = opener->Open(family, IcmpSocket::Kind::kRaw, &choice.raw_error);
  return choice;
}

bool PermissionDenied(const SocketChoice& choice) {
  return !choice.socket && Denied(choice.datagram_error) && Denied(choice.raw_error);
}

std::string PermissionFixes(const platform::IcmpPermissionFacts& f) {
  const std::string range = WidenedRange(f.ping_group_range, f.group_id);
  std::string text;
  text += "To allow it, do one of these (as root):\n";
  text += "  let group " + GroupText(f) + " open ICMP datagram sockets, now and after a reboot:\n";
  text += "    echo 'net.ipv4.ping_group_range = " + range +
          "' | sudo tee /etc/sysctl.d/60-pingsweep.conf\n";
  text += "    sudo sysctl -p /etc/sysctl.d/60-pingsweep.conf\n";
  text += "  or let this program open raw sockets:\n";
  text += "    sudo setcap cap_net_raw+ep " + EscapeText(f.program_path) + "\n";
  return text;
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
  a.datagram = opener->Open(family, IcmpSocket::Kind::kDatagram, &a.datagram_error) != nullptr;
  a.raw = opener->Open(family, IcmpSocket::Kind::kRaw, &a.raw_error) != nullptr;
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

#include "cli/check.h"

#include <cerrno>
#include <cstring>
#include <sstream>

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
  return std::to_string(f.group_id) + (f.group_name.empty() ? "" : " (" + f.group_name + ")");
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
  text += "    sudo setcap cap_net_raw+ep " + f.program_path + "\n";
  return text;
}

std::string CheckReport(platform::IcmpOpener* opener, bool* usable) {
  const platform::IcmpPermissionFacts f = opener->PermissionFacts();
  int datagram_error = 0, raw_error = 0;
  const bool datagram =
      opener->Open(IpAddress::Family::kV4, IcmpSocket::Kind::kDatagram, &datagram_error) != nullptr;
  const bool raw = opener->Open(IpAddress::Family::kV4, IcmpSocket::Kind::kRaw, &raw_error) != nullptr;
  std::string text;
  const std::string range = f.ping_group_range.empty() ? "unreadable" : "\"" + f.ping_group_range + "\"";
  text += "ICMP datagram (ping) socket: ";
  if (datagram) {
    text += "allowed: group " + GroupText(f) + " is within net.ipv4.ping_group_range " + range + "\n";
  } else if (Denied(datagram_error)) {
    text += "not allowed: group " + GroupText(f) +
            (GroupInRange(f.ping_group_range, f.group_id) ? " is within" : " is outside") +
            " net.ipv4.ping_group_range " + range + "\n";
  } else {
    text += std::string("unavailable: ") + std::strerror(datagram_error) + "\n";
  }
  text += "raw ICMP socket: ";
  if (raw) {
    text += f.cap_net_raw ? "allowed: the process holds CAP_NET_RAW\n" : "allowed\n";
  } else if (Denied(raw_error)) {
    text += "not allowed: needs CAP_NET_RAW, which this process does not hold\n";
  } else {
    text += std::string("unavailable: ") + std::strerror(raw_error) + "\n";
  }
  *usable = datagram || raw;
  if (datagram) {
    text += "A sweep would use the datagram socket (no privilege needed).\n";
  } else if (raw) {
    text += "A sweep would use the raw socket.\n";
  } else {
    text += "A sweep cannot send ICMP echo requests.\n" + PermissionFixes(f);
  }
  return text;
}

}  // namespace ps::cli

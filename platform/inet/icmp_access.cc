#include "platform/inet/icmp_access.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/terminal_text.h"

namespace ps::platform {
namespace {

constexpr char kSysctlFile[] = "/etc/sysctl.d/60-pingsweep.conf";

struct GroupRange {
  std::uint64_t low = 1;
  std::uint64_t high = 0;
};

// Two decimal numbers separated and surrounded by blanks, else nothing.
std::optional<GroupRange> ParseRange(std::string_view text) {
  GroupRange range;
  const char* p = text.data();
  const char* end = p + text.size();
  for (std::uint64_t* field : {&range.low, &range.high}) {
    while (p != end && (*p == ' ' || *p == '\t')) ++p;
    const auto [next, error] = std::from_chars(p, end, *field);
    if (error != std::errc() || next == p) return std::nullopt;
    p = next;
  }
  while (p != end && (*p == ' ' || *p == '\t' || *p == '\n')) ++p;
  if (p != end) return std::nullopt;
  return range;
}

std::string GroupText(const IcmpPermissionFacts& f) {
  return std::to_string(f.group_id) +
         (f.group_name.empty() ? "" : " (" + EscapeText(f.group_name) + ")");
}

std::string SetcapLines(const IcmpPermissionFacts& f) {
  // Escaped first: the path is shown on a terminal (a backslash in it shows doubled).
  return "    sudo setcap cap_net_raw+ep " + ShellWord(EscapeText(f.program_path)) + "\n";
}

}  // namespace

IcmpSocketChoice OpenPreferredIcmpSocket(IcmpOpener& opener, IpAddress::Family family) {
  IcmpSocketChoice choice;
  auto datagram = opener.Open(family, IcmpSocket::Kind::kDatagram);
  if (datagram) {
    choice.socket = std::move(datagram).value();
    return choice;
  }
  choice.datagram = datagram.status();
  auto raw = opener.Open(family, IcmpSocket::Kind::kRaw);
  if (raw) {
    choice.socket = std::move(raw).value();
  } else {
    choice.raw = raw.status();
  }
  return choice;
}

bool IcmpPermissionDenied(const IcmpSocketChoice& choice) {
  const auto denied = [](const Status& s) {
    return !s.ok() && ClassifyIcmpFailure(s.system_error()) == IcmpFailure::kNotAllowed;
  };
  return !choice.socket && denied(choice.datagram) && denied(choice.raw);
}

GroupRangeChange WidenGroupRange(std::string_view current, unsigned group) {
  const std::optional<GroupRange> range = ParseRange(current);
  if (!range) return {GroupRangeChange::Kind::kUnknown, ""};
  if (range->low <= group && group <= range->high) return {GroupRangeChange::Kind::kInside, ""};
  // LOW above HIGH allows no group: nothing to keep.
  const bool none = range->low > range->high;
  const std::uint64_t low = none ? group : std::min<std::uint64_t>(range->low, group);
  const std::uint64_t high = none ? group : std::max<std::uint64_t>(range->high, group);
  return {GroupRangeChange::Kind::kWiden, std::to_string(low) + " " + std::to_string(high)};
}

bool GroupInRange(std::string_view range, unsigned group) {
  return WidenGroupRange(range, group).kind == GroupRangeChange::Kind::kInside;
}

std::string ShellWord(const std::string& path) {
  if (path.empty()) return "<program>";
  if (path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                             "0123456789/._+-") == std::string::npos) {
    return path;
  }
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string IcmpPermissionFixes(const IcmpPermissionFacts& f) {
  if (f.rules == IcmpPermissionFacts::Rules::kWindows) {
    return "To allow it, run the program as an administrator (\"Run as administrator\", or from "
           "an elevated command prompt): raw sockets need one. The echo service (IcmpSendEcho2) "
           "needs no rights; if it failed, the system's IP Helper (iphlpapi.dll) is not working.\n";
  }
  const GroupRangeChange change = WidenGroupRange(f.ping_group_range, f.group_id);
  if (change.kind == GroupRangeChange::Kind::kInside) {
    return "To allow it, let this program open raw sockets (CAP_NET_RAW), as root:\n" +
           SetcapLines(f) + "(Group " + GroupText(f) + " is within net.ipv4.ping_group_range \"" +
           f.ping_group_range + "\" already: that range is not what stops it.)\n";
  }
  std::string text = "To allow it, do one of these (as root):\n";
  text += "  let group " + GroupText(f) + " open ICMP datagram sockets, now and after a reboot";
  if (change.kind == GroupRangeChange::Kind::kUnknown) {
    text +=
        ": widen net.ipv4.ping_group_range (unreadable here; \"sysctl "
        "net.ipv4.ping_group_range\" shows it) to take in " +
        std::to_string(f.group_id) + ", in a file in /etc/sysctl.d/\n";
  } else {
    const std::optional<GroupRange> now = ParseRange(f.ping_group_range);
    if (now->low <= now->high) {
      text += " (the groups " + std::to_string(now->low) + " to " + std::to_string(now->high) +
              " allowed now stay allowed)";
    }
    text += ":\n    echo 'net.ipv4.ping_group_range = " + change.range + "' | sudo tee " +
            kSysctlFile + "\n    sudo sysctl -p " + kSysctlFile + "\n";
  }
  return text + "  or let this program open raw sockets (CAP_NET_RAW):\n" + SetcapLines(f);
}

}  // namespace ps::platform

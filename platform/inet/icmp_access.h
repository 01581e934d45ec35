// Opening the ICMP socket a probe or a sweep sends through, and what to tell
// a user who may open none: one report for the window and pingsweep-cli.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/status.h"
#include "platform/inet/sweep_io.h"

namespace ps::platform {

// The socket opened, and why each kind tried could not be.
struct IcmpSocketChoice {
  std::unique_ptr<IcmpSocket> socket;  // null when neither kind could be opened
  Status datagram;                     // ok unless the datagram socket failed
  Status raw;                          // ok unless the raw socket failed (or was not tried)
};

// The datagram ("ping") socket where net.ipv4.ping_group_range allows it (no
// privilege needed), else a raw one (CAP_NET_RAW). ICMPv6 ones for IPv6; the
// same range governs both.
IcmpSocketChoice OpenPreferredIcmpSocket(IcmpOpener& opener, IpAddress::Family family);

// True when neither kind could be opened for want of permission, rather than
// for a failure of the system.
bool IcmpPermissionDenied(const IcmpSocketChoice& choice);

// How net.ipv4.ping_group_range ("LOW HIGH" as the kernel gives it; LOW above
// HIGH allows no group) must change to take in a group.
struct GroupRangeChange {
  enum class Kind {
    kWiden,    // to `range`: the narrowest that keeps every group allowed now and adds it
    kInside,   // it is allowed already: the range is not what stops it
    kUnknown,  // the range could not be read
  };
  Kind kind = Kind::kUnknown;
  std::string range;
};
GroupRangeChange WidenGroupRange(std::string_view current, unsigned group);

// Whether `range` allows `group` (false when unreadable).
bool GroupInRange(std::string_view range, unsigned group);

// `path` as one shell word: as it is when it holds only safe characters,
// else in single quotes; "<program>" when empty.
std::string ShellWord(const std::string& path);

// What lets this user and this program send ICMP echo requests, for one who
// may open neither kind of socket: the /etc/sysctl.d/ line that widens the
// group range to take in the user's group (now and after a reboot), and
// setcap on the program. Starts "To allow it"; each command stands on a line
// of its own, indented by four blanks (the window's box shows such lines as
// commands), ready to paste. Under Windows's rules: run it as an administrator.
std::string IcmpPermissionFixes(const IcmpPermissionFacts& facts);

}  // namespace ps::platform

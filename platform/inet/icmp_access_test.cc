#include "platform/inet/icmp_access.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ps::platform {
namespace {

using Kind = GroupRangeChange::Kind;

TEST(WidenGroupRangeTest, KeepsEveryGroupAllowedNowAndAddsTheUsersOwn) {
  struct Case {
    const char* range;
    unsigned group;
    Kind kind;
    const char* widened;
  };
  const Case cases[] = {
      {"100 200", 1000, Kind::kWiden, "100 1000"},  // range below the group
      {"100 200", 50, Kind::kWiden, "50 200"},      // above it
      {"0 999", 1000, Kind::kWiden, "0 1000"},
      {"100 200", 150, Kind::kInside, ""},  // inside: nothing to widen
      {"100 200", 200, Kind::kInside, ""},
      {"0 2147483647", 65534, Kind::kInside, ""},
      {"1 0", 1000, Kind::kWiden, "1000 1000"},  // the kernel's "none"
      {"1 0", 0, Kind::kWiden, "0 0"},
      {"5\t3\n", 4, Kind::kWiden, "4 4"},  // any inverted range allows none
      {"", 1000, Kind::kUnknown, ""},      // unreadable
      {"100 200 300", 1000, Kind::kUnknown, ""},
      {"-1 5", 1000, Kind::kUnknown, ""},
  };
  for (const Case& c : cases) {
    const GroupRangeChange change = WidenGroupRange(c.range, c.group);
    EXPECT_EQ(change.kind, c.kind) << "'" << c.range << "' " << c.group;
    EXPECT_EQ(change.range, c.widened) << "'" << c.range << "' " << c.group;
    EXPECT_EQ(GroupInRange(c.range, c.group), c.kind == Kind::kInside) << c.range;
  }
}

TEST(IcmpPermissionFixesTest, OneCommandALineForEachKindOfRange) {
  IcmpPermissionFacts facts;
  facts.group_id = 1000;
  facts.group_name = "staff";
  facts.program_path = "/opt/ping sweep/pingsweep";
  struct Case {
    const char* range;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"100 200",
       {"  let group 1000 (staff) open ICMP datagram sockets, now and after a reboot (the groups "
        "100 to 200 allowed now stay allowed):\n",
        "\n    echo 'net.ipv4.ping_group_range = 100 1000' | sudo tee "
        "/etc/sysctl.d/60-pingsweep.conf\n",
        "\n    sudo sysctl -p /etc/sysctl.d/60-pingsweep.conf\n",
        "(CAP_NET_RAW):\n    sudo setcap cap_net_raw+ep '/opt/ping sweep/pingsweep'\n"},
       {"1000 1000"}},
      {"1 0", {"now and after a reboot:\n", "ping_group_range = 1000 1000'"}, {"stay allowed"}},
      {"0 2000",
       {"To allow it, let this program open raw sockets", "sudo setcap",
        "within net.ipv4.ping_group_range \"0 2000\" already"},
       {"sudo tee"}},
      {"", {"unreadable here", "to take in 1000", "sudo setcap"}, {"sudo tee"}},
  };
  for (const Case& c : cases) {
    facts.ping_group_range = c.range;
    const std::string text = IcmpPermissionFixes(facts);
    EXPECT_EQ(text.rfind("To allow it", 0), 0u) << text;
    for (const std::string& p : c.present)
      EXPECT_NE(text.find(p), std::string::npos) << p << "\n" << text;
    for (const std::string& a : c.absent)
      EXPECT_EQ(text.find(a), std::string::npos) << a << "\n" << text;
  }
  EXPECT_EQ(ShellWord("/usr/bin/pingsweep"), "/usr/bin/pingsweep");
  EXPECT_EQ(ShellWord("/tmp/it's"), "'/tmp/it'\\''s'");
  EXPECT_EQ(ShellWord(""), "<program>");
}

}  // namespace
}  // namespace ps::platform

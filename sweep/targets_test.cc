#include "sweep/targets.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/inet/sweep_fakes.h"

namespace ps::sweep {
namespace {

using namespace std::string_literals;

struct Case {
  std::vector<std::string> add;
  std::vector<std::string> exclude;
  TargetRules rules;
  std::string expect_first;  // "" with expect_count 0
  std::string expect_last;
  std::uint64_t expect_count;
  std::string error_contains;  // "" when no error
};

class TargetListTest : public ::testing::Test {
 protected:
  TargetListTest() {
    resolver_.forward["printer.lan"] = {IpAddress::V4(0x0A000014)};
    resolver_.forward["multi.lan"] = {IpAddress::V4(0x0A000101), IpAddress::V4(0x0A000001)};
    resolver_.forward["bad.lan"] = {IpAddress::V4(0xE0000001)};
    const auto v6 = [](const char* text) { return *IpAddress::Parse(text); };
    resolver_.forward["dual.lan"] = {v6("fd00::20"), IpAddress::V4(0x0A000014), v6("fe80::20"),
                                     v6("fd00::21")};
    resolver_.forward["local.lan"] = {v6("fe80::1")};
    resolver_.forward["bad6.lan"] = {IpAddress::V4(0x0A000014), v6("ff02::1")};
    // As the C library reads them: loose numeric forms are addresses to it.
    for (const char* loose : {"0x7f.1", "0x7f000001", "0X7F.0.0.1", "10.0.0.0x1", "0x0a000001"})
      resolver_.forward[loose] = {IpAddress::V4(0x7F000001)};
    resolver_.forward["0xdead.lan"] = {IpAddress::V4(0x0A000014)};
    resolver_.forward["0x.0x"] = {IpAddress::V4(0x0A000014)};
  }
  platform::FakeResolver resolver_;
};

TEST_F(TargetListTest, FormsRefusalsAndExclusions) {
  const Case cases[] = {
      {{"10.0.0.1"}, {}, {}, "10.0.0.1", "10.0.0.1", 1, ""},
      {{" 10.0.0.1\t"}, {}, {}, "10.0.0.1", "10.0.0.1", 1, ""},
      {{"10.0.0.0/24"}, {}, {}, "10.0.0.1", "10.0.0.254", 254, ""},
      {{"10.0.0.77/24"}, {}, {}, "10.0.0.1", "10.0.0.254", 254, ""},
      {{"10.0.0.0/24"}, {}, {true, false}, "10.0.0.0", "10.0.0.255", 256, ""},
      {{"10.0.0.0/30"}, {}, {}, "10.0.0.1", "10.0.0.2", 2, ""},
      {{"10.0.0.0/31"}, {}, {}, "10.0.0.0", "10.0.0.1", 2, ""},
      {{"10.0.0.9/32"}, {}, {}, "10.0.0.9", "10.0.0.9", 1, ""},
      {{"10.0.0.0/16"}, {}, {}, "10.0.0.1", "10.0.255.254", 65534, ""},
      {{"10.0.0.5-10.0.1.20"}, {}, {}, "10.0.0.5", "10.0.1.20", 272, ""},
      {{"10.0.0.5-20"}, {}, {}, "10.0.0.5", "10.0.0.20", 16, ""},
      {{"10.0.0.5-5"}, {}, {}, "10.0.0.5", "10.0.0.5", 1, ""},
      {{"printer.lan"}, {}, {}, "10.0.0.20", "10.0.0.20", 1, ""},
      {{"multi.lan"}, {}, {}, "10.0.0.1", "10.0.1.1", 2, ""},
      // Both families of a name; its link-local IPv6 address (no interface) left out.
      {{"dual.lan"}, {}, {}, "10.0.0.20", "fd00::21", 3, ""},
      {{"dual.lan"}, {"fd00::/112"}, {}, "10.0.0.20", "10.0.0.20", 1, ""},
      {{"fd00::/120"}, {"dual.lan"}, {}, "fd00::", "fd00::ff", 254, ""},
      {{"local.lan"}, {}, {}, "", "", 0, "'local.lan': has only IPv6 link-local"},
      {{"bad6.lan"}, {}, {}, "", "", 0, "'bad6.lan': IPv6 multicast"},
      // Overlaps and duplicates collapse.
      {{"10.0.0.1-10", "10.0.0.5-15", "10.0.0.3"}, {}, {}, "10.0.0.1", "10.0.0.15", 15, ""},
      // Exclusions: inside, at the edges, covering, in any order, by name.
      {{"10.0.0.0/24"}, {"10.0.0.1", "10.0.0.254"}, {}, "10.0.0.2", "10.0.0.253", 252, ""},
      {{"10.0.0.0/24"}, {"10.0.0.100-199"}, {}, "10.0.0.1", "10.0.0.254", 154, ""},
      {{"10.0.0.1-9"}, {"10.0.0.0/24"}, {}, "", "", 0, ""},
      {{"10.0.0.20-21"}, {"printer.lan"}, {}, "10.0.0.21", "10.0.0.21", 1, ""},
      {{"10.0.0.0/30"}, {"224.0.0.1"}, {}, "10.0.0.1", "10.0.0.2", 2, ""},
      // An excluded block goes whole: its network and broadcast addresses too.
      {{"10.0.0.0/24"}, {"10.0.0.0/30"}, {}, "10.0.0.4", "10.0.0.254", 251, ""},
      {{"10.0.0.0/24"}, {"10.0.0.4/30", "10.0.0.252/30"}, {}, "10.0.0.1", "10.0.0.251", 247, ""},
      {{"10.0.0.0/24"}, {"10.0.0.0/24"}, {true, false}, "", "", 0, ""},
      // More than 65,536 need permission; 65,536 exactly do not.
      {{"10.0.0.0/15"}, {}, {}, "", "", 0, "--allow-large"},
      {{"10.0.0.0/15"}, {}, {false, true}, "10.0.0.1", "10.1.255.254", 131070, ""},
      {{"10.0.0.0/16"}, {}, {true, false}, "10.0.0.0", "10.0.255.255", 65536, ""},
      {{"10.0.0.0/7"}, {}, {false, true}, "", "", 0, "at most 16777216"},
      // Refusals name the target.
      {{"0.0.0.0"}, {}, {}, "", "", 0, "'0.0.0.0': 0.0.0.0 is not"},
      {{"255.255.255.255"}, {}, {}, "", "", 0, "'255.255.255.255': 255.255.255.255 is the broadcast"},
      {{"224.0.0.1"}, {}, {}, "", "", 0, "'224.0.0.1': multicast"},
      {{"239.255.255.250"}, {}, {}, "", "", 0, "multicast"},
      {{"10.0.0.0-224.0.0.0"}, {}, {false, true}, "", "", 0, "multicast"},
      {{"240.0.0.1"}, {}, {}, "", "", 0, "'240.0.0.1': reserved"},
      {{"0.0.0.0/0"}, {}, {false, true}, "", "", 0, "'0.0.0.0/0'"},
      {{"bad.lan"}, {}, {}, "", "", 0, "'bad.lan': multicast"},
      // Malformed forms.
      {{"10.0.0.0/33"}, {}, {}, "", "", 0, "'10.0.0.0/33': not a CIDR block"},
      {{"10.0.0.0/"}, {}, {}, "", "", 0, "not a CIDR block"},
      {{"10.0.0.20-5"}, {}, {}, "", "", 0, "ends before it starts"},
      {{"10.0.0.5-256"}, {}, {}, "", "", 0, "not an address range"},
      {{"10.0.0.256"}, {}, {}, "", "", 0, "'10.0.0.256': not an IPv4 address"},
      {{"10.1"}, {}, {}, "", "", 0, "not an IPv4 address"},
      // IPv6: every form, at most a /112 a target, after the IPv4 ones.
      {{"fd00::1"}, {}, {}, "fd00::1", "fd00::1", 1, ""},
      {{"fd00::/112"}, {}, {}, "fd00::", "fd00::ffff", 65536, ""},
      {{"fd00::1:0/120"}, {}, {}, "fd00::1:0", "fd00::1:ff", 256, ""},
      {{"fd00::1-fd00::ff"}, {}, {}, "fd00::1", "fd00::ff", 255, ""},
      {{"fd00::fff0-fd00::1:f"}, {}, {}, "fd00::fff0", "fd00::1:f", 32, ""},
      {{"fd00::5-20"}, {}, {}, "fd00::5", "fd00::20", 28, ""},
      {{"::1"}, {}, {}, "::1", "::1", 1, ""},
      {{"fd00::/120", "10.0.0.1"}, {"fd00::10-fd00::ff"}, {}, "10.0.0.1", "fd00::f", 17, ""},
      {{"fd00::/120", "fd00::80/121", "fd00::1"}, {}, {}, "fd00::", "fd00::ff", 256, ""},
      {{"fd00::/111"}, {}, {}, "", "", 0, "'fd00::/111': an IPv6 target holds at most 65536"},
      {{"fd00::1-fd00::1:1"}, {}, {}, "", "", 0, "'fd00::1-fd00::1:1': an IPv6 target"},
      {{"fd00::/0"}, {}, {}, "", "", 0, "at most 65536"},
      {{"::"}, {}, {}, "", "", 0, "'::': :: is not"},
      {{"ff02::1"}, {}, {}, "", "", 0, "'ff02::1': IPv6 multicast"},
      {{"fe80::1"}, {}, {}, "", "", 0, "'fe80::1': link-local"},
      {{"fd00::/112", "fd01::/112"}, {}, {}, "", "", 0, "--allow-large"},
      {{"fd00::/129"}, {}, {}, "", "", 0, "not a CIDR block"},
      {{"fd00::9-1"}, {}, {}, "", "", 0, "ends before it starts"},
      {{"fd00::1-fd00::zz"}, {}, {}, "", "", 0, "not an address range"},
      {{"fd00:::1"}, {}, {}, "", "", 0, "'fd00:::1': not an IPv6 address"},
      {{"nosuch.lan"}, {}, {}, "", "", 0, "'nosuch.lan': unknown host"},
      // Numeric forms the strict parser refuses never reach the resolver,
      // which would take them as addresses; a name that merely starts so does.
      {{"0x7f.1"}, {}, {}, "", "", 0, "'0x7f.1': not an IPv4 address"},
      {{"0x7f000001"}, {}, {}, "", "", 0, "'0x7f000001': not an IPv4 address"},
      {{"0X7F.0.0.1"}, {}, {}, "", "", 0, "'0X7F.0.0.1': not an IPv4 address"},
      {{"10.0.0.0x1"}, {}, {}, "", "", 0, "'10.0.0.0x1': not an IPv4 address"},
      {{"10.0.0.1"}, {"0x0a000001"}, {}, "", "", 0, "'0x0a000001': not an IPv4 address"},
      {{"0xdead.lan"}, {}, {}, "10.0.0.20", "10.0.0.20", 1, ""},
      {{"0x.0x"}, {}, {}, "10.0.0.20", "10.0.0.20", 1, ""},
      // Text no target holds is refused, and named escaped.
      {{"127.0.0.1\0/8"s}, {}, {}, "", "", 0, "'127.0.0.1\\x00/8': holds a control character"},
      {{"\x1B[2Jevil.lan"}, {}, {}, "", "", 0, "'\\x1B[2Jevil.lan': holds a control character"},
      {{"ev\xFFil.lan\xE2\x80\xAE"}, {}, {}, "", "", 0,
       "'ev\\xFFil.lan\\xE2\\x80\\xAE': unknown host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.add.front());
    TargetList list(&resolver_);
    list.set_rules(c.rules);
    Status status;
    for (const auto& e : c.exclude) {
      if (status.ok()) status = list.Exclude(e);
    }
    for (const auto& a : c.add) {
      if (status.ok()) status = list.Add(a);
    }
    TargetAddresses out;
    if (status.ok()) {
      Result<TargetAddresses> expanded = list.Expand();
      status = expanded.status();
      if (expanded.ok()) out = std::move(expanded).value();
    }
    const std::string error = status.message();
    if (!c.error_contains.empty()) {
      EXPECT_NE(error.find(c.error_contains), std::string::npos) << error;
      continue;
    }
    ASSERT_EQ(error, "");
    ASSERT_EQ(out.size(), c.expect_count);
    EXPECT_EQ(list.Count(), c.expect_count);
    EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
    EXPECT_EQ(std::adjacent_find(out.begin(), out.end()), out.end());
    if (!out.empty()) {
      EXPECT_EQ(out.front().ToString(), c.expect_first);
      EXPECT_EQ(out.back().ToString(), c.expect_last);
    }
  }
}

TEST_F(TargetListTest, LinesWithCommentsAndErrorsNamingTheLine) {
  TargetList list(&resolver_);
  std::istringstream good("# hosts\n10.0.0.1\n\n  10.0.0.3-4  # two more\nprinter.lan\r\n");
  ASSERT_EQ(list.AddLines(good, "hosts.txt").message(), "");
  const Result<TargetAddresses> expanded = list.Expand();
  ASSERT_EQ(expanded.status().message(), "");
  const TargetAddresses& out = expanded.value();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[3].ToString(), "10.0.0.20");

  std::istringstream bad("10.0.0.1\n\n224.1.1.1\n");
  const std::string error = list.AddLines(bad, "hosts.txt").message();
  EXPECT_EQ(error.rfind("hosts.txt:3: '224.1.1.1'", 0), 0u) << error;

  // A line as long as allowed, one longer, one with a NUL, a source named
  // with an escape, and a source that cannot be read.
  const std::string longest = "10.0.0.9" + std::string(kMaxLineBytes - 8, ' ');
  const std::pair<std::string, std::string> cases[] = {
      {"10.0.0.1\n" + longest + "\n" + longest, ""},
      {"10.0.0.1\n" + longest + "#\n", "hosts.txt:2: longer than 4096 bytes"},
      {std::string(3 * kMaxLineBytes, '\0'), "hosts.txt:1: longer than 4096 bytes"},
      {"10.0.0.1\n127.0.0.1\0/8\n"s, "hosts.txt:2: '127.0.0.1\\x00/8': holds a control character"},
  };
  for (const auto& [text, expected] : cases) {
    std::istringstream in(text);
    const std::string e = TargetList(&resolver_).AddLines(in, "hosts.txt").message();
    EXPECT_EQ(e.substr(0, expected.size()), expected) << e;
    EXPECT_EQ(e.empty(), expected.empty()) << e;
  }
  std::istringstream evil("224.1.1.1\n");
  EXPECT_EQ(list.AddLines(evil, "ho\x1B[1msts").message().rfind("ho\\x1B[1msts:1: ", 0), 0u);
#ifndef _WIN32  // Wine opens a folder as a file and reads it as one long line
  std::ifstream folder("/");
  EXPECT_EQ(list.AddLines(folder, "/").ToString(), "/: cannot read: Is a directory");
#endif
}

TEST(IpAddressTest, ParsesPrintsAndOrders) {
  const auto a = IpAddress::Parse("10.0.0.2");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->v4(), 0x0A000002u);
  EXPECT_EQ(a->ToString(), "10.0.0.2");
  const auto v6 = IpAddress::Parse("fd00::1");
  ASSERT_TRUE(v6);
  EXPECT_FALSE(v6->is_v4());
  EXPECT_EQ(v6->ToString(), "fd00::1");
  EXPECT_LT(*a, *v6);
  EXPECT_LT(IpAddress::V4(0x0A0000FF), IpAddress::V4(0x0A000100));
  for (const char* bad : {"", "10.0.0", "010.0.0.1x", "10.0.0.1 ", "1.2.3.4.5", "::g"})
    EXPECT_FALSE(IpAddress::Parse(bad)) << bad;
}

}  // namespace
}  // namespace ps::sweep

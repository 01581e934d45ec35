#include "lan/arp_plan.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace ps::sweep {
namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return a << 24 | b << 16 | c << 8 | d;
}

std::vector<platform::Link> Links() {
  platform::Link lo{"lo", 1, {}, true, false, {{Ip(127, 0, 0, 1), 8}}};
  platform::Link eth{"eth0", 2, *MacAddress::Parse("00:00:0c:00:00:02"), true, true,
                     {{Ip(192, 168, 1, 10), 24}, {Ip(10, 0, 0, 2), 16}}};
  platform::Link wlan{"wlan0", 3, *MacAddress::Parse("00:00:0c:00:00:03"), true, true,
                      {{Ip(10, 0, 5, 2), 24}}};
  platform::Link down{"eth1", 4, *MacAddress::Parse("00:00:0c:00:00:04"), false, true,
                      {{Ip(172, 16, 0, 1), 24}}};
  platform::Link tun{"tun0", 5, {}, true, false, {{Ip(10, 8, 0, 1), 24}}};
  platform::Link host_route{"eth2", 6, *MacAddress::Parse("00:00:0c:00:00:06"), true, true,
                            {{Ip(203, 0, 113, 7), 32}}};
  return {lo, eth, wlan, down, tun, host_route};
}

TEST(ArpPlanTest, GroupsOnLinkTargetsByInterfaceAndSource) {
  const std::vector<std::uint32_t> targets = {
      Ip(192, 168, 1, 20), Ip(10, 0, 5, 9),  Ip(10, 0, 7, 1),   Ip(8, 8, 8, 8),
      Ip(192, 168, 1, 10), Ip(127, 0, 0, 5), Ip(172, 16, 0, 9), Ip(10, 8, 0, 9),
      Ip(203, 0, 113, 8),  Ip(192, 168, 1, 1)};
  const ArpPlan plan = PlanArp(Links(), targets, "");
  EXPECT_EQ(plan.status.message(), "");
  ASSERT_EQ(plan.groups.size(), 3u);
  EXPECT_EQ(plan.groups[0].link.name, "eth0");
  EXPECT_EQ(plan.groups[0].source.address, Ip(192, 168, 1, 10));
  EXPECT_EQ(plan.groups[0].source.mac, Links()[1].mac);
  EXPECT_EQ(plan.groups[0].targets, (std::vector{Ip(192, 168, 1, 20), Ip(192, 168, 1, 1)}));
  EXPECT_EQ(plan.groups[1].link.name, "wlan0");  // the /24 beats eth0's /16
  EXPECT_EQ(plan.groups[1].targets, (std::vector{Ip(10, 0, 5, 9)}));
  EXPECT_EQ(plan.groups[2].link.name, "eth0");
  EXPECT_EQ(plan.groups[2].source.address, Ip(10, 0, 0, 2));
  EXPECT_EQ(plan.groups[2].targets, (std::vector{Ip(10, 0, 7, 1)}));
  // Off-link, own address, loopback, a down interface, a link without ARP, a /32.
  EXPECT_EQ(plan.others, (std::vector{Ip(8, 8, 8, 8), Ip(192, 168, 1, 10), Ip(127, 0, 0, 5),
                                      Ip(172, 16, 0, 9), Ip(10, 8, 0, 9), Ip(203, 0, 113, 8)}));
}

// One subnet's targets stay in the caller's order whether the others come
// before, between or after them (the plan copies nothing until one does).
TEST(ArpPlanTest, OneSubnetKeepsItsOrderBesideOthers) {
  const std::uint32_t a = Ip(192, 168, 1, 20), b = Ip(192, 168, 1, 30), c = Ip(192, 168, 1, 40);
  const std::uint32_t off = Ip(8, 8, 8, 8);
  const struct {
    std::vector<std::uint32_t> targets, group, others;
  } cases[] = {
      {{a, b, c}, {a, b, c}, {}},
      {{a, b, off}, {a, b}, {off}},
      {{off, a, b}, {a, b}, {off}},
      {{a, off, b, off}, {a, b}, {off, off}},
  };
  for (const auto& k : cases) {
    const ArpPlan plan = PlanArp(Links(), k.targets, "");
    ASSERT_EQ(plan.groups.size(), 1u);
    EXPECT_EQ(plan.groups[0].targets, k.group);
    EXPECT_EQ(plan.others, k.others);
  }
}

TEST(ArpPlanTest, ANamedInterfaceIsTheOnlyOneUsedAndMustBeUsable) {
  const std::vector<std::uint32_t> targets = {Ip(10, 0, 5, 9), Ip(192, 168, 1, 20)};
  const ArpPlan plan = PlanArp(Links(), targets, "eth0");
  ASSERT_EQ(plan.groups.size(), 2u);
  EXPECT_EQ(plan.groups[0].source.address, Ip(10, 0, 0, 2));  // wlan0 is not considered
  EXPECT_TRUE(plan.others.empty());

  struct Case {
    const char* interface;
    const char* error;
  } cases[] = {
      {"eth9", "no interface named eth9"},
      {"eth1", "interface eth1 is down"},
      {"tun0", "interface tun0 does not use ARP"},
      {"lo", "interface lo does not use ARP"},
  };
  for (const Case& c : cases) {
    const ArpPlan refused = PlanArp(Links(), targets, c.interface);
    EXPECT_EQ(refused.status.message(), c.error);
    EXPECT_TRUE(refused.groups.empty());
    EXPECT_EQ(refused.others, targets);
  }
  auto links = Links();
  links[1].ipv4.clear();
  EXPECT_EQ(PlanArp(links, targets, "eth0").status.message(), "interface eth0 has no IPv4 address");
}

TEST(ArpPlanTest, AvailabilitySaysWhyNot) {
  struct Network : platform::PacketNetwork {
    int error = 0;
    std::vector<platform::Link> Links() override { return {}; }
    Result<std::unique_ptr<platform::PacketSocket>> OpenArp(int ifindex) override {
      EXPECT_EQ(ifindex, 0);
      struct Idle : platform::PacketSocket {
        SendResult Send(std::span<const platform::OutgoingFrame>) override { return {}; }
        Result<std::size_t> Receive(std::span<platform::IncomingFrame>, std::int64_t) override {
          return std::size_t{0};
        }
      };
      if (error != 0) return platform::PacketSocketFailure(error);
      return std::unique_ptr<platform::PacketSocket>(std::make_unique<Idle>());
    }
  } network;
  bool available = false;
  EXPECT_EQ(ArpAvailability(network, &available).rfind("ARP: available", 0), 0u);
  EXPECT_TRUE(available);
  network.error = EPERM;
  const std::string why = ArpAvailability(network, &available);
  EXPECT_FALSE(available);
  EXPECT_EQ(why.rfind("ARP: not available: ", 0), 0u) << why;
#ifdef _WIN32
  EXPECT_NE(why.find("Windows gives no program"), std::string::npos) << why;
#else
  EXPECT_NE(why.find("CAP_NET_RAW"), std::string::npos) << why;
  EXPECT_NE(why.find("setcap cap_net_raw+ep"), std::string::npos) << why;
#endif
}

}  // namespace
}  // namespace ps::sweep

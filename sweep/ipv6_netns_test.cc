// IPv6 over real ICMPv6 sockets, in private network namespaces: a routed ULA
// block behind a veth pair with a silent part and an error, on both socket
// kinds.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/linux_sweep.h"
#include "sweep/engine.h"
#include "sweep/sweep_test_checks.h"
#include "lan/link_local.h"
#include "sweep/targets.h"
#include "testsupport/link_lab.h"
#include "testsupport/private_network.h"
#include "testsupport/veth_lab.h"

namespace ps::sweep {
namespace {

using platform::IcmpSocket;

// The veth lab with IPv6: fd77::1 here, fd77::2 there (no duplicate address
// detection, so both are usable at once); the far side answers for
// fd77:1::/112, routed through it.
class Ipv6LabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    ping_group_ = std::make_unique<testing::ScopedSysctl>("net/ipv4/ping_group_range", "0 2147483647");
    lab_ = std::make_unique<testing::VethLab>("", "");
    ASSERT_EQ(lab_->error(), "");
    ASSERT_EQ(lab_->Far("ip -6 addr add fd77::2/64 dev psv1 nodad && "
                       "ip -6 route add local fd77:1::/112 dev lo"), 0);
    ASSERT_EQ(testing::Sh("ip -6 addr add fd77::1/64 dev psv0 nodad && "
                          "ip -6 route add fd77:1::/112 via fd77::2"), 0);
  }

  // Made in SetUp, once inside the private network.
  std::unique_ptr<testing::ScopedSysctl> ping_group_;
  std::unique_ptr<testing::VethLab> lab_;
};

std::vector<IpAddress> Targets(const std::string& text) {
  TargetList list(nullptr);
  EXPECT_EQ(list.Add(text).message(), "");
  auto out = list.Expand();
  EXPECT_EQ(out.status().message(), "");
  if (!out.ok()) return {};
  return std::vector<IpAddress>(out.value().begin(), out.value().end());
}

TEST_F(Ipv6LabTest, UlaRangeFindsExactlyTheAnsweringHosts) {
  ASSERT_EQ(lab_->Far("nft add rule inet lab in ip6 daddr fd77:1::80/121 "
                     "icmpv6 type echo-request drop && "
                     "nft add rule inet lab in ip6 daddr fd77:1::40 icmpv6 type echo-request "
                     "reject with icmpv6 type addr-unreachable"), 0);
  platform::LinuxIcmpOpener opener;
  for (const auto kind : {IcmpSocket::Kind::kDatagram, IcmpSocket::Kind::kRaw}) {
    SCOPED_TRACE(kind == IcmpSocket::Kind::kRaw ? "raw" : "datagram");
    auto opened = opener.Open(IpAddress::Family::kV6, kind);
    ASSERT_TRUE(opened) << opened.status().message();
    const auto socket = std::move(opened).value();
    SweepOptions options;
    options.timeout_ns = 300'000'000;
    options.rate = 0;
    Sweep sweep(&platform::SystemMonotonicClock(), socket.get(), nullptr, Targets("fd77:1::1-fd77:1::ff"), {}, options);
    const SweepSummary s = sweep.Run(nullptr);
    EXPECT_EQ(s.socket_status.system_error(), 0);
    EXPECT_EQ(s.answered, 126u);  // ::1 to ::7f less ::40
    EXPECT_EQ(s.errors, 1u);
    for (const HostResult& r : sweep.results()) {
      SCOPED_TRACE(r.address.ToString());
      const unsigned last = r.address.data()[15];
      if (last == 0x40) {
        EXPECT_EQ(r.outcome, Outcome::kError);
        EXPECT_EQ(r.error_type, 1);  // destination unreachable
        EXPECT_EQ(r.error_code, 3);  // address unreachable
        EXPECT_EQ(r.error_from.ToString(), "fd77::2");
      } else if (last < 0x80) {
        testing::ExpectAnsweredOnce(r, 300'000'000);  // TTL or hop limit 64: one router on the way
      } else {
        testing::ExpectSilentAfterRetry(r);
      }
    }
  }
}

// Peers on a bridge: three answer the all-nodes echo, one drops echo
// requests, one ignores multicast ones.
TEST(LinkLocalNetnsTest, ListsEveryResponderOnceWithItsMac) {
  PS_REQUIRE_PRIVATE_NETWORK();
  testing::ScopedSysctl ping_group("net/ipv4/ping_group_range", "0 2147483647");
  testing::LinkLab lab(5);
  ASSERT_EQ(lab.error(), "");
  ASSERT_EQ(lab.Peer(4, "nft 'add table ip6 t; add chain ip6 t in { type filter hook input "
                        "priority 0; }; add rule ip6 t in icmpv6 type echo-request drop'"), 0);
  ASSERT_EQ(lab.Peer(5, "sysctl -qw net.ipv6.icmp.echo_ignore_multicast=1"), 0);

  platform::LinuxIcmpOpener opener;
  platform::LinuxNeighbourTable neighbours;
  platform::LinuxInterfaceTable interfaces;
  std::vector<platform::MulticastLink> links;
  for (const auto& l : interfaces.MulticastLinks())
    if (l.name == "psbr") links.push_back(l);
  ASSERT_EQ(links.size(), 1u);
  for (const auto kind : {IcmpSocket::Kind::kDatagram, IcmpSocket::Kind::kRaw}) {
    SCOPED_TRACE(kind == IcmpSocket::Kind::kRaw ? "raw" : "datagram");
    auto opened = opener.Open(IpAddress::Family::kV6, kind);
    ASSERT_TRUE(opened) << opened.status().message();
    const auto socket = std::move(opened).value();
    LinkLocalDiscovery discovery(&platform::SystemMonotonicClock(), socket.get(), &neighbours, links, 300'000'000);
    const LinkLocalSummary s = discovery.Run();
    EXPECT_EQ(s.socket_status.system_error(), 0);
    EXPECT_TRUE(s.send_errors.empty());
    ASSERT_EQ(s.answered, 3u);
    ASSERT_EQ(discovery.hosts().size(), 3u);
    for (int n = 1; n <= 3; ++n) {
      const LinkLocalHost& h = discovery.hosts()[static_cast<std::size_t>(n - 1)];
      EXPECT_EQ(h.result.address.ToString(), "fe80::" + std::to_string(n));
      EXPECT_EQ(h.link.name, "psbr");
      EXPECT_EQ(h.result.ttl, 64);
      EXPECT_EQ(h.result.duplicates, 0);
      ASSERT_TRUE(h.has_mac);
      EXPECT_EQ(h.mac, (std::array<std::uint8_t, 6>{2, 0, 0, 0, 0, static_cast<std::uint8_t>(n)}));
    }
  }
}

}  // namespace
}  // namespace ps::sweep

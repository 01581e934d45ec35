// ARP discovery over a real veth pair to a peer namespace whose hosts are
// local addresses, half of them dropping echo requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/netapi/net_services.h"
#include "platform/link/linux_packet_ring.h"
#include "platform/link/linux_packet_socket.h"
#include "platform/link/packet_io.h"
#include "lan/arp_packet.h"
#include "lan/arp_prober.h"
#include "lan/vendors.h"
#include "testsupport/peer_namespace.h"
#include "testsupport/private_network.h"
#include "testsupport/temp_dir.h"

namespace ps::sweep {
namespace {

constexpr std::uint32_t kNet = 0x0A4D0000;  // 10.77.0.0/24
constexpr std::uint32_t kOurIp = kNet | 200;
const MacAddress kFarMac = *MacAddress::Parse("00:00:0c:12:34:56");
const MacAddress kForgerMac = *MacAddress::Parse("00:66:66:66:66:66");

std::string Dotted(std::uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 255) + "." +
         std::to_string(ip >> 8 & 255) + "." + std::to_string(ip & 255);
}

// The sweep's socket reads replies from a receive ring of this many frames,
// or (0) from its queue, as where the kernel gives no ring.
class ArpNetnsTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(peer_.ok());
    ASSERT_TRUE(testing::AddVethPair(peer_, "lan0", "lan1"));
    testing::Sh("ip addr add " + Dotted(kOurIp) + "/24 dev lan0");
    // The far side owns .10-.29 as local addresses and reaches us over lan1;
    // .10-.19 drop echo requests.
    peer_.Sh("ip link set lan1 address " + kFarMac.ToString());
    peer_.Sh("for i in $(seq 10 29); do ip addr add 10.77.0.$i/32 dev lo; done");
    peer_.Sh("ip route add 10.77.0.0/24 dev lan1");
    peer_.Sh("nft add table inet silent && nft add chain inet silent in "
             "'{ type filter hook input priority 0; }' && "
             "nft add rule inet silent in ip daddr 10.77.0.10-10.77.0.19 icmp type echo-request drop");
    for (const auto& link : platform::SystemPacketNetwork().Links()) {
      if (link.name == "lan0") link_ = link;
    }
  }

  // Sends ARP replies from the far side with a packet socket of its own.
  void Forge(const std::vector<ArpPacket>& packets) {
    peer_.RunInside([&] {
      int ifindex = 0;
      for (const auto& link : platform::SystemPacketNetwork().Links()) {
        if (link.name == "lan1") ifindex = link.index;
      }
      auto socket = platform::SystemPacketNetwork().OpenArp(ifindex);
      ASSERT_TRUE(socket.ok()) << socket.status().message();
      for (const ArpPacket& packet : packets) {
        const auto bytes = BuildArp(packet);
        const platform::OutgoingFrame frame{link_.mac, bytes.data(), kArpPacketSize};
        EXPECT_EQ(socket.value()->Send(std::span(&frame, 1)).sent, 1);
      }
    });
  }

  testing::PeerNamespace peer_;
  platform::Link link_;
};

TEST_P(ArpNetnsTest, FindsEveryHostAndNoForgedOne) {
  ASSERT_GT(link_.index, 0);
  EXPECT_TRUE(link_.arp);
  ASSERT_EQ(link_.ipv4.size(), 1u);
  EXPECT_EQ(link_.ipv4[0].address, kOurIp);
  EXPECT_EQ(link_.ipv4[0].prefix, 24);

  // ICMP finds only the half that answers echo requests.
  platform::EchoService& echo = *platform::Services().echo;
  const platform::IcmpHandle handle = echo.IcmpCreateFile();
  ASSERT_NE(handle, 0);
  for (auto [host, answers] : {std::pair{12u, false}, std::pair{22u, true}}) {
    char data[8] = {}, reply[128];
    const platform::IPAddr to = htonl(kNet | host);
    EXPECT_EQ(echo.IcmpSendEcho(handle, to, data, 8, nullptr, reply, sizeof(reply), 300) == 1,
              answers) << host;
  }
  echo.IcmpCloseHandle(handle);

  auto opened = platform::OpenLinuxArpSocket(link_.index, GetParam());
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  std::unique_ptr<platform::PacketSocket> socket = std::move(opened).value();
  // Queued before the sweep asks: unsolicited.
  Forge({{kArpReply, kForgerMac, kNet | 140, link_.mac, kOurIp}});

  std::atomic<bool> sweeping{true};
  std::thread forger([&] {
    // During the sweep: a host that was never asked, and gratuitous replies.
    while (sweeping) {
      Forge({{kArpReply, kForgerMac, kNet | 250, link_.mac, kOurIp},
             {kArpReply, kForgerMac, kNet | 141, kBroadcastMac, kNet | 141},
             {kArpReply, kForgerMac, kNet | 142, link_.mac, kNet | 142}});
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<std::uint32_t> targets;
  for (std::uint32_t host = 1; host < 200; ++host) targets.push_back(kNet | host);
  ArpProbeOptions options;
  options.timeout_ns = 300'000'000;
  ArpProber prober(socket.get(), &platform::SystemMonotonicClock(), {link_.mac, kOurIp}, options);
  const auto answers = prober.Run(targets);
  sweeping = false;
  forger.join();

  std::vector<std::uint32_t> found;
  for (const auto& a : answers) {
    found.push_back(a.address);
    EXPECT_EQ(a.mac, kFarMac) << Dotted(a.address);
    EXPECT_GT(a.rtt_ns, 0);
    EXPECT_LT(a.rtt_ns, options.timeout_ns);
  }
  std::vector<std::uint32_t> expected;
  for (std::uint32_t host = 10; host < 30; ++host) expected.push_back(kNet | host);
  EXPECT_EQ(found, expected);
  EXPECT_GE(prober.summary().ignored, 4u);
  EXPECT_EQ(prober.summary().sent, 20u + 2 * 179u);

  // A second sweep on the same socket: a small ring has wrapped by now.
  ArpProber again(socket.get(), &platform::SystemMonotonicClock(), {link_.mac, kOurIp}, options);
  std::vector<std::uint32_t> found_again;
  for (const auto& a : again.Run(expected)) found_again.push_back(a.address);
  EXPECT_EQ(found_again, expected);

  // The vendor of the far side's MAC, from a small registry.
  platform::TempRegistryDir dir;
  std::ofstream(dir.path() + "/oui.csv")
      << "Registry,Assignment,Organization Name,Organization Address\n"
         "MA-L,00000C,\"Cisco Systems, Inc\",San Jose\n";
  const auto vendors = VendorRegistry::Load(dir.path());
  ASSERT_TRUE(vendors.ok()) << vendors.status().message();
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(vendors->Lookup(answers.front().mac), "Cisco Systems, Inc");
}

// A ring of one block wraps several times during the sweep.
INSTANTIATE_TEST_SUITE_P(Rings, ArpNetnsTest,
                         ::testing::Values(std::size_t{0}, platform::PacketRing::kFramesPerBlock,
                                           platform::kArpRingFrames));

}  // namespace
}  // namespace ps::sweep

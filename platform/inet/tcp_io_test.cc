// The portable parts under the TCP probe sockets: segments built and read
// back (checksums full, left to the network card, or damaged), the blocks of
// destinations that share a route, and the connect() sockets' bound on
// attempts in flight.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/inet/route_blocks.h"
#include "platform/inet/tcp_io.h"
#include "platform/inet/tcp_segment.h"

namespace ps::platform {
namespace {

IpAddress V4(const char* text) { return *IpAddress::Parse(text); }

TEST(TcpSegmentTest, ProbesReadBackAndDamageIsRefused) {
  TcpProbe probe;
  probe.destination = V4("10.77.1.2");
  probe.source = V4("10.99.0.1");
  probe.port = 443;
  probe.flags = kTcpSyn;
  probe.sequence = 0xDEADBEEF;
  std::array<std::uint8_t, kMaxTcpProbeSize> packet{};
  const std::size_t size = BuildTcpProbe(probe, 40000, true, packet.data());
  ASSERT_EQ(size, kMaxTcpProbeSize);

  TcpAnswer a;
  ASSERT_TRUE(ParseIpv4Tcp(packet.data(), size, true, &a));
  EXPECT_EQ(a.from, probe.source);
  EXPECT_EQ(a.to, probe.destination);
  EXPECT_EQ(a.from_port, 40000);
  EXPECT_EQ(a.to_port, 443);
  EXPECT_EQ(a.sequence, 0xDEADBEEFu);
  EXPECT_EQ(a.flags, kTcpSyn);
  EXPECT_EQ(a.ttl, 64);

  // The pseudo-header's sum alone in the checksum field: what a sender that
  // offloads checksums hands over a veth pair.
  auto offloaded = packet;
  std::uint32_t sum = 6 + 24 + 0x0A63 + 0x0001 + 0x0A4D + 0x0102;
  sum = (sum & 0xFFFF) + (sum >> 16);
  offloaded[kIpv4HeaderSize + 16] = static_cast<std::uint8_t>(sum >> 8);
  offloaded[kIpv4HeaderSize + 17] = static_cast<std::uint8_t>(sum);
  auto damaged = packet;
  damaged[kIpv4HeaderSize + 9] ^= 0x01;  // one bit of the acknowledgement
  auto udp = packet;
  udp[9] = 17;
  auto long_claim = packet;
  long_claim[3] += 4;  // says it is longer than it is
  const struct {
    const char* what;
    std::array<std::uint8_t, kMaxTcpProbeSize> bytes;
    std::size_t size;
    bool whole, ok;
  } cases[] = {
      {"checksum left to the card", offloaded, size, true, true},
      {"damaged", damaged, size, true, false},
      {"damaged, but cut short: not checkable", damaged, size, false, true},
      {"not TCP", udp, size, true, false},
      {"longer than received", long_claim, size, true, false},
      {"shorter than a TCP header", packet, kIpv4HeaderSize + 19, false, false},
  };
  for (const auto& c : cases) {
    TcpAnswer parsed;
    EXPECT_EQ(ParseIpv4Tcp(c.bytes.data(), c.size, c.whole, &parsed), c.ok) << c.what;
  }

  // IPv6: the segment alone, its addresses beside it.
  probe.destination = *IpAddress::Parse("fd77:1::2");
  probe.source = *IpAddress::Parse("fd77::1");
  probe.flags = kTcpAck;
  probe.acknowledgement = 0x01020304;
  const std::size_t v6_size = BuildTcpProbe(probe, 40000, false, packet.data());
  EXPECT_EQ(v6_size, kTcpHeaderSize);
  TcpAnswer v6;
  v6.from = probe.source;
  v6.to = probe.destination;
  ASSERT_TRUE(ParseTcpSegment(packet.data(), v6_size, true, &v6));
  EXPECT_EQ(v6.acknowledgement, 0x01020304u);
  EXPECT_EQ(v6.flags, kTcpAck);
  v6.to = *IpAddress::Parse("fd77:1::3");  // the checksum covers the addresses
  EXPECT_FALSE(ParseTcpSegment(packet.data(), v6_size, true, &v6));
}

// Attempts start until the bound; a system out of sockets with attempts in
// flight lowers the bound to them and the probe waits (EAGAIN); without any
// in flight, or for any other failure, the error is the probe's.
TEST(SendWithinBoundTest, HoldsTheBoundWhereTheSystemRanOut) {
  struct Case {
    const char* what;
    std::size_t bound;
    int fails_at;  // the attempt that fails (-1: none)
    int error;
    int sent, result_error;
    std::size_t bound_after;
  };
  const Case cases[] = {
      {"all start", 10, -1, 0, 4, 0, 10},
      {"the bound reached", 2, -1, 0, 2, EAGAIN, 2},
      {"out of sockets, two in flight", 10, 2, EMFILE, 2, EAGAIN, 2},
      {"out of sockets, none in flight", 10, 0, EMFILE, 0, EMFILE, 10},
      {"no route", 10, 1, ENETUNREACH, 1, ENETUNREACH, 10},
  };
  const std::vector<TcpProbe> probes(4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t bound = c.bound, in_flight = 0;
    int attempt = 0;
    const TcpProbeSocket::SendResult r = SendWithinBound(
        probes, &bound, [&] { return in_flight; },
        [&](const TcpProbe&) {
          if (attempt++ == c.fails_at) return c.error;
          ++in_flight;
          return 0;
        },
        [](int error) { return error == EMFILE; });
    EXPECT_EQ(r.sent, c.sent);
    EXPECT_EQ(r.error, c.result_error);
    EXPECT_EQ(bound, c.bound_after);
  }
}

TEST(RouteBlocksTest, OneLookupPerBlockThatRoutingTreatsAlike) {
  // A default route, a routed /16 with a /24 carved out of it, a connected
  // /30 with its local and broadcast addresses, and a multipath /24.
  const RouteBlocks blocks({{V4("0.0.0.0"), 0, false},
                            {V4("10.77.0.0"), 16, false},
                            {V4("10.77.5.0"), 24, false},
                            {V4("10.99.0.0"), 30, false},
                            {V4("10.99.0.1"), 32, false},
                            {V4("10.99.0.3"), 32, false},
                            {V4("10.50.0.0"), 24, true}});
  const std::pair<const char*, int> lengths[] = {
      {"10.77.200.1", 17},  // as far as the /24 carved out of the /16 allows
      {"10.77.6.1", 23},    {"10.77.4.1", 24}, {"10.77.5.9", 24},
      {"10.99.0.0", 32},    {"10.99.0.2", 32},  // beside our address, beside the broadcast
      {"192.0.2.1", 1},     // half the space holds no other prefix
      {"10.50.0.7", 32},    // a multipath route chooses per address
  };
  for (const auto& [address, length] : lengths)
    EXPECT_EQ(blocks.BlockLength(V4(address)), length) << address;

  std::vector<IpAddress> looked_up;
  RouteSourceCache cache(blocks, [&](const IpAddress& d) -> std::optional<IpAddress> {
    looked_up.push_back(d);
    if (SamePrefix(d, V4("10.77.5.0"), 24)) return std::nullopt;  // unreachable
    return V4("10.99.0.1");
  });
  for (std::uint32_t i = 0; i < 65536; ++i) {
    const IpAddress d = IpAddress::V4(0x0A4D0000u | i);
    EXPECT_EQ(cache.Source(d).has_value(), (i >> 8) != 5) << d.ToString();
  }
  // The /16 falls into the blocks around 10.77.5.0/24 (from /17 down to
  // /22), the /24 itself, and nothing more.
  EXPECT_EQ(looked_up.size(), 9u);
}

}  // namespace
}  // namespace ps::platform

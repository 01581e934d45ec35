// IPv4 ICMP as a raw socket reads it, on Linux and Windows alike: what is
// ours (an echo reply to our identifier, an error quoting our request) and
// what is not, however it is damaged.
#include "platform/inet/raw_icmp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/inet/checksum.h"

namespace ps::platform {
namespace {

constexpr std::uint16_t kOurs = 0x4242;
const std::uint8_t kData[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// An echo request of ours to 10.77.0.9, sequence 7, with kData.
std::vector<std::uint8_t> Request(std::uint16_t identifier, bool checksum = true) {
  EchoRequest r{IpAddress::V4(0x0A4D0009), 7, kData, sizeof(kData)};
  std::vector<std::uint8_t> icmp(8 + sizeof(kData));
  EXPECT_EQ(WriteEchoRequest4(r, identifier, icmp.data(), checksum), icmp.size());
  return icmp;
}

void SetChecksum(std::vector<std::uint8_t>& icmp, std::size_t at = 0) {
  icmp[at + 2] = icmp[at + 3] = 0;
  const std::uint16_t sum = InternetChecksum(icmp.data() + at, icmp.size() - at);
  icmp[at + 2] = static_cast<std::uint8_t>(sum >> 8);
  icmp[at + 3] = static_cast<std::uint8_t>(sum);
}

// `payload` behind an IPv4 header from `source` to `destination` (TOS 0x28,
// DF, TTL 61).
std::vector<std::uint8_t> Ip(std::uint32_t source, std::uint32_t destination,
                             const std::vector<std::uint8_t>& payload, std::uint8_t protocol = 1) {
  std::vector<std::uint8_t> p = {0x45, 0x28, 0, 0, 0, 0, 0x40, 0, 61, protocol, 0, 0};
  for (const std::uint32_t a : {source, destination})
    for (int shift = 24; shift >= 0; shift -= 8) p.push_back(static_cast<std::uint8_t>(a >> shift));
  const std::size_t total = p.size() + payload.size();
  p[2] = static_cast<std::uint8_t>(total >> 8);
  p[3] = static_cast<std::uint8_t>(total);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

std::vector<std::uint8_t> Reply(std::uint16_t identifier) {
  std::vector<std::uint8_t> icmp = Request(identifier);
  icmp[0] = 0;
  SetChecksum(icmp);
  return Ip(0x0A4D0009, 0x0A630001, icmp);
}

// Host unreachable from the router 10.0.0.254, quoting `quoted` (an IP packet).
std::vector<std::uint8_t> Error(const std::vector<std::uint8_t>& quoted) {
  std::vector<std::uint8_t> icmp = {3, 1, 0, 0, 0, 0, 0, 0};
  icmp.insert(icmp.end(), quoted.begin(), quoted.end());
  SetChecksum(icmp);
  return Ip(0x0A0000FE, 0x0A630001, icmp);
}

TEST(RawIcmpTest, RequestChecksumIsOursOnlyWhenAsked) {
  const std::vector<std::uint8_t> summed = Request(kOurs), bare = Request(kOurs, false);
  EXPECT_EQ(InternetChecksum(summed.data(), summed.size()), 0);
  EXPECT_EQ(bare[2], 0);
  EXPECT_EQ(bare[3], 0);
  EXPECT_TRUE(std::equal(summed.begin() + 4, summed.end(), bare.begin() + 4));
}

TEST(RawIcmpTest, OnlyOurRepliesAndErrorsAboutOurRequestsAreTaken) {
  const std::vector<std::uint8_t> reply = Reply(kOurs);
  const std::vector<std::uint8_t> our_request = Ip(0x0A630001, 0x0A4D0009, Request(kOurs));
  std::vector<std::uint8_t> damaged = reply;
  damaged.back() ^= 1;
  std::vector<std::uint8_t> quoted_v6 = our_request;
  quoted_v6[0] = 0x65;
  const struct {
    const char* what;
    std::vector<std::uint8_t> packet;
    bool whole, taken;
    IcmpMessage::Kind kind;
  } cases[] = {
      {"our reply", reply, true, true, IcmpMessage::Kind::kEchoReply},
      {"damaged", damaged, true, false, {}},
      {"damaged but cut: cannot be checked", damaged, false, true, IcmpMessage::Kind::kEchoReply},
      {"another program's reply", Reply(0x1111), true, false, {}},
      {"our own request, looped back", our_request, true, false, {}},
      {"an error about our request", Error(our_request), true, true, IcmpMessage::Kind::kError},
      {"an error about another's", Error(Ip(0x0A630001, 0x0A4D0009, Request(0x1111))), true, false, {}},
      {"an error quoting no IPv4 packet", Error(quoted_v6), true, false, {}},
      {"an error quoting too little", Error({0x45, 0, 0, 20}), true, false, {}},
      {"not ICMP", Ip(0x0A4D0009, 0x0A630001, Request(kOurs), 17), true, false, {}},
      {"shorter than its headers", std::vector<std::uint8_t>(reply.begin(), reply.begin() + 27), true,
       false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IcmpMessage m;
    m.ClearHead();
    ASSERT_EQ(ParseRawIcmp4(c.packet.data(), c.packet.size(), c.whole, kOurs, &m), c.taken);
    if (!c.taken) continue;
    EXPECT_EQ(m.kind, c.kind);
    EXPECT_EQ(m.sequence, 7);
    EXPECT_EQ(m.about, IpAddress::V4(0x0A4D0009));
    const bool reply_kind = c.kind == IcmpMessage::Kind::kEchoReply;
    EXPECT_EQ(m.from, IpAddress::V4(reply_kind ? 0x0A4D0009 : 0x0A0000FE));
    EXPECT_EQ(m.type, reply_kind ? 0 : 3);
    EXPECT_EQ(m.ttl, 61);
    EXPECT_EQ(m.tos, 0x28);
    EXPECT_TRUE(m.dont_fragment);
    ASSERT_EQ(m.data_size, sizeof(kData));
    if (c.whole) {
      EXPECT_EQ(std::memcmp(m.data.data(), kData, sizeof(kData)), 0);
    }
  }
}

}  // namespace
}  // namespace ps::platform

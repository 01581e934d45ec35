#include "lan/arp_packet.h"

#include <gtest/gtest.h>

#include <vector>

namespace ps::sweep {
namespace {

const MacAddress kMac = *MacAddress::Parse("02:11:22:33:44:55");

TEST(ArpPacketTest, RequestHasTheWireLayout) {
  const auto bytes = BuildArpRequest(kMac, 0x0A000001, 0x0A0000FE);
  const std::vector<std::uint8_t> expected = {
      0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01,       // Ethernet, IPv4, request
      0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 10, 0, 0, 1,  // sender
      0, 0, 0, 0, 0, 0, 10, 0, 0, 254};                 // target
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), expected);
}

TEST(ArpPacketTest, ParsesWhatItBuildsAndRefusesMalformedPackets) {
  const ArpPacket reply{kArpReply, kMac, 0xC0A80102, *MacAddress::Parse("00:00:0c:01:02:03"),
                        0xC0A80101};
  const auto good = BuildArp(reply);
  struct Case {
    const char* what;
    int offset;           // byte to change; -1: none
    std::uint8_t value;
    std::size_t size;     // bytes handed to the parser
    bool parses;
  } cases[] = {
      {"as built", -1, 0, 28, true},
      {"with Ethernet padding", -1, 0, 46, true},
      {"one byte short", -1, 0, 27, false},
      {"empty", -1, 0, 0, false},
      {"hardware type not Ethernet", 1, 6, 28, false},
      {"protocol not IPv4", 2, 0x86, 28, false},
      {"hardware length 8", 4, 8, 28, false},
      {"protocol length 16", 5, 16, 28, false},
      {"operation 3 (RARP)", 7, 3, 28, false},
      {"operation 0", 7, 0, 28, false},
      {"operation 1 (request)", 7, 1, 28, true},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes(good.begin(), good.end());
    bytes.resize(46, 0);
    if (c.offset >= 0) bytes[static_cast<std::size_t>(c.offset)] = c.value;
    const auto parsed = ParseArp(std::span(bytes.data(), c.size));
    EXPECT_EQ(parsed.has_value(), c.parses) << c.what;
    if (parsed && c.offset < 0) {
      EXPECT_EQ(parsed->operation, kArpReply);
      EXPECT_EQ(parsed->sender_mac, reply.sender_mac);
      EXPECT_EQ(parsed->sender_ip, reply.sender_ip);
      EXPECT_EQ(parsed->target_mac, reply.target_mac);
      EXPECT_EQ(parsed->target_ip, reply.target_ip);
    }
  }
}

}  // namespace
}  // namespace ps::sweep

#include "lan/arp_packet.h"

#include <cstring>

namespace ps::sweep {
namespace {

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

std::array<std::uint8_t, kArpPacketSize> BuildArp(const ArpPacket& packet) {
  std::array<std::uint8_t, kArpPacketSize> out{};
  std::uint8_t* p = out.data();
  Put16(p, 1);        // Ethernet
  Put16(p + 2, 0x0800);  // IPv4
  p[4] = 6;
  p[5] = 4;
  Put16(p + 6, packet.operation);
  std::memcpy(p + 8, packet.sender_mac.octets.data(), 6);
  Put32(p + 14, packet.sender_ip);
  std::memcpy(p + 18, packet.target_mac.octets.data(), 6);
  Put32(p + 24, packet.target_ip);
  return out;
}

std::array<std::uint8_t, kArpPacketSize> BuildArpRequest(const MacAddress& sender_mac,
                                                         std::uint32_t sender_ip,
                                                         std::uint32_t target_ip) {
  return BuildArp({kArpRequest, sender_mac, sender_ip, MacAddress{}, target_ip});
}

std::optional<ArpPacket> ParseArp(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kArpPacketSize) return std::nullopt;
  const std::uint8_t* p = bytes.data();
  if (Get16(p) != 1 || Get16(p + 2) != 0x0800 || p[4] != 6 || p[5] != 4) return std::nullopt;
  ArpPacket packet;
  packet.operation = Get16(p + 6);
  if (packet.operation != kArpRequest && packet.operation != kArpReply) return std::nullopt;
  std::memcpy(packet.sender_mac.octets.data(), p + 8, 6);
  packet.sender_ip = Get32(p + 14);
  std::memcpy(packet.target_mac.octets.data(), p + 18, 6);
  packet.target_ip = Get32(p + 24);
  return packet;
}

}  // namespace ps::sweep

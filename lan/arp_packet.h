// ARP for IPv4 over Ethernet (RFC 826): the 28-byte packet that follows the
// Ethernet header, built and parsed as pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "core/mac_address.h"

namespace ps::sweep {

inline constexpr std::size_t kArpPacketSize = 28;
inline constexpr std::uint16_t kArpRequest = 1;
inline constexpr std::uint16_t kArpReply = 2;

// Addresses in host order (10.0.0.1 is 0x0A000001).
struct ArpPacket {
  std::uint16_t operation = 0;
  MacAddress sender_mac;
  std::uint32_t sender_ip = 0;
  MacAddress target_mac;
  std::uint32_t target_ip = 0;
};

// A request from (sender_mac, sender_ip) asking who has target_ip; the target
// hardware address is zero.
std::array<std::uint8_t, kArpPacketSize> BuildArpRequest(const MacAddress& sender_mac,
                                                         std::uint32_t sender_ip,
                                                         std::uint32_t target_ip);
// Any packet, for tests and forged replies alike.
std::array<std::uint8_t, kArpPacketSize> BuildArp(const ArpPacket& packet);

// The packet at the start of `bytes` (trailing Ethernet padding is allowed),
// or nullopt unless it is Ethernet/IPv4 ARP (hardware type 1, protocol
// 0x0800, lengths 6 and 4) with operation 1 or 2.
std::optional<ArpPacket> ParseArp(std::span<const std::uint8_t> bytes);

}  // namespace ps::sweep

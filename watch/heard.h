// What a packet heard passively says about its sender: ARP requests and
// replies, IPv6 neighbour and router solicitations and advertisements, DHCP
// requests (option 12, the host name, and option 60, the vendor class, as
// names). Anyone on the link can send anything: every length is checked
// against the bytes there are, and a packet whose link-layer source differs
// from the MAC it claims (a relayed or forged one) says nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/mac_address.h"
#include "watch/device.h"

namespace ps::watch {

inline constexpr std::uint16_t kEtherArp = 0x0806;
inline constexpr std::uint16_t kEtherIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherIpv6 = 0x86dd;

// Name sources of DHCP requests.
inline constexpr char kDhcpNameSource[] = "dhcp";
inline constexpr char kDhcpVendorSource[] = "dhcp-vendor-class";

// The sender of the network-layer packet `packet` (EtherType `protocol`)
// received from `source`: its MAC, its address when it has one (not while it
// probes for one), its names; nullopt when the packet is none of the kinds
// above, is cut short, or is inconsistent.
std::optional<Observation> ParseHeard(const MacAddress& source, std::uint16_t protocol,
                                      std::span<const std::uint8_t> packet);

}  // namespace ps::watch

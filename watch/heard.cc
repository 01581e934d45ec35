#include "watch/heard.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace ps::watch {
namespace {

using Bytes = std::span<const std::uint8_t>;

std::uint16_t U16(Bytes b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

bool SameMac(Bytes b, std::size_t at, const MacAddress& mac) {
  return std::equal(mac.octets.begin(), mac.octets.end(), b.begin() + at);
}

// An address a station may hold: not 0.0.0.0, loopback, multicast, broadcast.
std::optional<IpAddress> StationV4(Bytes b, std::size_t at) {
  const IpAddress a = IpAddress::V4(static_cast<std::uint32_t>(U16(b, at)) << 16 | U16(b, at + 2));
  const std::uint32_t v = a.v4();
  if (v == 0 || v >> 24 == 127 || v >> 28 >= 0xe) return std::nullopt;
  return a;
}

// Not ::, ::1 or multicast.
std::optional<IpAddress> StationV6(Bytes b, std::size_t at) {
  std::array<std::uint8_t, 16> bytes{};
  std::copy_n(b.begin() + at, 16, bytes.begin());
  if (bytes[0] == 0xff) return std::nullopt;
  const bool low_zero =
      std::all_of(bytes.begin(), bytes.begin() + 15, [](auto x) { return x == 0; });
  if (low_zero && bytes[15] <= 1) return std::nullopt;
  return IpAddress::V6(bytes);
}

// ARP for IPv4 over Ethernet: 28 bytes.
std::optional<Observation> Arp(const MacAddress& source, Bytes p) {
  if (p.size() < 28 || U16(p, 0) != 1 || U16(p, 2) != kEtherIpv4 || p[4] != 6 || p[5] != 4) {
    return std::nullopt;
  }
  const std::uint16_t op = U16(p, 6);
  if ((op != 1 && op != 2) || !SameMac(p, 8, source)) return std::nullopt;
  Observation seen;
  seen.mac = source;
  const std::uint32_t sender = static_cast<std::uint32_t>(U16(p, 14)) << 16 | U16(p, 16);
  if (sender != 0) {  // 0.0.0.0: a probe for an address it does not hold yet
    seen.address = StationV4(p, 14);
    if (!seen.address) return std::nullopt;
  }
  return seen;
}

// ICMPv6 133-136 with hop limit 255 (never routed); a link-layer address
// option, when present, must name the frame's source.
std::optional<Observation> Neighbour(const MacAddress& source, Bytes p) {
  if (p.size() < 48 || p[0] >> 4 != 6 || p[6] != 58 || p[7] != 255) return std::nullopt;
  const std::size_t end = std::min<std::size_t>(p.size(), 40u + U16(p, 4));
  const std::uint8_t type = p[40];
  static constexpr std::size_t kOptionsAt[] = {8, 16, 24, 24};  // types 133..136
  if (type < 133 || type > 136 || end < 40 + kOptionsAt[type - 133]) return std::nullopt;
  for (std::size_t at = 40 + kOptionsAt[type - 133]; at + 2 <= end;) {
    const std::size_t length = p[at + 1] * 8u;
    if (length == 0 || at + length > end) return std::nullopt;
    if ((p[at] == 1 || p[at] == 2) && (length < 8 || !SameMac(p, at + 2, source))) {
      return std::nullopt;
    }
    at += length;
  }
  Observation seen;
  seen.mac = source;
  seen.address = type == 136 ? StationV6(p, 48) : StationV6(p, 8);
  if (type == 136 && !seen.address) return std::nullopt;
  return seen;
}

// A BOOTREQUEST from port 68 to 67 whose client hardware address is the
// frame's source; names from options 12 and 60.
std::optional<Observation> Dhcp(const MacAddress& source, Bytes p) {
  if (p.size() < 20 || p[0] >> 4 != 4 || p[9] != 17) return std::nullopt;
  const std::size_t header = (p[0] & 0x0f) * 4u;
  const std::size_t end = std::min<std::size_t>(p.size(), U16(p, 2));
  const std::size_t bootp = header + 8;
  if (header < 20 || end < bootp + 240 || U16(p, header) != 68 || U16(p, header + 2) != 67) {
    return std::nullopt;
  }
  const Bytes b = p.subspan(bootp, end - bootp);
  if (b[0] != 1 || b[1] != 1 || b[2] != 6 || !SameMac(b, 28, source)) return std::nullopt;
  static constexpr std::uint8_t kCookie[] = {99, 130, 83, 99};
  if (!std::equal(std::begin(kCookie), std::end(kCookie), b.begin() + 236)) return std::nullopt;
  Observation seen;
  seen.mac = source;
  if (U16(b, 12) != 0 || U16(b, 14) != 0) seen.address = StationV4(b, 12);  // ciaddr
  for (std::size_t at = 240; at < b.size() && b[at] != 255;) {
    if (b[at] == 0) {
      ++at;
      continue;
    }
    if (at + 2 > b.size() || at + 2 + b[at + 1] > b.size()) return std::nullopt;
    const std::string value(reinterpret_cast<const char*>(&b[at + 2]), b[at + 1]);
    if (b[at] == 12) seen.names.push_back({kDhcpNameSource, value});
    if (b[at] == 60) seen.names.push_back({kDhcpVendorSource, value});
    at += 2u + b[at + 1];
  }
  return seen;
}

}  // namespace

std::optional<Observation> ParseHeard(const MacAddress& source, std::uint16_t protocol,
                                      std::span<const std::uint8_t> packet) {
  if (source.IsGroup() || source.IsZero()) return std::nullopt;
  switch (protocol) {
    case kEtherArp:
      return Arp(source, packet);
    case kEtherIpv6:
      return Neighbour(source, packet);
    case kEtherIpv4:
      return Dhcp(source, packet);
  }
  return std::nullopt;
}

}  // namespace ps::watch

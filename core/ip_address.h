// An IP address as a small value: IPv4 or IPv6, ordered and hashable, so that
// target lists, result tables and the probe engine hold either family alike.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace ps {

class IpAddress {
 public:
  enum class Family : std::uint8_t { kV4 = 4, kV6 = 6 };

  constexpr IpAddress() = default;  // 0.0.0.0

  // `host_order`: 10.0.0.1 is 0x0A000001.
  static constexpr IpAddress V4(std::uint32_t host_order) {
    IpAddress a;
    a.bytes_[0] = static_cast<std::uint8_t>(host_order >> 24);
    a.bytes_[1] = static_cast<std::uint8_t>(host_order >> 16);
    a.bytes_[2] = static_cast<std::uint8_t>(host_order >> 8);
    a.bytes_[3] = static_cast<std::uint8_t>(host_order);
    return a;
  }
  // 16 bytes in network order.
  static IpAddress V6(const std::array<std::uint8_t, 16>& bytes);
  // An address of `family` from its network-order bytes (4 or 16 of them),
  // as sockets, packets and routing messages hold them.
  static IpAddress FromNetworkBytes(Family family, const void* bytes);
  // Strict text: a dotted quad ("10.0.0.1", decimal, four parts) or an IPv6
  // address in the usual notation. nullopt for anything else.
  static std::optional<IpAddress> Parse(std::string_view text);

  Family family() const { return family_; }
  bool is_v4() const { return family_ == Family::kV4; }
  // IPv4 only: the address in host order.
  std::uint32_t v4() const {
    return static_cast<std::uint32_t>(bytes_[0]) << 24 | static_cast<std::uint32_t>(bytes_[1]) << 16 |
           static_cast<std::uint32_t>(bytes_[2]) << 8 | bytes_[3];
  }
  // Network-order bytes; size() of them are meaningful (4 or 16).
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return is_v4() ? 4 : 16; }

  std::string ToString() const;
  // The longest text of an address: eight groups of four, or six and a
  // dotted quad (ffff:...:ffff:255.255.255.255).
  static constexpr std::size_t kMaxText = 45;
  // ToString()'s text at `out`, which has room for kMaxText bytes; no
  // terminator. Returns its end: output writes an address a line, with no
  // string of its own.
  char* WriteText(char* out) const;

  // IPv4 before IPv6, then numerically: two 64-bit words, not a byte loop
  // (a sweep sorts and searches tens of thousands of them).
  std::strong_ordering operator<=>(const IpAddress& o) const {
    if (family_ != o.family_) return family_ <=> o.family_;
    if (const auto c = Word(0) <=> o.Word(0); c != 0) return c;
    return Word(8) <=> o.Word(8);
  }
  bool operator==(const IpAddress& o) const {
    return family_ == o.family_ && Word(0) == o.Word(0) && Word(8) == o.Word(8);
  }

 private:
  // Bytes [at, at + 8) as a big-endian number.
  std::uint64_t Word(std::size_t at) const {
    std::uint64_t w;
    std::memcpy(&w, bytes_.data() + at, sizeof(w));
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    return w;
  }

  Family family_ = Family::kV4;
  std::array<std::uint8_t, 16> bytes_{};  // IPv4 in the first four, the rest zero
};

struct IpAddressHash {
  std::size_t operator()(const IpAddress& a) const;
};

}  // namespace ps

// A 48-bit IEEE 802 MAC address as a value, and its usual text form.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ps {

struct MacAddress {
  std::array<std::uint8_t, 6> octets{};

  // Lower-case, colon-separated: "aa:bb:cc:dd:ee:ff".
  std::string ToString() const;
  // ToString()'s kText characters at `out`, no terminator; returns their end.
  // Output writes one a line into a string it reuses.
  static constexpr std::size_t kText = 17;
  char* WriteText(char* out) const;
  // Accepts "aa:bb:cc:dd:ee:ff", "aa-bb-cc-dd-ee-ff" (either case, one or two
  // digits per octet) and twelve bare hex digits; nullopt for anything else.
  static std::optional<MacAddress> Parse(std::string_view text);
  // The address in the low 48 bits, first octet most significant.
  std::uint64_t ToUint64() const;
  static MacAddress FromUint64(std::uint64_t value);

  // Set by the owner rather than assigned by the IEEE (randomised addresses).
  bool IsLocallyAdministered() const { return (octets[0] & 0x02) != 0; }
  // A group address (multicast or broadcast): never a station's own.
  bool IsGroup() const { return (octets[0] & 0x01) != 0; }
  bool IsZero() const { return ToUint64() == 0; }

  friend auto operator<=>(const MacAddress&, const MacAddress&) = default;
};

inline constexpr MacAddress kBroadcastMac{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};

}  // namespace ps

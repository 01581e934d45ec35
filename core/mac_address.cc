#include "core/mac_address.h"

namespace ps {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

char* MacAddress::WriteText(char* out) const {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < 6; ++i) {
    if (i > 0) *out++ = ':';
    *out++ = kDigits[octets[i] >> 4];
    *out++ = kDigits[octets[i] & 0x0f];
  }
  return out;
}

std::string MacAddress::ToString() const {
  char text[kText];
  return std::string(text, WriteText(text));
}

std::optional<MacAddress> MacAddress::Parse(std::string_view text) {
  MacAddress mac;
  if (text.size() == 12) {
    for (int i = 0; i < 6; ++i) {
      const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
      if (hi < 0 || lo < 0) return std::nullopt;
      mac.octets[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return mac;
  }
  if (text.size() < 11) return std::nullopt;
  const char separator = text.size() > 1 && HexDigit(text[1]) < 0 ? text[1] : text[2];
  if (separator != ':' && separator != '-') return std::nullopt;
  std::size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != separator) return std::nullopt;
      ++pos;
    }
    int value = 0, digits = 0;
    while (pos < text.size() && digits < 3 && HexDigit(text[pos]) >= 0) {
      value = value << 4 | HexDigit(text[pos++]);
      ++digits;
    }
    if (digits == 0 || digits > 2) return std::nullopt;
    mac.octets[i] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return mac;
}

std::uint64_t MacAddress::ToUint64() const {
  std::uint64_t value = 0;
  for (std::uint8_t octet : octets) value = value << 8 | octet;
  return value;
}

MacAddress MacAddress::FromUint64(std::uint64_t value) {
  MacAddress mac;
  for (int i = 5; i >= 0; --i) {
    mac.octets[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
  return mac;
}

}  // namespace ps

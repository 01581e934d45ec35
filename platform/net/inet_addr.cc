#include <cstdint>

#include "platform/net/linux_net_services.h"

namespace ps::platform {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// The C locale's white space, which is what ends an address text.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int DigitValue(char c, int base) {
  int v;
  if (IsDigit(c)) {
    v = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  } else {
    return -1;
  }
  return v < base ? v : -1;
}

std::uint32_t ToNetworkOrder(std::uint32_t host) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(host >> 24),
                             static_cast<std::uint8_t>(host >> 16),
                             static_cast<std::uint8_t>(host >> 8), static_cast<std::uint8_t>(host)};
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace

IPAddr ClassicInetAddr(const char* cp) {
  if (cp == nullptr) return kInaddrNone;
  std::uint32_t parts[4];
  int count = 0;
  const char* p = cp;
  for (;;) {
    // Every part starts with a digit: no blanks, no sign.
    if (!IsDigit(*p)) return kInaddrNone;
    int base = 10;
    if (*p == '0') {
      base = 8;
      if (p[1] == 'x' || p[1] == 'X') {
        // "0x" with no hex digit is the part 0 followed by a stray 'x'.
        if (DigitValue(p[2], 16) < 0) return kInaddrNone;
        base = 16;
        p += 2;
      }
    }
    std::uint64_t value = 0;
    int digit;
    while ((digit = DigitValue(*p, base)) >= 0) {
      value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
      if (value > 0xFFFFFFFFu) return kInaddrNone;
      ++p;
    }
    if (*p == '.') {
      if (count == 3 || value > 0xFF) return kInaddrNone;
      parts[count++] = static_cast<std::uint32_t>(value);
      ++p;
      continue;
    }
    parts[count++] = static_cast<std::uint32_t>(value);
    break;
  }
  if (*p != '\0' && !IsSpace(*p)) return kInaddrNone;

  // The last part fills the bits the earlier ones leave.
  static constexpr std::uint32_t kLastPartMax[4] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
  const std::uint32_t last = parts[count - 1];
  if (last > kLastPartMax[count - 1]) return kInaddrNone;
  std::uint32_t host = last;
  for (int i = 0; i < count - 1; ++i) host |= parts[i] << (24 - 8 * i);
  return ToNetworkOrder(host);
}

}  // namespace ps::platform

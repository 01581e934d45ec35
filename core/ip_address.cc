#include "core/ip_address.h"

#include <cstring>

namespace ps {

IpAddress IpAddress::FromNetworkBytes(Family family, const void* bytes) {
  IpAddress a;
  a.family_ = family;
  std::memcpy(a.bytes_.data(), bytes, family == Family::kV4 ? 4 : 16);
  return a;
}

IpAddress IpAddress::V6(const std::array<std::uint8_t, 16>& bytes) {
  IpAddress a;
  a.family_ = Family::kV6;
  a.bytes_ = bytes;
  return a;
}

namespace {

// A strict dotted quad: four decimal parts of 0-255, no leading zeros.
bool ParseV4(std::string_view text, std::uint8_t* out) {
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    const std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[i++] - '0');
    }
    const std::size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    out[parts++] = static_cast<std::uint8_t>(value);
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  return i == text.size();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The usual IPv6 notation: up to eight groups of 1-4 hex digits, one "::" for
// a run of zero groups, optionally a dotted quad for the last 32 bits.
bool ParseV6(std::string_view text, std::uint8_t* out) {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t n = 0, i = 0;
  int gap = -1;  // where "::" stands, in bytes
  if (text.starts_with("::")) {
    gap = 0;
    i = 2;
  } else if (text.starts_with(":")) {
    return false;
  }
  while (i < text.size()) {
    if (n == 16) return false;
    const std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && HexDigit(text[i]) >= 0 && i - start < 5) {
      value = value << 4 | static_cast<unsigned>(HexDigit(text[i++]));
    }
    if (i < text.size() && text[i] == '.') {  // the trailing dotted quad
      if (n > 12 || !ParseV4(text.substr(start), bytes.data() + n)) return false;
      n += 4;
      i = text.size();
      break;
    }
    if (i == start || i - start > 4) return false;
    bytes[n++] = static_cast<std::uint8_t>(value >> 8);
    bytes[n++] = static_cast<std::uint8_t>(value);
    if (i == text.size()) break;
    if (text[i] != ':' || ++i == text.size()) return false;  // no trailing single colon
    if (text[i] == ':') {
      if (gap >= 0) return false;
      gap = static_cast<int>(n);
      ++i;
    }
  }
  if (gap >= 0) {
    if (n == 16) return false;  // "::" must stand for at least one group
    const std::size_t tail = n - static_cast<std::size_t>(gap);
    std::memmove(bytes.data() + 16 - tail, bytes.data() + gap, tail);
    std::memset(bytes.data() + gap, 0, 16 - tail - static_cast<std::size_t>(gap));
  } else if (n != 16) {
    return false;
  }
  std::memcpy(out, bytes.data(), 16);
  return true;
}

// Each octet's digits and a dot, and how many of them to keep: four bytes
// copied an octet rather than a division a digit (a sweep's output formats an
// address a host, twice for the text table).
struct OctetText {
  char text[4];
  std::uint8_t size;  // the digits' and the dot's
};
constexpr std::array<OctetText, 256> kOctets = [] {
  std::array<OctetText, 256> all{};
  for (unsigned v = 0; v < 256; ++v) {
    OctetText& o = all[v];
    if (v >= 100) o.text[o.size++] = static_cast<char>('0' + v / 100);
    if (v >= 10) o.text[o.size++] = static_cast<char>('0' + v / 10 % 10);
    o.text[o.size++] = static_cast<char>('0' + v % 10);
    o.text[o.size++] = '.';
  }
  return all;
}();

// Straight into the caller's buffer, which needs room for the text alone
// (an IPv6 text may end in one at its 45th byte).
char* WriteV4(const std::uint8_t* b, char* p) {
  for (int i = 0; i < 3; ++i) {
    const OctetText& o = kOctets[b[i]];
    std::memcpy(p, o.text, 4);
    p += o.size;
  }
  const OctetText& last = kOctets[b[3]];
  for (int i = 0; i + 1 < last.size; ++i) *p++ = last.text[i];
  return p;
}

// Lower-case groups without leading zeros; the longest run of two or more zero
// groups (the first of equals) as "::"; IPv4-compatible and IPv4-mapped
// addresses end in a dotted quad.
char* WriteV6(const std::uint8_t* b, char* p) {
  std::array<unsigned, 8> words;
  for (std::size_t i = 0; i < 8; ++i) words[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
  int best = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && words[static_cast<std::size_t>(j)] == 0) ++j;
    if (j - i > best_len) best = i, best_len = j - i;
    i = j == i ? i + 1 : j;
  }
  if (best_len < 2) best = -1;
  const bool embedded_v4 = best == 0 && (best_len == 6 || (best_len == 7 && words[7] != 1) ||
                                         (best_len == 5 && words[5] == 0xffff));
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      *p++ = ':';
      *p++ = ':';
      i += best_len - 1;
      continue;
    }
    if (i > 0 && i != best + best_len) *p++ = ':';
    if (i == 6 && embedded_v4) return WriteV4(b + 12, p);
    const unsigned w = words[static_cast<std::size_t>(i)];
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (w >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) *p++ = kHex[digit], started = true;
    }
  }
  return p;
}

}  // namespace

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
  if (text.empty() || text.size() > 45) return std::nullopt;
  IpAddress a;
  if (ParseV4(text, a.bytes_.data())) return a;
  std::array<std::uint8_t, 16> bytes{};
  if (ParseV6(text, bytes.data())) return V6(bytes);
  return std::nullopt;
}

char* IpAddress::WriteText(char* out) const {
  return is_v4() ? WriteV4(bytes_.data(), out) : WriteV6(bytes_.data(), out);
}

std::string IpAddress::ToString() const {
  char text[kMaxText];
  return std::string(text, WriteText(text));
}

std::size_t IpAddressHash::operator()(const IpAddress& a) const {
  std::uint64_t h = a.is_v4() ? 4 : 6;
  for (std::size_t i = 0; i < a.size(); ++i) h = (h ^ a.data()[i]) * 0x100000001B3ull;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

}  // namespace ps

#include "names/netbios_wire.h"

#include <algorithm>

namespace ps::names {
namespace {

constexpr std::uint16_t kTypeNbstat = 0x21;
constexpr std::size_t kHeader = 12;
constexpr std::size_t kEncodedName = 34;  // length byte, 32 half-bytes, final zero

// The first-level encoding of "*" padded with zeros (RFC 1001, 14.1).
void PutWildcard(std::vector<std::uint8_t>& out) {
  out.push_back(32);
  for (int i = 0; i < 16; ++i) {
    const std::uint8_t c = i == 0 ? '*' : 0;
    out.push_back(static_cast<std::uint8_t>('A' + (c >> 4)));
    out.push_back(static_cast<std::uint8_t>('A' + (c & 0xF)));
  }
  out.push_back(0);
}

std::string Trimmed(const std::uint8_t* p, std::size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

}  // namespace

std::string NodeStatus::machine() const {
  for (const NetbiosName& n : names)
    if (!n.group && (n.suffix == 0x00 || n.suffix == 0x20) && !n.name.empty()) return n.name;
  return "";
}

std::string NodeStatus::workgroup() const {
  for (const NetbiosName& n : names)
    if (n.group && n.suffix == 0x00 && !n.name.empty()) return n.name;
  return "";
}

std::vector<std::uint8_t> EncodeNodeStatusQuery(std::uint16_t id) {
  std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id),
                                   0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  PutWildcard(out);
  out.insert(out.end(), {0, kTypeNbstat, 0, 1});
  return out;
}

std::optional<NodeStatus> ParseNodeStatus(std::span<const std::uint8_t> b) {
  std::vector<std::uint8_t> wildcard;
  PutWildcard(wildcard);
  // Header, the name asked (uncompressed), type, class, TTL, length, count.
  constexpr std::size_t kTable = kHeader + kEncodedName + 10 + 1;
  if (b.size() < kTable) return std::nullopt;
  const bool response = (b[2] & 0x80) != 0;
  const int rcode = b[3] & 0xF;
  const int answers = b[6] << 8 | b[7];
  if (!response || rcode != 0 || answers < 1 ||
      !std::equal(wildcard.begin(), wildcard.end(), b.begin() + kHeader) ||
      b[kHeader + kEncodedName] != 0 || b[kHeader + kEncodedName + 1] != kTypeNbstat) {
    return std::nullopt;
  }
  const std::size_t length = static_cast<std::size_t>(b[kTable - 3] << 8 | b[kTable - 2]);
  const std::size_t end = std::min(b.size(), kTable - 1 + length);
  NodeStatus status;
  status.id = static_cast<std::uint16_t>(b[0] << 8 | b[1]);
  const std::size_t count = b[kTable - 1];
  std::size_t at = kTable;
  for (std::size_t i = 0; i < count; ++i, at += 18) {
    if (at + 18 > end) return std::nullopt;
    status.names.push_back({Trimmed(&b[at], 15), b[at + 15], (b[at + 16] & 0x80) != 0});
  }
  if (at + 6 <= end) {
    MacAddress mac;
    std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), 6, mac.octets.begin());
    if (!mac.IsZero()) status.mac = mac;
  }
  return status;
}

}  // namespace ps::names

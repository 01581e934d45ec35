#include "platform/inet/route_blocks.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace ps::platform {
namespace {

int Bits(const IpAddress& a) { return static_cast<int>(a.size()) * 8; }

}  // namespace

bool SamePrefix(const IpAddress& a, const IpAddress& b, int length) {
  if (a.family() != b.family()) return false;
  const auto whole = static_cast<std::size_t>(length / 8);
  if (std::memcmp(a.data(), b.data(), whole) != 0) return false;
  const int rest = length % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (a.data()[whole] & mask) == (b.data()[whole] & mask);
}

IpAddress MaskTo(const IpAddress& address, int length) {
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), address.data(), address.size());
  for (int bit = length; bit < Bits(address); ++bit)
    bytes[static_cast<std::size_t>(bit / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
  if (address.is_v4())
    return IpAddress::V4(static_cast<std::uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]);
  return IpAddress::V6(bytes);
}

int RouteBlocks::BlockLength(const IpAddress& address) const {
  const int bits = Bits(address);
  for (const RoutePrefix& p : prefixes_) {
    if (p.multipath && SamePrefix(p.network, address, p.length)) return bits;
  }
  // A block is cut by a longer prefix inside it; whether one is only gets
  // less likely as the block shrinks, so the smallest uncut length is found
  // by halving.
  const auto cut = [&](int length) {
    return std::any_of(prefixes_.begin(), prefixes_.end(), [&](const RoutePrefix& p) {
      return p.length > length && SamePrefix(p.network, address, length);
    });
  };
  int lo = 0, hi = bits;  // hi is never cut
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (cut(mid)) lo = mid + 1;
    else hi = mid;
  }
  return hi;
}

std::optional<IpAddress> RouteSourceCache::Source(const IpAddress& destination) {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (!SamePrefix(entries_[i].network, destination, entries_[i].length)) continue;
    if (i != 0) std::swap(entries_[0], entries_[i]);
    return entries_[0].source;
  }
  const int length = blocks_.BlockLength(destination);
  entries_.insert(entries_.begin(), Entry{MaskTo(destination, length), length, lookup_(destination)});
  // Per-address entries (multipath routes) would grow without bound.
  if (entries_.size() > 4096) entries_.pop_back();
  return entries_[0].source;
}

}  // namespace ps::platform

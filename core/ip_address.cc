#include "core/ip_address.h"

#include <arpa/inet.h>

#include <cstring>

namespace ps {

IpAddress IpAddress::V6(const std::array<std::uint8_t, 16>& bytes) {
  IpAddress a;
  a.family_ = Family::kV6;
  a.bytes_ = bytes;
  return a;
}

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
  if (text.empty() || text.size() > 45) return std::nullopt;
  char buf[64];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  std::array<std::uint8_t, 16> bytes{};
  // inet_pton's IPv4 form is exactly the strict dotted quad.
  if (inet_pton(AF_INET, buf, bytes.data()) == 1) {
    IpAddress a;
    std::memcpy(a.bytes_.data(), bytes.data(), 4);
    return a;
  }
  if (inet_pton(AF_INET6, buf, bytes.data()) == 1) return V6(bytes);
  return std::nullopt;
}

std::string IpAddress::ToString() const {
  char buf[INET6_ADDRSTRLEN];
  inet_ntop(is_v4() ? AF_INET : AF_INET6, bytes_.data(), buf, sizeof(buf));
  return buf;
}

std::size_t IpAddressHash::operator()(const IpAddress& a) const {
  std::uint64_t h = a.is_v4() ? 4 : 6;
  for (std::size_t i = 0; i < a.size(); ++i) h = (h ^ a.data()[i]) * 0x100000001B3ull;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

}  // namespace ps

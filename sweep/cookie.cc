#include "sweep/cookie.h"

#include <bit>
#include <cstring>

#include "platform/crypto/keyed_hash.h"

namespace ps::sweep {
namespace {

static_assert(ProbeCookie::kKeySize == platform::kShortHashKeySize);

// Big-endian, as one load or store and a byte swap.
void Put64(std::uint8_t* p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof(v));
}

std::uint64_t Get64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

ProbeCookie::ProbeCookie() : key_(platform::RandomShortHashKey()) {}

ProbeCookie::ProbeCookie(const std::array<std::uint8_t, kKeySize>& key) : key_(key) {}

std::uint64_t ProbeCookie::Compute(const IpAddress& destination, std::uint16_t sequence,
                                   std::int64_t send_ns) const {
  // family | address (4 or 16) | sequence (2) | send time (8): an IPv4
  // message fits in two of SipHash's blocks, half the work of a padded one.
  std::uint8_t message[1 + 16 + 2 + 8];
  message[0] = static_cast<std::uint8_t>(destination.family());
  // All 16 bytes of storage, a fixed-size copy; an IPv4 address's first 4
  // count, the sequence overwrites the rest.
  std::memcpy(message + 1, destination.data(), 16);
  std::uint8_t* p = message + 1 + destination.size();
  p[0] = static_cast<std::uint8_t>(sequence >> 8);
  p[1] = static_cast<std::uint8_t>(sequence);
  Put64(p + 2, static_cast<std::uint64_t>(send_ns));
  return platform::ShortHash(message, static_cast<std::size_t>(p + 10 - message), key_);
}

std::uint32_t ProbeCookie::Tcp(const IpAddress& destination, std::uint16_t port,
                               const IpAddress& source, std::uint16_t source_port,
                               std::uint8_t flags, std::uint16_t sequence) const {
  // family | destination (16) | source (16) | ports (2 + 2) | flags | sequence (2)
  std::uint8_t message[1 + 16 + 16 + 4 + 1 + 2] = {};
  message[0] = static_cast<std::uint8_t>(destination.family());
  std::memcpy(message + 1, destination.data(), destination.size());
  std::memcpy(message + 17, source.data(), source.size());
  const std::uint16_t numbers[] = {port, source_port};
  for (int i = 0; i < 2; ++i) {
    message[33 + 2 * i] = static_cast<std::uint8_t>(numbers[i] >> 8);
    message[34 + 2 * i] = static_cast<std::uint8_t>(numbers[i]);
  }
  message[37] = flags;
  message[38] = static_cast<std::uint8_t>(sequence >> 8);
  message[39] = static_cast<std::uint8_t>(sequence);
  return static_cast<std::uint32_t>(platform::ShortHash(message, sizeof(message), key_));
}

void ProbeCookie::Fill(const IpAddress& destination, std::uint16_t sequence, std::int64_t send_ns,
                       std::uint8_t* out) const {
  Put64(out, static_cast<std::uint64_t>(send_ns));
  Put64(out + 8, Compute(destination, sequence, send_ns));
}

std::optional<std::int64_t> ProbeCookie::Verify(const IpAddress& destination,
                                                std::uint16_t sequence, const std::uint8_t* data,
                                                std::size_t size) const {
  if (size < kDataSize) return std::nullopt;
  const auto send_ns = static_cast<std::int64_t>(Get64(data));
  // One 64-bit comparison, with no exit at the first differing byte: the time
  // it takes tells an attacker nothing about the cookie.
  if (Get64(data + 8) != Compute(destination, sequence, send_ns)) return std::nullopt;
  return send_ns;
}

}  // namespace ps::sweep

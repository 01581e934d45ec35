#include "sweep/cookie.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

namespace ps::sweep {
namespace {

static_assert(ProbeCookie::kKeySize == crypto_shorthash_KEYBYTES);
static_assert(crypto_shorthash_BYTES == 8);

void InitSodium() {
  // Idempotent and thread-safe; only fails without a usable random source.
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
}

void Put64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

std::uint64_t Get64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}

}  // namespace

ProbeCookie::ProbeCookie() {
  InitSodium();
  randombytes_buf(key_.data(), key_.size());
}

ProbeCookie::ProbeCookie(const std::array<std::uint8_t, kKeySize>& key) : key_(key) {
  InitSodium();
}

std::uint64_t ProbeCookie::Compute(const IpAddress& destination, std::uint16_t sequence,
                                   std::int64_t send_ns) const {
  // family | address (16) | sequence (2) | send time (8)
  std::uint8_t message[1 + 16 + 2 + 8] = {};
  message[0] = static_cast<std::uint8_t>(destination.family());
  std::memcpy(message + 1, destination.data(), destination.size());
  message[17] = static_cast<std::uint8_t>(sequence >> 8);
  message[18] = static_cast<std::uint8_t>(sequence);
  Put64(message + 19, static_cast<std::uint64_t>(send_ns));
  std::uint8_t out[crypto_shorthash_BYTES];
  crypto_shorthash(out, message, sizeof(message), key_.data());
  return Get64(out);
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
  std::uint8_t out[crypto_shorthash_BYTES];
  crypto_shorthash(out, message, sizeof(message), key_.data());
  return static_cast<std::uint32_t>(Get64(out));
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
  std::uint8_t expected[8];
  Put64(expected, Compute(destination, sequence, send_ns));
  // Constant time, so that timing tells an attacker nothing about the cookie.
  if (sodium_memcmp(expected, data + 8, 8) != 0) return std::nullopt;
  return send_ns;
}

}  // namespace ps::sweep

#include <sodium.h>

#include <stdexcept>

#include "platform/crypto/keyed_hash.h"

namespace ps::platform {
namespace {

static_assert(kShortHashKeySize == crypto_shorthash_KEYBYTES);
static_assert(crypto_shorthash_siphash24_BYTES == 8);

void InitSodium() {
  // sodium_init() takes a lock on every call: once per process is enough. It
  // only fails without a usable random source.
  static const bool initialised = sodium_init() >= 0;
  if (!initialised) throw std::runtime_error("libsodium could not be initialised");
}

}  // namespace

std::uint64_t ShortHash(const std::uint8_t* message, std::size_t size, const ShortHashKey& key) {
  InitSodium();
  std::uint8_t out[crypto_shorthash_BYTES];
  crypto_shorthash_siphash24(out, message, size, key.data());
  std::uint64_t v = 0;
  for (std::uint8_t b : out) v = v << 8 | b;
  return v;
}

ShortHashKey RandomShortHashKey() {
  InitSodium();
  ShortHashKey key;
  randombytes_buf(key.data(), key.size());
  return key;
}

}  // namespace ps::platform

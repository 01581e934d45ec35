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
  // SipHash needs no initialisation of the library: the key is all it uses.
  // The hash's bytes as one word in the machine's order: a cookie is checked
  // only by the process that made it.
  std::uint64_t v;
  crypto_shorthash_siphash24(reinterpret_cast<unsigned char*>(&v), message, size, key.data());
  return v;
}

ShortHashKey RandomShortHashKey() {
  InitSodium();
  ShortHashKey key;
  randombytes_buf(key.data(), key.size());
  return key;
}

}  // namespace ps::platform

#include "platform/crypto/keyed_hash.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

namespace ps::platform {
namespace {

constexpr std::size_t kSha256Size = 32;

// The HMAC-SHA-256 provider, opened once for the process (handles of one
// provider may be used from several threads).
BCRYPT_ALG_HANDLE HmacProvider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
      throw std::runtime_error("the system's HMAC-SHA-256 provider could not be opened");
    }
    return h;
  }();
  return provider;
}

}  // namespace

std::uint64_t ShortHash(const std::uint8_t* message, std::size_t size, const ShortHashKey& key) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  UCHAR digest[kSha256Size];
  const bool ok =
      BCRYPT_SUCCESS(BCryptCreateHash(HmacProvider(), &hash, nullptr, 0,
                                      const_cast<PUCHAR>(key.data()), key.size(), 0)) &&
      BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(message), size, 0)) &&
      BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  if (!ok) throw std::runtime_error("the system's HMAC-SHA-256 failed");
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | digest[i];
  return v;
}

ShortHashKey RandomShortHashKey() {
  ShortHashKey key;
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, key.data(), key.size(),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    throw std::runtime_error("the system's random source failed");
  }
  return key;
}

}  // namespace ps::platform

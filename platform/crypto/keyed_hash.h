// The keyed hash and the random key behind the sweep's reply cookies, from a
// well-kept cryptographic library: libsodium's SipHash-2-4 on Linux, the
// system's CNG (HMAC-SHA-256 cut to 64 bits) on Windows, where Debian has no
// libsodium to link. A cookie is checked only by the process that made it, so
// the two need not agree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ps::platform {

inline constexpr std::size_t kShortHashKeySize = 16;
using ShortHashKey = std::array<std::uint8_t, kShortHashKeySize>;

// A 64-bit keyed hash of `size` bytes: nobody without the key can forge it.
std::uint64_t ShortHash(const std::uint8_t* message, std::size_t size, const ShortHashKey& key);

// A fresh key from the system's cryptographic random source. Throws
// std::runtime_error when there is none.
ShortHashKey RandomShortHashKey();

}  // namespace ps::platform

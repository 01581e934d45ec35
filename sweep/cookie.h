// The proof a reply carries that it answers one request of this sweep: a keyed
// hash (platform/crypto: SipHash-2-4 from libsodium on Linux) over the destination, the
// sequence number and the send time, under a random key drawn per sweep.
// Nobody without the key can forge it, and the identifier the kernel rewrites
// on datagram sockets is not part of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/ip_address.h"

namespace ps::sweep {

class ProbeCookie {
 public:
  static constexpr std::size_t kKeySize = 16;
  // Request data: the send time (8 bytes) and the cookie (8 bytes).
  static constexpr std::size_t kDataSize = 16;

  ProbeCookie();  // a fresh random key
  explicit ProbeCookie(const std::array<std::uint8_t, kKeySize>& key);

  std::uint64_t Compute(const IpAddress& destination, std::uint16_t sequence,
                        std::int64_t send_ns) const;
  // Writes kDataSize bytes of request data to `out`.
  void Fill(const IpAddress& destination, std::uint16_t sequence, std::int64_t send_ns,
            std::uint8_t* out) const;
  // The send time carried by `data` when its cookie verifies for this
  // destination and sequence; nullopt otherwise (also for short data).
  std::optional<std::int64_t> Verify(const IpAddress& destination, std::uint16_t sequence,
                                     const std::uint8_t* data, std::size_t size) const;

 private:
  std::array<std::uint8_t, kKeySize> key_;
};

}  // namespace ps::sweep

// The proof a reply carries that it answers one request of this sweep: a keyed
// hash (SipHash-2-4 via libsodium's crypto_shorthash) over the destination, the
// sequence number and the send time (TCP: the segment's ends and the probe),
// under a random key drawn per sweep.
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

  // A TCP probe's 32 bits: a SYN carries them as its sequence number (an
  // answer acknowledges them plus one), an ACK as its acknowledgement number
  // (a reset answers with them as its sequence number). Over both ends of
  // the segment, its flags and the probe's sequence, so an answer to another
  // port, address, round or probe kind, or one sent to another of our
  // addresses, does not match.
  std::uint32_t Tcp(const IpAddress& destination, std::uint16_t port, const IpAddress& source,
                    std::uint16_t source_port, std::uint8_t flags, std::uint16_t sequence) const;

 private:
  std::array<std::uint8_t, kKeySize> key_;
};

}  // namespace ps::sweep

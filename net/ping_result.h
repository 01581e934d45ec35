// The probe's result record, in memory and as the 288-byte single-byte image
// that serves as the echo service's reply buffer. The image's first 28 bytes
// have the 32-bit ICMP_ECHO_REPLY layout, so a reply header fills the header
// fields and the echoed data lands at the start of StatusText.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/fixed_text.h"
#include "platform/netapi/net_services.h"

namespace ps {

struct PingResult {
  std::uint32_t Address = 0;  // replier, network byte order
  std::uint32_t Status = 0;
  std::uint32_t RoundTripTime = 0;  // ms
  std::uint16_t DataSize = 0;
  std::uint16_t Reserved = 0;
  std::uint32_t Data = 0;  // location inside the reply buffer
  platform::IP_OPTION_INFORMATION Options{};
  FixedText<250> StatusText{u"FAILED"};
  std::int16_t Present = 0;  // 0 False, -1 True
  double ElapsedTime = 0;

  // Offsets in the image (little-endian); the header fields before StatusText
  // are the echo reply header (platform/netapi/echo_reply.h).
  static constexpr std::size_t kStatusTextOffset = platform::kEchoReplyHeaderSize;
  static constexpr std::size_t kPresentOffset = 278;
  static constexpr std::size_t kElapsedTimeOffset = 280;
  static constexpr std::size_t kImageSize = 288;

  using Image = std::array<std::uint8_t, kImageSize>;
  Image ToImage() const;
  static PingResult FromImage(const Image& image);

  friend bool operator==(const PingResult& a, const PingResult& b);
};

}  // namespace ps

// The Internet checksum (RFC 1071).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ps::platform {

// The checksum of an ICMP message (its checksum field zero), as stored in its
// header: big-endian.
std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t size);

}  // namespace ps::platform

// TCP probe segments as bytes: built for a raw socket and read back from one,
// with the checksum over the pseudo-header. Portable; the raw sockets in
// linux_tcp_raw.cc use it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/ip_address.h"
#include "platform/inet/tcp_io.h"

namespace ps::platform {

inline constexpr std::size_t kIpv4HeaderSize = 20;
inline constexpr std::size_t kTcpHeaderSize = 20;
// The largest probe BuildTcpProbe writes: an IPv4 header, a TCP header and,
// on a SYN, the maximum-segment-size option.
inline constexpr std::size_t kMaxTcpProbeSize = kIpv4HeaderSize + kTcpHeaderSize + 4;

// The checksum of a TCP segment from `source` to `destination` (of one
// family), as stored in its header: big-endian. Over a segment that carries
// its checksum, 0 means it holds.
std::uint16_t TcpChecksum(const IpAddress& source, const IpAddress& destination,
                          const std::uint8_t* segment, std::size_t size);

// Writes the segment of `probe` from `source_port` to `out` (at least
// kMaxTcpProbeSize bytes), after an IPv4 header when `ip_header` (for a raw
// socket that takes one; the kernel fills in its identification). Returns
// the bytes written.
std::size_t BuildTcpProbe(const TcpProbe& probe, std::uint16_t source_port, bool ip_header,
                          std::uint8_t* out);

// Reads the TCP header of a segment from out->from to out->to into `out`:
// ports, flags and numbers. False when it is too short or, unless cut short
// (`whole` false), its checksum fails.
bool ParseTcpSegment(const std::uint8_t* segment, std::size_t size, bool whole, TcpAnswer* out);

// The same for an IPv4 packet from its header on: addresses and TTL too.
// False when it is not TCP.
bool ParseIpv4Tcp(const std::uint8_t* packet, std::size_t size, bool whole, TcpAnswer* out);

}  // namespace ps::platform

#include "platform/inet/tcp_segment.h"

#include <array>
#include <cstring>

namespace ps::platform {
namespace {

constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint16_t kSynWindow = 64240;  // what Linux offers on Ethernet
constexpr std::uint16_t kMss = 1460;

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, static_cast<std::uint16_t>(v >> 16));
  Put16(p + 2, static_cast<std::uint16_t>(v));
}

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(Get16(p)) << 16 | Get16(p + 2);
}

// The one's-complement sum of 16-bit words, not yet folded.
std::uint64_t Sum(const std::uint8_t* data, std::size_t size, std::uint64_t sum) {
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += Get16(data + i);
  if (size % 2) sum += static_cast<std::uint64_t>(data[size - 1]) << 8;
  return sum;
}

std::uint16_t Fold(std::uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// The pseudo-header: both addresses, the protocol and the segment's length
// (the IPv4 and IPv6 forms sum alike).
std::uint64_t PseudoHeaderSum(const IpAddress& source, const IpAddress& destination,
                              std::size_t size) {
  std::uint64_t sum = Sum(source.data(), source.size(), 0);
  sum = Sum(destination.data(), destination.size(), sum);
  return sum + kProtocolTcp + static_cast<std::uint64_t>(size);
}

}  // namespace

std::uint16_t TcpChecksum(const IpAddress& source, const IpAddress& destination,
                          const std::uint8_t* segment, std::size_t size) {
  return Fold(Sum(segment, size, PseudoHeaderSum(source, destination, size)));
}

std::size_t BuildTcpProbe(const TcpProbe& probe, std::uint16_t source_port, bool ip_header,
                          std::uint8_t* out) {
  const bool syn = (probe.flags & kTcpSyn) != 0;
  const std::size_t tcp_size = kTcpHeaderSize + (syn ? 4 : 0);
  std::uint8_t* tcp = out;
  if (ip_header) {
    std::uint8_t* ip = out;
    std::memset(ip, 0, kIpv4HeaderSize);
    ip[0] = 0x45;
    Put16(ip + 2, static_cast<std::uint16_t>(kIpv4HeaderSize + tcp_size));
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = kProtocolTcp;
    std::memcpy(ip + 12, probe.source.data(), 4);
    std::memcpy(ip + 16, probe.destination.data(), 4);
    tcp = out + kIpv4HeaderSize;  // the kernel fills in the identification and checksum
  }
  std::memset(tcp, 0, tcp_size);
  Put16(tcp, source_port);
  Put16(tcp + 2, probe.port);
  Put32(tcp + 4, probe.sequence);
  Put32(tcp + 8, probe.acknowledgement);
  tcp[12] = static_cast<std::uint8_t>(tcp_size / 4 << 4);
  tcp[13] = probe.flags;
  Put16(tcp + 14, syn ? kSynWindow : 1024);
  if (syn) {
    tcp[20] = 2;  // maximum segment size, as any SYN carries
    tcp[21] = 4;
    Put16(tcp + 22, kMss);
  }
  Put16(tcp + 16, TcpChecksum(probe.source, probe.destination, tcp, tcp_size));
  return (ip_header ? kIpv4HeaderSize : 0) + tcp_size;
}

bool ParseTcpSegment(const std::uint8_t* segment, std::size_t size, bool whole, TcpAnswer* out) {
  if (size < kTcpHeaderSize) return false;
  // A sender that left the checksum to its network card (veth and loopback
  // hand such segments over as they are) stored the pseudo-header's sum in
  // it, not yet complemented; the kernel takes those as checked.
  const auto partial = static_cast<std::uint16_t>(~Fold(PseudoHeaderSum(out->from, out->to, size)));
  if (whole && TcpChecksum(out->from, out->to, segment, size) != 0 && Get16(segment + 16) != partial)
    return false;
  out->from_port = Get16(segment);
  out->to_port = Get16(segment + 2);
  out->sequence = Get32(segment + 4);
  out->acknowledgement = Get32(segment + 8);
  out->flags = segment[13];
  return true;
}

bool ParseIpv4Tcp(const std::uint8_t* packet, std::size_t size, bool whole, TcpAnswer* out) {
  if (size < kIpv4HeaderSize || (packet[0] >> 4) != 4 || packet[9] != kProtocolTcp) return false;
  const std::size_t ihl = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (ihl < kIpv4HeaderSize || size < ihl) return false;
  // The segment ends where the IP header says (a short frame is padded).
  const std::size_t total = Get16(packet + 2);
  if (whole && (total < ihl || total > size)) return false;
  const std::size_t end = whole ? total : size;
  out->from = IpAddress::V4(Get32(packet + 12));
  out->to = IpAddress::V4(Get32(packet + 16));
  out->ttl = packet[8];
  return ParseTcpSegment(packet + ihl, end - ihl, whole, out);
}

}  // namespace ps::platform

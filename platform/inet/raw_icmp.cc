#include "platform/inet/raw_icmp.h"

#include <algorithm>
#include <cstring>

#include "platform/inet/checksum.h"

namespace ps::platform {
namespace {

constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kIcmpHeader = 8;
constexpr std::uint8_t kIcmpProtocol = 1;
constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kSourceQuench = 4;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

IpAddress V4At(const std::uint8_t* p) {
  return IpAddress::V4(static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

void CopyData(IcmpMessage* m, const std::uint8_t* data, std::size_t size) {
  m->data_size = static_cast<std::uint16_t>(std::min(size, IcmpMessage::kMaxData));
  std::memcpy(m->data.data(), data, m->data_size);
}

// The IP header's length when `p` starts an IPv4 packet carrying ICMP with at
// least an ICMP header after it; 0 otherwise.
std::size_t IcmpOffset(const std::uint8_t* p, std::size_t size) {
  if (size < kIpHeader || (p[0] >> 4) != 4) return 0;
  const std::size_t ihl = static_cast<std::size_t>(p[0] & 0x0F) * 4;
  if (ihl < kIpHeader || size < ihl + kIcmpHeader || p[9] != kIcmpProtocol) return 0;
  return ihl;
}

}  // namespace

std::size_t WriteEchoRequest4(const EchoRequest& r, std::uint16_t identifier, std::uint8_t* packet,
                              bool checksum) {
  const std::size_t size = kIcmpHeader + r.size;
  packet[0] = kEchoRequest;
  packet[1] = 0;
  packet[2] = packet[3] = 0;
  packet[4] = static_cast<std::uint8_t>(identifier >> 8);
  packet[5] = static_cast<std::uint8_t>(identifier);
  packet[6] = static_cast<std::uint8_t>(r.sequence >> 8);
  packet[7] = static_cast<std::uint8_t>(r.sequence);
  if (r.size > 0) std::memcpy(packet + kIcmpHeader, r.data, r.size);
  if (!checksum) return size;
  const std::uint16_t sum = InternetChecksum(packet, size);
  packet[2] = static_cast<std::uint8_t>(sum >> 8);
  packet[3] = static_cast<std::uint8_t>(sum);
  return size;
}

bool ParseRawIcmp4(const std::uint8_t* pkt, std::size_t size, bool whole, std::uint16_t identifier,
                   IcmpMessage* m) {
  const std::size_t ihl = IcmpOffset(pkt, size);
  if (ihl == 0) return false;
  const std::uint8_t* icmp = pkt + ihl;
  // A raw socket gets its copy before the kernel checks the ICMP checksum;
  // a damaged reply or error tells nothing. (A cut packet cannot be checked.)
  if (whole && InternetChecksum(icmp, size - ihl) != 0) return false;
  const std::uint8_t type = icmp[0];
  m->type = type;
  m->code = icmp[1];
  m->ttl = pkt[8];
  m->tos = pkt[1];
  m->dont_fragment = (Get16(pkt + 6) & 0x4000) != 0;
  m->from = V4At(pkt + 12);
  if (type == kEchoReply) {
    if (Get16(icmp + 4) != identifier) return false;
    m->kind = IcmpMessage::Kind::kEchoReply;
    m->about = m->from;
    m->sequence = Get16(icmp + 6);
    CopyData(m, icmp + kIcmpHeader, size - ihl - kIcmpHeader);
    return true;
  }
  if (type != kDestinationUnreachable && type != kTimeExceeded && type != kParameterProblem &&
      type != kSourceQuench) {
    return false;
  }
  // An error quotes the request's IP header and at least 8 bytes after it.
  const std::uint8_t* inner = icmp + kIcmpHeader;
  const std::size_t rest = size - ihl - kIcmpHeader;
  const std::size_t inner_ihl = IcmpOffset(inner, rest);
  if (inner_ihl == 0) return false;
  const std::uint8_t* request = inner + inner_ihl;
  if (request[0] != kEchoRequest || Get16(request + 4) != identifier) return false;
  m->kind = IcmpMessage::Kind::kError;
  m->about = V4At(inner + 16);
  m->sequence = Get16(request + 6);
  CopyData(m, request + kIcmpHeader, rest - inner_ihl - kIcmpHeader);
  return true;
}

}  // namespace ps::platform

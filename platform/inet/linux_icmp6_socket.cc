// ICMPv6 sockets for the sweep engine: the datagram ("ping") socket or a raw
// one. Neither hands over the IPv6 header: the hop limit comes as ancillary
// data (IPV6_RECVHOPLIMIT), and the kernel computes and checks the ICMPv6
// checksum on both kinds.
#include <errno.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "platform/link/linux_batch_io.h"
#include "platform/inet/linux_icmp_common.h"
#include "platform/inet/linux_sweep.h"

namespace ps::platform {
namespace {

using icmp_io::CopyData;
using icmp_io::Get16;
using icmp_io::SetInt;

constexpr std::size_t kHeader = icmp_io::kIcmpHeader;
constexpr std::size_t kIpv6Header = 40;

IpAddress FromIn6(const void* bytes) {
  std::array<std::uint8_t, 16> b;
  std::memcpy(b.data(), bytes, 16);
  return IpAddress::V6(b);
}

bool LinkLocal(const std::uint8_t* a) { return a[0] == 0xFE && (a[1] & 0xC0) == 0x80; }

struct Icmp6 {
  using Sockaddr = sockaddr_in6;
  static constexpr int kErrorLevel = IPPROTO_IPV6;
  static constexpr int kErrorType = IPV6_RECVERR;
  static constexpr int kTtlType = IPV6_HOPLIMIT;
  static constexpr int kTosType = IPV6_TCLASS;
  static constexpr std::uint8_t kErrorOrigin = SO_EE_ORIGIN_ICMP6;
  static constexpr std::uint8_t kEchoRequest = ICMP6_ECHO_REQUEST;
  static IpAddress Address(const sockaddr_in6& a) { return FromIn6(&a.sin6_addr); }
};

class LinuxIcmp6Socket : public icmp_io::SocketBase {
 public:
  using SocketBase::SocketBase;

  SendResult Send(std::span<const EchoRequest> requests,
                  std::span<std::int64_t> handed_ns) override {
    return icmp_io::SendRequests<Icmp6>(
        fd_, requests, handed_ns, &send_store_,
        [this](const EchoRequest& r, std::uint8_t* p, sockaddr_in6* to) {
          p[0] = ICMP6_ECHO_REQUEST;
          p[1] = p[2] = p[3] = 0;  // the kernel fills in the checksum
          p[4] = static_cast<std::uint8_t>(identifier_ >> 8);
          p[5] = static_cast<std::uint8_t>(identifier_);
          p[6] = static_cast<std::uint8_t>(r.sequence >> 8);
          p[7] = static_cast<std::uint8_t>(r.sequence);
          if (r.size > 0) std::memcpy(p + kHeader, r.data, r.size);
          *to = sockaddr_in6{};
          to->sin6_family = AF_INET6;
          std::memcpy(&to->sin6_addr, r.destination.data(), 16);
          to->sin6_scope_id = static_cast<std::uint32_t>(r.scope_id);
        });
  }

  int Read(std::span<IcmpMessage> out, std::int64_t deadline_ns, bool precise) override {
    return icmp_io::Receive<Icmp6>(
        fd_, kind_, out, deadline_ns, precise, packets_.get(), controls_.get(),
        [this](const std::uint8_t* pkt, std::size_t size, bool /*whole*/,
               const sockaddr_in6& from, IcmpMessage* m) {
          m->from = FromIn6(&from.sin6_addr);
          if (LinkLocal(from.sin6_addr.s6_addr)) m->from_scope = static_cast<int>(from.sin6_scope_id);
          return Parse(pkt, size, m);
        });
  }

 private:
  // Datagram sockets deliver only echo replies to their identifier; raw
  // ones, through the filter, replies and errors of anyone.
  bool Parse(const std::uint8_t* icmp, std::size_t size, IcmpMessage* m) const {
    if (size < kHeader) return false;
    const bool raw = kind_ == Kind::kRaw;
    m->type = icmp[0];
    m->code = icmp[1];
    if (icmp[0] == ICMP6_ECHO_REPLY) {
      if (raw && Get16(icmp + 4) != identifier_) return false;  // another program's ping
      m->kind = IcmpMessage::Kind::kEchoReply;
      m->about = m->from;
      m->sequence = Get16(icmp + 6);
      CopyData(m, icmp + kHeader, size - kHeader);
      return true;
    }
    if (!raw || icmp[0] >= 128) return false;
    // An error quotes the request: the IPv6 header, then the echo request.
    const std::uint8_t* inner = icmp + kHeader;
    const std::size_t rest = size - kHeader;
    if (rest < kIpv6Header + kHeader || (inner[0] >> 4) != 6 || inner[6] != IPPROTO_ICMPV6)
      return false;
    const std::uint8_t* request = inner + kIpv6Header;
    if (request[0] != ICMP6_ECHO_REQUEST || Get16(request + 4) != identifier_) return false;
    m->kind = IcmpMessage::Kind::kError;
    m->about = FromIn6(inner + 24);
    m->sequence = Get16(request + 6);
    CopyData(m, request + kHeader, rest - kIpv6Header - kHeader);
    return true;
  }
};

}  // namespace

Result<std::unique_ptr<IcmpSocket>> OpenLinuxIcmp6Socket(IcmpSocket::Kind kind) {
  const bool raw = kind == IcmpSocket::Kind::kRaw;
  const int fd = socket(AF_INET6, (raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMPV6);
  if (fd < 0) return Status::Failure(std::strerror(errno), errno);
  if (raw) {
    // Only replies and errors: not our own requests, nor neighbour discovery.
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    for (int type : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED,
                     ICMP6_PARAM_PROB}) {
      ICMP6_FILTER_SETPASS(type, &filter);
    }
    setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof(filter));
  } else {
    SetInt(fd, IPPROTO_IPV6, IPV6_RECVERR, 1);
  }
  SetInt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1);
  SetInt(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  // A multicast echo is not looped back: this host does not answer itself.
  SetInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0);
  icmp_io::SetBuffers(fd);
  return std::unique_ptr<IcmpSocket>(std::make_unique<LinuxIcmp6Socket>(fd, kind));
}

}  // namespace ps::platform

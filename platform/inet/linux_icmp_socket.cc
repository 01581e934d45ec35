// ICMP sockets for the sweep engine: the datagram ("ping") socket or a raw
// one, batch sends with sendmmsg, batch receives with recvmmsg, kernel receive
// time stamps.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/link/linux_batch_io.h"
#include "platform/inet/linux_icmp_common.h"
#include "platform/inet/linux_sweep.h"
#include "platform/inet/raw_icmp.h"

namespace ps::platform {
namespace {

using icmp_io::Get16;
using icmp_io::kIcmpHeader;
using icmp_io::SetInt;

IpAddress FromInAddr(const void* network_order) {
  std::uint32_t a;
  std::memcpy(&a, network_order, 4);
  return IpAddress::V4(ntohl(a));
}

struct Icmp4 {
  using Sockaddr = sockaddr_in;
  static constexpr int kErrorLevel = IPPROTO_IP;
  static constexpr int kErrorType = IP_RECVERR;
  static constexpr int kTtlType = IP_TTL;
  static constexpr int kTosType = IP_TOS;
  static constexpr std::uint8_t kErrorOrigin = SO_EE_ORIGIN_ICMP;
  static constexpr std::uint8_t kEchoRequest = ICMP_ECHO;
  static IpAddress Address(const sockaddr_in& a) { return FromInAddr(&a.sin_addr); }
};

class LinuxIcmpSocket : public icmp_io::SocketBase {
 public:
  using SocketBase::SocketBase;

  SendResult Send(std::span<const EchoRequest> requests,
                  std::span<std::int64_t> handed_ns) override {
    return icmp_io::SendRequests<Icmp4>(
        fd_, requests, handed_ns, &send_store_,
        [this](const EchoRequest& r, std::uint8_t* p, sockaddr_in* to) {
          WriteEchoRequest4(r, identifier_, p, kind_ == Kind::kRaw);
          *to = sockaddr_in{};
          to->sin_family = AF_INET;
          to->sin_addr.s_addr = htonl(r.destination.v4());
        });
  }

  int Read(std::span<IcmpMessage> out, std::int64_t deadline_ns, bool precise) override {
    return icmp_io::Receive<Icmp4>(
        fd_, kind_, out, deadline_ns, precise, packets_.get(), controls_.get(),
        [this](const std::uint8_t* pkt, std::size_t size, bool whole, const sockaddr_in& from,
               IcmpMessage* m) {
          return kind_ == Kind::kRaw ? ParseRawIcmp4(pkt, size, whole, identifier_, m)
                                     : ParseDatagram(pkt, size, from, m);
        });
  }

 private:
  // Datagram sockets deliver only echo replies to this socket's identifier.
  static bool ParseDatagram(const std::uint8_t* icmp, std::size_t size, const sockaddr_in& from,
                            IcmpMessage* m) {
    if (size < kIcmpHeader || icmp[0] != ICMP_ECHOREPLY) return false;
    m->kind = IcmpMessage::Kind::kEchoReply;
    m->type = icmp[0];
    m->code = icmp[1];
    m->from = m->about = FromInAddr(&from.sin_addr);
    m->sequence = Get16(icmp + 6);
    icmp_io::CopyData(m, icmp + kIcmpHeader, size - kIcmpHeader);
    return true;
  }
};

}  // namespace

Result<std::unique_ptr<IcmpSocket>> LinuxIcmpOpener::Open(IpAddress::Family family,
                                                          IcmpSocket::Kind kind) {
  if (family == IpAddress::Family::kV6) return OpenLinuxIcmp6Socket(kind);
  const bool raw = kind == IcmpSocket::Kind::kRaw;
  const int fd = socket(AF_INET, (raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return Status::Failure(std::strerror(errno), errno);
  if (raw) {
    // Only replies and errors: not our own requests looped back, nor other ICMP.
    icmp_filter filter{};
    filter.data = ~static_cast<std::uint32_t>((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) |
                                              (1u << ICMP_TIME_EXCEEDED) |
                                              (1u << ICMP_PARAMETERPROB) |
                                              (1u << ICMP_SOURCE_QUENCH));
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof(filter));
  } else {
    SetInt(fd, IPPROTO_IP, IP_RECVTTL, 1);
    SetInt(fd, IPPROTO_IP, IP_RECVTOS, 1);
    SetInt(fd, IPPROTO_IP, IP_RECVERR, 1);
  }
  SetInt(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  // Don't fragment: small requests never need it, and the kernel then skips
  // choosing an IP identification for each of them.
  SetInt(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DO);
  icmp_io::SetBuffers(fd);
  return std::unique_ptr<IcmpSocket>(std::make_unique<LinuxIcmpSocket>(fd, kind));
}

IcmpFailure ClassifyIcmpFailure(int system_error) {
  switch (system_error) {
    case EACCES:
    case EPERM:
      return IcmpFailure::kNotAllowed;
    case EINVAL:
    case EDESTADDRREQ:
      return IcmpFailure::kBadDestination;
    case ENETUNREACH:
      return IcmpFailure::kNetUnreachable;
    case EHOSTUNREACH:
      return IcmpFailure::kHostUnreachable;
    case EMSGSIZE:
      return IcmpFailure::kTooBig;
    default:
      return IcmpFailure::kOther;
  }
}

}  // namespace ps::platform

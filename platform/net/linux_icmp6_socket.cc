// ICMPv6 sockets for the sweep engine: the datagram ("ping") socket or a raw
// one. Neither hands over the IPv6 header: the hop limit comes as ancillary
// data (IPV6_RECVHOPLIMIT), and the kernel computes and checks the ICMPv6
// checksum on both kinds.
#include <errno.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
// After time.h: it needs struct timespec.
#include <linux/errqueue.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/net/linux_batch_io.h"
#include "platform/net/linux_sweep.h"

namespace ps::platform {
namespace {

constexpr std::size_t kBatch = 256;
constexpr std::size_t kHeader = 8;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kPacketBuffer = 256;  // ICMPv6 error + quoted IPv6 header + request + data
constexpr std::size_t kControlBuffer = 128;
constexpr int kReceiveBuffer = 32 << 20;
constexpr int kSendBuffer = 4 << 20;

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void SetInt(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof(value));
}

IpAddress FromIn6(const void* bytes) {
  std::array<std::uint8_t, 16> b;
  std::memcpy(b.data(), bytes, 16);
  return IpAddress::V6(b);
}

bool LinkLocal(const std::uint8_t* a) { return a[0] == 0xFE && (a[1] & 0xC0) == 0x80; }

void CopyData(IcmpMessage* m, const std::uint8_t* data, std::size_t size) {
  m->data_size = static_cast<std::uint16_t>(std::min(size, IcmpMessage::kMaxData));
  std::memcpy(m->data.data(), data, m->data_size);
}

class LinuxIcmp6Socket : public IcmpSocket {
 public:
  LinuxIcmp6Socket(int fd, Kind kind) : fd_(fd), kind_(kind) {
    identifier_ =
        static_cast<std::uint16_t>((getpid() * 2654435761u) ^ batch_io::ClockNs(CLOCK_MONOTONIC));
    packets_.resize(kBatch * kPacketBuffer);
    controls_.resize(kBatch * kControlBuffer);
  }
  ~LinuxIcmp6Socket() override { close(fd_); }

  Kind kind() const override { return kind_; }

  SendResult Send(std::span<const EchoRequest> requests) override {
    SendResult result;
    while (static_cast<std::size_t>(result.sent) < requests.size()) {
      const std::size_t n = std::min(kBatch, requests.size() - result.sent);
      mmsghdr msgs[kBatch];
      iovec iovs[kBatch];
      sockaddr_in6 to[kBatch];
      std::size_t total = 0;
      for (std::size_t i = 0; i < n; ++i) total += kHeader + requests[result.sent + i].size;
      send_store_.resize(total);
      std::uint8_t* p = send_store_.data();
      for (std::size_t i = 0; i < n; ++i) {
        const EchoRequest& r = requests[result.sent + i];
        const std::size_t size = kHeader + r.size;
        p[0] = ICMP6_ECHO_REQUEST;
        p[1] = p[2] = p[3] = 0;  // the kernel fills in the checksum
        p[4] = static_cast<std::uint8_t>(identifier_ >> 8);
        p[5] = static_cast<std::uint8_t>(identifier_);
        p[6] = static_cast<std::uint8_t>(r.sequence >> 8);
        p[7] = static_cast<std::uint8_t>(r.sequence);
        if (r.size > 0) std::memcpy(p + kHeader, r.data, r.size);
        to[i] = sockaddr_in6{};
        to[i].sin6_family = AF_INET6;
        std::memcpy(&to[i].sin6_addr, r.destination.data(), 16);
        to[i].sin6_scope_id = static_cast<std::uint32_t>(r.scope_id);
        iovs[i] = iovec{p, size};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_name = &to[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(to[i]);
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        p += size;
      }
      const std::size_t done = batch_io::SendAll(fd_, msgs, n, &result.error);
      result.sent += static_cast<int>(done);
      if (done < n) return result;
    }
    return result;
  }

  int Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) override {
    if (out.empty()) return 0;
    short revents = 0;
    const int ready = batch_io::WaitForInput(fd_, deadline_ns, &revents);
    if (ready <= 0) return ready;
    const std::int64_t offset = batch_io::RealtimeOffset();
    int count = 0;
    if (kind_ == Kind::kDatagram && (revents & POLLERR)) count = ReadErrors(out, offset);
    if (revents & POLLIN) {
      const int read = ReadQueued(out.subspan(static_cast<std::size_t>(count)), offset);
      if (read < 0) return read;
      count += read;
    }
    return count;
  }

 private:
  int ReadQueued(std::span<IcmpMessage> out, std::int64_t offset) {
    const std::size_t n = std::min(out.size(), kBatch);
    if (n == 0) return 0;
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    sockaddr_in6 from[kBatch];
    for (std::size_t i = 0; i < n; ++i) {
      iovs[i] = iovec{packets_.data() + i * kPacketBuffer, kPacketBuffer};
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_control = controls_.data() + i * kControlBuffer;
      msgs[i].msg_hdr.msg_controllen = kControlBuffer;
    }
    const int r = recvmmsg(fd_, msgs, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
    if (r < 0) {
      const bool broken = errno == EBADF || errno == ENOTSOCK || errno == EFAULT ||
                          errno == EINVAL || errno == ENOMEM;
      return broken ? -errno : 0;
    }
    int kept = 0;
    for (int i = 0; i < r; ++i) {
      const std::uint8_t* pkt = packets_.data() + static_cast<std::size_t>(i) * kPacketBuffer;
      const std::size_t size = std::min<std::size_t>(msgs[i].msg_len, kPacketBuffer);
      IcmpMessage& m = out[static_cast<std::size_t>(kept)];
      m = IcmpMessage{};
      m.received_ns = batch_io::ReceiveStamp(msgs[i].msg_hdr, offset, &m.ttl);
      m.from = FromIn6(&from[i].sin6_addr);
      if (LinkLocal(from[i].sin6_addr.s6_addr)) m.from_scope = static_cast<int>(from[i].sin6_scope_id);
      if (Parse(pkt, size, &m)) ++kept;
    }
    return kept;
  }

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

  // Errors about our requests queue separately on a datagram socket.
  int ReadErrors(std::span<IcmpMessage> out, std::int64_t offset) {
    int kept = 0;
    std::uint8_t buf[kPacketBuffer];
    alignas(cmsghdr) char control[512];
    while (static_cast<std::size_t>(kept) < out.size()) {
      sockaddr_in6 to{};
      iovec iov{buf, sizeof(buf)};
      msghdr msg{};
      msg.msg_name = &to;
      msg.msg_namelen = sizeof(to);
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      const ssize_t n = recvmsg(fd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
      if (n < 0) break;
      const std::size_t size = static_cast<std::size_t>(n);
      if (size < kHeader || buf[0] != ICMP6_ECHO_REQUEST) continue;
      IcmpMessage& m = out[static_cast<std::size_t>(kept)];
      m = IcmpMessage{};
      m.received_ns = batch_io::ReceiveStamp(msg, offset);
      bool found = false;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IPV6 || c->cmsg_type != IPV6_RECVERR ||
            c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) {
          continue;
        }
        sock_extended_err err;
        std::memcpy(&err, CMSG_DATA(c), sizeof(err));
        if (err.ee_origin != SO_EE_ORIGIN_ICMP6) break;
        m.type = err.ee_type;
        m.code = err.ee_code;
        if (c->cmsg_len >= CMSG_LEN(sizeof(err) + sizeof(sockaddr_in6))) {
          sockaddr_in6 offender;
          std::memcpy(&offender, CMSG_DATA(c) + sizeof(err), sizeof(offender));
          m.from = FromIn6(&offender.sin6_addr);
        }
        found = true;
      }
      if (!found) continue;
      m.kind = IcmpMessage::Kind::kError;
      m.about = FromIn6(&to.sin6_addr);
      m.sequence = Get16(buf + 6);
      CopyData(&m, buf + kHeader, size - kHeader);
      ++kept;
    }
    return kept;
  }

  int fd_;
  Kind kind_;
  std::vector<std::uint8_t> packets_;
  std::vector<char> controls_;
  std::vector<std::uint8_t> send_store_;
  std::uint16_t identifier_;
};

}  // namespace

std::unique_ptr<IcmpSocket> OpenLinuxIcmp6Socket(IcmpSocket::Kind kind, int* error) {
  const bool raw = kind == IcmpSocket::Kind::kRaw;
  const int fd = socket(AF_INET6, (raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMPV6);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  *error = 0;
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
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof(kReceiveBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBuffer);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof(kSendBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, kSendBuffer);
  return std::make_unique<LinuxIcmp6Socket>(fd, kind);
}

}  // namespace ps::platform

// ICMP sockets for the sweep engine: the datagram ("ping") socket or a raw
// one, batch sends with sendmmsg, batch receives with recvmmsg, kernel receive
// time stamps.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/net/checksum.h"
#include "platform/net/linux_batch_io.h"
#include "platform/net/linux_sweep.h"

namespace ps::platform {
namespace {

constexpr std::size_t kBatch = 256;
constexpr std::size_t kIcmpHeader = 8;
constexpr std::size_t kPacketBuffer = 256;   // enough for IP + ICMP error + quoted request + data
constexpr std::size_t kControlBuffer = 128;
constexpr int kReceiveBuffer = 32 << 20;     // a /16 of replies at full speed
constexpr int kSendBuffer = 4 << 20;

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void SetInt(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof(value));
}

IpAddress FromInAddr(const void* network_order) {
  std::uint32_t a;
  std::memcpy(&a, network_order, 4);
  return IpAddress::V4(ntohl(a));
}

void CopyData(IcmpMessage* m, const std::uint8_t* data, std::size_t size) {
  m->data_size = static_cast<std::uint16_t>(std::min(size, IcmpMessage::kMaxData));
  std::memcpy(m->data.data(), data, m->data_size);
}

class LinuxIcmpSocket : public IcmpSocket {
 public:
  LinuxIcmpSocket(int fd, Kind kind) : fd_(fd), kind_(kind) {
    // A random-looking identifier for raw sockets; the kernel owns it on datagram ones.
    identifier_ = static_cast<std::uint16_t>((getpid() * 2654435761u) ^ batch_io::ClockNs(CLOCK_MONOTONIC));
    packets_.resize(kBatch * kPacketBuffer);
    controls_.resize(kBatch * kControlBuffer);
  }
  ~LinuxIcmpSocket() override { close(fd_); }

  Kind kind() const override { return kind_; }

  SendResult Send(std::span<const EchoRequest> requests) override {
    SendResult result;
    while (static_cast<std::size_t>(result.sent) < requests.size()) {
      const std::size_t n = std::min(kBatch, requests.size() - result.sent);
      mmsghdr msgs[kBatch];
      iovec iovs[kBatch];
      sockaddr_in to[kBatch];
      std::size_t total = 0;
      for (std::size_t i = 0; i < n; ++i) total += kIcmpHeader + requests[result.sent + i].size;
      send_store_.resize(total);
      std::uint8_t* p = send_store_.data();
      for (std::size_t i = 0; i < n; ++i) {
        const EchoRequest& r = requests[result.sent + i];
        const std::size_t size = kIcmpHeader + r.size;
        p[0] = ICMP_ECHO;
        p[1] = 0;
        p[2] = p[3] = 0;
        p[4] = static_cast<std::uint8_t>(identifier_ >> 8);
        p[5] = static_cast<std::uint8_t>(identifier_);
        p[6] = static_cast<std::uint8_t>(r.sequence >> 8);
        p[7] = static_cast<std::uint8_t>(r.sequence);
        if (r.size > 0) std::memcpy(p + kIcmpHeader, r.data, r.size);
        const std::uint16_t sum = InternetChecksum(p, size);
        p[2] = static_cast<std::uint8_t>(sum >> 8);
        p[3] = static_cast<std::uint8_t>(sum);
        to[i] = sockaddr_in{};
        to[i].sin_family = AF_INET;
        to[i].sin_addr.s_addr = htonl(r.destination.v4());
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
    // Errors first: reading them clears the socket's pending error, which
    // would otherwise fail the next plain read.
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
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    sockaddr_in from[kBatch];
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
    if (n == 0) return 0;
    const int r = recvmmsg(fd_, msgs, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
    if (r < 0) {
      // A pending error reported by an ICMP message is news, not a failure.
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
      const bool whole = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) == 0;
      const bool ok = kind_ == Kind::kRaw ? ParseRaw(pkt, size, whole, &m)
                                          : ParseDatagram(pkt, size, from[i], &m);
      if (ok) ++kept;
    }
    return kept;
  }

  // Datagram sockets deliver only echo replies to this socket's identifier.
  static bool ParseDatagram(const std::uint8_t* icmp, std::size_t size, const sockaddr_in& from,
                            IcmpMessage* m) {
    if (size < kIcmpHeader || icmp[0] != ICMP_ECHOREPLY) return false;
    m->kind = IcmpMessage::Kind::kEchoReply;
    m->type = icmp[0];
    m->code = icmp[1];
    m->from = m->about = FromInAddr(&from.sin_addr);
    m->sequence = Get16(icmp + 6);
    CopyData(m, icmp + kIcmpHeader, size - kIcmpHeader);
    return true;
  }

  // `whole`: the packet was not cut to the buffer.
  bool ParseRaw(const std::uint8_t* pkt, std::size_t size, bool whole, IcmpMessage* m) const {
    if (size < 20 || (pkt[0] >> 4) != 4) return false;
    const std::size_t ihl = static_cast<std::size_t>(pkt[0] & 0x0F) * 4;
    if (ihl < 20 || size < ihl + kIcmpHeader || pkt[9] != IPPROTO_ICMP) return false;
    const std::uint8_t* icmp = pkt + ihl;
    // A raw socket gets its copy before the kernel checks the ICMP checksum;
    // a damaged reply or error tells nothing. (A cut packet cannot be checked.)
    if (whole && InternetChecksum(icmp, size - ihl) != 0) return false;
    m->type = icmp[0];
    m->code = icmp[1];
    m->ttl = pkt[8];
    m->from = FromInAddr(pkt + 12);
    if (icmp[0] == ICMP_ECHOREPLY) {
      if (Get16(icmp + 4) != identifier_) return false;  // another program's ping
      m->kind = IcmpMessage::Kind::kEchoReply;
      m->about = m->from;
      m->sequence = Get16(icmp + 6);
      CopyData(m, icmp + kIcmpHeader, size - ihl - kIcmpHeader);
      return true;
    }
    if (icmp[0] != ICMP_DEST_UNREACH && icmp[0] != ICMP_TIME_EXCEEDED &&
        icmp[0] != ICMP_PARAMETERPROB && icmp[0] != ICMP_SOURCE_QUENCH) {
      return false;
    }
    // An error quotes the request's IP header and at least 8 bytes after it.
    const std::uint8_t* inner = icmp + kIcmpHeader;
    const std::size_t rest = size - ihl - kIcmpHeader;
    if (rest < 20) return false;
    const std::size_t inner_ihl = static_cast<std::size_t>(inner[0] & 0x0F) * 4;
    if (inner_ihl < 20 || rest < inner_ihl + kIcmpHeader || inner[9] != IPPROTO_ICMP) return false;
    const std::uint8_t* request = inner + inner_ihl;
    if (request[0] != ICMP_ECHO || Get16(request + 4) != identifier_) return false;
    m->kind = IcmpMessage::Kind::kError;
    m->about = FromInAddr(inner + 16);
    m->sequence = Get16(request + 6);
    CopyData(m, request + kIcmpHeader, rest - inner_ihl - kIcmpHeader);
    return true;
  }

  // Errors about our requests queue separately on a datagram socket.
  int ReadErrors(std::span<IcmpMessage> out, std::int64_t offset) {
    int kept = 0;
    std::uint8_t buf[kPacketBuffer];
    alignas(cmsghdr) char control[512];
    while (static_cast<std::size_t>(kept) < out.size()) {
      sockaddr_in to{};
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
      if (size < kIcmpHeader || buf[0] != ICMP_ECHO) continue;
      IcmpMessage& m = out[static_cast<std::size_t>(kept)];
      m = IcmpMessage{};
      m.received_ns = batch_io::ReceiveStamp(msg, offset);
      bool found = false;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR ||
            c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) {
          continue;
        }
        sock_extended_err err;
        std::memcpy(&err, CMSG_DATA(c), sizeof(err));
        if (err.ee_origin != SO_EE_ORIGIN_ICMP) break;
        m.type = err.ee_type;
        m.code = err.ee_code;
        if (c->cmsg_len >= CMSG_LEN(sizeof(err) + sizeof(sockaddr_in))) {
          sockaddr_in offender;
          std::memcpy(&offender, CMSG_DATA(c) + sizeof(err), sizeof(offender));
          m.from = FromInAddr(&offender.sin_addr);
        }
        found = true;
      }
      if (!found) continue;
      m.kind = IcmpMessage::Kind::kError;
      m.about = FromInAddr(&to.sin_addr);
      m.sequence = Get16(buf + 6);
      CopyData(&m, buf + kIcmpHeader, size - kIcmpHeader);
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

std::unique_ptr<IcmpSocket> LinuxIcmpOpener::Open(IpAddress::Family family, IcmpSocket::Kind kind,
                                                  int* error) {
  if (family == IpAddress::Family::kV6) return OpenLinuxIcmp6Socket(kind, error);
  const bool raw = kind == IcmpSocket::Kind::kRaw;
  const int fd = socket(AF_INET, (raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  *error = 0;
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
    SetInt(fd, IPPROTO_IP, IP_RECVERR, 1);
  }
  SetInt(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  // Don't fragment: small requests never need it, and the kernel then skips
  // choosing an IP identification for each of them.
  SetInt(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DO);
  // The forced size needs CAP_NET_ADMIN; otherwise the most net.core.rmem_max allows.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof(kReceiveBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBuffer);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof(kSendBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, kSendBuffer);
  return std::make_unique<LinuxIcmpSocket>(fd, kind);
}

}  // namespace ps::platform

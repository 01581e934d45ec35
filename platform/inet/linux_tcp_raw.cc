// Raw TCP probe sockets: segments built here (tcp_segment.h) and sent with
// sendmmsg, answers read with recvmmsg through a socket filter that passes
// only segments to the reserved port, with kernel receive time stamps.
#include <errno.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/inet/linux_sweep.h"
#include "platform/inet/linux_tcp.h"
#include "platform/inet/tcp_segment.h"
#include "platform/link/linux_batch_io.h"

namespace ps::platform {
namespace {

constexpr std::size_t kBatch = 256;
constexpr std::size_t kPacketBuffer = 256;  // a segment's headers, with room for options
constexpr std::size_t kControlBuffer = 128;
constexpr std::size_t kPktinfoSpace = CMSG_SPACE(sizeof(in6_pktinfo));
constexpr int kReceiveBuffer = 32 << 20;  // a /16 of answers at full speed
constexpr int kSendBuffer = 4 << 20;

void SetInt(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof(value));
}

// A TCP socket bound to a free port of both families (IPv4 alone when IPv6
// is off) and never listening: while it is open, no other local socket gets
// the port, and a segment to it meets no socket. -1 with errno on failure.
int ReservePort(std::uint16_t* port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage any{};
  socklen_t size = 0;
  if (fd >= 0) {
    SetInt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    size = ToSockaddr(IpAddress::V6({}), 0, &any);
  } else {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    size = ToSockaddr(IpAddress::V4(0), 0, &any);
  }
  if (fd < 0) return -1;
  socklen_t bound_size = sizeof(any);
  if (bind(fd, reinterpret_cast<sockaddr*>(&any), size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&any), &bound_size) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  FromSockaddr(any, port);
  return fd;
}

// Passes only TCP segments to `port`. An IPv4 raw socket's filter sees the
// IP header first; an IPv6 one's starts at the TCP header.
bool FilterPort(int fd, bool v4, std::uint16_t port) {
  sock_filter v4_code[] = {
      {BPF_LDX | BPF_B | BPF_MSH, 0, 0, 0},  // X = the IP header's length
      {BPF_LD | BPF_H | BPF_IND, 0, 0, 2},   // A = the destination port
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, port},
      {BPF_RET | BPF_K, 0, 0, 0xFFFF},
      {BPF_RET | BPF_K, 0, 0, 0},
  };
  sock_filter v6_code[] = {
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 2},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, port},
      {BPF_RET | BPF_K, 0, 0, 0xFFFF},
      {BPF_RET | BPF_K, 0, 0, 0},
  };
  sock_fprog program{};
  program.len = v4 ? 5 : 4;
  program.filter = v4 ? v4_code : v6_code;
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) == 0;
}

class LinuxRawTcpSocket : public TcpProbeSocket {
 public:
  LinuxRawTcpSocket(IpAddress::Family family, int fd, int holder, std::uint16_t port)
      : v4_(family == IpAddress::Family::kV4),
        fd_(fd),
        holder_(holder),
        port_(port),
        sources_(LinuxRouteSources(family)) {
    packets_.resize(kBatch * kPacketBuffer);
    controls_.resize(kBatch * kControlBuffer);
    store_.resize(kBatch * kMaxTcpProbeSize);
    pktinfo_.resize(kBatch * kPktinfoSpace);
  }
  ~LinuxRawTcpSocket() override {
    close(fd_);
    close(holder_);
  }

  Kind kind() const override { return Kind::kRaw; }
  std::uint16_t source_port() const override { return port_; }
  std::optional<IpAddress> Source(const IpAddress& destination) override {
    return sources_.Source(destination);
  }
  std::size_t Room() const override { return static_cast<std::size_t>(-1); }
  SendResult Send(std::span<const TcpProbe> probes) override;
  int Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) override;

 private:
  // IPv6 chooses no source of its own: the one in the checksum goes as
  // IPV6_PKTINFO.
  void SetSource(msghdr* msg, std::size_t i, const IpAddress& source);
  bool Parse(const std::uint8_t* packet, std::size_t size, msghdr& msg, bool whole,
             const sockaddr_storage& from, TcpAnswer* a) const;

  bool v4_;
  int fd_;
  int holder_;
  std::uint16_t port_;
  RouteSourceCache sources_;
  std::vector<std::uint8_t> packets_;
  std::vector<char> controls_;
  std::vector<std::uint8_t> store_;
  std::vector<char> pktinfo_;
};

void LinuxRawTcpSocket::SetSource(msghdr* msg, std::size_t i, const IpAddress& source) {
  char* space = pktinfo_.data() + i * kPktinfoSpace;
  std::memset(space, 0, kPktinfoSpace);
  msg->msg_control = space;
  msg->msg_controllen = kPktinfoSpace;
  cmsghdr* c = CMSG_FIRSTHDR(msg);
  c->cmsg_level = IPPROTO_IPV6;
  c->cmsg_type = IPV6_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
  in6_pktinfo info{};
  std::memcpy(&info.ipi6_addr, source.data(), 16);
  std::memcpy(CMSG_DATA(c), &info, sizeof(info));
}

TcpProbeSocket::SendResult LinuxRawTcpSocket::Send(std::span<const TcpProbe> probes) {
  SendResult result;
  while (static_cast<std::size_t>(result.sent) < probes.size()) {
    const std::size_t n = std::min(kBatch, probes.size() - static_cast<std::size_t>(result.sent));
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    sockaddr_storage to[kBatch];
    for (std::size_t i = 0; i < n; ++i) {
      const TcpProbe& p = probes[static_cast<std::size_t>(result.sent) + i];
      std::uint8_t* packet = store_.data() + i * kMaxTcpProbeSize;
      iovs[i] = iovec{packet, BuildTcpProbe(p, port_, v4_, packet)};
      msgs[i] = mmsghdr{};
      // A raw socket's port must be 0 (or, for IPv6, the protocol).
      msgs[i].msg_hdr.msg_namelen = ToSockaddr(p.destination, 0, &to[i]);
      msgs[i].msg_hdr.msg_name = &to[i];
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      if (!v4_) SetSource(&msgs[i].msg_hdr, i, p.source);
    }
    const std::size_t done = batch_io::SendAll(fd_, msgs, n, &result.error);
    result.sent += static_cast<int>(done);
    if (done < n) return result;
  }
  return result;
}

bool LinuxRawTcpSocket::Parse(const std::uint8_t* packet, std::size_t size, msghdr& msg, bool whole,
                              const sockaddr_storage& from, TcpAnswer* a) const {
  if (v4_) return ParseIpv4Tcp(packet, size, whole, a);
  // IPv6 delivers the segment alone: the addresses come beside it.
  a->from = FromSockaddr(from);
  bool to_known = false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IPV6 || c->cmsg_type != IPV6_PKTINFO ||
        c->cmsg_len < CMSG_LEN(sizeof(in6_pktinfo))) {
      continue;
    }
    in6_pktinfo info;
    std::memcpy(&info, CMSG_DATA(c), sizeof(info));
    std::array<std::uint8_t, 16> bytes;
    std::memcpy(bytes.data(), &info.ipi6_addr, 16);
    a->to = IpAddress::V6(bytes);
    to_known = true;
  }
  return to_known && ParseTcpSegment(packet, size, whole, a);
}

int LinuxRawTcpSocket::Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) {
  if (out.empty()) return 0;
  short revents = 0;
  const int ready = batch_io::WaitForInput(fd_, deadline_ns, &revents);
  if (ready <= 0) return ready;
  const std::int64_t offset = RealtimeOffsetNs();
  const std::size_t n = std::min(out.size(), kBatch);
  mmsghdr msgs[kBatch];
  iovec iovs[kBatch];
  sockaddr_storage from[kBatch];
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
  const std::int64_t now = SystemMonotonicClock().NowNs();
  int kept = 0;
  for (int i = 0; i < r; ++i) {
    TcpAnswer& a = out[static_cast<std::size_t>(kept)];
    a = TcpAnswer{};
    msghdr& msg = msgs[i].msg_hdr;
    a.received_ns = batch_io::ReceiveStamp(msg, offset, now, &a.ttl);
    const std::size_t size = std::min<std::size_t>(msgs[i].msg_len, kPacketBuffer);
    const bool whole = (msg.msg_flags & MSG_TRUNC) == 0;
    if (Parse(packets_.data() + static_cast<std::size_t>(i) * kPacketBuffer, size, msg, whole,
              from[i], &a) &&
        a.to_port == port_) {
      ++kept;
    }
  }
  return kept;
}

}  // namespace

Result<std::unique_ptr<TcpProbeSocket>> OpenLinuxRawTcp(IpAddress::Family family) {
  const bool v4 = family == IpAddress::Family::kV4;
  const int fd = socket(v4 ? AF_INET : AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return Status::Failure("cannot open a raw TCP socket", errno);
  std::uint16_t port = 0;
  const int holder = ReservePort(&port);
  if (holder < 0 || !FilterPort(fd, v4, port)) {
    const Status failed = Status::Failure(
        holder < 0 ? "cannot hold a source port for TCP probes" : "cannot filter a raw TCP socket",
        errno);
    if (holder >= 0) close(holder);
    close(fd);
    return failed;
  }
  if (v4) {
    SetInt(fd, IPPROTO_IP, IP_HDRINCL, 1);  // our source address, as in the checksum
  } else {
    SetInt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1);
    SetInt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1);
  }
  SetInt(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  // Large buffers: the forced sizes need CAP_NET_ADMIN; else the most allowed.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof(kReceiveBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBuffer);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof(kSendBuffer)) != 0)
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, kSendBuffer);
  return std::unique_ptr<TcpProbeSocket>(
      std::make_unique<LinuxRawTcpSocket>(family, fd, holder, port));
}

Result<std::unique_ptr<TcpProbeSocket>> LinuxTcpOpener::Open(IpAddress::Family family,
                                                             TcpProbeSocket::Kind kind) {
  return kind == TcpProbeSocket::Kind::kRaw ? OpenLinuxRawTcp(family) : OpenLinuxConnectTcp(family);
}

}  // namespace ps::platform

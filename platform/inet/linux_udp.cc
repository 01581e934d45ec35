// UDP sockets (udp_io.h) over the BSD socket API, with IP_PKTINFO /
// IPV6_RECVPKTINFO so that every answer says where it was sent.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/linux_tcp.h"
#include "platform/inet/udp_io.h"
#include "platform/link/linux_batch_io.h"

namespace ps::platform {
namespace {

IpAddress FromRaw(int af, const void* bytes) {
  return IpAddress::FromNetworkBytes(
      af == AF_INET ? IpAddress::Family::kV4 : IpAddress::Family::kV6, bytes);
}

class LinuxUdpSocket : public UdpSocket {
 public:
  LinuxUdpSocket(int fd, int af, std::uint16_t port) : fd_(fd), af_(af), port_(port) {}
  ~LinuxUdpSocket() override { close(fd_); }

  std::uint16_t local_port() const override { return port_; }

  Status JoinGroup(const IpAddress& group, std::uint32_t interface_index) override {
    int rc;
    if (af_ == AF_INET) {
      ip_mreqn m{};
      m.imr_multiaddr.s_addr = htonl(group.v4());
      m.imr_ifindex = static_cast<int>(interface_index);
      rc = setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m));
    } else {
      ipv6_mreq m{};
      std::memcpy(&m.ipv6mr_multiaddr, group.data(), 16);
      m.ipv6mr_interface = interface_index;
      rc = setsockopt(fd_, IPPROTO_IPV6, IPV6_JOIN_GROUP, &m, sizeof(m));
    }
    return rc == 0 ? Status::Ok() : Status::Failure("joining " + group.ToString(), errno);
  }

  Status SendTo(const IpAddress& to, std::uint16_t port, std::span<const std::uint8_t> payload,
                std::uint32_t interface_index) override {
    sockaddr_storage sa;
    const socklen_t len = ToSockaddr(to, port, &sa);
    if (af_ == AF_INET6) reinterpret_cast<sockaddr_in6*>(&sa)->sin6_scope_id = interface_index;
    if (interface_index != 0 && !SetMulticastInterface(interface_index)) {
      return Status::Failure("choosing the interface", errno);
    }
    const ssize_t n = sendto(fd_, payload.data(), payload.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&sa), len);
    if (n < 0) return Status::Failure("sending to " + to.ToString(), errno);
    return Status::Ok();
  }

  int Receive(std::span<std::uint8_t> buffer, UdpPeer* peer, std::int64_t deadline_ns) override {
    for (;;) {
      const int n = ReadOne(buffer, peer);
      if (n != -EAGAIN) return n;
      short revents = 0;
      const int ready = batch_io::WaitForInput(fd_, deadline_ns, &revents);
      if (ready < 0) return ready;
      if (ready == 0) return -ETIMEDOUT;
    }
  }

 private:
  bool SetMulticastInterface(std::uint32_t index) {
    if (index == multicast_index_) return true;
    int rc;
    if (af_ == AF_INET) {
      ip_mreqn m{};
      m.imr_ifindex = static_cast<int>(index);
      rc = setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof(m));
    } else {
      const int i = static_cast<int>(index);
      rc = setsockopt(fd_, IPPROTO_IPV6, IPV6_MULTICAST_IF, &i, sizeof(i));
    }
    if (rc == 0) multicast_index_ = index;
    return rc == 0;
  }

  int ReadOne(std::span<std::uint8_t> buffer, UdpPeer* peer) {
    sockaddr_storage from{};
    alignas(cmsghdr) char control[256];
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
    if (n < 0) return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    *peer = UdpPeer{};
    peer->from = FromSockaddr(from, &peer->from_port);
    peer->received_ns = SystemMonotonicClock().NowNs();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof(info));
        peer->to = FromRaw(AF_INET, &info.ipi_addr);
        peer->interface_index = static_cast<std::uint32_t>(info.ipi_ifindex);
      } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
        in6_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof(info));
        peer->to = FromRaw(AF_INET6, &info.ipi6_addr);
        peer->interface_index = info.ipi6_ifindex;
      }
    }
    return static_cast<int>(n);
  }

  int fd_;
  int af_;
  std::uint16_t port_;
  std::uint32_t multicast_index_ = 0;
};

// The options every socket gets; false with errno set when one fails.
bool Configure(int fd, int af, const UdpOptions& o) {
  const int one = 1;
  const int loop = o.multicast_loop ? 1 : 0;
  const int hops = o.multicast_hops;
  if (o.share_port && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
                       setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one)) != 0)) {
    return false;
  }
  if (o.broadcast && setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0) return false;
  if (af == AF_INET) {
    return setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one)) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof(hops)) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) == 0;
  }
  return setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) == 0 &&
         setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof(one)) == 0 &&
         setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof(hops)) == 0 &&
         setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &loop, sizeof(loop)) == 0;
}

class LinuxUdpOpener : public UdpOpener {
 public:
  Result<std::unique_ptr<UdpSocket>> Open(const UdpOptions& options) override {
    const int af = options.family == IpAddress::Family::kV4 ? AF_INET : AF_INET6;
    const int fd = socket(af, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Status::Failure("opening a UDP socket", errno);
    sockaddr_storage sa;
    const IpAddress any = af == AF_INET ? IpAddress::V4(0) : IpAddress::V6({});
    const socklen_t len = ToSockaddr(any, options.port, &sa);
    socklen_t bound_len = sizeof(sa);
    if (!Configure(fd, af, options) || bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &bound_len) != 0) {
      const int error = errno;
      close(fd);
      return Status::Failure("binding UDP port " + std::to_string(options.port), error);
    }
    std::uint16_t port = 0;
    FromSockaddr(sa, &port);
    return std::unique_ptr<UdpSocket>(std::make_unique<LinuxUdpSocket>(fd, af, port));
  }

  std::vector<IpAddress> DefaultGateways() override {
    std::vector<IpAddress> out;
    AddGateways("/proc/net/route", false, &out);
    AddGateways("/proc/net/ipv6_route", true, &out);
    return out;
  }

 private:
  // The kernel's route tables as text: a default route's gateway, when it
  // has one (destination and prefix length zero, gateway set).
  static void AddGateways(const char* path, bool v6, std::vector<IpAddress>* out) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string a, b, c, d, e;
      if (!v6) {
        unsigned dest = 0, gateway = 0;
        if ((fields >> a >> std::hex >> dest >> gateway) && dest == 0 && gateway != 0)
          out->push_back(IpAddress::V4(ntohl(gateway)));
        continue;
      }
      if (!(fields >> a >> b >> c >> d >> e) || a != std::string(32, '0') || b != "00") continue;
      std::array<std::uint8_t, 16> bytes{};
      for (std::size_t i = 0; i < 16; ++i) bytes[i] = static_cast<std::uint8_t>(std::stoul(e.substr(2 * i, 2), nullptr, 16));
      if (bytes != std::array<std::uint8_t, 16>{}) out->push_back(IpAddress::V6(bytes));
    }
  }
};

}  // namespace

UdpOpener* SystemUdpOpener() {
  static LinuxUdpOpener opener;
  return &opener;
}

}  // namespace ps::platform

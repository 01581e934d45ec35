// UDP sockets (udp_io.h) over Winsock, with IP_PKTINFO / IPV6_PKTINFO read
// through WSARecvMsg so that every answer says where it was sent.
// First: the Windows headers define `interface`, a field name there.
#include "platform/inet/windows_sweep.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/udp_io.h"

namespace ps::platform {
namespace {

int ToSockaddr(const IpAddress& a, std::uint16_t port, std::uint32_t scope, sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  if (a.is_v4()) {
    auto* s = reinterpret_cast<sockaddr_in*>(out);
    s->sin_family = AF_INET;
    s->sin_port = htons(port);
    std::memcpy(&s->sin_addr, a.data(), 4);
    return sizeof(sockaddr_in);
  }
  auto* s = reinterpret_cast<sockaddr_in6*>(out);
  s->sin6_family = AF_INET6;
  s->sin6_port = htons(port);
  s->sin6_scope_id = scope;
  std::memcpy(&s->sin6_addr, a.data(), 16);
  return sizeof(sockaddr_in6);
}

IpAddress FromRaw(int af, const void* bytes) {
  return IpAddress::FromNetworkBytes(
      af == AF_INET ? IpAddress::Family::kV4 : IpAddress::Family::kV6, bytes);
}

class WindowsUdpSocket : public UdpSocket {
 public:
  WindowsUdpSocket(SOCKET s, int af, std::uint16_t port, LPFN_WSARECVMSG recvmsg)
      : s_(s), af_(af), port_(port), recvmsg_(recvmsg) {}
  ~WindowsUdpSocket() override { closesocket(s_); }

  std::uint16_t local_port() const override { return port_; }

  Status JoinGroup(const IpAddress& group, std::uint32_t interface_index) override {
    int rc;
    if (af_ == AF_INET) {
      ip_mreq m{};
      std::memcpy(&m.imr_multiaddr, group.data(), 4);
      // An interface index in the form 0.0.0.x, as IP_ADD_MEMBERSHIP takes it.
      m.imr_interface.s_addr = htonl(interface_index);
      rc = setsockopt(s_, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&m), sizeof(m));
    } else {
      ipv6_mreq m{};
      std::memcpy(&m.ipv6mr_multiaddr, group.data(), 16);
      m.ipv6mr_interface = interface_index;
      rc = setsockopt(s_, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&m), sizeof(m));
    }
    return rc == 0 ? Status::Ok() : Status::Failure("joining " + group.ToString() + " (error " +
                                                    std::to_string(WSAGetLastError()) + ")");
  }

  Status SendTo(const IpAddress& to, std::uint16_t port, std::span<const std::uint8_t> payload,
                std::uint32_t interface_index) override {
    sockaddr_storage sa;
    const int len = ToSockaddr(to, port, af_ == AF_INET6 ? interface_index : 0, &sa);
    if (interface_index != 0 && interface_index != multicast_index_) {
      DWORD index = af_ == AF_INET ? htonl(interface_index) : interface_index;
      const int rc = af_ == AF_INET
                         ? setsockopt(s_, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&index), sizeof(index))
                         : setsockopt(s_, IPPROTO_IPV6, IPV6_MULTICAST_IF, reinterpret_cast<const char*>(&index), sizeof(index));
      if (rc != 0) return Status::Failure("choosing the interface (error " + std::to_string(WSAGetLastError()) + ")");
      multicast_index_ = interface_index;
    }
    const int n = sendto(s_, reinterpret_cast<const char*>(payload.data()), static_cast<int>(payload.size()), 0,
                         reinterpret_cast<const sockaddr*>(&sa), len);
    if (n < 0) return Status::Failure("sending to " + to.ToString() + " (error " + std::to_string(WSAGetLastError()) + ")");
    return Status::Ok();
  }

  int Receive(std::span<std::uint8_t> buffer, UdpPeer* peer, std::int64_t deadline_ns) override {
    for (;;) {
      const std::int64_t left = deadline_ns - SystemMonotonicClock().NowNs();
      WSAPOLLFD p{s_, POLLRDNORM, 0};
      const int ready = WSAPoll(&p, 1, static_cast<INT>(std::clamp<std::int64_t>((left + 999'999) / 1'000'000, 0, 60'000)));
      if (ready < 0) return -EIO;
      if (ready == 0) {
        if (left <= 0) return -ETIMEDOUT;
        continue;
      }
      const int n = ReadOne(buffer, peer);
      // Windows reports an ICMP port unreachable as a failed read: skip it.
      if (n == -ECONNRESET) continue;
      return n;
    }
  }

 private:
  int ReadOne(std::span<std::uint8_t> buffer, UdpPeer* peer) {
    sockaddr_storage from{};
    char control[256];
    WSABUF data{static_cast<ULONG>(buffer.size()), reinterpret_cast<CHAR*>(buffer.data())};
    WSAMSG msg{};
    msg.name = reinterpret_cast<sockaddr*>(&from);
    msg.namelen = sizeof(from);
    msg.lpBuffers = &data;
    msg.dwBufferCount = 1;
    msg.Control = {sizeof(control), control};
    DWORD n = 0;
    if (recvmsg_(s_, &msg, &n, nullptr, nullptr) != 0) {
      const int error = WSAGetLastError();
      if (error == WSAEMSGSIZE) n = static_cast<DWORD>(buffer.size());
      else return error == WSAECONNRESET ? -ECONNRESET : -EIO;
    }
    *peer = UdpPeer{};
    if (from.ss_family == AF_INET) {
      const auto* s = reinterpret_cast<const sockaddr_in*>(&from);
      peer->from = FromRaw(AF_INET, &s->sin_addr);
      peer->from_port = ntohs(s->sin_port);
    } else {
      const auto* s = reinterpret_cast<const sockaddr_in6*>(&from);
      peer->from = FromRaw(AF_INET6, &s->sin6_addr);
      peer->from_port = ntohs(s->sin6_port);
    }
    peer->received_ns = SystemMonotonicClock().NowNs();
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&msg); c != nullptr; c = WSA_CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        IN_PKTINFO info;
        std::memcpy(&info, WSA_CMSG_DATA(c), sizeof(info));
        peer->to = FromRaw(AF_INET, &info.ipi_addr);
        peer->interface_index = info.ipi_ifindex;
      } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
        IN6_PKTINFO info;
        std::memcpy(&info, WSA_CMSG_DATA(c), sizeof(info));
        peer->to = FromRaw(AF_INET6, &info.ipi6_addr);
        peer->interface_index = info.ipi6_ifindex;
      }
    }
    return static_cast<int>(n);
  }

  SOCKET s_;
  int af_;
  std::uint16_t port_;
  LPFN_WSARECVMSG recvmsg_;
  std::uint32_t multicast_index_ = 0;
};

// The options every socket gets; false when one fails.
bool Configure(SOCKET s, int af, const UdpOptions& o) {
  const DWORD one = 1, loop = o.multicast_loop ? 1 : 0, hops = static_cast<DWORD>(o.multicast_hops);
  const auto set = [&](int level, int name, const DWORD& v) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&v), sizeof(v)) == 0;
  };
  if (o.share_port && !set(SOL_SOCKET, SO_REUSEADDR, one)) return false;
  if (o.broadcast && !set(SOL_SOCKET, SO_BROADCAST, one)) return false;
  if (af == AF_INET)
    return set(IPPROTO_IP, IP_PKTINFO, one) && set(IPPROTO_IP, IP_MULTICAST_TTL, hops) &&
           set(IPPROTO_IP, IP_MULTICAST_LOOP, loop);
  return set(IPPROTO_IPV6, IPV6_V6ONLY, one) && set(IPPROTO_IPV6, IPV6_PKTINFO, one) &&
         set(IPPROTO_IPV6, IPV6_MULTICAST_HOPS, hops) && set(IPPROTO_IPV6, IPV6_MULTICAST_LOOP, loop);
}

class WindowsUdpOpener : public UdpOpener {
 public:
  Result<std::unique_ptr<UdpSocket>> Open(const UdpOptions& options) override {
    if (!StartWindowsSockets()) return Status::Failure("Windows Sockets could not be started");
    const int af = options.family == IpAddress::Family::kV4 ? AF_INET : AF_INET6;
    const SOCKET s = WSASocketW(af, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return Status::Failure("opening a UDP socket (error " + std::to_string(WSAGetLastError()) + ")");
    GUID guid = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG recvmsg = nullptr;
    DWORD bytes = 0;
    sockaddr_storage sa;
    const int len = ToSockaddr(af == AF_INET ? IpAddress::V4(0) : IpAddress::V6({}), options.port, 0, &sa);
    int bound = sizeof(sa);
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof(guid), &recvmsg, sizeof(recvmsg), &bytes,
                 nullptr, nullptr) != 0 ||
        !Configure(s, af, options) || bind(s, reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &bound) != 0) {
      const int error = WSAGetLastError();
      closesocket(s);
      return Status::Failure("binding UDP port " + std::to_string(options.port) + " (error " + std::to_string(error) + ")",
                             error == WSAEADDRINUSE ? EADDRINUSE : EIO);
    }
    const std::uint16_t port = ntohs(af == AF_INET ? reinterpret_cast<sockaddr_in*>(&sa)->sin_port
                                                   : reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port);
    return std::unique_ptr<UdpSocket>(std::make_unique<WindowsUdpSocket>(s, af, port, recvmsg));
  }

  std::vector<IpAddress> DefaultGateways() override {
    std::vector<IpAddress> out;
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    if (GetIpForwardTable2(AF_UNSPEC, &table) != NO_ERROR) return out;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
      const MIB_IPFORWARD_ROW2& r = table->Table[i];
      if (r.DestinationPrefix.PrefixLength != 0) continue;
      const SOCKADDR_INET& hop = r.NextHop;
      const IpAddress a = hop.si_family == AF_INET ? FromRaw(AF_INET, &hop.Ipv4.sin_addr)
                                                   : FromRaw(AF_INET6, &hop.Ipv6.sin6_addr);
      if (a != (a.is_v4() ? IpAddress::V4(0) : IpAddress::V6({})) && std::find(out.begin(), out.end(), a) == out.end())
        out.push_back(a);
    }
    FreeMibTable(table);
    std::stable_partition(out.begin(), out.end(), [](const IpAddress& a) { return a.is_v4(); });
    return out;
  }
};

}  // namespace

UdpOpener* SystemUdpOpener() {
  static WindowsUdpOpener opener;
  return &opener;
}

}  // namespace ps::platform

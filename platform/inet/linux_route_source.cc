// Where probes to a destination leave from: the routes and rules over
// rtnetlink, and connect() on a UDP socket for the kernel's choice.
#include <arpa/inet.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "platform/inet/linux_netlink.h"
#include "platform/inet/linux_tcp.h"

namespace ps::platform {
namespace {

IpAddress FromBytes(std::uint8_t af, const void* data) {
  return IpAddress::FromNetworkBytes(
      af == AF_INET ? IpAddress::Family::kV4 : IpAddress::Family::kV6, data);
}

// Every route's destination prefix, in every table. False when unreadable.
bool AddRoutes(std::uint8_t af, std::vector<RoutePrefix>* out) {
  const std::size_t size = af == AF_INET ? 4 : 16;
  return NetlinkDump(RTM_GETROUTE, af, sizeof(rtmsg), [&](const nlmsghdr* nh) {
    if (nh->nlmsg_type != RTM_NEWROUTE) return;
    const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(nh));
    if (rt->rtm_family != af) return;
    RoutePrefix p{FromBytes(af, std::array<std::uint8_t, 16>{}.data()), rt->rtm_dst_len, false};
    int len = static_cast<int>(RTM_PAYLOAD(nh));
    for (auto* a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
      if (a->rta_type == RTA_DST && RTA_PAYLOAD(a) == size) p.network = FromBytes(af, RTA_DATA(a));
      if (a->rta_type == RTA_MULTIPATH) p.multipath = true;
    }
    out->push_back(p);
  }).ok();
}

// The destination prefixes that rules select by (none on a kernel without
// multiple routing tables, which refuses the dump).
void AddRules(std::uint8_t af, std::vector<RoutePrefix>* out) {
  const std::size_t size = af == AF_INET ? 4 : 16;
  // A refused dump leaves `out` as it was: nothing to say.
  static_cast<void>(NetlinkDump(RTM_GETRULE, af, sizeof(fib_rule_hdr), [&](const nlmsghdr* nh) {
    if (nh->nlmsg_type != RTM_NEWRULE) return;
    const auto* rule = static_cast<const fib_rule_hdr*>(NLMSG_DATA(nh));
    if (rule->family != af || rule->dst_len == 0) return;
    int len = static_cast<int>(NLMSG_PAYLOAD(nh, sizeof(fib_rule_hdr)));
    const auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(rule) +
                                                    NLMSG_ALIGN(sizeof(fib_rule_hdr)));
    for (; RTA_OK(a, len); a = RTA_NEXT(a, len)) {
      if (a->rta_type == FRA_DST && RTA_PAYLOAD(a) == size)
        out->push_back(RoutePrefix{FromBytes(af, RTA_DATA(a)), rule->dst_len, false});
    }
  }));
}

std::optional<IpAddress> KernelSource(int fd, const IpAddress& destination) {
  sockaddr_storage to{};
  const socklen_t to_size = ToSockaddr(destination, 9, &to);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), to_size) != 0) return std::nullopt;
  sockaddr_storage local{};
  socklen_t local_size = sizeof(local);
  const bool named = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) == 0;
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  connect(fd, &unspecified, sizeof(unspecified));  // forget it, for the next lookup
  if (!named) return std::nullopt;
  return FromSockaddr(local);
}

}  // namespace

socklen_t ToSockaddr(const IpAddress& address, std::uint16_t port, sockaddr_storage* out) {
  *out = sockaddr_storage{};
  if (address.is_v4()) {
    auto* sin = reinterpret_cast<sockaddr_in*>(out);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr.s_addr = htonl(address.v4());
    return sizeof(sockaddr_in);
  }
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(out);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(port);
  std::memcpy(&sin6->sin6_addr, address.data(), 16);
  return sizeof(sockaddr_in6);
}

IpAddress FromSockaddr(const sockaddr_storage& address, std::uint16_t* port) {
  if (address.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&address);
    if (port != nullptr) *port = ntohs(sin->sin_port);
    return FromBytes(AF_INET, &sin->sin_addr);
  }
  const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&address);
  if (port != nullptr) *port = ntohs(sin6->sin6_port);
  return FromBytes(AF_INET6, &sin6->sin6_addr);
}

RouteSourceCache LinuxRouteSources(IpAddress::Family family) {
  const std::uint8_t af = family == IpAddress::Family::kV4 ? AF_INET : AF_INET6;
  std::vector<RoutePrefix> prefixes;
  AddRules(af, &prefixes);
  if (!AddRoutes(af, &prefixes)) {
    // Unknown routes: every destination is looked up on its own.
    prefixes.assign(1, RoutePrefix{FromBytes(af, std::array<std::uint8_t, 16>{}.data()), 0, true});
  }
  const int fd = socket(af, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto owner = std::shared_ptr<const int>(new int(fd), [](const int* p) {
    if (*p >= 0) close(*p);
    delete p;
  });
  return RouteSourceCache(RouteBlocks(std::move(prefixes)),
                          [owner](const IpAddress& d) { return KernelSource(*owner, d); });
}

}  // namespace ps::platform

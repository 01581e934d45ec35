// The kernel's neighbour table over rtnetlink, and the connected subnets.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>

#include "platform/inet/linux_netlink.h"
#include "platform/inet/linux_sweep.h"

namespace ps::platform {

static_assert(kNeighbourIncomplete == NUD_INCOMPLETE && kNeighbourReachable == NUD_REACHABLE &&
              kNeighbourStale == NUD_STALE && kNeighbourDelay == NUD_DELAY &&
              kNeighbourProbe == NUD_PROBE && kNeighbourFailed == NUD_FAILED &&
              kNeighbourNoArp == NUD_NOARP && kNeighbourPermanent == NUD_PERMANENT);
namespace {

int ReadProcInt(const char* path, int fallback) {
  std::ifstream in(path);
  long long v;
  if (in >> v && v > 0 && v < (1ll << 31)) return static_cast<int>(v);
  return fallback;
}

// Reads a dump's answer up to its end, handing every message to `each`.
Status ReadDump(int fd, const std::function<void(const nlmsghdr*)>& each) {
  const auto failed = [](int error) {
    return Status::Failure("the kernel's netlink answer failed", error);
  };
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(errno);
    if (n == 0) return failed(EPIPE);
    int len = static_cast<int>(n);
    for (auto* nh = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(nh, len);
         nh = NLMSG_NEXT(nh, len)) {
      if (nh->nlmsg_type == NLMSG_DONE) return Status::Ok();
      if (nh->nlmsg_type == NLMSG_ERROR) {
        const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(nh));
        return failed(e->error < 0 ? -e->error : EPROTO);
      }
      each(nh);
    }
  }
}

}  // namespace

Status NetlinkDump(std::uint16_t type, std::uint8_t family, std::size_t header_size,
                   const std::function<void(const nlmsghdr*)>& each) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return Status::Failure("cannot open a netlink socket", errno);
  struct {
    nlmsghdr nh;
    char body[64];
  } req{};
  req.nh.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(header_size));
  req.nh.nlmsg_type = type;
  req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.nh.nlmsg_seq = 1;
  // Both ndmsg and ndtmsg start with the family byte.
  reinterpret_cast<std::uint8_t*>(NLMSG_DATA(&req.nh))[0] = family;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &req, req.nh.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof(kernel)) < 0) {
    const int error = errno;
    close(fd);
    return Status::Failure("cannot ask the kernel over netlink", error);
  }
  const Status read = ReadDump(fd, each);
  close(fd);
  return read;
}

Result<std::vector<Neighbour>> LinuxNeighbourTable::Dump(IpAddress::Family family) {
  std::vector<Neighbour> out;
  const std::uint8_t af = family == IpAddress::Family::kV4 ? AF_INET : AF_INET6;
  const Status read = NetlinkDump(RTM_GETNEIGH, af, sizeof(ndmsg), [&out, af](const nlmsghdr* nh) {
    if (nh->nlmsg_type != RTM_NEWNEIGH) return;
    const auto* nd = static_cast<const ndmsg*>(NLMSG_DATA(nh));
    if (nd->ndm_family != af) return;
    Neighbour n;
    n.state = nd->ndm_state;
    n.ifindex = nd->ndm_ifindex;
    bool has_address = false;
    int len = static_cast<int>(RTM_PAYLOAD(nh));
    for (auto* a = reinterpret_cast<const rtattr*>(RTM_RTA(nd)); RTA_OK(a, len);
         a = RTA_NEXT(a, len)) {
      const auto* data = static_cast<const std::uint8_t*>(RTA_DATA(a));
      const std::size_t size = RTA_PAYLOAD(a);
      if (a->rta_type == NDA_DST && size == 4) {
        std::uint32_t v;
        std::memcpy(&v, data, 4);
        n.address = IpAddress::V4(ntohl(v));
        has_address = true;
      } else if (a->rta_type == NDA_DST && size == 16) {
        std::array<std::uint8_t, 16> v6;
        std::memcpy(v6.data(), data, 16);
        n.address = IpAddress::V6(v6);
        has_address = true;
      } else if (a->rta_type == NDA_LLADDR && size == 6) {
        std::memcpy(n.mac.data(), data, 6);
        n.has_mac = true;
      } else if (a->rta_type == NDA_CACHEINFO && size >= sizeof(nda_cacheinfo)) {
        nda_cacheinfo ci;
        std::memcpy(&ci, data, sizeof(ci));
        // Times are in clock ticks of USER_HZ (100 per second).
        n.updated_ms = ci.ndm_updated * 10;
        n.users = ci.ndm_refcnt;
      }
    }
    if (has_address) out.push_back(n);
  });
  if (!read.ok()) return read;
  return out;
}

std::optional<NeighbourUsage> LinuxNeighbourTable::Usage(IpAddress::Family family) {
  const bool v4 = family == IpAddress::Family::kV4;
  const std::uint8_t af = v4 ? AF_INET : AF_INET6;
  NeighbourUsage usage;
  usage.limit = ReadProcInt(v4 ? "/proc/sys/net/ipv4/neigh/default/gc_thresh3"
                               : "/proc/sys/net/ipv6/neigh/default/gc_thresh3",
                            0);
  bool found = false;
  const Status read = NetlinkDump(RTM_GETNEIGHTBL, af, sizeof(ndtmsg), [&](const nlmsghdr* nh) {
    if (nh->nlmsg_type != RTM_NEWNEIGHTBL) return;
    const auto* t = static_cast<const ndtmsg*>(NLMSG_DATA(nh));
    if (t->ndtm_family != af) return;
    int len = static_cast<int>(NLMSG_PAYLOAD(nh, sizeof(ndtmsg)));
    for (auto* a = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(t) +
                                                   NLMSG_ALIGN(sizeof(ndtmsg)));
         RTA_OK(a, len); a = RTA_NEXT(a, len)) {
      if (a->rta_type == NDTA_CONFIG && RTA_PAYLOAD(a) >= sizeof(ndt_config)) {
        ndt_config config;
        std::memcpy(&config, RTA_DATA(a), sizeof(config));
        usage.entries = static_cast<int>(config.ndtc_entries);
        found = true;
      } else if (a->rta_type == NDTA_THRESH3 && RTA_PAYLOAD(a) >= 4 && usage.limit == 0) {
        std::uint32_t v;
        std::memcpy(&v, RTA_DATA(a), 4);
        usage.limit = static_cast<int>(v);
      }
    }
  });
  if (usage.limit <= 0) usage.limit = 1024;
  if (!read.ok() || !found) return std::nullopt;
  return usage;
}

double LinuxNeighbourTable::PinnedSeconds(IpAddress::Family family) {
  const char* path = family == IpAddress::Family::kV4
                         ? "/proc/sys/net/ipv4/neigh/default/base_reachable_time_ms"
                         : "/proc/sys/net/ipv6/neigh/default/base_reachable_time_ms";
  // A confirmed entry stays reachable (and held) for up to 1.5 times the base.
  return 1.5 * ReadProcInt(path, 30000) / 1000.0;
}

std::vector<ConnectedSubnet> LinuxInterfaceTable::ConnectedSubnets() {
  std::vector<ConnectedSubnet> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr || !(i->ifa_flags & IFF_UP)) continue;
    ConnectedSubnet s;
    if (i->ifa_addr->sa_family == AF_INET) {
      const std::uint32_t addr =
          ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
      const std::uint32_t mask =
          ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
      s.prefix = __builtin_popcount(mask);
      s.network = IpAddress::V4(addr & mask);
      s.local = IpAddress::V4(addr);
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      const std::uint8_t* addr = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr.s6_addr;
      const std::uint8_t* mask =
          reinterpret_cast<const sockaddr_in6*>(i->ifa_netmask)->sin6_addr.s6_addr;
      if (addr[0] == 0xFE && (addr[1] & 0xC0) == 0x80) continue;  // link-local: no target lies there
      std::array<std::uint8_t, 16> network;
      std::array<std::uint8_t, 16> local;
      for (std::size_t b = 0; b < 16; ++b) {
        network[b] = addr[b] & mask[b];
        local[b] = addr[b];
        s.prefix += __builtin_popcount(mask[b]);
      }
      s.network = IpAddress::V6(network);
      s.local = IpAddress::V6(local);
    } else {
      continue;
    }
    s.interface = i->ifa_name;
    s.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
    out.push_back(s);
  }
  freeifaddrs(list);
  return out;
}

std::vector<MulticastLink> LinuxInterfaceTable::MulticastLinks() {
  std::vector<MulticastLink> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    const unsigned wanted = IFF_UP | IFF_MULTICAST;
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET ||
        (i->ifa_flags & wanted) != wanted || (i->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    const int index = static_cast<int>(if_nametoindex(i->ifa_name));
    if (index > 0) out.push_back(MulticastLink{i->ifa_name, index});
  }
  freeifaddrs(list);
  std::sort(out.begin(), out.end(),
            [](const MulticastLink& a, const MulticastLink& b) { return a.index < b.index; });
  return out;
}

}  // namespace ps::platform

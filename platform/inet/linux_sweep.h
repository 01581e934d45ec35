// The Linux implementations of the sweep seam (sweep_io.h).
#pragma once

#include "platform/inet/sweep_io.h"

namespace ps::platform {

// Datagram sockets: identifier and checksum are the kernel's; errors come
// through the error queue (IP_RECVERR). Raw sockets: a per-socket identifier;
// replies carrying another are dropped. Both: SO_TIMESTAMPNS, and the largest
// receive buffer the process may set.
class LinuxIcmpOpener : public IcmpOpener {
 public:
  std::unique_ptr<IcmpSocket> Open(IpAddress::Family family, IcmpSocket::Kind kind,
                                   int* error) override;
  IcmpPermissionFacts PermissionFacts() override;
};

// ICMPv6 (linux_icmp6_socket.cc): the same kinds, hop limits for TTLs.
std::unique_ptr<IcmpSocket> OpenLinuxIcmp6Socket(IcmpSocket::Kind kind, int* error);

// Over rtnetlink: RTM_GETNEIGH dumps, RTM_GETNEIGHTBL for the fill; the limit
// from /proc/sys/net/ipv{4,6}/neigh/default/gc_thresh3 where readable.
class LinuxNeighbourTable : public NeighbourTable {
 public:
  bool Dump(IpAddress::Family family, std::vector<Neighbour>* out) override;
  std::optional<NeighbourUsage> Usage(IpAddress::Family family) override;
  double PinnedSeconds(IpAddress::Family family) override;
};

// getifaddrs: the IPv4 and IPv6 subnets of interfaces that are up, and the links
// (their AF_PACKET entries) that carry multicast.
class LinuxInterfaceTable : public InterfaceTable {
 public:
  std::vector<ConnectedSubnet> ConnectedSubnets() override;
  std::vector<MulticastLink> MulticastLinks() override;
};

// getaddrinfo / getnameinfo (NI_NAMEREQD).
class LinuxResolver : public Resolver {
 public:
  std::vector<IpAddress> Resolve(const std::string& name, std::string* error) override;
  std::string ReverseName(const IpAddress& address, int scope_id) override;
};

}  // namespace ps::platform

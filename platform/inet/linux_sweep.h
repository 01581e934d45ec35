// The Linux implementations of the sweep seam (sweep_io.h).
#pragma once

#include "platform/inet/sweep_io.h"

namespace ps::platform {

// Datagram sockets: identifier and checksum are the kernel's; errors come
// through the error queue (IP_RECVERR); TTL and TOS as control data. Raw
// sockets: a per-socket identifier; replies carrying another are dropped, and
// so are replies and errors with a wrong checksum. Both: SO_TIMESTAMPNS, the
// largest receive buffer the process may set, a request's TTL and TOS as
// control data of its send.
class LinuxIcmpOpener : public IcmpOpener {
 public:
  Result<std::unique_ptr<IcmpSocket>> Open(IpAddress::Family family,
                                           IcmpSocket::Kind kind) override;
  IcmpPermissionFacts PermissionFacts() override;
};

// ICMPv6 (linux_icmp6_socket.cc): the same kinds, hop limits for TTLs.
Result<std::unique_ptr<IcmpSocket>> OpenLinuxIcmp6Socket(IcmpSocket::Kind kind);

// TCP probes (linux_tcp_raw.cc, linux_tcp_connect.cc): raw sockets with a
// reserved source port and the routing's source addresses, or connect().
class LinuxTcpOpener : public TcpOpener {
 public:
  Result<std::unique_ptr<TcpProbeSocket>> Open(IpAddress::Family family,
                                               TcpProbeSocket::Kind kind) override;
};

// Over rtnetlink: RTM_GETNEIGH dumps, RTM_GETNEIGHTBL for the fill; the limit
// from /proc/sys/net/ipv{4,6}/neigh/default/gc_thresh3 where readable.
class LinuxNeighbourTable : public NeighbourTable {
 public:
  Result<std::vector<Neighbour>> Dump(IpAddress::Family family) override;
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
  Result<std::vector<IpAddress>> Resolve(const std::string& name) override;
  std::string ReverseName(const IpAddress& address, int scope_id) override;
};

}  // namespace ps::platform

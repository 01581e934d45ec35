// The Linux TCP probe sockets (tcp_io.h) and what they share.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

#include "platform/inet/route_blocks.h"
#include "platform/inet/tcp_io.h"

namespace ps::platform {

// The source address routing picks for each destination of a family: the
// routes of every table and the rules, dumped once over rtnetlink, give the
// blocks; a UDP socket's connect() gives the kernel's own choice for one
// address of each block.
RouteSourceCache LinuxRouteSources(IpAddress::Family family);

// A raw IPPROTO_TCP socket (CAP_NET_RAW) with a reserved source port.
Result<std::unique_ptr<TcpProbeSocket>> OpenLinuxRawTcp(IpAddress::Family family);
// Non-blocking connect() attempts over epoll; raises the soft limit of open
// files within the hard one.
Result<std::unique_ptr<TcpProbeSocket>> OpenLinuxConnectTcp(IpAddress::Family family);

// Socket addresses of IP addresses and back (port in host order).
socklen_t ToSockaddr(const IpAddress& address, std::uint16_t port, sockaddr_storage* out);
IpAddress FromSockaddr(const sockaddr_storage& address, std::uint16_t* port = nullptr);

}  // namespace ps::platform

// The Windows implementations of the sweep seam (sweep_io.h).
#pragma once

#include <cstddef>
#include <memory>

#include "platform/inet/sweep_io.h"

namespace ps::platform {

// Windows has no ICMP datagram socket. Asked for one, the opener gives the
// fastest path this process may use: a raw socket (IPv4; an administrator, or
// root under Wine) when it may open one, else the system's echo service with
// many requests outstanding (IcmpSendEcho2, Icmp6SendEcho2: no rights
// needed). Asked for a raw socket, it gives that or fails with EACCES.
class WindowsIcmpOpener : public IcmpOpener {
 public:
  Result<std::unique_ptr<IcmpSocket>> Open(IpAddress::Family family,
                                           IcmpSocket::Kind kind) override;
  IcmpPermissionFacts PermissionFacts() override;
  // ICMPv6 goes through the echo service alone: one answer a request.
  std::string MulticastEchoRefusal() override;
};

// TCP probes (windows_tcp_connect.cc): connect() attempts only. A raw
// socket is refused with ENOTSUP: Windows sends no TCP segments over one.
class WindowsTcpOpener : public TcpOpener {
 public:
  Result<std::unique_ptr<TcpProbeSocket>> Open(IpAddress::Family family,
                                               TcpProbeSocket::Kind kind) override;
};

// A raw IPv4 ICMP socket (Winsock), its replies and errors parsed from the IP
// packets it receives; null with *error (errno values) on failure. Winsock
// gives no receive time, so a thread of the socket's own reads each packet
// as it comes and stamps it then; up to kRawIcmpQueued messages wait for
// Receive, the rest in the socket's buffer (stamped when read).
std::unique_ptr<IcmpSocket> OpenWindowsRawIcmpSocket(int* error);
inline constexpr std::size_t kRawIcmpQueued = 1024;

// The echo service (iphlpapi) behind the socket seam: every request one
// IcmpSendEcho2 (Icmp6SendEcho2) call with its own event, its completion read
// back as a reply or an error. Reports kind kDatagram: it needs no rights.
std::unique_ptr<IcmpSocket> OpenWindowsEchoServiceSocket(IpAddress::Family family, int* error);

// Starts Windows Sockets once for the process (2.2); false when it cannot.
bool StartWindowsSockets();

}  // namespace ps::platform

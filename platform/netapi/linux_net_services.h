// The Linux implementations of the network seam.
#pragma once

#include <atomic>

#include "platform/netapi/icmp_echo_service.h"
#include "platform/netapi/net_services.h"

namespace ps::platform {

// Sockets: start-up always succeeds; addresses are parsed by glibc's inet_addr
// (null gives kInaddrNone); names come from glibc's resolver (nsswitch:
// /etc/hosts, DNS), the official name only, converted from UTF-8 to the code
// page as the single-byte interface gives it ('?' for a character it cannot
// hold; a name that is not UTF-8 passes as it is). Lookups answer null until this
// layer's WSAStartup has succeeded once.
class LinuxSocketLayer : public SocketLayer {
 public:
  int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) override;
  IPAddr inet_addr(const char* cp) override;
  const HOSTENT* gethostbyaddr(const char* addr, int len, int type) override;

 private:
  std::atomic<bool> started_{false};
};

// The echo service over this system's ICMP sockets and monotonic clock.
class LinuxEchoService : public SocketEchoService {
 public:
  LinuxEchoService();
};

// UTC from the real-time clock.
class LinuxClock : public SystemClock {
 public:
  void GetSystemTime(SYSTEMTIME* lpSystemTime) override;
};

// What stands in until the window installs its own: nothing is shown and
// nothing dispatched.
class NullWindowSystem : public WindowSystem {
 public:
  void MessageBox(std::u16string_view, std::uint32_t) override {}
  void DoEvents() override {}
};

}  // namespace ps::platform

// The Windows implementations of the network seam: thin layers over Windows
// Sockets (ws2_32), the ICMP echo service (iphlpapi) and the system clock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/netapi/echo_reply.h"
#include "platform/netapi/net_services.h"

namespace ps::platform {

// WSAStartup, inet_addr and gethostbyaddr as the system gives them; the host
// entry is the system's own (per thread, valid until the next call).
class WindowsSocketLayer : public SocketLayer {
 public:
  int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) override;
  IPAddr inet_addr(const char* cp) override;
  const HOSTENT* gethostbyaddr(const char* addr, int len, int type) override;
};

// The system's echo service. A 64-bit IcmpSendEcho writes its 40-byte reply
// header (8-byte pointers) even on a time-out, so the caller's buffer is never
// handed to it: the reply lands in a buffer of our own and is mapped into the
// caller's 28-byte layout (echo_reply.h), the data from byte 28 on, with
// Data and OptionsData as offsets. Without a reply only the 28 header bytes
// are written.
class WindowsEchoService : public EchoService {
 public:
  IcmpHandle IcmpCreateFile() override;
  DWORD IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress, const void* RequestData,
                     WORD RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                     void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) override;
  bool IcmpCloseHandle(IcmpHandle IcmpHandle) override;
  std::u16string LastErrorText() override;

 private:
  std::mutex mu_;
  std::u16string last_error_;
};

// UTC from GetSystemTime.
class WindowsClock : public SystemClock {
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

// The Linux implementations of the network seam.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

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

// Echo requests over an ICMP datagram ("ping") socket where
// net.ipv4.ping_group_range allows it, else over a raw ICMP socket. Each handle
// owns its own socket. Reply locations (Data, OptionsData) are byte offsets
// from the start of the reply buffer: the data always starts at 28 and reply IP
// options are not passed on (OptionsSize 0, OptionsData 28).
class LinuxEchoService : public EchoService {
 public:
  enum class SocketKind { kNone, kDatagram, kRaw };

  IcmpHandle IcmpCreateFile() override;
  DWORD IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress, const void* RequestData,
                     WORD RequestSize, const IP_OPTION_INFORMATION* RequestOptions,
                     void* ReplyBuffer, DWORD ReplySize, DWORD Timeout) override;
  bool IcmpCloseHandle(IcmpHandle IcmpHandle) override;
  std::u16string LastErrorText() override;

  // The kind of socket behind an open handle (kNone for an unknown one).
  SocketKind KindOf(IcmpHandle handle);

 private:
  struct Channel {
    int fd;
    SocketKind kind;
  };
  bool Lookup(IcmpHandle handle, Channel* channel);

  std::mutex mu_;
  std::unordered_map<IcmpHandle, Channel> channels_;
  IcmpHandle next_handle_ = 1;
  std::u16string last_error_;
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

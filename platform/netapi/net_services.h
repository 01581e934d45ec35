// The network seam: the platform services the probe and the reverse lookup run
// over, declared with the platform functions' own names and argument order so
// that the probing logic reads like the calls it makes. The Linux
// implementations live beside this file; fakes for tests in net_fakes.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ps::platform {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using IPAddr = std::uint32_t;      // IPv4 address, network byte order
using IcmpHandle = std::intptr_t;  // 0 = the missing handle

inline constexpr IPAddr kInaddrNone = 0xFFFFFFFFu;
inline constexpr std::uint32_t MB_ICONINFORMATION = 64;
inline constexpr int AF_INET_ = 2;
inline constexpr WORD kWinsockVersion11 = 0x0101;

// Status codes the echo service writes into a reply header.
inline constexpr DWORD IP_SUCCESS = 0;
inline constexpr DWORD IP_BUF_TOO_SMALL = 11001;
inline constexpr DWORD IP_DEST_NET_UNREACHABLE = 11002;
inline constexpr DWORD IP_DEST_HOST_UNREACHABLE = 11003;
inline constexpr DWORD IP_DEST_PROT_UNREACHABLE = 11004;
inline constexpr DWORD IP_DEST_PORT_UNREACHABLE = 11005;
inline constexpr DWORD IP_PACKET_TOO_BIG = 11009;
inline constexpr DWORD IP_REQ_TIMED_OUT = 11010;
inline constexpr DWORD IP_BAD_ROUTE = 11012;
inline constexpr DWORD IP_TTL_EXPIRED_TRANSIT = 11013;
inline constexpr DWORD IP_TTL_EXPIRED_REASSEM = 11014;
inline constexpr DWORD IP_PARAM_PROBLEM = 11015;
inline constexpr DWORD IP_SOURCE_QUENCH = 11016;
inline constexpr DWORD IP_BAD_DESTINATION = 11018;
inline constexpr DWORD IP_GENERAL_FAILURE = 11050;

// IP header flags as the reply header reports them.
inline constexpr std::uint8_t IP_FLAG_REVERSE = 0x01;
inline constexpr std::uint8_t IP_FLAG_DF = 0x02;

// Size of the 32-bit ICMP_ECHO_REPLY header at the start of a reply buffer.
inline constexpr DWORD kEchoReplyHeaderSize = 28;

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// The 32-bit layout: OptionsData is a location, not a pointer.
struct IP_OPTION_INFORMATION {
  std::uint8_t Ttl;
  std::uint8_t Tos;
  std::uint8_t Flags;
  std::uint8_t OptionsSize;
  std::uint32_t OptionsData;
};
static_assert(sizeof(IP_OPTION_INFORMATION) == 8);

struct HOSTENT {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};

// Windows Sockets 1.1 stand-in.
class SocketLayer {
 public:
  virtual ~SocketLayer() = default;
  // 0 when started; anything else is a failure.
  virtual int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) = 0;
  // Network-order address of a dotted text, or kInaddrNone.
  virtual IPAddr inet_addr(const char* cp) = 0;
  // Host entry owned by the layer (valid until the next call on this thread),
  // or null when no name is known or the layer is not started.
  virtual const HOSTENT* gethostbyaddr(const char* addr, int len, int type) = 0;
};

// ICMP echo service stand-in.
class EchoService {
 public:
  virtual ~EchoService() = default;
  virtual IcmpHandle IcmpCreateFile() = 0;
  // On a reply: the 28-byte reply header (echo_reply.h) over ReplyBuffer[0..27],
  // the echoed data from byte 28 on, result 1. Otherwise result 0 and nothing
  // from byte 28 on is written (the header may carry the failure's status).
  virtual DWORD IcmpSendEcho(IcmpHandle IcmpHandle, IPAddr DestinationAddress,
                             const void* RequestData, WORD RequestSize,
                             const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                             DWORD ReplySize, DWORD Timeout) = 0;
  virtual bool IcmpCloseHandle(IcmpHandle IcmpHandle) = 0;
  // After IcmpCreateFile returned 0: why, as one actionable sentence naming the
  // fix (net.ipv4.ping_group_range / CAP_NET_RAW). Empty when the last create
  // succeeded.
  virtual std::u16string LastErrorText() = 0;
};

class SystemClock {
 public:
  virtual ~SystemClock() = default;
  // The current UTC date and time.
  virtual void GetSystemTime(SYSTEMTIME* lpSystemTime) = 0;
};

// Provided by the window; the default does nothing.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // Modal; the caption is the application's title.
  virtual void MessageBox(std::u16string_view text, std::uint32_t uType) = 0;
  // One dispatch of the pending window messages.
  virtual void DoEvents() = 0;
};

struct NetServices {
  SocketLayer* sockets = nullptr;
  EchoService* echo = nullptr;
  SystemClock* clock = nullptr;
  WindowSystem* window = nullptr;
};

// Process-wide services used by net/. Each backend defines it
// (linux_services.cc): its implementations and a WindowSystem that does nothing.
NetServices& Services();

// Replaces some or all services for the lifetime of the object (tests, and the
// window installing its WindowSystem); null members keep the current one.
// Restores the previous set on destruction. Nest in stack order.
class ScopedServices {
 public:
  explicit ScopedServices(NetServices replacement);
  ~ScopedServices();
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

 private:
  NetServices previous_;
};

}  // namespace ps::platform

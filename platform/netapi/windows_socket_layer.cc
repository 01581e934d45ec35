// Windows Sockets 1.1 and the system clock, passed through. The seam's names
// first: the system headers' macros would rewrite some of them.
#include "platform/netapi/windows_net_services.h"

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstring>

namespace ps::platform {
namespace {

// The seam's host entry is the system's, field for field.
static_assert(sizeof(HOSTENT) == sizeof(::hostent));
static_assert(offsetof(HOSTENT, h_name) == offsetof(::hostent, h_name));
static_assert(offsetof(HOSTENT, h_aliases) == offsetof(::hostent, h_aliases));
static_assert(offsetof(HOSTENT, h_addrtype) == offsetof(::hostent, h_addrtype));
static_assert(offsetof(HOSTENT, h_length) == offsetof(::hostent, h_length));
static_assert(offsetof(HOSTENT, h_addr_list) == offsetof(::hostent, h_addr_list));

void CopyText(char* dest, std::size_t size, const char* text) {
  std::strncpy(dest, text, size - 1);
  dest[size - 1] = '\0';
}

}  // namespace

int WindowsSocketLayer::WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) {
  ::WSADATA data{};
  const int rc = ::WSAStartup(wVersionRequested, &data);
  if (lpWSAData != nullptr) {
    std::memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wVersion = data.wVersion;
    lpWSAData->wHighVersion = data.wHighVersion;
    CopyText(lpWSAData->szDescription, sizeof(lpWSAData->szDescription), data.szDescription);
    CopyText(lpWSAData->szSystemStatus, sizeof(lpWSAData->szSystemStatus), data.szSystemStatus);
  }
  return rc;
}

IPAddr WindowsSocketLayer::inet_addr(const char* cp) {
  return cp == nullptr ? 0xFFFFFFFFu : ::inet_addr(cp);
}

const HOSTENT* WindowsSocketLayer::gethostbyaddr(const char* addr, int len, int type) {
  return reinterpret_cast<const HOSTENT*>(::gethostbyaddr(addr, len, type));
}

void WindowsClock::GetSystemTime(SYSTEMTIME* lpSystemTime) {
  if (lpSystemTime == nullptr) return;
  ::SYSTEMTIME now;
  ::GetSystemTime(&now);
  lpSystemTime->wYear = now.wYear;
  lpSystemTime->wMonth = now.wMonth;
  lpSystemTime->wDayOfWeek = now.wDayOfWeek;
  lpSystemTime->wDay = now.wDay;
  lpSystemTime->wHour = now.wHour;
  lpSystemTime->wMinute = now.wMinute;
  lpSystemTime->wSecond = now.wSecond;
  lpSystemTime->wMilliseconds = now.wMilliseconds;
}

}  // namespace ps::platform

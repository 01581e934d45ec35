// Windows Sockets 1.1 and the system clock, passed through. The seam's names
// first: the system headers' macros would rewrite some of them.
#include "platform/netapi/windows_net_services.h"

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "core/codepage.h"
#include "core/error.h"

namespace ps::platform {
namespace {

// The seam's host entry is the system's, field for field.
static_assert(sizeof(HOSTENT) == sizeof(::hostent));
static_assert(offsetof(HOSTENT, h_name) == offsetof(::hostent, h_name));
static_assert(offsetof(HOSTENT, h_aliases) == offsetof(::hostent, h_aliases));
static_assert(offsetof(HOSTENT, h_addrtype) == offsetof(::hostent, h_addrtype));
static_assert(offsetof(HOSTENT, h_length) == offsetof(::hostent, h_length));
static_assert(offsetof(HOSTENT, h_addr_list) == offsetof(::hostent, h_addr_list));

// The entry handed out, when its name had to be converted: per thread, valid
// until the next lookup, like the system's own.
struct ThreadEntry {
  std::string name;
  HOSTENT entry{};
};

// Real Windows names hosts in the ANSI code page. Wine hands on its Unix
// resolver's UTF-8 bytes as they are: a name that is UTF-8 with characters
// beyond ASCII comes back in the code page ('?' for what it cannot hold).
const HOSTENT* InCodePage(const HOSTENT* found) {
  if (found == nullptr || found->h_name == nullptr) return found;
  const std::string name = found->h_name;
  const std::u16string wide = FromUtf8(name);
  bool ascii = true;
  for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii || ToUtf8(wide) != name) return found;
  thread_local ThreadEntry t;
  t.name = ToCodePage(wide);
  t.entry = *found;
  t.entry.h_name = t.name.data();
  return &t.entry;
}

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
  return InCodePage(reinterpret_cast<const HOSTENT*>(::gethostbyaddr(addr, len, type)));
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

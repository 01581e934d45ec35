#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/net/linux_net_services.h"

namespace ps::platform {
namespace {

void CopyText(char* dest, std::size_t size, const char* text) {
  std::strncpy(dest, text, size - 1);
  dest[size - 1] = '\0';
}

// The entry handed out by gethostbyaddr: like the platform's, it belongs to the
// layer and stays valid until the next lookup on the same thread.
struct ThreadEntry {
  hostent result{};
  std::vector<char> buffer = std::vector<char>(1024);
  HOSTENT entry{};
};

}  // namespace

int LinuxSocketLayer::WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) {
  if (lpWSAData != nullptr) {
    std::memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wVersion = wVersionRequested < 0x0202 ? wVersionRequested : WORD{0x0202};
    lpWSAData->wHighVersion = 0x0202;
    CopyText(lpWSAData->szDescription, sizeof(lpWSAData->szDescription), "Linux sockets");
    CopyText(lpWSAData->szSystemStatus, sizeof(lpWSAData->szSystemStatus), "Running");
  }
  started_.store(true);
  return 0;
}

IPAddr LinuxSocketLayer::inet_addr(const char* cp) {
  return cp == nullptr ? kInaddrNone : ::inet_addr(cp);
}

const HOSTENT* LinuxSocketLayer::gethostbyaddr(const char* addr, int len, int type) {
  if (!started_.load() || addr == nullptr || len != 4 || type != AF_INET_) return nullptr;
  thread_local ThreadEntry t;
  hostent* found = nullptr;
  int herr = 0;
  for (;;) {
    const int rc = ::gethostbyaddr_r(addr, static_cast<socklen_t>(len), AF_INET, &t.result,
                                     t.buffer.data(), t.buffer.size(), &found, &herr);
    if (rc == ERANGE && t.buffer.size() < (1u << 20)) {
      t.buffer.resize(t.buffer.size() * 2);
      continue;
    }
    if (rc != 0) found = nullptr;
    break;
  }
  // Only the official name counts; an entry without one is no answer.
  if (found == nullptr || found->h_name == nullptr || found->h_name[0] == '\0') return nullptr;
  t.entry.h_name = found->h_name;
  t.entry.h_aliases = found->h_aliases;
  t.entry.h_addrtype = static_cast<short>(found->h_addrtype);
  t.entry.h_length = static_cast<short>(found->h_length);
  t.entry.h_addr_list = found->h_addr_list;
  return &t.entry;
}

}  // namespace ps::platform

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/codepage.h"
#include "core/error.h"
#include "platform/netapi/linux_net_services.h"

namespace ps::platform {
namespace {

void CopyText(char* dest, std::size_t size, const char* text) {
  std::strncpy(dest, text, size - 1);
  dest[size - 1] = '\0';
}

// The resolver answers in UTF-8; the single-byte interface answers in the code
// page. A character the code page cannot hold becomes one '?'. A name that is
// not UTF-8 comes from a hosts file kept in the code page: its bytes stand as
// they are.
std::string CodePageFromUtf8(std::string_view utf8) {
  const std::u16string wide = FromUtf8(utf8);
  if (ToUtf8(wide) != utf8) return std::string(utf8);  // malformed: not UTF-8
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const bool pair = wide[i] >= 0xD800 && wide[i] < 0xDC00 && i + 1 < wide.size() &&
                      wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000;
    out += pair ? '?' : CharToCodePage(wide[i]);
    i += pair;
  }
  return out;
}

// The entry handed out by gethostbyaddr: like the platform's, it belongs to the
// layer and stays valid until the next lookup on the same thread. Its names are
// code-page copies of the resolver's.
struct ThreadEntry {
  hostent result{};
  std::vector<char> buffer = std::vector<char>(1024);
  std::string name;
  std::vector<std::string> aliases;
  std::vector<char*> alias_list;
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
  t.name = CodePageFromUtf8(found->h_name);
  t.aliases.clear();
  for (char** a = found->h_aliases; a != nullptr && *a != nullptr; ++a) {
    t.aliases.push_back(CodePageFromUtf8(*a));
  }
  t.alias_list.clear();
  for (std::string& a : t.aliases) t.alias_list.push_back(a.data());
  t.alias_list.push_back(nullptr);
  t.entry.h_name = t.name.data();
  t.entry.h_aliases = t.alias_list.data();
  t.entry.h_addrtype = static_cast<short>(found->h_addrtype);
  t.entry.h_length = static_cast<short>(found->h_length);
  t.entry.h_addr_list = found->h_addr_list;
  return &t.entry;
}

}  // namespace ps::platform

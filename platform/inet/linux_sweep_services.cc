// The resolver under the sweep engine, the ICMP permission facts, and the process-wide set.
#include <arpa/inet.h>
#include <grp.h>
#include <netdb.h>
#include <unistd.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/linux_sweep.h"

namespace ps::platform {

Result<std::vector<IpAddress>> LinuxResolver::Resolve(const std::string& name) {
  std::vector<IpAddress> out;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_RAW;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc == EAI_SYSTEM) return Status::SystemError(errno);
  if (rc != 0) return Status::Failure(gai_strerror(rc));
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    IpAddress ip;
    if (a->ai_family == AF_INET) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      ip = IpAddress::V4(ntohl(sin->sin_addr.s_addr));
    } else if (a->ai_family == AF_INET6) {
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      std::array<std::uint8_t, 16> bytes;
      std::memcpy(bytes.data(), &sin6->sin6_addr, bytes.size());
      ip = IpAddress::V6(bytes);
    } else {
      continue;
    }
    bool seen = false;
    for (const IpAddress& o : out) seen = seen || o == ip;
    if (!seen) out.push_back(ip);
  }
  freeaddrinfo(list);
  return out;
}

std::string LinuxResolver::ReverseName(const IpAddress& address, int scope_id) {
  sockaddr_storage storage{};
  socklen_t length;
  if (address.is_v4()) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(address.v4());
    length = sizeof(*sin);
  } else {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
    sin6->sin6_family = AF_INET6;
    std::memcpy(&sin6->sin6_addr, address.data(), sizeof(sin6->sin6_addr));
    sin6->sin6_scope_id = static_cast<std::uint32_t>(scope_id);  // a link-local one's interface
    length = sizeof(*sin6);
  }
  char host[NI_MAXHOST];
  // NI_IDN: internationalised names in the locale's encoding (UTF-8 for the program).
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof(host), nullptr,
                  0, NI_NAMEREQD | NI_IDN) != 0) {
    return "";
  }
  return host;
}

IcmpPermissionFacts LinuxIcmpOpener::PermissionFacts() {
  IcmpPermissionFacts f;
  {
    std::ifstream in("/proc/sys/net/ipv4/ping_group_range");
    std::string lo, hi;
    if (in >> lo >> hi) f.ping_group_range = lo + " " + hi;
  }
  f.group_id = getegid();
  if (const group* g = getgrgid(f.group_id)) f.group_name = g->gr_name;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    const unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
    f.cap_net_raw = (caps >> 13) & 1;  // CAP_NET_RAW
  }
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n > 0) f.program_path.assign(path, static_cast<std::size_t>(n));
  return f;
}

SweepPlatform SystemSweepPlatform() {
  static LinuxIcmpOpener icmp;
  static LinuxNeighbourTable neighbours;
  static LinuxInterfaceTable interfaces;
  static LinuxResolver resolver;
  static LinuxTcpOpener tcp;
  return SweepPlatform{&SystemMonotonicClock(),     &icmp, &neighbours, &interfaces, &resolver, &SystemPacketNetwork(),
                       &SystemPrivileges(), &tcp};
}

// The help is written for Linux.
std::string SystemHelpSection() { return ""; }

}  // namespace ps::platform

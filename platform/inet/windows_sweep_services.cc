// The resolver, the neighbour and interface tables (IP Helper), the ICMP
// opener and permission facts, and the process-wide set, on Windows.
#include "platform/inet/windows_sweep.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>
// The system headers define `interface` as `struct`; the seam has a field of that name.
#undef interface

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace ps::platform {
namespace {

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return "";
  std::string out(static_cast<std::size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 1) return L"";
  std::wstring out(static_cast<std::size_t>(n - 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
  return out;
}

// The first `prefix` bits of `a`, the rest cleared.
IpAddress Masked(const IpAddress& a, int prefix) {
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int keep = std::min(std::max(prefix - static_cast<int>(i) * 8, 0), 8);
    bytes[i] = static_cast<std::uint8_t>(a.data()[i] & (0xFF00 >> keep));
  }
  return a.is_v4() ? IpAddress::V4(static_cast<std::uint32_t>(bytes[0]) << 24 | bytes[1] << 16 |
                                   bytes[2] << 8 | bytes[3])
                   : IpAddress::V6(bytes);
}

IpAddress FromSockaddr(const sockaddr* sa, bool* ok) {
  *ok = true;
  if (sa->sa_family == AF_INET) {
    return IpAddress::V4(ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr));
  }
  if (sa->sa_family == AF_INET6) {
    std::array<std::uint8_t, 16> bytes;
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, 16);
    return IpAddress::V6(bytes);
  }
  *ok = false;
  return {};
}

class WindowsResolver : public Resolver {
 public:
  Result<std::vector<IpAddress>> Resolve(const std::string& name) override {
    std::vector<IpAddress> out;
    if (!StartWindowsSockets()) return Status::Failure("Windows Sockets could not be started");
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_RAW;
    ADDRINFOW* list = nullptr;
    const int rc = GetAddrInfoW(Wide(name).c_str(), nullptr, &hints, &list);
    if (rc != 0) return Status::Failure(Utf8(gai_strerrorW(rc)));
    for (ADDRINFOW* a = list; a != nullptr; a = a->ai_next) {
      bool ok;
      const IpAddress ip = FromSockaddr(a->ai_addr, &ok);
      bool seen = !ok;
      for (const IpAddress& o : out) seen = seen || o == ip;
      if (!seen) out.push_back(ip);
    }
    FreeAddrInfoW(list);
    return out;
  }

  // IPv6 names are not looked up here yet; the scope is for IPv6 link-local.
  std::string ReverseName(const IpAddress& address, int /*scope_id*/) override {
    if (!address.is_v4() || !StartWindowsSockets()) return "";
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(address.v4());
    wchar_t host[NI_MAXHOST];
    if (GetNameInfoW(reinterpret_cast<const sockaddr*>(&sin), sizeof(sin), host, NI_MAXHOST,
                     nullptr, 0, NI_NAMEREQD) != 0) {
      return "";
    }
    return Utf8(host);
  }
};

std::uint16_t StateBits(NL_NEIGHBOR_STATE state) {
  switch (state) {
    case NlnsIncomplete:
      return kNeighbourIncomplete;
    case NlnsProbe:
      return kNeighbourProbe;
    case NlnsDelay:
      return kNeighbourDelay;
    case NlnsStale:
      return kNeighbourStale;
    case NlnsReachable:
      return kNeighbourReachable;
    case NlnsPermanent:
      return kNeighbourPermanent;
    default:
      return kNeighbourFailed;
  }
}

class WindowsNeighbourTable : public NeighbourTable {
 public:
  Result<std::vector<Neighbour>> Dump(IpAddress::Family family) override {
    MIB_IPNET_TABLE2* table = nullptr;
    const DWORD rc = GetIpNetTable2(family == IpAddress::Family::kV6 ? AF_INET6 : AF_INET, &table);
    if (rc != NO_ERROR) return Status::Failure("the neighbour table is unreadable (error " +
                                               std::to_string(rc) + ")");
    std::vector<Neighbour> out;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
      const MIB_IPNET_ROW2& row = table->Table[i];
      bool ok;
      Neighbour n;
      n.address = FromSockaddr(reinterpret_cast<const sockaddr*>(&row.Address), &ok);
      if (!ok) continue;
      n.has_mac = row.PhysicalAddressLength == 6;
      if (n.has_mac) std::memcpy(n.mac.data(), row.PhysicalAddress, 6);
      n.state = StateBits(row.State);
      n.ifindex = static_cast<int>(row.InterfaceIndex);
      n.updated_ms = row.ReachabilityTime.LastReachable;
      out.push_back(n);
    }
    FreeMibTable(table);
    return out;
  }
  // Windows sets no limit a sweep could fill.
  std::optional<NeighbourUsage> Usage(IpAddress::Family) override { return std::nullopt; }
  // A reachable entry lasts 15 to 45 s (ReachableTime's default range).
  double PinnedSeconds(IpAddress::Family) override { return 15.0; }
};

class WindowsInterfaceTable : public InterfaceTable {
 public:
  std::vector<ConnectedSubnet> ConnectedSubnets() override {
    std::vector<ConnectedSubnet> out;
    ForEachAdapter([&](const IP_ADAPTER_ADDRESSES& a) {
      if (a.OperStatus != IfOperStatusUp) return;
      for (auto* u = a.FirstUnicastAddress; u != nullptr; u = u->Next) {
        bool ok;
        ConnectedSubnet s;
        s.local = FromSockaddr(u->Address.lpSockaddr, &ok);
        if (!ok || (!s.local.is_v4() && s.local.data()[0] == 0xfe &&
                    (s.local.data()[1] & 0xc0) == 0x80)) {
          continue;  // IPv6 link-local: not a subnet to sweep
        }
        s.prefix = u->OnLinkPrefixLength;
        s.network = Masked(s.local, s.prefix);
        s.interface = Utf8(a.FriendlyName);
        s.loopback = a.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        out.push_back(s);
      }
    });
    return out;
  }
  std::vector<MulticastLink> MulticastLinks() override {
    std::vector<MulticastLink> out;
    ForEachAdapter([&](const IP_ADAPTER_ADDRESSES& a) {
      if (a.OperStatus == IfOperStatusUp && a.IfType != IF_TYPE_SOFTWARE_LOOPBACK &&
          (a.Flags & IP_ADAPTER_NO_MULTICAST) == 0) {
        out.push_back({Utf8(a.FriendlyName), static_cast<int>(a.Ipv6IfIndex)});
      }
    });
    return out;
  }

 private:
  template <typename Visit>
  static void ForEachAdapter(Visit visit) {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
      buffer.resize(size);
      rc = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
                                reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc != NO_ERROR) return;
    for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr;
         a = a->Next) {
      visit(*a);
    }
  }
};

}  // namespace

bool StartWindowsSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

Result<std::unique_ptr<IcmpSocket>> WindowsIcmpOpener::Open(IpAddress::Family family,
                                                            IcmpSocket::Kind kind) {
  auto failure = [](int error) { return Status::Failure(SystemErrorText(error), error); };
  int error = 0;
  if (family == IpAddress::Family::kV4) {
    std::unique_ptr<IcmpSocket> raw = OpenWindowsRawIcmpSocket(&error);
    if (raw) return raw;
    if (kind == IcmpSocket::Kind::kRaw) return failure(error);
  } else if (kind == IcmpSocket::Kind::kRaw) {
    return failure(EACCES);  // raw ICMPv6 is not offered: the echo service serves both
  }
  std::unique_ptr<IcmpSocket> service = OpenWindowsEchoServiceSocket(family, &error);
  if (service) return service;
  return failure(error);
}

IcmpFailure ClassifyIcmpFailure(int system_error) {
  switch (system_error) {
    case EACCES:
    case EPERM:
      return IcmpFailure::kNotAllowed;
    case EINVAL:
      return IcmpFailure::kBadDestination;
    case ENETUNREACH:
      return IcmpFailure::kNetUnreachable;
    case EHOSTUNREACH:
      return IcmpFailure::kHostUnreachable;
    case EMSGSIZE:
      return IcmpFailure::kTooBig;
    default:
      return IcmpFailure::kOther;
  }
}

IcmpPermissionFacts WindowsIcmpOpener::PermissionFacts() {
  IcmpPermissionFacts f;
  f.rules = IcmpPermissionFacts::Rules::kWindows;
  f.cap_net_raw = SystemPrivileges().HasNetRaw();
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  f.program_path = n > 0 && n < MAX_PATH ? Utf8(path) : "pingsweep-cli.exe";
  return f;
}

SweepPlatform SystemSweepPlatform() {
  static WindowsIcmpOpener icmp;
  static WindowsNeighbourTable neighbours;
  static WindowsInterfaceTable interfaces;
  static WindowsResolver resolver;
  static WindowsTcpOpener tcp;
  return SweepPlatform{&SystemMonotonicClock(), &icmp,     &neighbours, &interfaces,
                       &resolver,              &SystemPacketNetwork(), &SystemPrivileges(),
                       &tcp};
}

std::string WindowsIcmpOpener::MulticastEchoRefusal() {
  return "it needs every host's answer to one echo request to ff02::1, and the system's echo "
         "service (Icmp6SendEcho2) gives one answer a request";
}

std::string SystemHelpSection() {
  return R"(On Windows:
  What is said above of Linux's sockets and capabilities differs here. ICMP
  goes over a raw socket when the program runs as an administrator, else
  through the system's echo service (IcmpSendEcho2, Icmp6SendEcho2), many
  requests at once, with no rights needed; --check says which. Windows sends
  no TCP segment over a raw socket, even for an administrator: tcp probes
  are connect() attempts, at most 1024 at a time, and tcp-ack probes are
  refused. ARP asks the system (SendARP), 32 addresses at a time; where
  SendARP is not implemented (Wine), --probe arp is refused and auto uses
  ICMP. The neighbour table holds no sweep back. --link-local is refused:
  the echo service gives one answer a request, not every host's answer to
  ff02::1. UPnP device descriptions are not fetched (no HTTP client): ssdp
  is left out of the default name sources and refused in --names. --watch
  sweeps only: it does not listen for DHCP and ARP between sweeps.

)";
}

}  // namespace ps::platform

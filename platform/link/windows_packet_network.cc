// Windows gives programs no link-layer sockets: the interfaces are listed
// (IP Helper), and ARP goes through SendARP (windows_send_arp.h).
#include "platform/link/packet_io.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/link/windows_send_arp.h"

namespace ps::platform {
namespace {

// SendARP calls at once: each blocks its thread for up to about 3 s on a
// silent address.
constexpr int kArpWorkers = 32;

bool SendArp(std::uint32_t target, std::uint32_t source, MacAddress* mac) {
  ULONG buffer[2] = {};
  ULONG size = sizeof(buffer);
  if (SendARP(htonl(target), htonl(source), buffer, &size) != NO_ERROR || size != 6) return false;
  std::memcpy(mac->octets.data(), buffer, 6);
  return true;
}

// Whether SendARP is there at all (Wine's returns ERROR_NOT_SUPPORTED for
// any address). Asked for loopback, which has no ARP, it sends nothing.
bool SendArpImplemented() {
  ULONG buffer[2] = {};
  ULONG size = sizeof(buffer);
  return SendARP(htonl(INADDR_LOOPBACK), 0, buffer, &size) != ERROR_NOT_SUPPORTED;
}

Link LinkOf(const IP_ADAPTER_ADDRESSES& a) {
  Link link;
  link.name = a.AdapterName;
  link.index = static_cast<int>(a.IfIndex);
  if (a.PhysicalAddressLength == 6) std::memcpy(link.mac.octets.data(), a.PhysicalAddress, 6);
  link.up = a.OperStatus == IfOperStatusUp;
  link.arp = a.IfType == IF_TYPE_ETHERNET_CSMACD || a.IfType == IF_TYPE_IEEE80211;
  for (const IP_ADAPTER_UNICAST_ADDRESS* u = a.FirstUnicastAddress; u != nullptr; u = u->Next) {
    if (u->Address.lpSockaddr->sa_family != AF_INET) continue;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
    link.ipv4.push_back({ntohl(sin->sin_addr.s_addr), u->OnLinkPrefixLength});
  }
  return link;
}

class WindowsPacketNetwork : public PacketNetwork {
 public:
  std::vector<Link> Links() override {
    std::vector<Link> links;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
      buffer.resize(size);
      rc = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                             GAA_FLAG_SKIP_DNS_SERVER,
                                nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                &size);
    }
    if (rc != NO_ERROR) return links;
    for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr;
         a = a->Next) {
      links.push_back(LinkOf(*a));
    }
    return links;
  }

  // SendARP picks the interface by route, from the source address of each
  // request: `ifindex` is not needed.
  Result<std::unique_ptr<PacketSocket>> OpenArp(int) override {
    static const bool implemented = SendArpImplemented();
    if (!implemented) return PacketSocketFailure(ENOTSUP);
    return std::unique_ptr<PacketSocket>(
        std::make_unique<SendArpSocket>(SendArp, &SystemMonotonicClock(), kArpWorkers));
  }
};

}  // namespace

PacketNetwork& SystemPacketNetwork() {
  static WindowsPacketNetwork network;
  return network;
}

std::string PacketSocketErrorText(int error) {
  if (error == ENOTSUP) {
    return "ARP needs a packet socket, which Windows gives no program, or SendARP, which this "
           "system does not implement (Wine's is a stub)";
  }
  if (error == EPERM || error == EACCES) {
    return "ARP needs a packet socket, which Windows gives no program, or SendARP, which refused";
  }
  return std::string("a packet socket could not be opened: ") + SystemErrorText(error);
}

Status PacketSocketFailure(int error) {
  return Status::Failure(PacketSocketErrorText(error), error);
}

}  // namespace ps::platform

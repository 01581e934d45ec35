// Asks the hosts a sweep found who they are, over multicast DNS, NetBIOS and
// LLMNR at once, as each host answers the sweep, and browses each link's
// DNS-SD services. Only answers that pass every check count: from the host
// asked (address, link and the protocol's port), carrying the transaction id
// of a query sent to it and echoing its question (a multicast response, which
// carries neither, only for a name asked of that very host), before the
// host's deadline. Nothing is sent to a host that was not asked about, but
// the per-link multicast queries. Reverse DNS is not here (sweep::NamePool).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ip_address.h"
#include "names/host_info.h"
#include "platform/clock/monotonic_clock.h"
#include "platform/inet/udp_io.h"

namespace ps::names {

inline constexpr std::uint16_t kMdnsPort = 5353;
inline constexpr std::uint16_t kLlmnrPort = 5355;

// A directly connected subnet: its hosts also get the link's multicast
// queries. IPv6 link-local hosts are on the link their scope names.
struct OnLinkSubnet {
  IpAddress network;
  int prefix = 0;
  std::uint32_t interface_index = 0;
};

// fe80::/10: the same address is another host on each link.
inline bool IsLinkLocal(const IpAddress& a) {
  return !a.is_v4() && a.data()[0] == 0xfe && (a.data()[1] & 0xc0) == 0x80;
}

// Whether `a` lies in the subnet.
bool InSubnet(const IpAddress& a, const OnLinkSubnet& s);

struct FinderOptions {
  SourceSet sources = kAllSources;  // kDns and kSsdp are asked elsewhere
  std::int64_t wait_ns = 600'000'000;  // per host, from the moment it is asked
  std::vector<OnLinkSubnet> subnets;
};

class NameFinder {
 public:
  NameFinder(platform::UdpOpener* udp, platform::MonotonicClock* clock, FinderOptions options);
  ~NameFinder();
  NameFinder(const NameFinder&) = delete;
  NameFinder& operator=(const NameFinder&) = delete;

  // Opens the sockets and starts listening. A failure leaves out what needs
  // that socket; the messages say what (empty when all opened).
  std::vector<std::string> Start();
  // Queries `host` (`scope`: an IPv6 link-local address's interface index,
  // else 0) once; later calls for it do nothing. Thread-safe.
  void Ask(const IpAddress& host, std::uint32_t scope = 0);
  // Waits until every host asked has answered every query or its deadline
  // has passed (at most until `cap_ns` on the clock), then stops listening.
  void Finish(std::int64_t cap_ns);
  // After Finish: what was learnt of the host, or null.
  const HostInfo* Find(const IpAddress& host, std::uint32_t scope = 0) const;
  // The link whose multicast reaches `host`, or 0.
  std::uint32_t LinkOf(const IpAddress& host, std::uint32_t scope) const;

  // One host asked: the queries in flight and what it said.
  struct Host {
    HostInfo info;
    std::string reverse;          // its in-addr.arpa / ip6.arpa name
    std::uint32_t link = 0;       // on-link: the interface index
    std::int64_t asked_ns = 0;
    std::int64_t deadline_ns = 0;
    SourceSet pending = 0;        // unicast queries not answered yet
    bool resent = false;
    std::uint16_t mdns_id = 0, llmnr_id = 0, netbios_id = 0;
  };
  // A link with on-link hosts: its DNS-SD browse.
  struct Link {
    IpAddress::Family family;
    std::uint32_t index = 0;
    std::set<std::string> browsed;  // names asked by PTR: the meta-query, then types
    std::set<std::uint16_t> ids;
    std::int64_t last_query_ns = 0;
  };

 private:
  struct Socket;
  using Key = std::pair<IpAddress, std::uint32_t>;

  void Listen(Socket* socket);
  void Tick();
  void Handle(std::span<const std::uint8_t> bytes, const platform::UdpPeer& peer, bool group);
  void HandleMdns(Host& host, std::span<const std::uint8_t> bytes, bool group);
  void HandleEarly(const Key& key, std::uint32_t link, std::span<const std::uint8_t> bytes, bool group);
  void HandleLlmnr(Host& host, std::span<const std::uint8_t> bytes);
  void HandleNetbios(Host& host, std::span<const std::uint8_t> bytes);
  void SendUnicast(const Key& key, Host& host);
  void Browse(Link& link, const std::string& name);
  Socket* SocketFor(IpAddress::Family family, bool group);
  std::uint16_t NewId();
  bool AllDone(std::int64_t now) const;

  platform::UdpOpener* udp_;
  platform::MonotonicClock* clock_;
  FinderOptions options_;
  std::vector<std::unique_ptr<Socket>> sockets_;
  std::atomic<bool> stop_{false};
  std::thread ticker_;

  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::map<Key, Host> hosts_;
  std::map<std::pair<std::uint32_t, int>, Link> links_;  // by interface index, family
  std::int64_t last_deadline_ = 0;
  // Service types said by on-link hosts before they answered the sweep (a
  // browse answer may outrun a host's echo reply): theirs once asked.
  std::map<Key, std::vector<std::string>> early_services_;
  std::mt19937 random_;
};

}  // namespace ps::names

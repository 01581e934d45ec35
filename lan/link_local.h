// IPv6 link-local discovery: one echo request to the all-nodes group ff02::1
// on each chosen interface, and every host that answers within the time-out,
// with its MAC address from the kernel's IPv6 neighbour table. The hosts of a
// LAN that no sweep of an IPv6 subnet could enumerate.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ip_address.h"
#include "platform/inet/sweep_io.h"
#include "sweep/cookie.h"
#include "sweep/engine.h"

namespace ps::sweep {

// One responder on one interface (the same address on two links is two hosts).
struct LinkLocalHost {
  HostResult result;           // answered; one probe, its round trip and hop limit
  platform::MulticastLink link;
  std::array<std::uint8_t, 6> mac{};
  bool has_mac = false;
};

struct LinkLocalSummary {
  std::uint64_t answered = 0;  // hosts
  std::uint64_t ignored = 0;   // unverifiable or late replies
  std::int64_t elapsed_ns = 0;
  bool interrupted = false;
  Status socket_status;  // a failure: the socket's, which ended the discovery
  // Interfaces the request could not be sent on, and why.
  std::vector<std::pair<platform::MulticastLink, Status>> send_errors;
};

class LinkLocalDiscovery {
 public:
  // `socket` is an ICMPv6 one; `neighbours` may be null (no MACs). All
  // pointers must outlive the discovery.
  LinkLocalDiscovery(platform::MonotonicClock* clock, platform::IcmpSocket* socket,
                     platform::NeighbourTable* neighbours, std::vector<platform::MulticastLink> links,
                     std::int64_t timeout_ns);

  // Sends, then waits the whole time-out (or until Stop()) for replies. A
  // reply counts when its cookie verifies for that interface's request, it
  // came in on that interface and before the deadline; each host once, later
  // copies counted as duplicates.
  LinkLocalSummary Run();
  // Async-signal-safe.
  void Stop() { stop_.store(true, std::memory_order_relaxed); }

  // By interface, then address; final once Run() returned.
  const std::vector<LinkLocalHost>& hosts() const { return hosts_; }

  void set_cookie(const ProbeCookie& cookie) { cookie_ = cookie; }

 private:
  // The steps of Run: one request to ff02::1 on each link (which went),
  // the replies until the time-out, the MACs from the neighbour table.
  std::vector<bool> SendToEveryLink(std::int64_t sent_ns, LinkLocalSummary* summary);
  void AwaitReplies(std::int64_t sent_ns, const std::vector<bool>& sent, LinkLocalSummary* summary);
  void AddMacs();
  void Handle(const platform::IcmpMessage& m, std::int64_t sent_ns, std::int64_t deadline_ns,
              const std::vector<bool>& sent, LinkLocalSummary* summary);

  platform::MonotonicClock* clock_;
  platform::IcmpSocket* socket_;
  platform::NeighbourTable* neighbours_;
  std::vector<platform::MulticastLink> links_;
  std::int64_t timeout_ns_;
  ProbeCookie cookie_;
  std::vector<LinkLocalHost> hosts_;
  std::atomic<bool> stop_{false};
};

// ff02::1, the all-nodes multicast group.
IpAddress AllNodes();

}  // namespace ps::sweep

// Which targets ARP can reach: those on a directly connected subnet of an
// interface that is up and does ARP, grouped by interface and by the address
// this machine asks from. Pure: works on the interface list it is given.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"
#include "lan/arp_prober.h"
#include "platform/link/packet_io.h"

namespace ps::sweep {

struct ArpGroup {
  platform::Link link;
  ArpSource source;                    // the link's MAC and its address on the subnet
  std::vector<std::uint32_t> targets;  // host order, in the caller's order
};

struct ArpPlan {
  std::vector<ArpGroup> groups;
  // Targets ARP cannot reach (off-link, or this machine's own addresses),
  // left to ICMP; host order, in the caller's order.
  std::vector<std::uint32_t> others;
  // A failure when `interface` names no usable interface; nothing is planned
  // then (every target is in `others`).
  Status status;
};

// Plans the targets (host order) over `links`. With `interface` non-empty only
// that interface is used, and it must exist, be up and do ARP. A target on
// several subnets goes to the most specific one.
ArpPlan PlanArp(const std::vector<platform::Link>& links, std::vector<std::uint32_t> targets,
                std::string_view interface);

// Whether this process may open ARP sockets, as one line for --check:
// "ARP: available ..." or "ARP: not available: <why and the fix>". Opens and
// closes one socket; sends nothing.
std::string ArpAvailability(platform::PacketNetwork& network, bool* available);

}  // namespace ps::sweep

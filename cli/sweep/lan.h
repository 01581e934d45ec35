// The LAN side of a run: ARP for targets on a directly connected subnet, and
// the MAC addresses and vendors of the hosts that answered.
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cli/sweep/options.h"
#include "core/ip_address.h"
#include "core/mac_address.h"
#include "platform/inet/sweep_io.h"
#include "platform/memory/bulk_memory.h"
#include "lan/arp_plan.h"
#include "lan/arp_prober.h"
#include "lan/vendors.h"
#include "sweep/targets.h"

namespace ps::cli {

class ArpStage {
 public:
  // Decides which targets go by ARP and opens their sockets. Returns the exit
  // code when the run must end, nullopt to go on; what it chose, and why,
  // goes to `err` after `prefix`. `targets` sorted.
  std::optional<int> Prepare(const Options& o, const platform::SweepPlatform& p,
                             std::span<const IpAddress> targets, std::ostream& err,
                             const std::string& prefix);
  // Keeps the sockets after Run(), for the next one (the watch sweeps again).
  void KeepSockets() { keep_sockets_ = true; }
  // Probes the ARP targets, one interface after another, until done or *stop;
  // the answers and totals are this run's.
  void Run(platform::MonotonicClock* clock, const Options& o, const std::atomic<bool>* stop);

  // The targets left to ICMP, in order (`targets` itself when ARP takes
  // none and ICMP is asked for: it must outlive this).
  std::span<const IpAddress> icmp_targets() const {
    return arp_targets().empty() && !no_icmp_ ? all_targets_ : std::span<const IpAddress>(icmp_targets_);
  }
  // Whether a target is probed by ARP (before Run: it will be).
  bool Probes(const IpAddress& address) const {
    return address.is_v4() &&
           std::binary_search(arp_targets().begin(), arp_targets().end(), address.v4());
  }
  // The IPv4 targets probed by ARP, sorted: a walk in step with the sorted
  // targets asks Probes() of each for the price of one pass.
  std::span<const std::uint32_t> arp_targets() const {
    if (one_group_) return groups_.front().plan.targets;
    return merged_;
  }
  // Requests sent to each silent ARP target.
  int tries() const { return tries_; }
  // The hosts that answered ARP, sorted by address.
  const sweep::ArpAnswers& answers() const { return answers_; }
  const sweep::ArpSummary& totals() const { return totals_; }

 private:
  struct Group {
    sweep::ArpGroup plan;
    std::unique_ptr<platform::PacketSocket> socket;
  };
  // The steps of Prepare.
  std::optional<int> RefuseUnreachable(const Options& o, const sweep::ArpPlan& plan,
                                       std::ostream& err, const std::string& prefix);
  std::optional<int> OpenGroups(const Options& o, platform::PacketNetwork& packets,
                                std::vector<sweep::ArpGroup> planned, std::ostream& err,
                                const std::string& prefix);
  void TakeTargets(const Options& o, std::span<const IpAddress> targets);
  void Announce(std::ostream& err, const std::string& prefix) const;
  void SortAnswers();

  std::vector<Group> groups_;
  bool keep_sockets_ = false;
  std::span<const IpAddress> all_targets_;
  sweep::TargetAddresses icmp_targets_;
  bool no_icmp_ = false;  // no echo request at all: the TCP probes take the rest
  // The ARP targets, sorted and unique: one group's own when they are (no
  // copy: a /16's was 256 KB of fresh pages), else merged_.
  bool one_group_ = false;
  std::vector<std::uint32_t> merged_;
  int tries_ = 1;
  sweep::ArpAnswers answers_;
  sweep::ArpSummary totals_;
};

// MAC addresses of the hosts that answered: from ARP replies, and from the
// kernel's neighbour table, read while the sweep runs (entries may age out
// before it ends).
class HostMacs {
 public:
  explicit HostMacs(platform::NeighbourTable* neighbours) : neighbours_(neighbours) {}
  // Reads the table's entries of one family now. A dump walks the whole table,
  // which holds an entry for every address reached without a router (IPv6:
  // also every local address on lo), so poll only a family with on-link
  // targets: a tick's dump of 65,536 such entries took longer than the tick.
  void Poll(IpAddress::Family family);
  // Wins over what the table says. Cheapest in address order.
  void Add(const IpAddress& address, const MacAddress& mac);
  void Reserve(std::size_t adds) { added_.reserve(adds); }
  const MacAddress* Find(const IpAddress& address);

 private:
  platform::NeighbourTable* neighbours_;
  // From Add: sorted (the last of equal addresses wins) unless `added_sorted_` is false.
  // A /16's answers fill 1.5 MB at once: bulk memory, a fault per 2 MB.
  std::vector<std::pair<IpAddress, MacAddress>, platform::BulkAllocator<std::pair<IpAddress, MacAddress>>>
      added_;
  bool added_sorted_ = true;
  std::size_t next_ = 0;  // after the entry Find found last
  std::unordered_map<IpAddress, MacAddress, IpAddressHash> polled_;
};

// The vendors of MAC addresses, from the IEEE registries loaded on first use.
class VendorNames {
 public:
  // "" when unknown; a registry that cannot be loaded is said once on `err`,
  // after `prefix`.
  std::string Of(const MacAddress& mac, std::ostream& err, const std::string& prefix);

 private:
  std::optional<sweep::VendorRegistry> vendors_;
  bool vendors_tried_ = false;
};

// The --check line about ARP (empty when this platform has no packet seam).
std::string ArpCheckLine(const platform::SweepPlatform& p);

}  // namespace ps::cli

// The LAN side of a run: ARP for targets on a directly connected subnet, and
// the MAC addresses and vendors of the hosts that answered.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <ostream>
#include <unordered_map>
#include <unordered_set>
#include <string>
#include <vector>

#include "cli/sweep/options.h"
#include "core/ip_address.h"
#include "core/mac_address.h"
#include "platform/inet/sweep_io.h"
#include "lan/arp_plan.h"
#include "lan/arp_prober.h"
#include "lan/vendors.h"

namespace ps::cli {

class ArpStage {
 public:
  // Decides which targets go by ARP and opens their sockets. Returns the exit
  // code when the run must end, nullopt to go on; what it chose, and why,
  // goes to `err` after `prefix`. `targets` sorted.
  std::optional<int> Prepare(const Options& o, const platform::SweepPlatform& p,
                             const std::vector<IpAddress>& targets, std::ostream& err,
                             const std::string& prefix);
  // Probes the ARP targets, one interface after another, until done or *stop.
  void Run(platform::MonotonicClock* clock, const Options& o, const std::atomic<bool>* stop);

  // The targets left to ICMP, in order.
  const std::vector<IpAddress>& icmp_targets() const { return icmp_targets_; }
  // Whether a target is probed by ARP (before Run: it will be).
  bool Probes(const IpAddress& address) const { return arp_targets_.count(address) > 0; }
  // Requests sent to each silent ARP target.
  int tries() const { return tries_; }
  // The hosts that answered ARP, by address.
  const std::unordered_map<IpAddress, sweep::ArpAnswer, IpAddressHash>& answers() const {
    return answers_;
  }
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
  void TakeTargets(const Options& o, const std::vector<IpAddress>& targets);
  void Announce(std::ostream& err, const std::string& prefix) const;

  std::vector<Group> groups_;
  std::vector<IpAddress> icmp_targets_;
  std::unordered_set<IpAddress, IpAddressHash> arp_targets_;
  int tries_ = 1;
  std::unordered_map<IpAddress, sweep::ArpAnswer, IpAddressHash> answers_;
  sweep::ArpSummary totals_;
};

// MAC addresses of the hosts that answered: from ARP replies, and from the
// kernel's neighbour table, read while the sweep runs (entries may age out
// before it ends).
class HostMacs {
 public:
  explicit HostMacs(platform::NeighbourTable* neighbours) : neighbours_(neighbours) {}
  // Reads the table now; cheap enough to call every progress tick.
  void Poll();
  void Add(const IpAddress& address, const MacAddress& mac) { macs_[address] = mac; }
  const MacAddress* Find(const IpAddress& address) const;

 private:
  platform::NeighbourTable* neighbours_;
  std::unordered_map<IpAddress, MacAddress, IpAddressHash> macs_;
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

#include "cli/sweep/lan.h"

#include <algorithm>
#include <cerrno>
#include <functional>

#include "cli/sweep/run.h"
#include "core/terminal_text.h"
#include "platform/inet/route_blocks.h"

namespace ps::cli {
namespace {

bool Denied(int error) { return error == EPERM || error == EACCES; }

// No usable MAC.
constexpr std::uint16_t kNoMacStates =
    platform::kNeighbourIncomplete | platform::kNeighbourFailed | platform::kNeighbourNoArp;

// Whether a target may lie on a directly connected IPv4 subnet (sorted
// `targets`): without one, --probe auto has nothing to ask by ARP, and the
// links need not be read.
bool AnyOnConnectedSubnet(platform::InterfaceTable* interfaces, std::span<const IpAddress> targets) {
  if (interfaces == nullptr) return true;
  for (const platform::ConnectedSubnet& s : interfaces->ConnectedSubnets()) {
    if (!s.network.is_v4()) continue;
    const auto first = std::lower_bound(targets.begin(), targets.end(), s.network);
    if (first != targets.end() && first->is_v4() && platform::SamePrefix(*first, s.network, s.prefix))
      return true;
  }
  return false;
}

}  // namespace

std::optional<int> ArpStage::Prepare(const Options& o, const platform::SweepPlatform& p,
                                     std::span<const IpAddress> targets, std::ostream& err,
                                     const std::string& prefix) {
  all_targets_ = targets;
  if (o.probe == ProbeMethod::kIcmp || o.probe == ProbeMethod::kNone) {
    no_icmp_ = o.probe == ProbeMethod::kNone;  // TCP probes alone
    if (o.interface.empty()) return std::nullopt;
    err << prefix << "--interface chooses the interface for ARP; it has no use with --probe "
        << (o.probe == ProbeMethod::kIcmp ? "icmp" : "tcp alone") << "\n";
    return kUsage;
  }
  if (p.packets == nullptr ||
      (o.probe == ProbeMethod::kAuto && o.interface.empty() && !AnyOnConnectedSubnet(p.interfaces, targets))) {
    if (o.probe == ProbeMethod::kAuto) return std::nullopt;
    err << prefix << "ARP is not available on this system\n";
    return kSystemFailure;
  }
  std::vector<std::uint32_t> v4;
  v4.reserve(targets.size());
  for (const IpAddress& t : targets) {
    if (t.is_v4()) v4.push_back(t.v4());
  }
  sweep::ArpPlan plan = sweep::PlanArp(p.packets->Links(), std::move(v4), o.interface);
  if (auto exit = RefuseUnreachable(o, plan, err, prefix)) return exit;
  if (auto exit = OpenGroups(o, *p.packets, std::move(plan.groups), err, prefix)) return exit;
  if (!groups_.empty()) {
    TakeTargets(o, targets);
    if (o.probe == ProbeMethod::kAuto) Announce(err, prefix);
  }
  // ARP with TCP probes sends no echo request: the TCP probes take the rest.
  if (o.probe == ProbeMethod::kArp && !o.tcp.empty()) {
    no_icmp_ = true;
    icmp_targets_.clear();
  }
  return std::nullopt;
}

std::optional<int> ArpStage::RefuseUnreachable(const Options& o, const sweep::ArpPlan& plan,
                                               std::ostream& err, const std::string& prefix) {
  if (!plan.status.ok()) {
    err << prefix << "--interface: " << plan.status.message() << "\n";
    return kUsage;
  }
  // Off-link targets are for the TCP probes, if any were asked for.
  if (o.probe == ProbeMethod::kArp && !plan.others.empty() && o.tcp.empty()) {
    err << prefix << "'" << IpAddress::V4(plan.others.front()).ToString()
        << "' is not on a directly connected subnet"
        << (o.interface.empty() ? "" : " of " + EscapeText(o.interface))
        << " (or is this machine's own): "
        << "ARP reaches only those; --probe auto sends ICMP to the others\n";
    return kUsage;
  }
  return std::nullopt;
}

std::optional<int> ArpStage::OpenGroups(const Options& o, platform::PacketNetwork& packets,
                                        std::vector<sweep::ArpGroup> planned, std::ostream& err,
                                        const std::string& prefix) {
  for (sweep::ArpGroup& g : planned) {
    auto socket = packets.OpenArp(g.link.index);
    if (!socket.ok()) {
      groups_.clear();
      if (o.probe == ProbeMethod::kAuto) {
        err << prefix << "probing by ICMP: " << socket.status().message() << "\n";
        return std::nullopt;
      }
      err << prefix << socket.status().message() << "\n";
      return Denied(socket.status().system_error()) ? kNoPermission : kSystemFailure;
    }
    groups_.push_back({std::move(g), std::move(socket).value()});
  }
  return std::nullopt;
}

void ArpStage::TakeTargets(const Options& o, std::span<const IpAddress> targets) {
  // One group's are sorted and unique already, as the targets: a view of
  // them, not a copy (a /16's was 256 KB of fresh pages).
  const std::vector<std::uint32_t>& one = groups_.front().plan.targets;
  one_group_ = groups_.size() == 1 &&
               std::adjacent_find(one.begin(), one.end(), std::greater_equal<>()) == one.end();
  merged_.clear();
  if (!one_group_) {
    for (const Group& g : groups_)
      merged_.insert(merged_.end(), g.plan.targets.begin(), g.plan.targets.end());
    std::sort(merged_.begin(), merged_.end());
    merged_.erase(std::unique(merged_.begin(), merged_.end()), merged_.end());
  }
  const std::span<const std::uint32_t> by_arp = arp_targets();
  if (o.probe == ProbeMethod::kBoth) {
    icmp_targets_.assign(targets.begin(), targets.end());
    return;
  }
  // One walk: both are sorted.
  auto arp = by_arp.begin();
  for (const IpAddress& t : targets) {
    while (t.is_v4() && arp != by_arp.end() && *arp < t.v4()) ++arp;
    if (!t.is_v4() || arp == by_arp.end() || *arp != t.v4()) icmp_targets_.push_back(t);
  }
}

void ArpStage::Announce(std::ostream& err, const std::string& prefix) const {
  std::string where;
  std::size_t count = 0;
  for (const Group& g : groups_) {
    count += g.plan.targets.size();
    const std::string name = EscapeText(g.plan.link.name);
    if (where.find(name) == std::string::npos) where += (where.empty() ? "" : ", ") + name;
  }
  err << prefix << "probing " << count << " on-link target" << (count == 1 ? "" : "s")
      << " by ARP on " << where;
  if (!icmp_targets_.empty()) err << ", " << icmp_targets_.size() << " by ICMP";
  err << "\n";
}

void ArpStage::Run(platform::MonotonicClock* clock, const Options& o,
                   const std::atomic<bool>* stop) {
  sweep::ArpProbeOptions options;
  options.timeout_ns = static_cast<std::int64_t>(o.timeout_ms) * 1000000;
  options.retries = o.retries;
  options.rate = o.rate;
  tries_ = 1 + o.retries;
  answers_.clear();
  totals_ = {};
  for (Group& g : groups_) {
    if (g.socket == nullptr) continue;  // closed by an earlier run
    if (stop != nullptr && stop->load()) {
      totals_.interrupted = true;
      break;
    }
    sweep::ArpProber prober(g.socket.get(), clock, g.plan.source, options);
    sweep::ArpAnswers found = prober.Run(g.plan.targets, nullptr, stop);
    if (answers_.empty()) answers_ = std::move(found);
    else answers_.insert(answers_.end(), found.begin(), found.end());
    const sweep::ArpSummary& s = prober.summary();
    totals_.targets += s.targets;
    totals_.answered += s.answered;
    totals_.sent += s.sent;
    totals_.duplicates += s.duplicates;
    totals_.ignored += s.ignored;
    totals_.elapsed_ns += s.elapsed_ns;
    totals_.interrupted = totals_.interrupted || s.interrupted;
    if (!s.socket_status.ok()) totals_.socket_status = s.socket_status;
  }
  // The sockets are done with; the plans stay, as arp_targets() may view one.
  if (!keep_sockets_)
    for (Group& g : groups_) g.socket.reset();
  SortAnswers();
}

void ArpStage::SortAnswers() {
  // By address (each link's are); of a host asked on two links, the later answer.
  const auto by_address = [](const sweep::ArpAnswer& a, const sweep::ArpAnswer& b) {
    return a.address < b.address;
  };
  if (!std::is_sorted(answers_.begin(), answers_.end(), by_address))
    std::stable_sort(answers_.begin(), answers_.end(), by_address);
  const auto last_of_equals = std::unique(
      answers_.rbegin(), answers_.rend(),
      [](const sweep::ArpAnswer& a, const sweep::ArpAnswer& b) { return a.address == b.address; });
  answers_.erase(answers_.begin(), last_of_equals.base());
}

void HostMacs::Poll(IpAddress::Family family) {
  if (neighbours_ == nullptr) return;
  const auto entries = neighbours_->Dump(family);
  if (!entries.ok()) return;
  for (const platform::Neighbour& n : entries.value()) {
    if (!n.has_mac || (n.state & kNoMacStates) != 0) continue;
    MacAddress mac{n.mac};
    if (mac.IsZero() || mac.IsGroup()) continue;
    polled_.emplace(n.address, mac);  // the first seen stays
  }
}

void HostMacs::Add(const IpAddress& address, const MacAddress& mac) {
  if (!added_.empty() && !(added_.back().first < address)) added_sorted_ = false;
  added_.emplace_back(address, mac);
}

const MacAddress* HostMacs::Find(const IpAddress& address) {
  if (!added_sorted_) {
    std::stable_sort(added_.begin(), added_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    added_sorted_ = true;
  }
  // Lines are made in address order: the entry after the last one found is
  // the likely one. Otherwise the last of equal addresses (the latest added).
  if (next_ < added_.size() && added_[next_].first == address &&
      (next_ + 1 == added_.size() || !(added_[next_ + 1].first == address))) {
    return &added_[next_++].second;
  }
  const auto it = std::upper_bound(added_.begin(), added_.end(), address,
                                   [](const IpAddress& a, const auto& e) { return a < e.first; });
  if (it != added_.begin() && std::prev(it)->first == address) {
    next_ = static_cast<std::size_t>(it - added_.begin());
    return &std::prev(it)->second;
  }
  const auto polled = polled_.find(address);
  return polled == polled_.end() ? nullptr : &polled->second;
}

std::string VendorNames::Of(const MacAddress& mac, std::ostream& err, const std::string& prefix) {
  if (mac.IsLocallyAdministered()) return std::string(sweep::kPrivateAddressVendor);
  if (!vendors_tried_) {
    vendors_tried_ = true;
    auto loaded = sweep::VendorRegistry::Load(sweep::VendorRegistry::SystemFolder());
    if (loaded.ok()) {
      vendors_ = std::move(loaded).value();
    } else {
      err << prefix << "vendor names unavailable: " << loaded.status().message() << "\n";
    }
  }
  return vendors_ ? std::string(vendors_->Lookup(mac)) : "";
}

std::string ArpCheckLine(const platform::SweepPlatform& p) {
  if (p.packets == nullptr) return "";
  bool available = false;
  return sweep::ArpAvailability(*p.packets, &available) + "\n";
}

}  // namespace ps::cli

#include "cli/sweep/lan.h"

#include <cerrno>

#include "cli/sweep/run.h"
#include "core/terminal_text.h"

namespace ps::cli {
namespace {

bool Denied(int error) { return error == EPERM || error == EACCES; }

// No usable MAC.
constexpr std::uint16_t kNoMacStates =
    platform::kNeighbourIncomplete | platform::kNeighbourFailed | platform::kNeighbourNoArp;

}  // namespace

std::optional<int> ArpStage::Prepare(const Options& o, const platform::SweepPlatform& p,
                                     const std::vector<IpAddress>& targets, std::ostream& err,
                                     const std::string& prefix) {
  icmp_targets_ = targets;
  if (o.probe == ProbeMethod::kIcmp) {
    if (o.interface.empty()) return std::nullopt;
    err << prefix << "--interface chooses the interface for ARP; it has no use with --probe icmp\n";
    return kUsage;
  }
  if (p.packets == nullptr) {
    if (o.probe == ProbeMethod::kAuto) return std::nullopt;
    err << prefix << "ARP is not available on this system\n";
    return kSystemFailure;
  }
  std::vector<std::uint32_t> v4;
  for (const IpAddress& t : targets) {
    if (t.is_v4()) v4.push_back(t.v4());
  }
  sweep::ArpPlan plan = sweep::PlanArp(p.packets->Links(), v4, o.interface);
  if (auto exit = RefuseUnreachable(o, plan, err, prefix)) return exit;
  if (auto exit = OpenGroups(o, *p.packets, std::move(plan.groups), err, prefix)) return exit;
  if (groups_.empty()) return std::nullopt;
  TakeTargets(o, targets);
  if (o.probe == ProbeMethod::kAuto) Announce(err, prefix);
  return std::nullopt;
}

std::optional<int> ArpStage::RefuseUnreachable(const Options& o, const sweep::ArpPlan& plan,
                                               std::ostream& err, const std::string& prefix) {
  if (!plan.status.ok()) {
    err << prefix << "--interface: " << plan.status.message() << "\n";
    return kUsage;
  }
  if (o.probe == ProbeMethod::kArp && !plan.others.empty()) {
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

void ArpStage::TakeTargets(const Options& o, const std::vector<IpAddress>& targets) {
  std::size_t count = 0;
  for (const Group& g : groups_) count += g.plan.targets.size();
  arp_targets_.reserve(count);
  for (const Group& g : groups_) {
    for (std::uint32_t t : g.plan.targets) arp_targets_.insert(IpAddress::V4(t));
  }
  if (o.probe == ProbeMethod::kBoth) return;
  icmp_targets_.clear();
  for (const IpAddress& t : targets) {
    if (!Probes(t)) icmp_targets_.push_back(t);
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
  for (Group& g : groups_) {
    if (stop != nullptr && stop->load()) {
      totals_.interrupted = true;
      break;
    }
    sweep::ArpProber prober(g.socket.get(), clock, g.plan.source, options);
    const std::vector<sweep::ArpAnswer> found = prober.Run(g.plan.targets, nullptr, stop);
    answers_.reserve(answers_.size() + found.size());
    for (const sweep::ArpAnswer& a : found) {
      answers_[IpAddress::V4(a.address)] = a;
    }
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
  groups_.clear();  // the sockets are done with
}

void HostMacs::Poll() {
  if (neighbours_ == nullptr) return;
  for (const auto family : {IpAddress::Family::kV4, IpAddress::Family::kV6}) {
    const auto entries = neighbours_->Dump(family);
    if (!entries.ok()) continue;
    for (const platform::Neighbour& n : entries.value()) {
      if (!n.has_mac || (n.state & kNoMacStates) != 0) continue;
      MacAddress mac{n.mac};
      if (mac.IsZero() || mac.IsGroup()) continue;
      macs_.emplace(n.address, mac);  // the first seen stays
    }
  }
}

const MacAddress* HostMacs::Find(const IpAddress& address) const {
  const auto it = macs_.find(address);
  return it == macs_.end() ? nullptr : &it->second;
}

std::string VendorNames::Of(const MacAddress& mac, std::ostream& err, const std::string& prefix) {
  if (mac.IsLocallyAdministered()) return std::string(sweep::kPrivateAddressVendor);
  if (!vendors_tried_) {
    vendors_tried_ = true;
    auto loaded = sweep::VendorRegistry::Load(sweep::VendorRegistry::kSystemFolder);
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

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

int ArpStage::Prepare(const Options& o, const platform::SweepPlatform& p,
                      const std::vector<IpAddress>& targets, std::ostream& err,
                      const std::string& prefix) {
  icmp_targets_ = targets;
  if (o.probe == Probe::kIcmp) {
    if (!o.interface.empty()) {
      err << prefix << "--interface chooses the interface for ARP; it has no use with --probe icmp\n";
      return kUsage;
    }
    return -1;
  }
  if (p.packets == nullptr) {
    if (o.probe == Probe::kAuto) return -1;
    err << prefix << "ARP is not available on this system\n";
    return kSystemFailure;
  }
  std::vector<std::uint32_t> v4;
  for (const IpAddress& t : targets) {
    if (t.is_v4()) v4.push_back(t.v4());
  }
  sweep::ArpPlan plan = sweep::PlanArp(p.packets->Links(), v4, o.interface);
  if (!plan.error.empty()) {
    err << prefix << "--interface: " << plan.error << "\n";
    return kUsage;
  }
  if (o.probe == Probe::kArp && !plan.others.empty()) {
    err << prefix << "'" << IpAddress::V4(plan.others.front()).ToString()
        << "' is not on a directly connected subnet"
        << (o.interface.empty() ? "" : " of " + EscapeText(o.interface))
        << " (or is this machine's own): "
        << "ARP reaches only those; --probe auto sends ICMP to the others\n";
    return kUsage;
  }
  if (plan.groups.empty()) return -1;

  for (sweep::ArpGroup& g : plan.groups) {
    int error = 0;
    auto socket = p.packets->OpenArp(g.link.index, &error);
    if (!socket) {
      groups_.clear();
      if (o.probe == Probe::kAuto) {
        err << prefix << "probing by ICMP: " << platform::PacketSocketErrorText(error) << "\n";
        return -1;
      }
      err << prefix << platform::PacketSocketErrorText(error) << "\n";
      return Denied(error) ? kNoPermission : kSystemFailure;
    }
    groups_.push_back({std::move(g), std::move(socket)});
  }
  std::string where;
  std::size_t count = 0;
  for (const Group& g : groups_) count += g.plan.targets.size();
  arp_targets_.reserve(count);
  count = 0;
  for (const Group& g : groups_) {
    for (std::uint32_t t : g.plan.targets) arp_targets_.insert(IpAddress::V4(t));
    count += g.plan.targets.size();
    const std::string name = EscapeText(g.plan.link.name);
    if (where.find(name) == std::string::npos) where += (where.empty() ? "" : ", ") + name;
  }
  if (o.probe != Probe::kBoth) {
    icmp_targets_.clear();
    for (const IpAddress& t : targets) {
      if (!Probes(t)) icmp_targets_.push_back(t);
    }
  }
  if (o.probe == Probe::kAuto) {
    err << prefix << "probing " << count << " on-link target" << (count == 1 ? "" : "s")
        << " by ARP on " << where;
    if (!icmp_targets_.empty()) err << ", " << icmp_targets_.size() << " by ICMP";
    err << "\n";
  }
  return -1;
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
    if (s.system_error != 0) totals_.system_error = s.system_error;
  }
  groups_.clear();  // the sockets are done with
}

void MacBook::Poll() {
  if (neighbours_ == nullptr) return;
  std::vector<platform::Neighbour> entries;
  for (const auto family : {IpAddress::Family::kV4, IpAddress::Family::kV6}) {
    if (!neighbours_->Dump(family, &entries)) continue;
    for (const platform::Neighbour& n : entries) {
      if (!n.has_mac || (n.state & kNoMacStates) != 0) continue;
      MacAddress mac{n.mac};
      if (mac.IsZero() || mac.IsGroup()) continue;
      macs_.emplace(n.address, mac);  // the first seen stays
    }
  }
}

const MacAddress* MacBook::Find(const IpAddress& address) const {
  const auto it = macs_.find(address);
  return it == macs_.end() ? nullptr : &it->second;
}

std::string MacBook::Vendor(const MacAddress& mac, std::ostream& err, const std::string& prefix) {
  if (mac.IsLocallyAdministered()) return std::string(sweep::kPrivateAddressVendor);
  if (!vendors_tried_) {
    vendors_tried_ = true;
    std::string error;
    vendors_ = sweep::VendorRegistry::Load(sweep::VendorRegistry::kSystemFolder, &error);
    if (!vendors_) err << prefix << "vendor names unavailable: " << error << "\n";
  }
  return vendors_ ? std::string(vendors_->Lookup(mac)) : "";
}

std::string ArpCheckLine(const platform::SweepPlatform& p) {
  if (p.packets == nullptr) return "";
  bool available = false;
  return sweep::ArpAvailability(*p.packets, &available) + "\n";
}

}  // namespace ps::cli

#include "lan/arp_plan.h"

#include <algorithm>

#include "core/terminal_text.h"

namespace ps::sweep {
namespace {

std::uint32_t Mask(int prefix) { return prefix <= 0 ? 0 : ~0u << (32 - std::min(prefix, 32)); }

// The most specific subnet of `usable` that holds `target`, and its link;
// nulls when none does or the target is one of this machine's own addresses.
std::pair<const platform::Link*, const platform::Link::Ipv4Address*> BestSubnet(
    const std::vector<const platform::Link*>& usable, std::uint32_t target) {
  const platform::Link* best_link = nullptr;
  const platform::Link::Ipv4Address* best = nullptr;
  for (const platform::Link* link : usable) {
    for (const auto& a : link->ipv4) {
      if (a.address == target) return {nullptr, nullptr};
      const std::uint32_t mask = Mask(a.prefix);
      if (a.prefix < 32 && (a.address & mask) == (target & mask) &&
          (best == nullptr || a.prefix > best->prefix)) {
        best_link = link;
        best = &a;
      }
    }
  }
  return {best_link, best};
}

}  // namespace

ArpPlan PlanArp(const std::vector<platform::Link>& links, std::vector<std::uint32_t> targets,
                std::string_view interface) {
  ArpPlan plan;
  std::vector<const platform::Link*> usable;
  for (const platform::Link& link : links) {
    if (!interface.empty() && link.name != interface) continue;
    if (!interface.empty()) {
      const std::string name = "interface " + EscapeText(link.name);
      if (!link.up)
        plan.status = Status::Failure(name + " is down");
      else if (!link.arp)
        plan.status = Status::Failure(name + " does not use ARP");
      else if (link.ipv4.empty())
        plan.status = Status::Failure(name + " has no IPv4 address");
      if (!plan.status.ok()) {
        plan.others.assign(targets.begin(), targets.end());
        return plan;
      }
    }
    if (link.up && link.arp) usable.push_back(&link);
  }
  if (!interface.empty() && usable.empty()) {
    plan.status = Status::Failure("no interface named " + EscapeText(interface));
    plan.others.assign(targets.begin(), targets.end());
    return plan;
  }

  // The usual sweep is one subnet's: its group takes `targets` itself, no copy.
  if (!targets.empty()) {
    const auto first = BestSubnet(usable, targets.front());
    if (first.second != nullptr &&
        std::all_of(targets.begin(), targets.end(),
                    [&](std::uint32_t t) { return BestSubnet(usable, t) == first; })) {
      plan.groups.push_back({*first.first, {first.first->mac, first.second->address},
                             std::move(targets)});
      return plan;
    }
  }
  for (const std::uint32_t target : targets) {
    const auto [best_link, best] = BestSubnet(usable, target);
    if (best == nullptr) {
      plan.others.push_back(target);
      continue;
    }
    ArpGroup* group = nullptr;
    for (ArpGroup& g : plan.groups) {
      if (g.link.index == best_link->index && g.source.address == best->address) group = &g;
    }
    if (group == nullptr) {
      plan.groups.push_back({*best_link, {best_link->mac, best->address}, {}});
      group = &plan.groups.back();
      // Room for all: pages never written cost nothing, and a /16 grown by
      // doubling took twice its pages in faults, and copies.
      group->targets.reserve(targets.size());
    }
    group->targets.push_back(target);
  }
  return plan;
}

std::string ArpAvailability(platform::PacketNetwork& network, bool* available) {
  const auto opened = network.OpenArp(0);
  if (available != nullptr) *available = opened.ok();
  if (opened.ok()) return "ARP: available (a packet socket may be opened) for on-link targets";
  return "ARP: not available: " + opened.status().message();
}

}  // namespace ps::sweep

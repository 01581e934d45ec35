#include "cli/sweep/watch_listen.h"

#include <algorithm>

#include "core/terminal_text.h"
#include "watch/heard.h"

namespace ps::cli {
namespace {

constexpr std::size_t kFrames = 32;

// Whether some target lies in the link's subnets (and the link is the one
// -I names, when given).
bool CarriesTargets(const platform::Link& link, const Options& o,
                    std::span<const IpAddress> targets) {
  if (!link.up || !link.arp || (!o.interface.empty() && link.name != o.interface)) return false;
  for (const platform::Link::Ipv4Address& a : link.ipv4) {
    const std::uint32_t mask = a.prefix == 0 ? 0 : ~0u << (32 - a.prefix);
    const IpAddress first = IpAddress::V4(a.address & mask);
    const auto it = std::lower_bound(targets.begin(), targets.end(), first);
    if (it != targets.end() && it->is_v4() && (it->v4() & mask) == (a.address & mask)) return true;
  }
  return false;
}

}  // namespace

void Listeners::Open(const RunContext& run, const WatchServices& services,
                     std::span<const IpAddress> targets) {
  if (services.open_listener == nullptr || run.platform.packets == nullptr) {
    run.err() << run.prefix << "passive listening is not available here: sweeping only\n";
    return;
  }
  for (const platform::Link& link : run.platform.packets->Links()) {
    if (!CarriesTargets(link, run.options, targets)) continue;
    auto opened = services.open_listener(link.index);
    if (!opened.ok()) {
      listeners_.clear();
      run.err() << run.prefix << "sweeping only, no passive listening between sweeps: "
                << opened.status().message() << "\n";
      return;
    }
    listeners_.push_back(std::move(opened).value());
  }
  frames_.resize(kFrames);
}

void Listeners::Listen(const RunContext& run, std::int64_t slice_ns,
                       const std::function<void(const watch::Observation&)>& heard) {
  const std::int64_t each =
      slice_ns / static_cast<std::int64_t>(std::max<std::size_t>(listeners_.size(), 1));
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    const Result<std::size_t> got = (*it)->Receive(frames_, run.platform.clock->NowNs() + each);
    if (!got.ok()) {
      run.err() << run.prefix << "passive listening failed: " << got.status().ToString() << "\n";
      it = listeners_.erase(it);
      continue;
    }
    for (std::size_t i = 0; i < got.value(); ++i) {
      const platform::HeardFrame& f = frames_[i];
      const auto seen = watch::ParseHeard(f.source, f.protocol, {f.data.data(), f.size});
      if (seen) heard(*seen);
    }
    ++it;
  }
}

}  // namespace ps::cli

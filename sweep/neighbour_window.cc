#include "sweep/neighbour_window.h"

#include <algorithm>
#include <vector>

namespace ps::sweep {
namespace {

// The kernel frees, when it needs room, entries nobody holds that failed or
// have not changed for five seconds.
constexpr std::uint32_t kReclaimAfterMs = 5000;

bool Reclaimable(const platform::Neighbour& n) {
  if (n.state & platform::kNeighbourPermanent) return false;
  if (n.users > 0) return false;
  if (n.state & (platform::kNeighbourFailed | platform::kNeighbourNoArp)) return true;
  return (n.state & platform::kNeighbourStale) && n.updated_ms >= kReclaimAfterMs;
}

}  // namespace

NeighbourWindow::NeighbourWindow(platform::NeighbourTable* table, IpAddress::Family family)
    : table_(table), family_(family) {}

void NeighbourWindow::ReadFacts() const {
  if (facts_read_ || table_ == nullptr) return;
  facts_read_ = true;
  if (const auto usage = table_->Usage(family_)) limit_ = std::max(usage->limit, 32);
  pinned_seconds_ = table_->PinnedSeconds(family_);
}

void NeighbourWindow::Refresh(std::int64_t now_ns) {
  ReadFacts();
  refreshed_ns_ = now_ns;
  const auto dumped = table_ != nullptr ? table_->Dump(family_) : Status::Failure("no table");
  if (dumped.ok()) {
    const std::vector<platform::Neighbour>& entries = dumped.value();
    seen_ = true;
    int held = 0;
    for (const auto& n : entries) held += Reclaimable(n) ? 0 : 1;
    // Other namespaces' entries count against the same limit; we cannot see
    // their state, so they count as held.
    int others = 0;
    if (const auto usage = table_->Usage(family_))
      others = std::max(0, usage->entries - static_cast<int>(entries.size()));
    room_ = budget() - held - others;
    return;
  }
  // Blind: count our own new destinations over the time an entry stays pinned.
  const auto pinned_ns = static_cast<std::int64_t>((pinned_seconds_ + 5) * 1e9);
  while (!recent_.empty() && recent_.front().first + pinned_ns <= now_ns) recent_.pop_front();
  int used = 0;
  for (const auto& r : recent_) used += r.second;
  room_ = budget() - used;
}

int NeighbourWindow::Room(std::int64_t now_ns) {
  if (refreshed_ns_ < 0 || now_ns - refreshed_ns_ >= kRefreshNs) Refresh(now_ns);
  return std::max(room_, 0);
}

void NeighbourWindow::Used(std::int64_t now_ns, int n) {
  room_ -= n;
  if (!seen_) recent_.emplace_back(now_ns, n);
}

}  // namespace ps::sweep

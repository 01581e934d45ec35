// Keeps an ICMP sweep of on-link hosts within the room left in the kernel's
// neighbour table. Each new on-link destination takes an entry; the table is
// shared by every network namespace, holds gc_thresh3 entries, and an entry
// that was confirmed stays pinned for up to 1.5 x base_reachable_time. A
// packet that needs an entry when none can be freed is dropped silently, so a
// sweep that outruns the table loses answering hosts. The window watches the
// table over rtnetlink and hands out only the room it sees.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

#include "platform/inet/sweep_io.h"

namespace ps::sweep {

class NeighbourWindow {
 public:
  NeighbourWindow(platform::NeighbourTable* table, IpAddress::Family family);

  // New on-link destinations that may be probed at `now_ns`; refreshes its
  // view of the table when it is older than the refresh interval or spent.
  int Room(std::int64_t now_ns);
  // `n` new destinations were just probed.
  void Used(std::int64_t now_ns, int n);
  // When to ask again after Room() returned 0.
  std::int64_t RetryAt(std::int64_t now_ns) const { return now_ns + kRefreshNs; }

  int limit() const {
    ReadFacts();
    return limit_;
  }
  // The destinations that fit at once, and how long they stay pinned.
  int budget() const { return limit() - Reserve(); }
  double pinned_seconds() const {
    ReadFacts();
    return pinned_seconds_;
  }

  static constexpr std::int64_t kRefreshNs = 20'000'000;

 private:
  int Reserve() const { return limit_ / 32 > 16 ? limit_ / 32 : 16; }
  // The table's size and pinning time, read when first needed: a sweep
  // without on-link targets never reads them.
  void ReadFacts() const;
  void Refresh(std::int64_t now_ns);

  platform::NeighbourTable* table_;
  IpAddress::Family family_;
  mutable bool facts_read_ = false;
  mutable int limit_ = 1024;
  mutable double pinned_seconds_ = 45;
  bool seen_ = false;                 // the table could be read at least once
  std::int64_t refreshed_ns_ = -1;
  int room_ = 0;                      // at the last refresh, less what was used since
  std::deque<std::pair<std::int64_t, int>> recent_;  // without a readable table: our own sends
};

}  // namespace ps::sweep

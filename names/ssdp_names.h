// The fifth name source: one SSDP search per link that carries on-link
// targets, answered while the sweep runs, then the UPnP descriptions of the
// hosts that answered the sweep (names/upnp/ssdp_search.h holds the checks).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "names/upnp/ssdp_search.h"

namespace ps::names {

class SsdpNames {
 public:
  // `is_target`: an address the sweep targets (answers from others are
  // dropped). All must outlive this.
  SsdpNames(platform::UdpOpener* udp, platform::HttpFetcher* http, platform::MonotonicClock* clock,
            std::function<bool(const IpAddress&)> is_target);
  ~SsdpNames();

  // Sends one M-SEARCH per link and weighs answers for `listen_ns` on a
  // thread of its own. Call once.
  void Start(const std::vector<upnp::SsdpLink>& links, std::int64_t listen_ns);
  // A host that answered the sweep: its description may be fetched. Thread-safe.
  void Add(const IpAddress& host);
  // Waits for the answers, then fetches the descriptions of the hosts added
  // that answered, all done by `deadline_ns`.
  void Finish(std::int64_t deadline_ns);
  // After Finish: the host's device, or null.
  const upnp::UpnpDevice* Find(const IpAddress& host) const;

 private:
  platform::HttpFetcher* http_;
  platform::MonotonicClock* clock_;
  upnp::SsdpSearch search_;
  std::thread listener_;
  std::thread preparer_;  // readies the fetcher meanwhile
  std::int64_t answers_until_ns_ = 0;
  std::mutex mu_;
  std::set<IpAddress> hosts_;
  std::map<IpAddress, upnp::UpnpDevice> devices_;
  bool finished_ = false;
};

}  // namespace ps::names

#include "names/ssdp_names.h"

namespace ps::names {

SsdpNames::SsdpNames(platform::UdpOpener* udp, platform::HttpFetcher* http, platform::MonotonicClock* clock,
                     std::function<bool(const IpAddress&)> is_target)
    : http_(http), clock_(clock), search_(udp, clock, std::move(is_target)) {}

SsdpNames::~SsdpNames() {
  if (listener_.joinable()) listener_.join();
  if (preparer_.joinable()) preparer_.join();
}

void SsdpNames::Start(const std::vector<upnp::SsdpLink>& links, std::int64_t listen_ns) {
  answers_until_ns_ = clock_->NowNs() + listen_ns;
  // MX 1: every device answers within a second.
  if (links.empty() || !search_.Start(links, 1, answers_until_ns_).ok()) return;
  listener_ = std::thread([this] { search_.Poll(answers_until_ns_); });
  // Loading the fetcher (libcurl) while devices take their MX to answer
  // leaves Finish()'s whole wait to the descriptions; on a thread of its own,
  // so that a slow load never delays reading the answers.
  if (http_ != nullptr) preparer_ = std::thread([this] { http_->Prepare(); });
}

void SsdpNames::Add(const IpAddress& host) {
  std::lock_guard lock(mu_);
  hosts_.insert(host);
}

void SsdpNames::Finish(std::int64_t deadline_ns) {
  if (finished_) return;
  finished_ = true;
  if (!listener_.joinable()) return;
  listener_.join();
  if (preparer_.joinable()) preparer_.join();
  std::vector<IpAddress> hosts;
  {
    std::lock_guard lock(mu_);
    hosts.assign(hosts_.begin(), hosts_.end());
  }
  if (http_ != nullptr) devices_ = upnp::DescribeHosts(search_, hosts, http_, deadline_ns);
}

const upnp::UpnpDevice* SsdpNames::Find(const IpAddress& host) const {
  const auto it = devices_.find(host);
  return it == devices_.end() ? nullptr : &it->second;
}

}  // namespace ps::names

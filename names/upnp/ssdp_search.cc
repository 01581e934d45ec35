#include "names/upnp/ssdp_search.h"

#include <algorithm>
#include <cerrno>

namespace ps::names::upnp {
namespace {

bool IsMulticast(const IpAddress& a) { return a.is_v4() ? (a.v4() >> 28) == 0xe : a.data()[0] == 0xff; }

}  // namespace

struct SsdpSearch::Channel {
  IpAddress::Family family;
  std::unique_ptr<platform::UdpSocket> socket;
};

SsdpSearch::SsdpSearch(platform::UdpOpener* opener, platform::MonotonicClock* clock,
                       std::function<bool(const IpAddress&)> is_target)
    : opener_(opener), clock_(clock), is_target_(std::move(is_target)) {}

SsdpSearch::~SsdpSearch() = default;

Status SsdpSearch::Start(std::span<const SsdpLink> links, int mx_seconds, std::int64_t answer_deadline_ns) {
  answer_deadline_ns_ = answer_deadline_ns;
  Status last = Status::Failure("no interface to search on");
  for (const IpAddress::Family family : {IpAddress::Family::kV4, IpAddress::Family::kV6}) {
    const bool wanted = std::any_of(links.begin(), links.end(), [&](const SsdpLink& l) { return l.family == family; });
    if (!wanted) continue;
    auto socket = opener_->Open({.family = family, .multicast_hops = 1});
    if (!socket.ok()) {
      last = socket.status();
      continue;
    }
    const std::string search = BuildMSearch(family, mx_seconds);
    const auto payload = std::span(reinterpret_cast<const std::uint8_t*>(search.data()), search.size());
    for (const SsdpLink& link : links) {
      if (link.family != family || Searched(family, link.interface_index)) continue;
      const Status sent = (*socket)->SendTo(SsdpGroup(family), kSsdpPort, payload, link.interface_index);
      if (sent.ok()) links_.push_back(link);
      else last = sent;
    }
    channels_.push_back(std::make_unique<Channel>(Channel{family, std::move(*socket)}));
  }
  return links_.empty() ? last : Status::Ok();
}

bool SsdpSearch::Searched(IpAddress::Family family, std::uint32_t interface_index) const {
  return std::find(links_.begin(), links_.end(), SsdpLink{interface_index, family}) != links_.end();
}

void SsdpSearch::Poll(std::int64_t until_ns) {
  until_ns = std::min(until_ns, answer_deadline_ns_);
  std::uint8_t buffer[kMaxAnswerBytes + 1];  // one more: a longer datagram shows as over the limit
  for (;;) {
    const std::int64_t now = clock_->NowNs();
    // One socket is waited on until `until_ns`; of two, the first for at most
    // 5 ms, then the second is looked at without waiting.
    const std::int64_t slice = channels_.size() > 1 ? std::min(until_ns, now + 5'000'000) : until_ns;
    bool read_any = false;
    for (const auto& channel : channels_) {
      platform::UdpPeer peer;
      const int n = channel->socket->Receive(buffer, &peer, channel == channels_.front() ? slice : now);
      if (n < 0) continue;
      read_any = true;
      Offer({buffer, static_cast<std::size_t>(n)}, peer, channel->family);
    }
    if (!read_any && clock_->NowNs() >= until_ns) return;
    if (channels_.empty()) return;
  }
}

bool SsdpSearch::Offer(std::span<const std::uint8_t> datagram, const platform::UdpPeer& peer,
                       IpAddress::Family family) {
  Channel* channel = nullptr;
  for (const auto& c : channels_) {
    if (c->family == family) channel = c.get();
  }
  const std::int64_t at = peer.received_ns != 0 ? peer.received_ns : clock_->NowNs();
  if (channel == nullptr || peer.from.family() != family || IsMulticast(peer.to) || at > answer_deadline_ns_ ||
      !Searched(family, peer.interface_index)) {
    ++counts_.not_ours;
    return false;
  }
  if (!is_target_(peer.from)) {
    ++counts_.not_target;
    return false;
  }
  const auto answer = ParseSsdpAnswer(datagram);
  if (!answer) {
    ++counts_.malformed;
    return false;
  }
  auto url = CheckLocation(answer->location, peer.from);
  if (!url) {
    ++counts_.foreign_location;
    return false;
  }
  auto kept = answers_.find(peer.from);
  if (kept == answers_.end()) {
    if (answers_.size() >= kMaxSsdpHosts) {
      ++counts_.over_capacity;
      return false;
    }
    kept = answers_.emplace(peer.from, Answer{{}, peer.interface_index, 0}).first;
  }
  Answer& a = kept->second;
  const bool known = std::any_of(a.locations.begin(), a.locations.end(),
                                 [&](const Location& l) { return l.url == *url; });
  if (known || a.locations.size() >= kMaxLocationsPerHost) return false;
  const bool root = answer->st == "upnp:rootdevice";
  const auto place = a.locations.begin() + static_cast<std::ptrdiff_t>(root ? a.roots : a.locations.size());
  a.locations.insert(place, {*std::move(url), SafeField(answer->server)});
  a.roots += root ? 1 : 0;
  ++counts_.taken;
  return true;
}

std::map<IpAddress, UpnpDevice> DescribeHosts(const SsdpSearch& search, std::span<const IpAddress> hosts,
                                              platform::HttpFetcher* fetcher, std::int64_t deadline_ns) {
  std::vector<const std::pair<const IpAddress, SsdpSearch::Answer>*> asked;
  std::vector<platform::HttpGet> gets;
  for (const IpAddress& host : hosts) {
    const auto it = search.answers().find(host);
    if (it == search.answers().end() || std::find(asked.begin(), asked.end(), &*it) != asked.end()) continue;
    asked.push_back(&*it);
    for (const SsdpSearch::Location& l : it->second.locations) {
      gets.push_back({.address = l.url.host, .port = l.url.port, .interface_index = it->second.interface_index,
                      .target = l.url.target});
    }
  }
  std::map<IpAddress, UpnpDevice> devices;
  if (gets.empty()) return devices;
  const auto replies =
      fetcher->GetAll(gets, {.max_body_bytes = kMaxDescriptionBytes, .deadline_ns = deadline_ns});
  std::size_t next = 0;  // replies come in the order of gets: host by host, location by location
  for (const auto* host : asked) {
    for (const SsdpSearch::Location& l : host->second.locations) {
      const platform::HttpReply* reply = next < replies.size() ? &replies[next] : nullptr;
      ++next;
      if (devices.count(host->first) != 0 || !reply || !reply->status.ok() || reply->http_status != 200) continue;
      if (auto description = ParseDeviceDescription(reply->body)) {
        devices[host->first] = {*std::move(description), l.server};
      }
    }
  }
  return devices;
}

}  // namespace ps::names::upnp

#include "names/finder.h"

#include <algorithm>
#include <cerrno>

#include "names/dns_wire.h"
#include "names/netbios_wire.h"

namespace ps::names {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kListenSliceNs = 50 * kMs;  // how soon Finish() stops a listener
constexpr std::size_t kBuffer = 9000;              // larger datagrams are cut, then parsed
const char kServicesName[] = "_services._dns-sd._udp.local";

IpAddress Group(IpAddress::Family family) {
  return family == IpAddress::Family::kV4 ? *IpAddress::Parse("224.0.0.251")
                                          : *IpAddress::Parse("ff02::fb");
}

}  // namespace

bool InSubnet(const IpAddress& a, const OnLinkSubnet& s) {
  if (a.family() != s.network.family()) return false;
  for (int bit = 0; bit < s.prefix; ++bit) {
    const int mask = 0x80 >> (bit % 8);
    if ((a.data()[bit / 8] & mask) != (s.network.data()[bit / 8] & mask)) return false;
  }
  return true;
}

struct NameFinder::Socket {
  std::unique_ptr<platform::UdpSocket> socket;
  IpAddress::Family family;
  bool group = false;  // on port 5353, joined to the links' group
  std::thread listener;
};

NameFinder::NameFinder(platform::UdpOpener* udp, platform::MonotonicClock* clock,
                       FinderOptions options)
    : udp_(udp), clock_(clock), options_(std::move(options)), random_(std::random_device{}()) {}

NameFinder::~NameFinder() { Finish(0); }

std::vector<std::string> NameFinder::Start() {
  std::vector<std::string> problems;
  const bool mdns = (options_.sources & Bit(Source::kMdns)) != 0;
  for (const IpAddress::Family family : {IpAddress::Family::kV4, IpAddress::Family::kV6}) {
    const bool on_link = std::any_of(options_.subnets.begin(), options_.subnets.end(),
                                     [&](const OnLinkSubnet& s) { return s.network.family() == family; });
    for (const bool group : {false, true}) {
      if (group && !(mdns && on_link)) continue;
      platform::UdpOptions o{.family = family, .port = group ? kMdnsPort : std::uint16_t{0},
                             .share_port = group, .multicast_hops = 255};
      auto opened = udp_->Open(o);
      if (!opened.ok()) {
        // Without IPv6 nothing of it is asked; a busy 5353 only loses the
        // devices that answer nowhere but the group.
        if (family == IpAddress::Family::kV4 || group)
          problems.push_back(opened.status().ToString());
        continue;
      }
      auto s = std::make_unique<Socket>(Socket{std::move(opened).value(), family, group, {}});
      for (const OnLinkSubnet& sub : options_.subnets) {
        if (group && sub.network.family() == family) (void)s->socket->JoinGroup(Group(family), sub.interface_index);
      }
      sockets_.push_back(std::move(s));
    }
  }
  for (auto& s : sockets_) s->listener = std::thread([this, p = s.get()] { Listen(p); });
  ticker_ = std::thread([this] { Tick(); });
  return problems;
}

NameFinder::Socket* NameFinder::SocketFor(IpAddress::Family family, bool group) {
  Socket* found = nullptr;
  for (auto& s : sockets_) {
    if (s->family != family) continue;
    if (s->group == group) return s.get();
    found = s.get();  // the other kind serves when this one is missing
  }
  return found;
}

std::uint16_t NameFinder::NewId() {
  return static_cast<std::uint16_t>(std::uniform_int_distribution<int>(1, 0xFFFF)(random_));
}

std::uint32_t NameFinder::LinkOf(const IpAddress& host, std::uint32_t scope) const {
  if (IsLinkLocal(host)) return scope;
  for (const OnLinkSubnet& s : options_.subnets)
    if (InSubnet(host, s)) return s.interface_index;
  return 0;
}

void NameFinder::Ask(const IpAddress& host, std::uint32_t scope) {
  if (sockets_.empty()) return;
  std::lock_guard lock(mu_);
  const Key key{host, IsLinkLocal(host) ? scope : 0};
  auto [it, fresh] = hosts_.try_emplace(key);
  if (!fresh) return;
  Host& h = it->second;
  h.reverse = ReverseName(host);
  h.link = LinkOf(host, scope);
  h.asked_ns = clock_->NowNs();
  h.deadline_ns = h.asked_ns + options_.wait_ns;
  last_deadline_ = std::max(last_deadline_, h.deadline_ns);
  h.mdns_id = NewId();
  h.llmnr_id = NewId();
  h.netbios_id = NewId();
  if (const auto early = early_services_.find(key); early != early_services_.end()) {
    for (const std::string& type : early->second) h.info.AddService(type);
    early_services_.erase(early);
  }
  h.pending = options_.sources & (Bit(Source::kMdns) | Bit(Source::kLlmnr) |
                                  (host.is_v4() ? Bit(Source::kNetbios) : 0));
  SendUnicast(key, h);
  if (h.link == 0 || (options_.sources & Bit(Source::kMdns)) == 0) return;
  Link& link = links_[{h.link, static_cast<int>(host.family())}];
  link.family = host.family();
  link.index = h.link;
  Socket* s = SocketFor(host.family(), true);
  const DnsQuestion q{h.reverse, kTypePtr, kClassIn | kUnicastResponse};
  if (s != nullptr) {
    const auto query = EncodeQuery(h.mdns_id, std::span(&q, 1));
    (void)s->socket->SendTo(Group(host.family()), kMdnsPort, query, h.link);
  }
  Browse(link, kServicesName);
}

// The unicast queries still unanswered, each to the host's own port.
void NameFinder::SendUnicast(const Key& key, Host& h) {
  Socket* s = SocketFor(key.first.family(), false);
  if (s == nullptr) return;
  const DnsQuestion q{h.reverse, kTypePtr, kClassIn};
  if (h.pending & Bit(Source::kMdns))
    (void)s->socket->SendTo(key.first, kMdnsPort, EncodeQuery(h.mdns_id, std::span(&q, 1)), key.second);
  if (h.pending & Bit(Source::kLlmnr))
    (void)s->socket->SendTo(key.first, kLlmnrPort, EncodeQuery(h.llmnr_id, std::span(&q, 1)), key.second);
  if (h.pending & Bit(Source::kNetbios))
    (void)s->socket->SendTo(key.first, kNetbiosPort, EncodeNodeStatusQuery(h.netbios_id));
}

// One PTR query for `name` to the link's group, once per link.
void NameFinder::Browse(Link& link, const std::string& name) {
  if (!link.browsed.insert(name).second) return;
  Socket* s = SocketFor(link.family, true);
  if (s == nullptr) return;
  const std::uint16_t id = NewId();
  link.ids.insert(id);
  link.last_query_ns = clock_->NowNs();
  const DnsQuestion q{name, kTypePtr, kClassIn | kUnicastResponse};
  (void)s->socket->SendTo(Group(link.family), kMdnsPort, EncodeQuery(id, std::span(&q, 1)), link.index);
}

void NameFinder::Listen(Socket* s) {
  std::vector<std::uint8_t> buffer(kBuffer);
  while (!stop_.load()) {
    platform::UdpPeer peer;
    const int n = s->socket->Receive(buffer, &peer, clock_->NowNs() + kListenSliceNs);
    if (n < 0 && n != -ETIMEDOUT && n != -EINTR) return;  // the socket is gone
    if (n > 0) Handle(std::span(buffer.data(), static_cast<std::size_t>(n)), peer, s->group);
  }
}

// Resends what is unanswered once, a third of the wait in, and wakes Finish().
void NameFinder::Tick() {
  while (!stop_.load()) {
    {
      std::lock_guard lock(mu_);
      const std::int64_t now = clock_->NowNs();
      for (auto& [key, h] : hosts_) {
        if (h.resent || h.pending == 0 || now < h.asked_ns + options_.wait_ns / 3) continue;
        h.resent = true;
        SendUnicast(key, h);
      }
    }
    changed_.notify_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool NameFinder::AllDone(std::int64_t now) const {
  if (now >= last_deadline_) return true;
  for (const auto& [key, h] : hosts_)
    if (h.pending != 0 && now < h.deadline_ns) return false;
  // Browse answers have no end to wait for but the wait.
  for (const auto& [key, link] : links_)
    if (now < link.last_query_ns + options_.wait_ns / 2) return false;
  return true;
}

void NameFinder::Finish(std::int64_t cap_ns) {
  if (sockets_.empty() || stop_.load()) return;
  {
    std::unique_lock lock(mu_);
    while (!AllDone(clock_->NowNs()) && clock_->NowNs() < cap_ns)
      changed_.wait_for(lock, std::chrono::milliseconds(10));
  }
  stop_.store(true);
  for (auto& s : sockets_) s->listener.join();
  ticker_.join();
}

const HostInfo* NameFinder::Find(const IpAddress& host, std::uint32_t scope) const {
  std::lock_guard lock(mu_);
  const auto it = hosts_.find({host, IsLinkLocal(host) ? scope : 0});
  return it == hosts_.end() ? nullptr : &it->second.info;
}

}  // namespace ps::names

// The checks every answer passes before NameFinder believes it.
#include <algorithm>
#include <cctype>

#include "names/dns_wire.h"
#include "names/finder.h"
#include "names/netbios_wire.h"

namespace ps::names {
namespace {

const char kServicesName[] = "_services._dns-sd._udp.local";

// "_ipp._tcp" from "_ipp._tcp.local": a service type as DNS-SD writes one
// (RFC 6763, 7: "_" name of letters, digits and hyphens, then _tcp or _udp).
std::string ServiceType(std::string_view name) {
  constexpr std::string_view kLocal = ".local";
  if (name.size() <= kLocal.size() || !SameName(name.substr(name.size() - kLocal.size()), kLocal)) return "";
  const std::string_view type = name.substr(0, name.size() - kLocal.size());
  const std::size_t dot = type.find('.');
  if (type.size() < 2 || type[0] != '_' || dot == std::string_view::npos || dot > 16 || dot < 2) return "";
  const std::string_view proto = type.substr(dot + 1);
  if (proto != "_tcp" && proto != "_udp") return "";
  for (std::size_t i = 1; i < dot; ++i) {
    const char c = type[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-')) return "";
  }
  return std::string(type);
}

bool Asked(const DnsMessage& m, std::string_view name) {
  return std::any_of(m.questions.begin(), m.questions.end(), [&](const DnsQuestion& q) {
    return q.type == kTypePtr && (q.klass & 0x7FFF) == kClassIn && SameName(q.name, name);
  });
}

}  // namespace

void NameFinder::Handle(std::span<const std::uint8_t> bytes, const platform::UdpPeer& peer, bool group) {
  std::lock_guard lock(mu_);
  const std::uint32_t scope = IsLinkLocal(peer.from) ? peer.interface_index : 0;
  const auto it = hosts_.find({peer.from, scope});
  if (it == hosts_.end() && peer.from_port == kMdnsPort) {
    const std::uint32_t link = LinkOf(peer.from, scope);
    if (link != 0 && (peer.interface_index == 0 || peer.interface_index == link))
      HandleEarly({peer.from, scope}, link, bytes, group);
    return;
  }
  // Nobody else's word counts, nor a late one.
  if (it == hosts_.end() || peer.received_ns > it->second.deadline_ns) return;
  Host& h = it->second;
  if (h.link != 0 && peer.interface_index != 0 && peer.interface_index != h.link) return;
  switch (peer.from_port) {
    case kMdnsPort: HandleMdns(h, bytes, group); break;
    case kLlmnrPort: if (!group) HandleLlmnr(h, bytes); break;
    case kNetbiosPort: if (!group && peer.from.is_v4()) HandleNetbios(h, bytes); break;
    default: return;
  }
  changed_.notify_all();
}

// Unicast answers (to the port a query left from) echo its id and question;
// multicast ones carry neither, so only records about what was asked of this
// very host count: its reverse name, and the link's browse names.
void NameFinder::HandleMdns(Host& h, std::span<const std::uint8_t> bytes, bool group) {
  const std::optional<DnsMessage> m = ParseMessage(bytes);
  if (!m || !m->is_response() || m->rcode() != 0) return;
  Link* link = nullptr;
  if (h.link != 0) {
    const auto l = links_.find({h.link, static_cast<int>(h.reverse.ends_with("ip6.arpa") ? IpAddress::Family::kV6 : IpAddress::Family::kV4)});
    if (l != links_.end()) link = &l->second;
  }
  const bool our_id = m->id == h.mdns_id || (link != nullptr && link->ids.count(m->id) != 0);
  if (!group && !our_id) return;
  for (const DnsRecord& r : m->records) {
    if (r.type != kTypePtr || r.klass != kClassIn || (!group && !Asked(*m, r.name))) continue;
    if (SameName(r.name, h.reverse) && (options_.sources & Bit(Source::kMdns))) {
      if (h.info.name(Source::kMdns).empty()) h.info.name(Source::kMdns) = Bounded(r.target);
      h.pending &= ~Bit(Source::kMdns);
      continue;
    }
    if (link == nullptr || link->browsed.count(r.name) == 0) continue;  // not asked on its link
    if (SameName(r.name, kServicesName)) {
      const std::string type = ServiceType(r.target);
      if (type.empty()) continue;
      h.info.AddService(type);
      Browse(*link, type + ".local");
    } else if (const std::string type = ServiceType(r.name); !type.empty()) {
      h.info.AddService(type);
    }
  }
}

// A browse answer from an on-link host not asked yet: its service types,
// kept (bounded) for when it answers the sweep.
void NameFinder::HandleEarly(const Key& key, std::uint32_t link_index, std::span<const std::uint8_t> bytes,
                             bool group) {
  constexpr std::size_t kMaxEarlyHosts = 4096;
  const auto l = links_.find({link_index, static_cast<int>(key.first.family())});
  const std::optional<DnsMessage> m = ParseMessage(bytes);
  if (l == links_.end() || !m || !m->is_response() || m->rcode() != 0) return;
  Link& link = l->second;
  if (!group && link.ids.count(m->id) == 0) return;
  if (early_services_.size() >= kMaxEarlyHosts && early_services_.count(key) == 0) return;
  for (const DnsRecord& r : m->records) {
    if (r.type != kTypePtr || r.klass != kClassIn || link.browsed.count(r.name) == 0 ||
        (!group && !Asked(*m, r.name))) {
      continue;
    }
    const std::string type = SameName(r.name, kServicesName) ? ServiceType(r.target) : ServiceType(r.name);
    if (type.empty()) continue;
    std::vector<std::string>& types = early_services_[key];
    if (types.size() < kMaxServices && std::find(types.begin(), types.end(), type) == types.end())
      types.push_back(type);
    if (SameName(r.name, kServicesName)) Browse(link, type + ".local");
  }
}

void NameFinder::HandleLlmnr(Host& h, std::span<const std::uint8_t> bytes) {
  const std::optional<DnsMessage> m = ParseMessage(bytes);
  if (!m || !m->is_response() || m->rcode() != 0 || m->id != h.llmnr_id ||
      m->questions.size() != 1 || !Asked(*m, h.reverse) || !(h.pending & Bit(Source::kLlmnr))) {
    return;
  }
  for (const DnsRecord& r : m->records) {
    if (r.type == kTypePtr && r.klass == kClassIn && SameName(r.name, h.reverse) && !r.target.empty()) {
      h.info.name(Source::kLlmnr) = Bounded(r.target);
      break;
    }
  }
  h.pending &= ~Bit(Source::kLlmnr);
}

void NameFinder::HandleNetbios(Host& h, std::span<const std::uint8_t> bytes) {
  const std::optional<NodeStatus> status = ParseNodeStatus(bytes);
  if (!status || status->id != h.netbios_id || !(h.pending & Bit(Source::kNetbios))) return;
  h.info.name(Source::kNetbios) = Bounded(status->machine(), 15);
  h.info.workgroup = Bounded(status->workgroup(), 15);
  h.info.netbios_mac = status->mac;
  h.info.netbios_server = std::any_of(status->names.begin(), status->names.end(),
                                      [](const NetbiosName& n) { return !n.group && n.suffix == 0x20; });
  h.pending &= ~Bit(Source::kNetbios);
}

}  // namespace ps::names

#include "cli/sweep/name_lookups.h"

#include <algorithm>

#include "names/kind_table.h"
#include "platform/http/http_fetch.h"
#include "platform/inet/udp_io.h"

namespace ps::cli {
namespace {

using names::Source;

// The directly connected subnets on links that carry multicast; with
// `link_local`, IPv6 link-local on every such link too.
std::vector<names::OnLinkSubnet> OnLinkSubnets(platform::InterfaceTable* interfaces, bool link_local) {
  std::vector<names::OnLinkSubnet> out;
  const std::vector<platform::MulticastLink> links = interfaces->MulticastLinks();
  for (const platform::ConnectedSubnet& s : interfaces->ConnectedSubnets()) {
    const auto link = std::find_if(links.begin(), links.end(),
                                   [&](const platform::MulticastLink& l) { return l.name == s.interface; });
    if (s.loopback || link == links.end()) continue;
    out.push_back({s.network, s.prefix, static_cast<std::uint32_t>(link->index)});
  }
  if (link_local) {
    for (const platform::MulticastLink& l : links)
      out.push_back({*IpAddress::Parse("fe80::"), 10, static_cast<std::uint32_t>(l.index)});
  }
  return out;
}

// Why SSDP names cannot be had here; empty when they can.
std::string WhySsdpUnavailable(const platform::SweepPlatform& platform) {
  return platform.http == nullptr ? std::string() : platform.http->WhyUnavailable();
}

}  // namespace

bool RefuseUnavailableNames(const Options& o, const platform::SweepPlatform& platform,
                            std::ostream& err, const std::string& prefix) {
  if (!o.names_asked || o.numeric || (o.name_sources & names::Bit(Source::kSsdp)) == 0) return false;
  const std::string why = WhySsdpUnavailable(platform);
  if (why.empty()) return false;
  err << prefix << "--names ssdp is not available on this system: " << why << "\n";
  return true;
}

NameLookups::NameLookups(const Options& o, const platform::SweepPlatform& platform, int threads,
                         bool link_local)
    : platform_(platform),
      wait_ns_(static_cast<std::int64_t>(o.name_wait_ms) * 1'000'000),
      clock_(platform.clock),
      sources_(o.name_sources) {
  // By default a source that cannot work here is left out (an asked one is
  // refused before: RefuseUnavailableNames).
  if (!WhySsdpUnavailable(platform).empty()) sources_ &= ~names::Bit(Source::kSsdp);
  if (sources_ & names::Bit(Source::kDns))
    dns_ = std::make_unique<sweep::NamePool>(platform.resolver, threads);
  if (platform.udp == nullptr) return;
  gateways_ = platform.udp->DefaultGateways();
  subnets_ = OnLinkSubnets(platform.interfaces, link_local);
  if (link_local) StartSsdp([](const IpAddress& a) { return names::IsLinkLocal(a); }, subnets_);
  constexpr unsigned kAsked = names::Bit(Source::kMdns) | names::Bit(Source::kNetbios) |
                              names::Bit(Source::kLlmnr);
  if ((sources_ & kAsked) == 0) return;
  names::FinderOptions fo;
  fo.sources = sources_;
  fo.wait_ns = wait_ns_;
  fo.subnets = subnets_;
  finder_ = std::make_unique<names::NameFinder>(platform.udp, platform.clock, fo);
  // A port that cannot be had loses only what needs it (see Start()).
  (void)finder_->Start();
}

void NameLookups::StartSsdp(std::function<bool(const IpAddress&)> is_target,
                            const std::vector<names::OnLinkSubnet>& carrying) {
  if ((sources_ & names::Bit(Source::kSsdp)) == 0 || platform_.udp == nullptr || ssdp_) return;
  std::vector<names::upnp::SsdpLink> links;
  for (const names::OnLinkSubnet& s : carrying) {
    const names::upnp::SsdpLink link{s.interface_index, s.network.family()};
    if (std::find(links.begin(), links.end(), link) == links.end()) links.push_back(link);
  }
  if (links.empty()) return;
  ssdp_ = std::make_unique<names::SsdpNames>(platform_.udp, platform_.http, clock_, std::move(is_target));
  // Devices answer within MX (1 s); a little more for the datagrams' way.
  ssdp_->Start(links, 1'100'000'000);
}

void NameLookups::SetTargets(std::span<const IpAddress> targets) {
  std::vector<names::OnLinkSubnet> carrying;
  for (const names::OnLinkSubnet& s : subnets_) {
    const auto first = std::lower_bound(targets.begin(), targets.end(), s.network);
    if (first != targets.end() && names::InSubnet(*first, s)) carrying.push_back(s);
  }
  StartSsdp([targets](const IpAddress& a) { return std::binary_search(targets.begin(), targets.end(), a); },
            carrying);
}

NameLookups::~NameLookups() = default;

void NameLookups::Request(const IpAddress& address, int scope_id) {
  if (dns_) dns_->Request(address, scope_id);
  if (finder_) finder_->Ask(address, static_cast<std::uint32_t>(scope_id));
  if (ssdp_) ssdp_->Add(address);
}

void NameLookups::Wait(std::chrono::steady_clock::duration dns_wait, bool interrupted,
                       std::ostream& err, const std::string& prefix) {
  if (finder_) finder_->Finish(interrupted ? 0 : clock_->NowNs() + 10'000'000'000);
  if (ssdp_) ssdp_->Finish(interrupted ? 0 : clock_->NowNs() + wait_ns_);
  if (dns_ && !dns_->WaitAll(std::chrono::steady_clock::now() + dns_wait))
    err << prefix << "some names were not found in time; those hosts are shown without one\n";
}

void NameLookups::Fill(HostLine* line, int scope_id) const {
  line->name.clear();
  line->name_source.clear();
  line->names.clear();
  line->services.clear();
  line->model.clear();
  line->kind.clear();
  line->workgroup.clear();
  if (sources_ == 0) return;
  names::HostInfo info;
  if (finder_) {
    if (const names::HostInfo* found = finder_->Find(line->result.address, static_cast<std::uint32_t>(scope_id)))
      info = *found;
  }
  if (dns_) info.name(Source::kDns) = dns_->Name(line->result.address, scope_id);
  if (const names::upnp::UpnpDevice* d = ssdp_ ? ssdp_->Find(line->result.address) : nullptr) {
    info.name(Source::kSsdp) = d->description.friendly_name;
    info.model = d->description.model_name;
    info.manufacturer = d->description.manufacturer;
    info.device_type = d->description.device_type;
  }
  for (int i = 0; i < names::kSources; ++i) {
    const auto s = static_cast<Source>(i);
    if (info.name(s).empty()) continue;
    if (line->name.empty()) {
      line->name = info.name(s);
      line->name_source = std::string(names::SourceWord(s));
    }
    line->names.emplace_back(names::SourceWord(s), info.name(s));
  }
  // Beyond a router no neighbour entry gives the MAC; the host's own NetBIOS
  // answer may.
  if (line->mac.empty() && info.netbios_mac) line->mac = info.netbios_mac->ToString();
  line->services = info.services;
  line->model = info.model;
  line->workgroup = info.workgroup;
  if (line->result.outcome != sweep::Outcome::kAnswered) return;
  const bool gateway =
      std::find(gateways_.begin(), gateways_.end(), line->result.address) != gateways_.end();
  line->kind = std::string(names::KindOf({gateway, &info.services, info.device_type, line->vendor,
                                          !info.name(Source::kNetbios).empty(), info.netbios_server}));
}

}  // namespace ps::cli

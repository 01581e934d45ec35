#include "cli/sweep/name_lookups.h"

#include <algorithm>

#include "names/kind_table.h"
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

}  // namespace

NameLookups::NameLookups(const Options& o, const platform::SweepPlatform& platform, int threads,
                         bool link_local)
    : clock_(platform.clock), sources_(o.name_sources) {
  if (sources_ & names::Bit(Source::kDns))
    dns_ = std::make_unique<sweep::NamePool>(platform.resolver, threads);
  constexpr unsigned kAsked = names::Bit(Source::kMdns) | names::Bit(Source::kNetbios) |
                              names::Bit(Source::kLlmnr);
  if (platform.udp == nullptr || (sources_ & kAsked) == 0) return;
  gateways_ = platform.udp->DefaultGateways();
  names::FinderOptions fo;
  fo.sources = sources_;
  fo.wait_ns = static_cast<std::int64_t>(o.name_wait_ms) * 1'000'000;
  fo.subnets = OnLinkSubnets(platform.interfaces, link_local);
  finder_ = std::make_unique<names::NameFinder>(platform.udp, platform.clock, fo);
  // A port that cannot be had loses only what needs it (see Start()).
  (void)finder_->Start();
}

NameLookups::~NameLookups() = default;

void NameLookups::Request(const IpAddress& address, int scope_id) {
  if (dns_) dns_->Request(address, scope_id);
  if (finder_) finder_->Ask(address, static_cast<std::uint32_t>(scope_id));
}

void NameLookups::Wait(std::chrono::steady_clock::duration dns_wait, bool interrupted,
                       std::ostream& err, const std::string& prefix) {
  if (finder_) finder_->Finish(interrupted ? 0 : clock_->NowNs() + 10'000'000'000);
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
  for (int i = 0; i < names::kSources; ++i) {
    const auto s = static_cast<Source>(i);
    if (info.name(s).empty()) continue;
    if (line->name.empty()) {
      line->name = info.name(s);
      line->name_source = std::string(names::SourceWord(s));
    }
    line->names.emplace_back(names::SourceWord(s), info.name(s));
  }
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

#include "cli/sweep/link_local_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli/sweep/check.h"
#include "cli/sweep/lan.h"
#include "cli/sweep/output.h"
#include "core/terminal_text.h"
#include "lan/link_local.h"
#include "sweep/name_pool.h"

namespace ps::cli {
namespace {

std::atomic<sweep::LinkLocalDiscovery*> g_discovery{nullptr};
std::atomic<bool> g_stopped{false};

}  // namespace

void StopLinkLocal() {
  g_stopped.store(true);
  if (sweep::LinkLocalDiscovery* d = g_discovery.load()) d->Stop();
}

int RunLinkLocal(const Options& o, const platform::SweepPlatform& platform, const Streams& streams,
                 const std::string& prefix) {
  std::ostream& err = *streams.err;
  if (!o.files.empty() || !o.excludes.empty()) {
    err << prefix << "--link-local takes interface names, not target files or exclusions\n";
    return kUsage;
  }
  std::vector<std::string> wanted = o.link_local_interfaces;
  wanted.insert(wanted.end(), o.targets.begin(), o.targets.end());
  const std::vector<platform::MulticastLink> available = platform.interfaces->MulticastLinks();
  std::vector<platform::MulticastLink> links;
  for (const std::string& name : wanted) {
    const auto it = std::find_if(available.begin(), available.end(),
                                 [&](const platform::MulticastLink& l) { return l.name == name; });
    if (it == available.end()) {
      err << prefix << QuoteText(name)
          << ": no interface of that name is up and carries multicast\n";
      return kUsage;
    }
    if (std::none_of(links.begin(), links.end(),
                     [&](const platform::MulticastLink& l) { return l.index == it->index; })) {
      links.push_back(*it);
    }
  }
  if (wanted.empty()) links = available;
  if (links.empty()) {
    err << prefix << "no interface that is up carries multicast: nothing to discover on\n";
    return kNoneAnswered;
  }

  SocketChoice choice = OpenIcmpSocket(platform.icmp, IpAddress::Family::kV6);
  if (!choice.socket) {
    if (PermissionDenied(choice)) {
      err << prefix << "no permission to send ICMPv6 echo requests: this user may open neither an "
                       "ICMPv6 datagram socket nor a raw socket.\n"
          << PermissionFixes(platform.icmp->PermissionFacts());
      return kNoPermission;
    }
    err << prefix << "cannot open an ICMPv6 socket: "
        << std::strerror(choice.datagram_error != 0 ? choice.datagram_error : choice.raw_error) << "\n";
    return kSystemFailure;
  }
  std::string names_text;
  for (const auto& l : links) names_text += (names_text.empty() ? "" : ", ") + EscapeText(l.name);
  sweep::LinkLocalDiscovery discovery(platform.clock, choice.socket.get(), platform.neighbours, links,
                                      static_cast<std::int64_t>(o.timeout_ms) * 1000000);
  g_discovery.store(&discovery);
  if (g_stopped.load()) discovery.Stop();
  const sweep::LinkLocalSummary summary = discovery.Run();
  g_discovery.store(nullptr);
  g_stopped.store(false);
  for (const auto& [link, error] : summary.send_errors)
    err << prefix << EscapeText(link.name)
        << ": the echo request to ff02::1 failed: " << std::strerror(error) << "\n";

  std::unique_ptr<sweep::NamePool> names;
  if (!o.numeric) {
    names = std::make_unique<sweep::NamePool>(platform.resolver, 8);
    for (const auto& h : discovery.hosts()) names->Request(h.result.address, h.link.index);
    names->WaitAll(std::chrono::steady_clock::now() + std::chrono::seconds(summary.interrupted ? 1 : 5));
  }
  MacBook vendors(nullptr);
  std::vector<HostLine> lines;
  for (const sweep::LinkLocalHost& h : discovery.hosts()) {
    HostLine line{h.result, names ? names->Name(h.result.address, h.link.index) : "", "", "",
                  h.link.name};
    if (h.has_mac) {
      const MacAddress mac{h.mac};
      line.mac = mac.ToString();
      line.vendor = vendors.Vendor(mac, err, prefix);
    }
    lines.push_back(std::move(line));
  }
  WriteHosts(*streams.out, o.format, lines, 1);
  char text[256];
  std::snprintf(text, sizeof(text), "%llu hosts answered on %s in %.2f s%s",
                static_cast<unsigned long long>(summary.answered), names_text.c_str(),
                summary.elapsed_ns / 1e9, summary.interrupted ? " (interrupted)" : "");
  (o.format == Format::kText ? *streams.out : err) << text << "\n";
  streams.out->flush();
  if (summary.system_error != 0) {
    err << prefix << "the ICMPv6 socket failed: " << std::strerror(summary.system_error) << "\n";
    return kSystemFailure;
  }
  if (summary.interrupted) return kInterrupted;
  return summary.answered > 0 ? kAnswered : kNoneAnswered;
}

}  // namespace ps::cli

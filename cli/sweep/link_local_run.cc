#include "cli/sweep/link_local_run.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/terminal_text.h"
#include "lan/link_local.h"

namespace ps::cli {
namespace {

constexpr int kNameThreads = 8;

// The interfaces named (as --link-local=IFACE or as targets), each once, or
// every one that carries multicast when none is named.
std::optional<int> ChooseLinks(const RunContext& run, std::vector<platform::MulticastLink>* links) {
  const Options& o = run.options;
  if (!o.files.empty() || !o.excludes.empty()) {
    run.err() << run.prefix
              << "--link-local takes interface names, not target files or exclusions\n";
    return kUsage;
  }
  std::vector<std::string> wanted = o.link_local_interfaces;
  wanted.insert(wanted.end(), o.targets.begin(), o.targets.end());
  const std::vector<platform::MulticastLink> available = run.platform.interfaces->MulticastLinks();
  for (const std::string& name : wanted) {
    const auto it = std::find_if(available.begin(), available.end(),
                                 [&](const platform::MulticastLink& l) { return l.name == name; });
    if (it == available.end()) {
      run.err() << run.prefix << QuoteText(name)
                << ": no interface of that name is up and carries multicast\n";
      return kUsage;
    }
    if (std::none_of(links->begin(), links->end(),
                     [&](const platform::MulticastLink& l) { return l.index == it->index; })) {
      links->push_back(*it);
    }
  }
  if (wanted.empty()) *links = available;
  if (links->empty()) {
    run.err() << run.prefix
              << "no interface that is up carries multicast: nothing to discover on\n";
    return kNoneAnswered;
  }
  return std::nullopt;
}

// "N hosts answered on eth0, wlan0 in T s".
std::string SummaryText(const sweep::LinkLocalSummary& summary,
                        const std::vector<platform::MulticastLink>& links) {
  std::string names;
  for (const auto& l : links) names += (names.empty() ? "" : ", ") + EscapeText(l.name);
  char text[256];
  std::snprintf(text, sizeof(text), "%llu hosts answered on %s in %.2f s",
                static_cast<unsigned long long>(summary.answered), names.c_str(),
                summary.elapsed_ns / 1e9);
  return text;
}

// Every host that answered, with its name, MAC and vendor, and the summary.
RunEnd Collect(const RunContext& run, const sweep::LinkLocalDiscovery& discovery,
               const sweep::LinkLocalSummary& summary,
               const std::vector<platform::MulticastLink>& links, const NameLookups* names) {
  RunEnd end;
  VendorNames vendors;
  for (const sweep::LinkLocalHost& h : discovery.hosts()) {
    const MacAddress mac{h.mac};
    end.lines.push_back(
        MakeLine(h.result, names, h.has_mac ? &mac : nullptr, &vendors, run, h.link.index));
    end.lines.back().zone = h.link.name;
  }
  end.summary = SummaryText(summary, links);
  end.answered = summary.answered;
  end.interrupted = summary.interrupted;
  end.failure = summary.socket_status;
  return end;
}

}  // namespace

int RunLinkLocal(const RunContext& run) {
  if (const std::string why = run.platform.icmp->MulticastEchoRefusal(); !why.empty()) {
    run.err() << run.prefix << "--link-local is not available on this system: " << why << "\n";
    return kSystemFailure;
  }
  std::vector<platform::MulticastLink> links;
  if (auto exit = ChooseLinks(run, &links)) return *exit;
  std::vector<std::unique_ptr<platform::IcmpSocket>> sockets;
  const IpAddress::Family v6[] = {IpAddress::Family::kV6};
  if (auto exit = OpenSockets(run, v6, &sockets)) return *exit;

  sweep::LinkLocalDiscovery discovery(run.platform.clock, sockets.front().get(),
                                      run.platform.neighbours, links,
                                      static_cast<std::int64_t>(run.options.timeout_ms) * 1000000);
  sweep::LinkLocalSummary summary;
  {
    InterruptScope scope(&discovery);
    summary = discovery.Run();
  }
  for (const auto& [link, failure] : summary.send_errors)
    run.err() << run.prefix << EscapeText(link.name) << ": " << failure.ToString() << "\n";

  std::unique_ptr<NameLookups> names = StartNames(run, kNameThreads);
  for (const auto& h : discovery.hosts()) {
    if (names) names->Request(h.result.address, h.link.index);
  }
  WaitForNames(run, names.get(), summary.interrupted);
  return Finish(run, Collect(run, discovery, summary, links, names.get()));
}

}  // namespace ps::cli

#include "cli/sweep/run.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <iostream>

#include "cli/sweep/check.h"
#include "cli/sweep/checked_output.h"
#include "cli/sweep/lan.h"
#include "cli/sweep/link_local_run.h"
#include "cli/sweep/output.h"
#include "core/terminal_text.h"
#include "sweep/engine.h"
#include "sweep/name_pool.h"
#include "sweep/targets.h"

namespace ps::cli {
namespace {

std::atomic<sweep::Sweep*> g_sweep{nullptr};
std::atomic<bool> g_interrupted{false};

constexpr int kNameThreads = 16;

// The progress line on a terminal: sent, answered, rate, time left.
class Progress : public sweep::SweepObserver {
 public:
  Progress(const Streams& s, sweep::NamePool* names, MacBook* macs)
      : streams_(s), names_(names), macs_(macs) {}
  ~Progress() override { Clear(); }

  void OnAnswer(const sweep::HostResult& r) override {
    if (names_ != nullptr) names_->Request(r.address);
  }

  void OnProgress(const sweep::SweepProgress& p) override {
    macs_->Poll();
    if (!streams_.err_is_terminal) return;
    constexpr int kWidth = 24;
    const double done = p.targets == 0 ? 1 : static_cast<double>(p.finished) / p.targets;
    const int filled = static_cast<int>(done * kWidth);
    const double rate = p.elapsed_ns > 0 ? p.sent * 1e9 / p.elapsed_ns : 0;
    char line[160];
    std::snprintf(line, sizeof(line), "\r[%s%s] %llu sent, %llu answered, %.0f/s, %.0f s left\033[K",
                  std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(),
                  static_cast<unsigned long long>(p.sent),
                  static_cast<unsigned long long>(p.answered), rate,
                  std::ceil(p.remaining_ns / 1e9));
    *streams_.err << line << std::flush;
    shown_ = true;
  }

  void Clear() {
    if (shown_) *streams_.err << "\r\033[K" << std::flush;
    shown_ = false;
  }

 private:
  const Streams& streams_;
  sweep::NamePool* names_;
  MacBook* macs_;
  bool shown_ = false;
};

// Every connected subnet but loopback, each capped at a /16.
std::string AddConnectedSubnets(const platform::SweepPlatform& platform, sweep::TargetList* list) {
  std::string chosen;
  for (const platform::ConnectedSubnet& s : platform.interfaces->ConnectedSubnets()) {
    if (s.loopback || !s.network.is_v4()) continue;
    const int prefix = std::max(s.prefix, 16);
    const std::uint32_t mask = ~0u << (32 - prefix);
    const IpAddress network = IpAddress::V4(s.local.v4() & mask);
    list->AddBlock(network, prefix);
    chosen += (chosen.empty() ? "" : ", ") + network.ToString() + "/" + std::to_string(prefix) +
              " (" + EscapeText(s.interface) + (prefix != s.prefix ? ", capped at /16" : "") + ")";
  }
  return chosen;
}

std::string ReadTargets(const Options& o, const Streams& streams, sweep::TargetList* list) {
  for (const std::string& e : o.excludes) {
    const std::string error = list->Exclude(e);
    if (!error.empty()) return "--exclude " + error;
  }
  for (const std::string& t : o.targets) {
    const std::string error = t == "-" ? list->AddLines(*streams.in, "standard input") : list->Add(t);
    if (!error.empty()) return error;
  }
  for (const std::string& f : o.files) {
    if (f == "-") {
      const std::string error = list->AddLines(*streams.in, "standard input");
      if (!error.empty()) return error;
      continue;
    }
    std::ifstream in(f);
    if (!in) return QuoteText(f) + ": cannot read: " + std::strerror(errno);
    const std::string error = list->AddLines(in, f);
    if (!error.empty()) return error;
  }
  return "";
}

// Folds the ARP answers into the results (one per target, in target order)
// and the summary; ARP replies give the hosts' MACs.
void MergeArp(const ArpStage& arp, const std::vector<IpAddress>& targets,
              std::vector<sweep::HostResult>* results, MacBook* macs,
              sweep::SweepSummary* summary) {
  for (const auto& [address, a] : arp.answers()) {
    const auto at = std::lower_bound(targets.begin(), targets.end(), address);
    sweep::HostResult& r = (*results)[static_cast<std::size_t>(at - targets.begin())];
    if (r.outcome != sweep::Outcome::kAnswered) {
      r.outcome = sweep::Outcome::kAnswered;
      r.sent = a.sent;
      r.received = 1;
      r.rtt_min_ns = r.rtt_max_ns = r.rtt_sum_ns = a.rtt_ns;
    }
    r.duplicates += a.duplicates;
    macs->Add(address, a.mac);
  }
  summary->targets = targets.size();
  summary->answered = summary->errors = 0;
  for (const sweep::HostResult& r : *results) {
    summary->answered += r.outcome == sweep::Outcome::kAnswered;
    summary->errors += r.outcome == sweep::Outcome::kError;
  }
  summary->sent += arp.totals().sent;
  summary->replies += arp.totals().answered;
  summary->duplicates += arp.totals().duplicates;
  summary->ignored += arp.totals().ignored;
  summary->interrupted = summary->interrupted || arp.totals().interrupted;
}

}  // namespace

void Interrupt() {
  g_interrupted.store(true);
  if (sweep::Sweep* s = g_sweep.load()) s->Stop();
  StopLinkLocal();
}

namespace {

int RunUnchecked(const Options& o, const platform::SweepPlatform& platform,
                 const Streams& streams, const std::string& program) {
  std::ostream& err = *streams.err;
  const std::string prefix = program + ": ";
  if (o.help) {
    *streams.out << HelpText(program);
    return kAnswered;
  }
  if (o.version) {
    *streams.out << VersionText();
    return kAnswered;
  }
  if (o.check) {
    bool usable = false;
    *streams.out << CheckReport(platform.icmp, &usable) << ArpCheckLine(platform);
    return usable ? kAnswered : kNoPermission;
  }

  if (o.link_local) return RunLinkLocal(o, platform, streams, prefix);

  sweep::TargetList list(platform.resolver);
  list.set_rules(sweep::TargetRules{o.all_addresses, o.allow_large});
  if (const std::string error = ReadTargets(o, streams, &list); !error.empty()) {
    err << prefix << error << "\n";
    return kUsage;
  }
  const std::vector<platform::ConnectedSubnet> subnets = platform.interfaces->ConnectedSubnets();
  if (o.targets.empty() && o.files.empty()) {
    const std::string chosen = AddConnectedSubnets(platform, &list);
    if (chosen.empty()) {
      err << prefix << "no target given, and no interface that is up has an IPv4 subnet\n";
      return kUsage;
    }
    err << prefix << "no target given: sweeping " << chosen << "\n";
  }
  std::vector<IpAddress> targets;
  if (const std::string error = list.Expand(&targets); !error.empty()) {
    err << prefix << error << "\n";
    return kUsage;
  }
  if (targets.empty()) {
    err << prefix
        << (o.excludes.empty() ? "no address to probe: the targets given hold none\n"
                               : "no address left to probe after the exclusions\n");
    return kUsage;
  }

  ArpStage arp;
  if (const int code = arp.Prepare(o, platform, targets, err, prefix); code >= 0) return code;
  // One ICMP socket and one sweep per family, IPv4 first (the targets' order).
  std::vector<IpAddress> icmp_targets = arp.icmp_targets();
  const auto first_v6 = std::find_if(icmp_targets.begin(), icmp_targets.end(),
                                     [](const IpAddress& a) { return !a.is_v4(); });
  std::vector<std::vector<IpAddress>> groups;
  if (first_v6 != icmp_targets.begin()) groups.emplace_back(icmp_targets.begin(), first_v6);
  if (first_v6 != icmp_targets.end()) groups.emplace_back(first_v6, icmp_targets.end());
  std::vector<std::unique_ptr<platform::IcmpSocket>> sockets;
  for (const auto& group : groups) {
    SocketChoice choice = OpenIcmpSocket(platform.icmp, group.front().family());
    const char* what = group.front().is_v4() ? "ICMP" : "ICMPv6";
    if (!choice.socket) {
      if (PermissionDenied(choice)) {
        err << prefix << "no permission to send " << what << " echo requests: this user may open "
            << "neither an " << what << " datagram socket nor a raw socket.\n"
            << PermissionFixes(platform.icmp->PermissionFacts());
        return kNoPermission;
      }
      err << prefix << "cannot open an " << what << " socket: "
          << std::strerror(choice.datagram_error != 0 ? choice.datagram_error : choice.raw_error)
          << "\n";
      return kSystemFailure;
    }
    sockets.push_back(std::move(choice.socket));
  }
  // Every socket is open: nothing below needs a privilege.
  if (std::string why; platform.privileges != nullptr && !platform.privileges->DropAll(&why))
    err << prefix << "could not give up the capabilities it holds: " << why << "\n";

  std::unique_ptr<sweep::NamePool> names;
  if (!o.numeric) names = std::make_unique<sweep::NamePool>(platform.resolver, kNameThreads);
  MacBook macs(platform.neighbours);
  const std::int64_t start = platform.clock->NowNs();
  arp.Run(platform.clock, o, &g_interrupted);
  for (const auto& [address, answer] : arp.answers()) {
    if (names) names->Request(address);
  }

  sweep::SweepSummary summary;
  // One per target, in target order (sorted); ARP targets start silent.
  std::vector<sweep::HostResult> results(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    results[i].address = targets[i];
    results[i].sent = arp.Probes(targets[i]) ? arp.tries() : 0;
  }
  sweep::SweepOptions so;
  so.timeout_ns = static_cast<std::int64_t>(o.timeout_ms) * 1000000;
  so.retries = o.retries;
  so.count = o.count;
  so.interval_ns = static_cast<std::int64_t>(o.interval_ms) * 1000000;
  so.rate = o.rate;
  for (std::size_t g = 0; g < groups.size() && !summary.interrupted && summary.system_error == 0;
       ++g) {
    sweep::Sweep sweep(platform.clock, sockets[g].get(), platform.neighbours, std::move(groups[g]),
                       subnets, so);
    if (const double seconds = sweep.ExpectedOnLinkSeconds(); seconds > 0) {
      err << prefix << sweep.on_link_count() << " of the targets are on a directly connected subnet. "
          << "Each takes an entry in the kernel's neighbour table, which holds "
          << sweep.window().limit() << " for the whole machine, so they go out as room frees up: "
          << "expect up to about " << static_cast<long long>(std::ceil(seconds)) << " s.";
      if (sweep.results().front().address.is_v4()) {
        err << " ARP probing (needs CAP_NET_RAW: sudo setcap cap_net_raw+ep "
            << EscapeText(platform.icmp->PermissionFacts().program_path)
            << ") is not held back this way.";
      }
      err << "\n";
    }
    Progress progress(streams, names.get(), &macs);
    g_sweep.store(&sweep);
    if (g_interrupted.load()) sweep.Stop();
    const sweep::SweepSummary part = sweep.Run(&progress);
    g_sweep.store(nullptr);
    summary.sent += part.sent;
    summary.replies += part.replies;
    summary.duplicates += part.duplicates;
    summary.ignored += part.ignored;
    summary.interrupted = summary.interrupted || part.interrupted;
    if (summary.system_error == 0) summary.system_error = part.system_error;
    progress.Clear();
    for (const sweep::HostResult& r : sweep.results()) {
      const auto at = std::lower_bound(targets.begin(), targets.end(), r.address);
      results[static_cast<std::size_t>(at - targets.begin())] = r;
    }
  }
  g_interrupted.store(false);
  macs.Poll();
  MergeArp(arp, targets, &results, &macs, &summary);
  summary.elapsed_ns = platform.clock->NowNs() - start;
  if (names) {
    const auto wait = summary.interrupted ? std::chrono::seconds(1) : std::chrono::seconds(5);
    if (!names->WaitAll(std::chrono::steady_clock::now() + wait))
      err << prefix << "some names were not found in time; those hosts are shown without one\n";
  }

  std::vector<HostLine> lines;
  for (const sweep::HostResult& r : results) {
    if (!o.all && r.outcome != sweep::Outcome::kAnswered) continue;
    const IpAddress& address = r.address;
    HostLine line{r, names ? names->Name(r.address) : "", "", "", ""};
    const MacAddress* mac = r.outcome == sweep::Outcome::kAnswered ? macs.Find(address) : nullptr;
    if (mac != nullptr) {
      line.mac = mac->ToString();
      line.vendor = macs.Vendor(*mac, err, prefix);
    }
    lines.push_back(std::move(line));
  }
  WriteHosts(*streams.out, o.format, lines, o.count);
  std::string line = SummaryLine(summary);
  if (summary.interrupted) line += " (interrupted)";
  (o.format == Format::kText ? *streams.out : err) << line << "\n";
  streams.out->flush();
  if (summary.system_error != 0 || arp.totals().system_error != 0) {
    const bool icmp_failed = summary.system_error != 0;
    err << prefix << (icmp_failed ? "the ICMP socket failed: " : "the ARP socket failed: ")
        << std::strerror(icmp_failed ? summary.system_error : arp.totals().system_error) << "\n";
    return kSystemFailure;
  }
  if (summary.interrupted) return kInterrupted;
  return summary.answered > 0 ? kAnswered : kNoneAnswered;
}

}  // namespace

int Run(const Options& o, const platform::SweepPlatform& platform, const Streams& streams,
        const std::string& program) {
  // What could not be written is a failure, whatever was found.
  CheckedOutput out(*streams.out);
  Streams checked = streams;
  checked.out = &out.stream();
  const int code = RunUnchecked(o, platform, checked, program);
  if (const Status written = out.Finish(); !written.ok()) {
    *streams.err << program << ": " << written.message() << "\n";
    return kSystemFailure;
  }
  return code;
}

}  // namespace ps::cli

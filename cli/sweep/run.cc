#include "cli/sweep/run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <span>

#include "cli/sweep/check.h"
#include "cli/sweep/checked_output.h"
#include "cli/sweep/lan.h"
#include "cli/sweep/link_local_run.h"
#include "cli/sweep/output.h"
#include "cli/sweep/result_lines.h"
#include "cli/sweep/stages.h"
#include "cli/sweep/tcp_stage.h"
#include "cli/sweep/watch_run.h"
#include "cli/sweep/watch_sweep.h"
#include "core/terminal_text.h"
#include "platform/inet/icmp_access.h"
#include "sweep/engine.h"
#include "sweep/name_pool.h"
#include "sweep/targets.h"

namespace ps::cli {
namespace {

constexpr int kNameThreads = 16;

// The progress line on a terminal: sent, answered, rate, time left.
class Progress : public sweep::SweepObserver {
 public:
  // `macs`: polled at each tick, or null.
  Progress(const Streams& s, NameLookups* names, HostMacs* macs, IpAddress::Family family)
      : streams_(s), names_(names), macs_(macs), family_(family) {}
  ~Progress() override { Clear(); }

  void OnAnswer(const sweep::HostResult& r) override {
    if (names_ != nullptr) names_->Request(r.address);
  }

  void OnProgress(const sweep::SweepProgress& p) override {
    if (macs_ != nullptr) macs_->Poll(family_);
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
  NameLookups* names_;
  HostMacs* macs_;
  IpAddress::Family family_;
  bool shown_ = false;
};

// Every connected subnet but loopback, each capped at a /16.
// `only`: that interface's alone ("" for all).
std::string AddConnectedSubnets(const platform::SweepPlatform& platform, const std::string& only,
                                sweep::TargetList* list) {
  std::string chosen;
  for (const platform::ConnectedSubnet& s : platform.interfaces->ConnectedSubnets()) {
    if (s.loopback || !s.network.is_v4() || (!only.empty() && s.interface != only)) continue;
    const int prefix = std::max(s.prefix, 16);
    const std::uint32_t mask = ~0u << (32 - prefix);
    const IpAddress network = IpAddress::V4(s.local.v4() & mask);
    list->AddBlock(network, prefix);
    chosen += (chosen.empty() ? "" : ", ") + network.ToString() + "/" + std::to_string(prefix) +
              " (" + EscapeText(s.interface) + (prefix != s.prefix ? ", capped at /16" : "") + ")";
  }
  return chosen;
}

// The targets, files and exclusions the user gave, into `list`.
Status AddTargetTexts(const Options& o, const Streams& streams, sweep::TargetList* list) {
  for (const std::string& e : o.excludes) {
    const Status excluded = list->Exclude(e);
    if (!excluded.ok()) return Status::Failure("--exclude " + excluded.message());
  }
  for (const std::string& t : o.targets) {
    const Status added = t == "-" ? list->AddLines(*streams.in, "standard input") : list->Add(t);
    if (!added.ok()) return added;
  }
  for (const std::string& f : o.files) {
    if (f == "-") {
      if (const Status added = list->AddLines(*streams.in, "standard input"); !added.ok())
        return added;
      continue;
    }
    std::ifstream in(f);
    if (!in) return Status::Failure(QuoteText(f) + ": cannot read", errno);
    if (const Status added = list->AddLines(in, f); !added.ok()) return added;
  }
  return Status::Ok();
}

// Folds the ARP answers into the results (one per target, in target order)
// and the summary; ARP replies give the hosts' MACs.
void MergeArp(const ArpStage& arp, std::span<const IpAddress> targets,
              sweep::HostResults* results, HostMacs* macs,
              sweep::SweepSummary* summary) {
  auto at = targets.begin();
  macs->Reserve(arp.answers().size());
  for (const sweep::ArpAnswer& a : arp.answers()) {  // sorted, as the targets
    const IpAddress address = IpAddress::V4(a.address);
    // One walk, not a search per answer: the count below walks all results anyway.
    while (at != targets.end() && *at < address) ++at;
    sweep::HostResult& r = (*results)[static_cast<std::size_t>(at - targets.begin())];
    if (r.outcome != sweep::Outcome::kAnswered) {
      r.outcome = sweep::Outcome::kAnswered;
      r.sent = a.sent;
      r.received = 1;
      r.rtt_min_ns = r.rtt_max_ns = r.rtt_sum_ns = a.rtt_ns;
      r.via = sweep::Via::kArp;
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

// Puts one sweep's results (sorted; some of the sorted `targets`) in their
// places in `results`, which starts empty and then holds one per target: a
// target no sweep probed is silent, with the ARP requests it was sent. One
// sweep of every target hands its results over whole.
void PlaceResults(sweep::HostResults part, std::span<const IpAddress> targets,
                  const ArpStage& arp, sweep::HostResults* results) {
  if (results->empty() && part.size() == targets.size()) {
    *results = std::move(part);
    return;
  }
  if (results->empty()) {
    results->resize(targets.size());
    // Both sorted (IPv4 first): one walk, not a search per target.
    const std::span<const std::uint32_t> by_arp = arp.arp_targets();
    auto next = by_arp.begin();
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const IpAddress& t = targets[i];
      while (t.is_v4() && next != by_arp.end() && *next < t.v4()) ++next;
      const bool probed = t.is_v4() && next != by_arp.end() && *next == t.v4();
      (*results)[i].address = t;
      (*results)[i].sent = probed ? arp.tries() : 0;
    }
  }
  auto at = results->begin();
  for (sweep::HostResult& r : part) {
    while (at->address < r.address) ++at;
    *at = std::move(r);
  }
}

// The addresses to probe, sorted; what the user typed, else the connected subnets.
std::optional<int> ReadTargets(const RunContext& run, sweep::TargetAddresses* targets) {
  const Options& o = run.options;
  sweep::TargetList list(run.platform.resolver);
  list.set_rules(sweep::TargetRules{o.all_addresses, o.allow_large});
  if (const Status added = AddTargetTexts(o, run.streams, &list); !added.ok()) {
    run.err() << run.prefix << added.ToString() << "\n";
    return kUsage;
  }
  if (o.targets.empty() && o.files.empty()) {
    // A watch on one interface (-I, the system service's instance) sweeps its subnets alone.
    const std::string chosen =
        AddConnectedSubnets(run.platform, WantsWatch(o) ? o.interface : "", &list);
    if (chosen.empty()) {
      run.err() << run.prefix
                << "no target given, and no interface that is up has an IPv4 subnet\n";
      return kUsage;
    }
    run.err() << run.prefix << "no target given: sweeping " << chosen << "\n";
  }
  Result<sweep::TargetAddresses> expanded = list.Expand();
  if (!expanded.ok()) {
    run.err() << run.prefix << expanded.status().message() << "\n";
    return kUsage;
  }
  *targets = std::move(expanded).value();
  if (targets->empty()) {
    run.err() << run.prefix
              << (o.excludes.empty() ? "no address to probe: the targets given hold none\n"
                                     : "no address left to probe after the exclusions\n");
    return kUsage;
  }
  return std::nullopt;
}

// The targets split by family, IPv4 first (their order): one socket and one
// sweep each. Views of `targets`, not copies.
using Groups = std::vector<std::span<const IpAddress>>;
Groups ByFamily(std::span<const IpAddress> targets) {
  const auto first_v6 =
      std::find_if(targets.begin(), targets.end(), [](const IpAddress& a) { return !a.is_v4(); });
  Groups groups;
  if (first_v6 != targets.begin()) groups.emplace_back(targets.begin(), first_v6);
  if (first_v6 != targets.end()) groups.emplace_back(first_v6, targets.end());
  return groups;
}

std::vector<IpAddress::Family> Families(const Groups& groups) {
  std::vector<IpAddress::Family> families;
  for (const auto& group : groups) families.push_back(group.front().family());
  return families;
}

sweep::SweepOptions SweepOptionsOf(const Options& o) {
  sweep::SweepOptions so;
  so.timeout_ns = static_cast<std::int64_t>(o.timeout_ms) * 1000000;
  so.retries = o.retries;
  so.count = o.count;
  so.interval_ns = static_cast<std::int64_t>(o.interval_ms) * 1000000;
  so.rate = o.rate;
  return so;
}

// Says how long the neighbour window will hold the on-link targets back, when it will.
void SayOnLinkWait(const RunContext& run, const sweep::Sweep& sweep) {
  const double seconds = sweep.ExpectedOnLinkSeconds();
  if (seconds <= 0) return;
  std::ostream& err = run.err();
  err << run.prefix << sweep.on_link_count()
      << " of the targets are on a directly connected subnet. "
      << "Each takes an entry in the kernel's neighbour table, which holds "
      << sweep.window().limit() << " for the whole machine, so they go out as room frees up: "
      << "expect up to about " << static_cast<long long>(std::ceil(seconds)) << " s.";
  if (sweep.results().front().address.is_v4()) {
    err << " ARP probing (needs CAP_NET_RAW: sudo setcap cap_net_raw+ep "
        << platform::ShellWord(EscapeText(run.platform.icmp->PermissionFacts().program_path))
        << ") is not held back this way.";
  }
  err << "\n";
}

void AddPart(const sweep::SweepSummary& part, sweep::SweepSummary* total) {
  total->sent += part.sent;
  total->replies += part.replies;
  total->duplicates += part.duplicates;
  total->ignored += part.ignored;
  total->interrupted = total->interrupted || part.interrupted;
  if (total->socket_status.ok()) total->socket_status = part.socket_status;
}

// One ICMP sweep per family, over its socket, until done, interrupted or a socket fails.
void RunSweeps(const RunContext& run, std::span<const IpAddress> targets, const ArpStage& arp,
               const Groups& groups,
               const std::vector<std::unique_ptr<platform::IcmpSocket>>& sockets,
               NameLookups* names, HostMacs* macs, Findings* found) {
  const std::vector<platform::ConnectedSubnet> subnets =
      run.platform.interfaces->ConnectedSubnets();
  for (std::size_t g = 0;
       g < groups.size() && !found->summary.interrupted && found->summary.socket_status.ok(); ++g) {
    sweep::Sweep sweep(run.platform.clock, sockets[g].get(), run.platform.neighbours, groups[g],
                       subnets, SweepOptionsOf(run.options));
    SayOnLinkWait(run, sweep);
    const bool on_link = sweep.on_link_count() > 0;
    if (on_link) found->mac_families.push_back(groups[g].front().family());
    Progress progress(run.streams, names, on_link ? macs : nullptr, groups[g].front().family());
    {
      InterruptScope scope(&sweep);
      AddPart(sweep.Run(&progress), &found->summary);
    }
    progress.Clear();
    PlaceResults(sweep.TakeResults(), targets, arp, &found->results);
  }
  if (found->results.empty()) PlaceResults({}, targets, arp, &found->results);
}

// The TCP probes, to the hosts ARP did not ask and nothing has found.
void RunTcp(const RunContext& run, const ArpStage& arp, TcpStage* tcp, NameLookups* names,
            HostMacs* macs, Findings* found) {
  if (!tcp->active()) return;
  {
    // MACs are read once afterwards: a dump per tick is dear (see HostMacs::Poll).
    Progress progress(run.streams, names, nullptr, IpAddress::Family::kV4);
    tcp->Run(run.platform, run.platform.interfaces->ConnectedSubnets(),
             SweepOptionsOf(run.options), [&arp](const IpAddress& a) { return arp.Probes(a); },
             &progress, InterruptFlag(), &found->results, &found->summary);
  }
  for (const IpAddress::Family family : tcp->on_link_families()) macs->Poll(family);
}

// ARP first, then the ICMP sweeps, then TCP; names asked for as hosts
// answer, MACs gathered meanwhile.
Findings ProbeTargets(const RunContext& run, std::span<const IpAddress> targets, ArpStage& arp,
                      const Groups& groups,
                      const std::vector<std::unique_ptr<platform::IcmpSocket>>& sockets,
                      TcpStage* tcp, NameLookups* names, HostMacs* macs) {
  const std::int64_t start = run.platform.clock->NowNs();
  arp.Run(run.platform.clock, run.options, &InterruptFlag());
  for (const sweep::ArpAnswer& a : arp.answers()) {
    if (names != nullptr) names->Request(IpAddress::V4(a.address));
  }
  Findings found;
  RunSweeps(run, targets, arp, groups, sockets, names, macs, &found);
  for (const IpAddress::Family family : found.mac_families) macs->Poll(family);
  MergeArp(arp, targets, &found.results, macs, &found.summary);
  RunTcp(run, arp, tcp, names, macs, &found);
  found.summary.elapsed_ns = run.platform.clock->NowNs() - start;
  // The first socket that failed: ICMP, ARP, then TCP.
  for (const Status& s : {found.summary.socket_status, arp.totals().socket_status, tcp->failure()}) {
    if (found.failure.ok()) found.failure = s;
  }
  return found;
}

// The lines to print (every target with -a, else those that answered) and the summary.
RunEnd Collect(const RunContext& run, const Findings& found, HostSource* lines) {
  RunEnd end;
  end.source = lines;
  end.count = run.options.count;
  end.summary = SummaryLine(found.summary);
  end.answered = found.summary.answered;
  end.interrupted = found.summary.interrupted;
  end.failure = found.failure;
  return end;
}

// A sweep: read targets, plan ARP and open its sockets, open the TCP
// sockets, open the ICMP sockets (and give up the capabilities), probe,
// collect, finish.
int RunSweep(const RunContext& given) {
  RunInterfaces interfaces(given.platform.interfaces);
  platform::SweepPlatform platform = given.platform;
  platform.interfaces = &interfaces;
  const RunContext run{given.options, platform, given.streams, given.prefix};
  sweep::TargetAddresses targets;
  if (auto exit = ReadTargets(run, &targets)) return *exit;
  ArpStage arp;
  if (auto exit = arp.Prepare(run.options, run.platform, targets, run.err(), run.prefix))
    return *exit;
  TcpStage tcp;
  if (auto exit = tcp.Prepare(run.options, run.platform, targets, run.err(), run.prefix))
    return *exit;
  const Groups groups = ByFamily(arp.icmp_targets());
  std::vector<std::unique_ptr<platform::IcmpSocket>> sockets;
  if (auto exit = OpenSockets(run, Families(groups), &sockets)) return *exit;

  std::unique_ptr<NameLookups> names = StartNames(run, kNameThreads);
  if (names) names->SetTargets(targets);
  HostMacs macs(run.platform.neighbours);
  const Findings found =
      ProbeTargets(run, targets, arp, groups, sockets, &tcp, names.get(), &macs);
  WaitForNames(run, names.get(), found.summary.interrupted);
  ResultLines lines(found.results, run.options.all, names.get(), &macs, run.err(), run.prefix);
  return Finish(run, Collect(run, found, &lines));
}

// --help, --version and --check: what they print and the exit code; nullopt for a run.
std::optional<int> AnswerWithoutProbing(const Options& o, const platform::SweepPlatform& platform,
                                        const Streams& streams, const std::string& program) {
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
    *streams.out << CheckReport(platform.icmp, &usable) << ArpCheckLine(platform)
                 << TcpCheckLine(platform);
    return usable ? kAnswered : kNoPermission;
  }
  return std::nullopt;
}

int RunUnchecked(const Options& o, const platform::SweepPlatform& platform,
                 const Streams& streams, const std::string& program) {
  if (auto code = AnswerWithoutProbing(o, platform, streams, program)) return *code;
  const RunContext run{o, platform, streams, program + ": "};
  if (RefuseUnavailableNames(o, platform, run.err(), run.prefix)) return kSystemFailure;
  const int code = WantsWatch(o)   ? RunWatch(run, SystemWatchServices())
                   : o.link_local ? RunLinkLocal(run)
                                  : RunSweep(run);
  ClearInterrupt();
  return code;
}

}  // namespace

std::optional<int> ReadSweepTargets(const RunContext& run, sweep::TargetAddresses* targets) {
  return ReadTargets(run, targets);
}

std::vector<IpAddress::Family> IcmpFamilies(const ArpStage& arp) {
  return Families(ByFamily(arp.icmp_targets()));
}

Findings ProbeOnce(const RunContext& run, std::span<const IpAddress> targets, ArpStage& arp,
                   const std::vector<std::unique_ptr<platform::IcmpSocket>>& sockets,
                   NameLookups* names, HostMacs* macs) {
  TcpStage no_tcp;
  return ProbeTargets(run, targets, arp, ByFamily(arp.icmp_targets()), sockets, &no_tcp, names,
                      macs);
}

int Run(const Options& o, const platform::SweepPlatform& platform, const Streams& streams,
        const std::string& program) {
  // What could not be written is a failure, whatever was found.
  CheckedOutput out(*streams.out);
  Streams checked = streams;
  checked.out = &out.stream();
  const int code = RunUnchecked(o, platform, checked, program);
  if (const Status written = out.Finish(); !written.ok()) {
    *streams.err << program << ": " << written.ToString() << "\n";
    return kSystemFailure;
  }
  return code;
}

}  // namespace ps::cli

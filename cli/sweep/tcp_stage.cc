#include "cli/sweep/tcp_stage.h"

#include <algorithm>
#include <cerrno>

#include "cli/sweep/run.h"
#include "cli/sweep/stages.h"
#include "core/terminal_text.h"
#include "platform/inet/icmp_access.h"

namespace ps::cli {
namespace {

using platform::TcpProbeSocket;

bool Denied(const Status& s) { return s.system_error() == EPERM || s.system_error() == EACCES; }
// No raw socket for anyone here (Windows): connect() is all there is.
bool Unsupported(const Status& s) { return s.system_error() == ENOTSUP; }

std::string SetcapLine(const platform::SweepPlatform& p) {
  const std::string path = p.icmp != nullptr ? p.icmp->PermissionFacts().program_path : "";
  // Escaped (the path comes from outside), then quoted for the shell, as in
  // the ICMP permission fixes.
  return "sudo setcap cap_net_raw+ep " +
         (path.empty() ? std::string("pingsweep-cli") : platform::ShellWord(EscapeText(path)));
}

// Folds one family's TCP results into the run's (both in address order, so
// each search starts where the last one ended).
void Merge(const sweep::HostResults& found, sweep::HostResults* results) {
  auto from = results->begin();
  for (const sweep::HostResult& r : found) {
    const auto at = from = std::lower_bound(
        from, results->end(), r.address,
        [](const sweep::HostResult& h, const IpAddress& a) { return h.address < a; });
    if (at == results->end() || at->address != r.address) continue;
    if (r.outcome == sweep::Outcome::kAnswered) {
      *at = r;
      continue;
    }
    at->sent += r.sent;
    if (at->outcome == sweep::Outcome::kSilent && r.outcome == sweep::Outcome::kError) {
      at->outcome = r.outcome;
      at->send_error = r.send_error;
    }
  }
}

}  // namespace

std::optional<int> TcpStage::Open(IpAddress::Family family, const Options& o,
                                  const platform::SweepPlatform& p, std::ostream& err,
                                  const std::string& prefix) {
  Result<std::unique_ptr<TcpProbeSocket>> socket = p.tcp->Open(family, TcpProbeSocket::Kind::kRaw);
  if (!socket.ok() && (Denied(socket.status()) || Unsupported(socket.status()))) {
    const bool denied = Denied(socket.status());
    if (std::any_of(o.tcp.begin(), o.tcp.end(), [](const TcpProbeOption& t) { return t.ack; })) {
      if (!denied) {
        err << prefix << "tcp-ack probes need a raw socket: " << socket.status().message() << "\n";
        return kSystemFailure;
      }
      err << prefix << "tcp-ack probes need a raw socket, so CAP_NET_RAW; to allow it:\n  "
          << SetcapLine(p) << "\n";
      return kNoPermission;
    }
    const std::string why = socket.status().message();
    socket = p.tcp->Open(family, TcpProbeSocket::Kind::kConnect);
    if (socket.ok() && !said_connect_) {
      err << prefix << "probing TCP ports by connect(): "
          << (denied ? "raw SYN probes need CAP_NET_RAW (" + SetcapLine(p) + ")" : why) << "\n";
      said_connect_ = true;
    }
  }
  if (!socket.ok()) {
    err << prefix << "cannot probe TCP ports: " << socket.status().ToString() << "\n";
    return kSystemFailure;
  }
  (family == IpAddress::Family::kV4 ? v4_ : v6_) = std::move(socket).value();
  return std::nullopt;
}

std::optional<int> TcpStage::Prepare(const Options& o, const platform::SweepPlatform& p,
                                     std::span<const IpAddress> targets, std::ostream& err,
                                     const std::string& prefix) {
  if (o.tcp.empty()) return std::nullopt;
  if (p.tcp == nullptr) {
    err << prefix << "TCP probes are not available on this system\n";
    return kSystemFailure;
  }
  for (const auto family : {IpAddress::Family::kV4, IpAddress::Family::kV6}) {
    const bool wanted = std::any_of(targets.begin(), targets.end(),
                                    [family](const IpAddress& a) { return a.family() == family; });
    if (!wanted) continue;
    if (auto exit = Open(family, o, p, err, prefix)) return exit;
  }
  for (const TcpProbeOption& t : o.tcp)
    kinds_.push_back({t.ack ? platform::kTcpAck : platform::kTcpSyn, t.port});
  return std::nullopt;
}

void TcpStage::Run(const platform::SweepPlatform& p,
                   const std::vector<platform::ConnectedSubnet>& subnets,
                   const sweep::SweepOptions& options,
                   const std::function<bool(const IpAddress&)>& by_arp,
                   sweep::SweepObserver* observer, const std::atomic<bool>& stop,
                   sweep::HostResults* results, sweep::SweepSummary* summary) {
  if (!active()) return;
  for (auto* socket : {v4_.get(), v6_.get()}) {
    if (socket == nullptr || summary->interrupted || stop.load() || !failure_.ok()) continue;
    const bool v4 = socket == v4_.get();
    std::vector<IpAddress> silent;
    silent.reserve(results->size());
    for (const sweep::HostResult& r : *results) {
      if (r.outcome != sweep::Outcome::kAnswered && r.address.is_v4() == v4 && !by_arp(r.address))
        silent.push_back(r.address);
    }
    if (silent.empty()) continue;
    sweep::TcpSweep sweep(p.clock, socket, p.neighbours, std::move(silent), subnets, kinds_, options);
    sweep::SweepSummary part;
    {
      InterruptScope scope(&sweep);
      part = sweep.Run(observer);
    }
    Merge(sweep.results(), results);
    if (sweep.on_link_count() > 0)
      on_link_families_.push_back(v4 ? IpAddress::Family::kV4 : IpAddress::Family::kV6);
    summary->sent += part.sent;
    summary->replies += part.replies;
    summary->duplicates += part.duplicates;
    summary->ignored += part.ignored;
    summary->interrupted = summary->interrupted || part.interrupted;
    failure_ = part.socket_status;
  }
  summary->answered = summary->errors = 0;
  for (const sweep::HostResult& r : *results) {
    summary->answered += r.outcome == sweep::Outcome::kAnswered;
    summary->errors += r.outcome == sweep::Outcome::kError;
  }
}

std::string TcpCheckLine(const platform::SweepPlatform& p) {
  if (p.tcp == nullptr) return "";
  const auto raw = p.tcp->Open(IpAddress::Family::kV4, TcpProbeSocket::Kind::kRaw);
  if (raw.ok()) return "TCP probes: SYN and ACK over a raw socket (CAP_NET_RAW)\n";
  if (Unsupported(raw.status()))
    return "TCP probes: SYN by connect() only (" + raw.status().message() + "); no ACK probes\n";
  if (!Denied(raw.status())) return "TCP probes: no raw socket: " + raw.status().ToString() + "\n";
  return "TCP probes: SYN by connect() only; raw SYN and ACK probes need CAP_NET_RAW: " +
         SetcapLine(p) + "\n";
}

}  // namespace ps::cli

#include "cli/sweep/tcp_stage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/sweep/run.h"

namespace ps::cli {
namespace {

std::atomic<sweep::TcpSweep*> g_tcp_sweep{nullptr};

bool Denied(int error) { return error == EPERM || error == EACCES; }

std::string SetcapLine(const platform::SweepPlatform& p) {
  const std::string path = p.icmp != nullptr ? p.icmp->PermissionFacts().program_path : "";
  return "sudo setcap cap_net_raw+ep " + (path.empty() ? std::string("pingsweep-cli") : path);
}

// Folds one family's TCP results into the run's.
void Merge(const std::vector<sweep::HostResult>& found, std::vector<sweep::HostResult>* results) {
  for (const sweep::HostResult& r : found) {
    const auto at = std::lower_bound(
        results->begin(), results->end(), r.address,
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

int TcpStage::Prepare(const Options& o, const platform::SweepPlatform& p,
                      const std::vector<IpAddress>& targets, std::ostream& err,
                      const std::string& prefix) {
  if (o.tcp.empty()) return -1;
  if (p.tcp == nullptr) {
    err << prefix << "TCP probes are not available on this system\n";
    return kSystemFailure;
  }
  const bool any_ack = std::any_of(o.tcp.begin(), o.tcp.end(), [](auto& t) { return t.ack; });
  bool said = false;
  for (const auto family : {IpAddress::Family::kV4, IpAddress::Family::kV6}) {
    if (std::none_of(targets.begin(), targets.end(),
                     [family](const IpAddress& a) { return a.family() == family; })) {
      continue;
    }
    int error = 0;
    auto socket = p.tcp->Open(family, platform::TcpProbeSocket::Kind::kRaw, &error);
    if (!socket && Denied(error)) {
      if (any_ack) {
        err << prefix << "tcp-ack probes need a raw socket, so CAP_NET_RAW; to allow it:\n  "
            << SetcapLine(p) << "\n";
        return kNoPermission;
      }
      socket = p.tcp->Open(family, platform::TcpProbeSocket::Kind::kConnect, &error);
      if (socket && !said) {
        err << prefix << "probing TCP ports by connect(): raw SYN probes need CAP_NET_RAW ("
            << SetcapLine(p) << ")\n";
        said = true;
      }
    }
    if (!socket) {
      err << prefix << "cannot open a socket for TCP probes: " << std::strerror(error) << "\n";
      return kSystemFailure;
    }
    (family == IpAddress::Family::kV4 ? v4_ : v6_) = std::move(socket);
  }
  for (const TcpProbeOption& t : o.tcp)
    kinds_.push_back({t.ack ? platform::kTcpAck : platform::kTcpSyn, t.port});
  return -1;
}

void TcpStage::Run(const platform::SweepPlatform& p,
                   const std::vector<platform::ConnectedSubnet>& subnets,
                   const sweep::SweepOptions& options,
                   const std::function<bool(const IpAddress&)>& by_arp,
                   sweep::SweepObserver* observer, const std::atomic<bool>* stop,
                   std::vector<sweep::HostResult>* results, sweep::SweepSummary* summary) {
  if (!active()) return;
  for (auto* socket : {v4_.get(), v6_.get()}) {
    if (socket == nullptr || summary->interrupted || stop->load() || system_error_ != 0) continue;
    const bool v4 = socket == v4_.get();
    std::vector<IpAddress> silent;
    for (const sweep::HostResult& r : *results) {
      if (r.outcome != sweep::Outcome::kAnswered && r.address.is_v4() == v4 && !by_arp(r.address))
        silent.push_back(r.address);
    }
    if (silent.empty()) continue;
    sweep::TcpSweep sweep(p.clock, socket, p.neighbours, std::move(silent), subnets, kinds_, options);
    g_tcp_sweep.store(&sweep);
    if (stop->load()) sweep.Stop();
    const sweep::SweepSummary part = sweep.Run(observer);
    g_tcp_sweep.store(nullptr);
    Merge(sweep.results(), results);
    summary->sent += part.sent;
    summary->replies += part.replies;
    summary->duplicates += part.duplicates;
    summary->ignored += part.ignored;
    summary->interrupted = summary->interrupted || part.interrupted;
    system_error_ = part.system_error;
  }
  summary->answered = summary->errors = 0;
  for (const sweep::HostResult& r : *results) {
    summary->answered += r.outcome == sweep::Outcome::kAnswered;
    summary->errors += r.outcome == sweep::Outcome::kError;
  }
}

void StopTcp() {
  if (sweep::TcpSweep* s = g_tcp_sweep.load()) s->Stop();
}

std::string TcpCheckLine(const platform::SweepPlatform& p) {
  if (p.tcp == nullptr) return "";
  int error = 0;
  if (p.tcp->Open(IpAddress::Family::kV4, platform::TcpProbeSocket::Kind::kRaw, &error))
    return "TCP probes: SYN and ACK over a raw socket (CAP_NET_RAW)\n";
  if (!Denied(error)) return std::string("TCP probes: no raw socket: ") + std::strerror(error) + "\n";
  return "TCP probes: SYN by connect() only; raw SYN and ACK probes need CAP_NET_RAW: " +
         SetcapLine(p) + "\n";
}

}  // namespace ps::cli

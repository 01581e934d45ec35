#include "cli/sweep/stages.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "lan/link_local.h"
#include "platform/inet/icmp_access.h"
#include "sweep/engine.h"
#include "sweep/tcp_sweep.h"

namespace ps::cli {
namespace {

// Async-signal-safe state of Interrupt(): a flag, and what is running.
std::atomic<bool> g_interrupted{false};
std::atomic<sweep::Sweep*> g_sweep{nullptr};
std::atomic<sweep::TcpSweep*> g_tcp_sweep{nullptr};
std::atomic<sweep::LinkLocalDiscovery*> g_discovery{nullptr};

// Says why no socket of `family` could be opened; the exit code.
int SayWhyNoSocket(const RunContext& run, IpAddress::Family family,
                   const platform::IcmpSocketChoice& choice) {
  const char* what = family == IpAddress::Family::kV4 ? "ICMP" : "ICMPv6";
  if (platform::IcmpPermissionDenied(choice)) {
    run.err() << run.prefix << "no permission to send " << what
              << " echo requests: this user may open "
              << "neither an " << what << " datagram socket nor a raw socket.\n"
              << platform::IcmpPermissionFixes(run.platform.icmp->PermissionFacts());
    return kNoPermission;
  }
  const Status& why = choice.datagram.system_error() != 0 ? choice.datagram : choice.raw;
  run.err() << run.prefix << "cannot open an " << what << " socket: " << why.message() << "\n";
  return kSystemFailure;
}

void GiveUpCapabilities(const RunContext& run) {
  if (run.platform.privileges == nullptr) return;
  if (const Status dropped = run.platform.privileges->DropAll(); !dropped.ok())
    run.err() << run.prefix << "could not give up the capabilities it holds: " << dropped.ToString()
              << "\n";
}

}  // namespace

void Interrupt() {
  g_interrupted.store(true);
  if (sweep::Sweep* s = g_sweep.load()) s->Stop();
  if (sweep::TcpSweep* s = g_tcp_sweep.load()) s->Stop();
  if (sweep::LinkLocalDiscovery* d = g_discovery.load()) d->Stop();
}

std::vector<platform::ConnectedSubnet> RunInterfaces::ConnectedSubnets() {
  if (!subnets_) subnets_ = table_->ConnectedSubnets();
  return *subnets_;
}

std::optional<int> OpenSockets(const RunContext& run, std::span<const IpAddress::Family> families,
                               std::vector<std::unique_ptr<platform::IcmpSocket>>* sockets) {
  for (const IpAddress::Family family : families) {
    platform::IcmpSocketChoice choice = platform::OpenPreferredIcmpSocket(*run.platform.icmp, family);
    if (!choice.socket) return SayWhyNoSocket(run, family, choice);
    sockets->push_back(std::move(choice.socket));
  }
  GiveUpCapabilities(run);
  return std::nullopt;
}

InterruptScope::InterruptScope(sweep::Sweep* sweep) {
  g_sweep.store(sweep);
  if (g_interrupted.load()) sweep->Stop();
}

InterruptScope::InterruptScope(sweep::TcpSweep* sweep) {
  g_tcp_sweep.store(sweep);
  if (g_interrupted.load()) sweep->Stop();
}

InterruptScope::InterruptScope(sweep::LinkLocalDiscovery* discovery) {
  g_discovery.store(discovery);
  if (g_interrupted.load()) discovery->Stop();
}

InterruptScope::~InterruptScope() {
  g_sweep.store(nullptr);
  g_tcp_sweep.store(nullptr);
  g_discovery.store(nullptr);
}

const std::atomic<bool>& InterruptFlag() { return g_interrupted; }

void ClearInterrupt() { g_interrupted.store(false); }

std::unique_ptr<NameLookups> StartNames(const RunContext& run, int threads) {
  if (run.options.numeric || run.options.name_sources == 0) return nullptr;
  return std::make_unique<NameLookups>(run.options, run.platform, threads, run.options.link_local);
}

void WaitForNames(const RunContext& run, NameLookups* names, bool interrupted) {
  if (names == nullptr) return;
  const auto wait = interrupted ? std::chrono::seconds(1) : std::chrono::seconds(5);
  names->Wait(wait, interrupted, run.err(), run.prefix);
}

HostLine MakeLine(const sweep::HostResult& result, const NameLookups* names,
                  const MacAddress* mac, VendorNames* vendors, const RunContext& run,
                  int scope_id) {
  HostLine line{result, "", "", "", "", {}, {}, {}, {}, {}, {}};
  if (mac != nullptr) {
    line.mac = mac->ToString();
    line.vendor = vendors->Of(*mac, run.err(), run.prefix);
  }
  if (names != nullptr) names->Fill(&line, scope_id);
  return line;
}

int Finish(const RunContext& run, const RunEnd& end) {
  const Options& o = run.options;
  if (end.source != nullptr) {
    WriteHosts(*run.streams.out, o.format, *end.source, end.count);
  } else {
    WriteHosts(*run.streams.out, o.format, end.lines, end.count);
  }
  (o.format == Format::kText ? *run.streams.out : run.err())
      << end.summary << (end.interrupted ? " (interrupted)" : "") << "\n";
  run.streams.out->flush();
  if (!end.failure.ok()) {
    run.err() << run.prefix << end.failure.ToString() << "\n";
    return kSystemFailure;
  }
  if (end.interrupted) return kInterrupted;
  return end.answered > 0 ? kAnswered : kNoneAnswered;
}

}  // namespace ps::cli

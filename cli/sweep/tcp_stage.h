// The TCP probes of a run: after ARP and ICMP, to the targets still silent,
// one sweep per family, over raw sockets when the program may open them,
// else (SYN probes only) by connect().
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "cli/sweep/options.h"
#include "core/status.h"
#include "platform/inet/sweep_io.h"
#include "sweep/engine.h"
#include "sweep/tcp_sweep.h"

namespace ps::cli {

class TcpStage {
 public:
  // Opens a socket for each family among `targets`, while the program still
  // holds its capabilities. Returns the exit code when the run cannot go on,
  // nullopt otherwise; says on `err` (after `prefix`) when it falls back to
  // connect().
  std::optional<int> Prepare(const Options& o, const platform::SweepPlatform& p,
                             std::span<const IpAddress> targets, std::ostream& err,
                             const std::string& prefix);
  bool active() const { return !kinds_.empty(); }

  // Probes the targets of `results` (one per target, sorted) that have not
  // answered and were not asked by ARP (a host that ignores ARP gets no IP
  // packet either), folding what it finds into them and `summary`, until
  // done or *stop. A host found takes the TCP sweep's figures; a silent one
  // adds its rounds to what it was sent.
  void Run(const platform::SweepPlatform& p, const std::vector<platform::ConnectedSubnet>& subnets,
           const sweep::SweepOptions& options, const std::function<bool(const IpAddress&)>& by_arp,
           sweep::SweepObserver* observer, const std::atomic<bool>& stop,
           sweep::HostResults* results, sweep::SweepSummary* summary);
  // Why a socket failed and ended the TCP probes early; ok otherwise.
  const Status& failure() const { return failure_; }
  // The families whose sweep (in Run) had on-link targets, whose MACs the
  // neighbour table may hold.
  const std::vector<IpAddress::Family>& on_link_families() const { return on_link_families_; }

 private:
  // A raw socket for `family`, else a connect one (without an ACK probe).
  std::optional<int> Open(IpAddress::Family family, const Options& o,
                          const platform::SweepPlatform& p, std::ostream& err,
                          const std::string& prefix);

  std::vector<sweep::TcpProbeKind> kinds_;
  std::unique_ptr<platform::TcpProbeSocket> v4_, v6_;
  std::vector<IpAddress::Family> on_link_families_;
  bool said_connect_ = false;
  Status failure_;
};

// The --check line about TCP probes (empty when the platform has none).
std::string TcpCheckLine(const platform::SweepPlatform& p);

}  // namespace ps::cli

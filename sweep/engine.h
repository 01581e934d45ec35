// The concurrent sweep: ICMP echo to every target over one socket, scheduled
// by SweepCore (pacing, retries, a per-probe deadline, several probes per
// host if asked, the neighbour-table window for on-link targets). Replies are
// credited only when they come from the probed address, carry this sweep's
// cookie for that very request, and arrived before its deadline.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"
#include "platform/inet/sweep_io.h"
#include "sweep/cookie.h"
#include "sweep/neighbour_window.h"
#include "sweep/sweep_core.h"
#include "sweep/sweep_types.h"

namespace ps::sweep {

class Sweep : private ProbeTransport {
 public:
  // `targets` sorted and unique (TargetList::Expand), of one family. Targets inside one of
  // `on_link` (not loopback) are paced by the neighbour window over
  // `neighbours` (may be null). All pointers must outlive the sweep.
  Sweep(platform::MonotonicClock* clock, platform::IcmpSocket* socket,
        platform::NeighbourTable* neighbours, std::span<const IpAddress> targets,
        const std::vector<platform::ConnectedSubnet>& on_link, SweepOptions options);

  // Runs until every host's outcome is final or Stop() was called.
  SweepSummary Run(SweepObserver* observer) { return core_.Run(observer, this); }
  // Async-signal-safe: no more sends; Run() returns with what it found.
  void Stop() { core_.Stop(); }

  // One per target, in target order; final once Run() returned.
  const HostResults& results() const { return core_.results(); }
  // The results, moved out (results() is empty afterwards): a /16's take 5 MB.
  HostResults TakeResults() { return std::move(core_.results()); }

  std::uint64_t on_link_count() const { return core_.on_link_count(); }
  // When the neighbour window will hold the on-link targets back: the time it
  // expects for them; 0 otherwise.
  double ExpectedOnLinkSeconds() const { return core_.ExpectedOnLinkSeconds(); }
  const NeighbourWindow& window() const { return core_.window(); }

  // Tests may fix the key.
  void set_cookie(const ProbeCookie& cookie) { cookie_ = cookie; }

 private:
  SendResult Send(std::span<const std::uint32_t> hosts, std::int64_t send_ns,
                  std::span<std::int64_t> went_ns) override;
  int Receive(std::int64_t wake_ns) override;
  const char* failure() const override;
  // The first `n` of messages_, each as a reply or an error.
  void Handle(int n);
  void HandleReply(const platform::IcmpMessage& m);
  void HandleError(const platform::IcmpMessage& m);

  platform::IcmpSocket* socket_;
  ProbeCookie cookie_;
  SweepCore core_;
  std::vector<std::uint8_t> batch_data_;
  std::vector<platform::EchoRequest> requests_;
  // Few at first, the batch once a read fills them: a silent sweep never
  // touches the 148 KB of a whole batch (its first touch is a small sweep's
  // millisecond).
  static constexpr std::size_t kFirstMessages = 16;
  std::vector<platform::IcmpMessage> messages_;
};

}  // namespace ps::sweep

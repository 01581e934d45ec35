// TCP discovery for hosts that drop ping: SYN or ACK probes to chosen ports
// of every target. A host's probes go out together, one round at a time,
// paced by a token bucket counted in packets, with retries, a deadline per
// round, several rounds if asked (count) and the neighbour-table window for
// on-link targets, as the ICMP sweep does.
//
// Over a raw socket the sweep keeps no connection: each segment carries the
// sweep's keyed cookie in its numbers (ProbeCookie::Tcp), and an answer is
// credited only when it matches the cookie of the host's current round for
// its address, port and probe kind (so it came from the probed address and
// port, to the address and port we sent from), and arrived before the
// round's deadline. Over connect() the kernel shakes hands, and an outcome is
// credited by its tag (host and round) and port.
#pragma once

#include <atomic>
#include <compare>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/ip_address.h"
#include "platform/inet/sweep_io.h"
#include "platform/inet/tcp_io.h"
#include "sweep/cookie.h"
#include "sweep/engine.h"
#include "sweep/neighbour_window.h"
#include "sweep/token_bucket.h"

namespace ps::sweep {

// One kind of probe: a SYN or an ACK to a port. A SYN is answered by a
// SYN-ACK (port open) or a reset (closed); an ACK by a reset, also through
// a filter that passes only what looks like established traffic.
struct TcpProbeKind {
  std::uint8_t flags = platform::kTcpSyn;  // kTcpSyn or kTcpAck
  std::uint16_t port = 0;
  auto operator<=>(const TcpProbeKind&) const = default;
};

class TcpSweep {
 public:
  // `targets` sorted and unique, of the socket's family. `probes`: sent to
  // every target each round (at most 255 kinds; a connect socket sends the
  // SYN kinds only). Targets inside one of `on_link` are paced by the
  // neighbour window over `neighbours` (may be null). Pointers must outlive
  // the sweep.
  TcpSweep(platform::MonotonicClock* clock, platform::TcpProbeSocket* socket,
           platform::NeighbourTable* neighbours, std::vector<IpAddress> targets,
           const std::vector<platform::ConnectedSubnet>& on_link,
           std::vector<TcpProbeKind> probes, SweepOptions options);

  // Runs until every host's outcome is final or Stop() was called.
  SweepSummary Run(SweepObserver* observer);
  // Async-signal-safe: no more sends; Run() returns with what it found.
  void Stop() { stop_.store(true, std::memory_order_relaxed); }

  // One per target, in target order; final once Run() returned. `sent`
  // counts rounds; the summary's `sent` counts packets (or attempts).
  const std::vector<HostResult>& results() const { return results_; }
  std::uint64_t on_link_count() const { return on_link_count_; }
  const NeighbourWindow& window() const { return window_; }

  // Tests may fix the key.
  void set_cookie(const ProbeCookie& cookie) { cookie_ = cookie; }

 private:
  enum class State : std::uint8_t { kQueued, kOutstanding, kFailed, kDone };
  struct Host {
    std::int64_t sent_ns = 0;
    std::int64_t deadline_ns = 0;
    std::uint16_t sequence = 0;
    std::uint16_t attempts = 0;     // sends of the current round
    std::uint16_t rounds_done = 0;
    std::uint8_t failed_ports = 0;  // connect: attempts of this round that failed
    std::uint8_t answered_by = 0;   // the kind that answered this round
    State state = State::kQueued;
    bool round_answered = false;
    bool on_link = false;
    bool contacted = false;
  };
  struct Pending {
    std::int64_t at_ns;
    std::uint32_t host;
  };

  void SendDue(std::int64_t now);
  std::vector<std::uint32_t> TakeBatch(std::int64_t now, std::size_t hosts);
  void AddProbes(std::uint32_t index, std::int64_t send_ns, const IpAddress& source);
  void Sent(std::uint32_t index, std::int64_t send_ns);
  void Fail(std::uint32_t index, int error);
  void Expire(std::int64_t drained_at);
  void Handle(const platform::TcpAnswer& a);
  std::int64_t Match(const platform::TcpAnswer& a, std::uint32_t index) const;
  void Credit(std::uint32_t index, std::size_t kind, const platform::TcpAnswer& a);
  void Resolve(std::uint32_t index, bool answered);
  void Settle(std::uint32_t index, State state);
  std::int64_t NextWake(std::int64_t now) const;
  SweepProgress Progress(std::int64_t now) const;
  std::int64_t Find(const IpAddress& address) const;
  bool raw() const { return socket_->kind() == platform::TcpProbeSocket::Kind::kRaw; }

  platform::MonotonicClock* clock_;
  platform::TcpProbeSocket* socket_;
  std::vector<TcpProbeKind> probes_;
  SweepOptions options_;
  TokenBucket pacing_;  // in packets
  ProbeCookie cookie_;
  NeighbourWindow window_;
  std::vector<HostResult> results_;
  std::vector<Host> hosts_;
  std::deque<std::uint32_t> ready_;      // may be sent now
  std::deque<std::uint32_t> ready_new_;  // on-link, first contact: wait for the window
  std::deque<Pending> pending_;          // in send order, so in deadline order
  std::deque<Pending> delayed_;          // next rounds of a count, by when they are due
  std::vector<platform::TcpProbe> out_;  // the batch being sent
  std::uint64_t on_link_count_ = 0;
  std::uint64_t finished_ = 0;
  std::uint64_t outstanding_ = 0;
  std::uint16_t next_sequence_ = 0;
  std::int64_t window_wait_until_ = 0;
  std::int64_t start_ns_ = 0;
  SweepSummary summary_;
  SweepObserver* observer_ = nullptr;
  std::atomic<bool> stop_{false};
};

}  // namespace ps::sweep

// TCP discovery for hosts that drop ping: SYN or ACK probes to chosen ports
// of every target. A host's probes go out together, one round at a time,
// scheduled by SweepCore as the ICMP sweep is (pacing in packets, retries, a
// deadline per round, several rounds if asked, the neighbour window).
//
// Over a raw socket the sweep keeps no connection: each segment carries the
// sweep's keyed cookie in its numbers (ProbeCookie::Tcp), and an answer is
// credited only when it matches the cookie of the host's current round for
// its address, port and probe kind (so it came from the probed address and
// port, to the address and port we sent from), and arrived before the
// round's deadline. Over connect() the kernel shakes hands, and an outcome is
// credited by its tag (host and round) and port.
#pragma once

#include <compare>
#include <cstdint>
#include <vector>

#include "core/ip_address.h"
#include "platform/inet/sweep_io.h"
#include "platform/inet/tcp_io.h"
#include "sweep/cookie.h"
#include "sweep/sweep_types.h"
#include "sweep/neighbour_window.h"
#include "sweep/sweep_core.h"

namespace ps::sweep {

// One kind of probe: a SYN or an ACK to a port. A SYN is answered by a
// SYN-ACK (port open) or a reset (closed); an ACK by a reset, also through
// a filter that passes only what looks like established traffic.
struct TcpProbeKind {
  std::uint8_t flags = platform::kTcpSyn;  // kTcpSyn or kTcpAck
  std::uint16_t port = 0;
  auto operator<=>(const TcpProbeKind&) const = default;
};

class TcpSweep : private ProbeTransport {
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
  SweepSummary Run(SweepObserver* observer) { return core_.Run(observer, this); }
  // Async-signal-safe: no more sends; Run() returns with what it found.
  void Stop() { core_.Stop(); }

  // One per target, in target order; final once Run() returned. `sent`
  // counts rounds; the summary's `sent` counts packets (or attempts).
  const HostResults& results() const { return core_.results(); }
  std::uint64_t on_link_count() const { return core_.on_link_count(); }
  const NeighbourWindow& window() const { return core_.window(); }

  // Tests may fix the key.
  void set_cookie(const ProbeCookie& cookie) { cookie_ = cookie; }

 private:
  // What a host's current round has heard.
  struct Round {
    std::uint8_t failed_ports = 0;  // connect: attempts of this round that failed
    std::uint8_t answered_by = 0;   // the kind that answered this round
    bool answered = false;
  };

  std::size_t packets_per_probe() const override { return probes_.size(); }
  std::size_t Room() const override { return socket_->Room(); }
  int Prepare(std::uint32_t index) override;
  // Probes count from `send_ns` (`went_ns` is left as it is).
  SendResult Send(std::span<const std::uint32_t> hosts, std::int64_t send_ns,
                  std::span<std::int64_t> went_ns) override;
  int Receive(std::int64_t wake_ns) override;
  const char* failure() const override { return "the TCP probe socket failed"; }
  void AddProbes(std::uint32_t index, std::int64_t send_ns, const IpAddress& source);
  void Handle(const platform::TcpAnswer& a);
  std::int64_t Match(const platform::TcpAnswer& a, std::uint32_t index) const;
  bool raw() const { return socket_->kind() == platform::TcpProbeSocket::Kind::kRaw; }

  platform::TcpProbeSocket* socket_;
  std::vector<TcpProbeKind> probes_;
  ProbeCookie cookie_;
  SweepCore core_;
  std::vector<Round> rounds_;
  std::vector<IpAddress> sources_;         // of the hosts Prepare readied, in order
  std::vector<platform::TcpProbe> out_;    // the batch being sent
  std::vector<platform::TcpAnswer> answers_;
};

}  // namespace ps::sweep

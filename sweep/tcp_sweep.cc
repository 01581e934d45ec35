#include "sweep/tcp_sweep.h"

#include <algorithm>
#include <cerrno>

namespace ps::sweep {
namespace {

// The kinds asked for, sorted and unique; connect() can only knock, so SYN
// kinds alone for it; at most 255.
std::vector<TcpProbeKind> Kinds(std::vector<TcpProbeKind> probes, bool raw) {
  std::sort(probes.begin(), probes.end());
  probes.erase(std::unique(probes.begin(), probes.end()), probes.end());
  std::vector<TcpProbeKind> kinds;
  for (const TcpProbeKind& k : probes) {
    if (raw || k.flags == platform::kTcpSyn) kinds.push_back(k);
  }
  if (kinds.size() > 255) kinds.resize(255);
  return kinds;
}

}  // namespace

TcpSweep::TcpSweep(platform::MonotonicClock* clock, platform::TcpProbeSocket* socket,
                   platform::NeighbourTable* neighbours, std::vector<IpAddress> targets,
                   const std::vector<platform::ConnectedSubnet>& on_link,
                   std::vector<TcpProbeKind> probes, SweepOptions options)
    : socket_(socket),
      probes_(Kinds(std::move(probes), socket->kind() == platform::TcpProbeSocket::Kind::kRaw)),
      core_(clock, neighbours, targets, on_link, options, !probes_.empty()),
      rounds_(targets.size()),
      answers_(kSweepBatch) {
  out_.reserve(kSweepBatch);
  sources_.reserve(kSweepBatch);
}

int TcpSweep::Prepare(std::uint32_t index) {
  IpAddress source;
  if (raw()) {
    const std::optional<IpAddress> found = socket_->Source(core_.result(index).address);
    if (!found) return ENETUNREACH;
    source = *found;
  }
  sources_.push_back(source);
  rounds_[index] = Round{};
  return 0;
}

ProbeTransport::SendResult TcpSweep::Send(std::span<const std::uint32_t> hosts,
                                          std::int64_t send_ns, std::span<std::int64_t>) {
  out_.clear();
  for (std::size_t i = 0; i < hosts.size(); ++i) AddProbes(hosts[i], send_ns, sources_[i]);
  sources_.clear();
  const platform::TcpProbeSocket::SendResult sent = socket_->Send(out_);
  return SendResult{sent.sent, sent.error};
}

void TcpSweep::AddProbes(std::uint32_t index, std::int64_t send_ns, const IpAddress& source) {
  const IpAddress& address = core_.result(index).address;
  const std::uint16_t our_port = socket_->source_port();
  const std::uint16_t sequence = core_.host(index).sequence;
  for (const TcpProbeKind& k : probes_) {
    platform::TcpProbe p;
    p.destination = address;
    p.source = source;
    p.port = k.port;
    p.flags = k.flags;
    if (raw()) {
      const std::uint32_t cookie = cookie_.Tcp(address, k.port, source, our_port, k.flags, sequence);
      // A SYN's answer acknowledges its sequence number; a reset to an ACK
      // takes its sequence number from the ACK's acknowledgement.
      p.sequence = cookie;
      p.acknowledgement = k.flags == platform::kTcpSyn ? 0 : cookie;
    }
    p.tag = static_cast<std::uint64_t>(index) << 16 | sequence;
    p.deadline_ns = send_ns + core_.options().timeout_ns;
    out_.push_back(p);
  }
}

int TcpSweep::Receive(std::int64_t wake_ns) {
  const int n = socket_->Receive(answers_, wake_ns);
  for (int i = 0; i < n; ++i) Handle(answers_[static_cast<std::size_t>(i)]);
  return n;
}

// Which probe of the host's current round `a` answers: its index in
// probes_, or -1.
std::int64_t TcpSweep::Match(const platform::TcpAnswer& a, std::uint32_t index) const {
  const std::uint16_t sequence = core_.host(index).sequence;
  for (std::size_t k = 0; k < probes_.size(); ++k) {
    const TcpProbeKind& kind = probes_[k];
    if (kind.port != a.from_port) continue;
    if (!raw()) {
      if ((a.tag & 0xFFFF) == sequence) return static_cast<std::int64_t>(k);
      continue;
    }
    if (a.to_port != socket_->source_port()) return -1;
    const std::uint32_t cookie = cookie_.Tcp(a.from, kind.port, a.to, a.to_port, kind.flags, sequence);
    const bool syn_answered = kind.flags == platform::kTcpSyn &&
                              (a.flags & platform::kTcpAck) != 0 &&
                              (a.flags & (platform::kTcpSyn | platform::kTcpRst)) != 0 &&
                              a.acknowledgement == cookie + 1;
    const bool ack_answered = kind.flags == platform::kTcpAck &&
                              (a.flags & (platform::kTcpRst | platform::kTcpSyn)) == platform::kTcpRst &&
                              a.sequence == cookie;
    if (syn_answered || ack_answered) return static_cast<std::int64_t>(k);
  }
  return -1;
}

void TcpSweep::Handle(const platform::TcpAnswer& a) {
  // connect() names the host in its tag; a raw answer by its source.
  const std::int64_t found = raw() ? core_.Find(a.from) : static_cast<std::int64_t>(a.tag >> 16);
  if (found < 0 || static_cast<std::size_t>(found) >= core_.size() ||
      core_.result(static_cast<std::uint32_t>(found)).address != a.from) {
    core_.Ignore();
    return;
  }
  const auto index = static_cast<std::uint32_t>(found);
  Round& round = rounds_[index];
  const std::int64_t kind = Match(a, index);
  const bool in_time = core_.InTime(index, a.received_ns);
  if (kind < 0) {
    core_.Ignore();  // forged, or for an earlier round
  } else if (a.error != 0) {
    // connect(): this port cannot be reached; the round fails when none can.
    if (!in_time || round.answered) return;
    core_.result(index).send_error = a.error;
    if (++round.failed_ports == probes_.size()) core_.Fail(index);
  } else if (round.answered) {
    // Another port's answer is news of nothing; the same one again a duplicate.
    if (round.answered_by == kind) core_.Duplicate(index);
  } else if (!in_time) {
    core_.Ignore();  // too late
  } else {
    round.answered = true;
    round.answered_by = static_cast<std::uint8_t>(kind);
    const TcpProbeKind& k = probes_[static_cast<std::size_t>(kind)];
    core_.Answer(index, a.received_ns, a.ttl, k.flags == platform::kTcpSyn ? Via::kTcpSyn : Via::kTcpAck,
                 k.port);
  }
}

}  // namespace ps::sweep

#include "sweep/tcp_sweep.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "platform/inet/route_blocks.h"

namespace ps::sweep {
namespace {

constexpr std::size_t kBatch = 256;  // probes a send, answers a read
constexpr std::int64_t kProgressNs = 100'000'000;

bool Inside(const IpAddress& a, const platform::ConnectedSubnet& s) {
  return !s.loopback && a != s.local && platform::SamePrefix(a, s.network, s.prefix);
}

// Failures that say nothing about the destination: try again.
bool Transient(int error) { return error == EINTR || error == EAGAIN || error == ENOBUFS; }

}  // namespace

TcpSweep::TcpSweep(platform::MonotonicClock* clock, platform::TcpProbeSocket* socket,
                   platform::NeighbourTable* neighbours, std::vector<IpAddress> targets,
                   const std::vector<platform::ConnectedSubnet>& on_link,
                   std::vector<TcpProbeKind> probes, SweepOptions options)
    : clock_(clock),
      socket_(socket),
      options_(options),
      // 25 ms of the rate, at most one batch: a small sweep goes out at once.
      pacing_(options.rate, 0.025, kBatch),
      window_(neighbours, targets.empty() ? IpAddress::Family::kV4 : targets.front().family()) {
  std::sort(probes.begin(), probes.end());
  probes.erase(std::unique(probes.begin(), probes.end()), probes.end());
  for (const TcpProbeKind& k : probes) {
    // connect() can only knock: SYN probes alone.
    if (raw() || k.flags == platform::kTcpSyn) probes_.push_back(k);
  }
  if (probes_.size() > 255) probes_.resize(255);
  options_.count = std::max(options_.count, 1);
  options_.retries = options_.count > 1 ? 0 : std::max(options_.retries, 0);
  results_.resize(targets.size());
  hosts_.resize(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    results_[i].address = targets[i];
    for (const auto& subnet : on_link) hosts_[i].on_link = hosts_[i].on_link || Inside(targets[i], subnet);
    on_link_count_ += hosts_[i].on_link ? 1 : 0;
    if (!probes_.empty()) (hosts_[i].on_link ? ready_new_ : ready_).push_back(static_cast<std::uint32_t>(i));
  }
  summary_.targets = targets.size();
}

std::int64_t TcpSweep::Find(const IpAddress& address) const {
  const auto it = std::lower_bound(results_.begin(), results_.end(), address,
                                   [](const HostResult& r, const IpAddress& a) { return r.address < a; });
  if (it == results_.end() || it->address != address) return -1;
  return it - results_.begin();
}

std::vector<std::uint32_t> TcpSweep::TakeBatch(std::int64_t now, std::size_t hosts) {
  while (!delayed_.empty() && delayed_.front().at_ns <= now) {
    ready_.push_back(delayed_.front().host);
    delayed_.pop_front();
  }
  std::vector<std::uint32_t> batch;
  while (batch.size() < hosts && !ready_.empty()) {
    batch.push_back(ready_.front());
    ready_.pop_front();
  }
  if (batch.size() < hosts && !ready_new_.empty() && now >= window_wait_until_) {
    const int room = window_.Room(now);
    int taken = 0;
    while (batch.size() < hosts && taken < room && !ready_new_.empty()) {
      batch.push_back(ready_new_.front());
      ready_new_.pop_front();
      ++taken;
    }
    window_.Used(now, taken);
    if (room == 0) window_wait_until_ = window_.RetryAt(now);
  }
  return batch;
}

void TcpSweep::AddProbes(std::uint32_t index, std::int64_t send_ns, const IpAddress& source) {
  const IpAddress& address = results_[index].address;
  const std::uint16_t our_port = socket_->source_port();
  const std::uint16_t sequence = hosts_[index].sequence;
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
    p.deadline_ns = send_ns + options_.timeout_ns;
    out_.push_back(p);
  }
}

void TcpSweep::Sent(std::uint32_t index, std::int64_t send_ns) {
  Host& h = hosts_[index];
  h.sent_ns = send_ns;
  h.deadline_ns = send_ns + options_.timeout_ns;
  h.state = State::kOutstanding;
  ++outstanding_;
  h.contacted = true;
  ++h.attempts;
  ++results_[index].sent;
  pending_.push_back(Pending{h.deadline_ns, index});
}

// This attempt cannot go (no route, refused by a firewall): it failed.
void TcpSweep::Fail(std::uint32_t index, int error) {
  results_[index].send_error = error;
  ++results_[index].sent;
  ++hosts_[index].attempts;
  hosts_[index].contacted = true;
  hosts_[index].state = State::kFailed;
  Resolve(index, false);
}

void TcpSweep::SendDue(std::int64_t now) {
  const std::size_t kinds = probes_.size();
  if (kinds == 0) return;
  std::size_t hosts = std::max<std::size_t>(kBatch / kinds, 1);
  if (pacing_.paced()) {
    // A host's round may take the bucket below zero; the rate holds on average.
    hosts = std::min(hosts, (pacing_.Available(now, kBatch) + kinds - 1) / kinds);
  }
  hosts = std::min(hosts, socket_->Room() / kinds);
  if (hosts == 0) return;
  const std::vector<std::uint32_t> batch = TakeBatch(now, hosts);
  if (batch.empty()) return;

  out_.clear();
  std::vector<std::uint32_t> going;
  const std::int64_t send_ns = clock_->NowNs();
  for (const std::uint32_t index : batch) {
    IpAddress source;
    if (raw()) {
      const std::optional<IpAddress> found = socket_->Source(results_[index].address);
      if (!found) {
        Fail(index, ENETUNREACH);
        continue;
      }
      source = *found;
    }
    hosts_[index].sequence = next_sequence_++;
    hosts_[index].round_answered = false;
    hosts_[index].failed_ports = 0;
    AddProbes(index, send_ns, source);
    going.push_back(index);
  }
  const platform::TcpProbeSocket::SendResult sent = socket_->Send(out_);
  const auto went = static_cast<std::size_t>(std::max(sent.sent, 0));
  std::size_t next = went / kinds;  // hosts whose whole round went
  for (std::size_t i = 0; i < next; ++i) Sent(going[i], send_ns);
  summary_.sent += went;
  pacing_.Take(went);
  if (next < going.size() && !Transient(sent.error)) Fail(going[next++], sent.error);
  // The rest go first next time, in their order.
  for (std::size_t i = going.size(); i > next; --i) {
    const std::uint32_t index = going[i - 1];
    (hosts_[index].on_link && !hosts_[index].contacted ? ready_new_ : ready_).push_front(index);
  }
}

void TcpSweep::Settle(std::uint32_t index, State state) {
  if (hosts_[index].state == State::kOutstanding) --outstanding_;
  hosts_[index].state = state;
}

void TcpSweep::Resolve(std::uint32_t index, bool answered) {
  Host& h = hosts_[index];
  if (!answered && h.attempts < 1 + options_.retries) {
    h.state = State::kQueued;
    ready_.push_back(index);  // retry
    return;
  }
  ++h.rounds_done;
  if (h.rounds_done < options_.count) {
    h.attempts = 0;
    h.state = State::kQueued;
    delayed_.push_back(Pending{h.sent_ns + options_.interval_ns, index});
    return;
  }
  h.state = State::kDone;
  ++finished_;
  HostResult& r = results_[index];
  if (r.received == 0) r.outcome = r.send_error != 0 ? Outcome::kError : Outcome::kSilent;
  if (observer_ != nullptr) observer_->OnFinished(r);
}

void TcpSweep::Expire(std::int64_t drained_at) {
  while (!pending_.empty() && pending_.front().at_ns <= drained_at) {
    const Pending p = pending_.front();
    pending_.pop_front();
    const Host& h = hosts_[p.host];
    if (h.state == State::kOutstanding && h.deadline_ns == p.at_ns) {
      Settle(p.host, State::kFailed);
      Resolve(p.host, false);
    }
  }
  while (!pending_.empty()) {
    const Host& h = hosts_[pending_.front().host];
    if (h.state == State::kOutstanding && h.deadline_ns == pending_.front().at_ns) break;
    pending_.pop_front();
  }
}

// Which probe of the host's current round `a` answers: its index in
// probes_, or -1.
std::int64_t TcpSweep::Match(const platform::TcpAnswer& a, std::uint32_t index) const {
  const Host& h = hosts_[index];
  for (std::size_t k = 0; k < probes_.size(); ++k) {
    const TcpProbeKind& kind = probes_[k];
    if (kind.port != a.from_port) continue;
    if (!raw()) {
      if ((a.tag & 0xFFFF) == h.sequence) return static_cast<std::int64_t>(k);
      continue;
    }
    if (a.to_port != socket_->source_port()) return -1;
    const std::uint32_t cookie =
        cookie_.Tcp(results_[index].address, kind.port, a.to, a.to_port, kind.flags, h.sequence);
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

void TcpSweep::Credit(std::uint32_t index, std::size_t kind, const platform::TcpAnswer& a) {
  Host& h = hosts_[index];
  HostResult& r = results_[index];
  const std::int64_t rtt = std::max<std::int64_t>(a.received_ns - h.sent_ns, 0);
  r.rtt_min_ns = r.received == 0 ? rtt : std::min(r.rtt_min_ns, rtt);
  r.rtt_max_ns = std::max(r.rtt_max_ns, rtt);
  r.rtt_sum_ns += rtt;
  r.ttl = a.ttl;
  ++r.received;
  ++summary_.replies;
  h.round_answered = true;
  h.answered_by = static_cast<std::uint8_t>(kind);
  if (r.received == 1) {
    r.outcome = Outcome::kAnswered;
    r.via = probes_[kind].flags == platform::kTcpSyn ? Via::kTcpSyn : Via::kTcpAck;
    r.via_port = probes_[kind].port;
    ++summary_.answered;
    if (observer_ != nullptr) observer_->OnAnswer(r);
  }
  Settle(index, State::kDone);
  Resolve(index, true);
}

void TcpSweep::Handle(const platform::TcpAnswer& a) {
  // connect() names the host in its tag; a raw answer by its source.
  const std::int64_t found = raw() ? Find(a.from) : static_cast<std::int64_t>(a.tag >> 16);
  if (found < 0 || static_cast<std::size_t>(found) >= results_.size() ||
      results_[static_cast<std::size_t>(found)].address != a.from) {
    ++summary_.ignored;
    return;
  }
  const auto index = static_cast<std::uint32_t>(found);
  Host& h = hosts_[index];
  const std::int64_t kind = Match(a, index);
  const bool in_time = h.state == State::kOutstanding && a.received_ns < h.deadline_ns;
  if (kind < 0) {
    ++summary_.ignored;  // forged, or for an earlier round
  } else if (a.error != 0) {
    // connect(): this port cannot be reached; the round fails when none can.
    if (!in_time || h.round_answered) return;
    results_[index].send_error = a.error;
    if (++h.failed_ports == probes_.size()) {
      Settle(index, State::kFailed);
      Resolve(index, false);
    }
  } else if (h.round_answered) {
    // Another port's answer is news of nothing; the same one again a duplicate.
    if (h.answered_by == kind) {
      ++results_[index].duplicates;
      ++summary_.duplicates;
    }
  } else if (!in_time) {
    ++summary_.ignored;  // too late
  } else {
    Credit(index, static_cast<std::size_t>(kind), a);
  }
}

std::int64_t TcpSweep::NextWake(std::int64_t now) const {
  std::int64_t wake = now + kProgressNs;
  if (!pending_.empty()) wake = std::min(wake, pending_.front().at_ns);
  if (!delayed_.empty()) wake = std::min(wake, delayed_.front().at_ns);
  // With no room (connect), an answer or a deadline makes some.
  const bool room = socket_->Room() >= probes_.size();
  if ((!ready_.empty() || !ready_new_.empty()) && room) {
    std::int64_t at = pacing_.NextSendAt(now);
    if (ready_.empty()) at = std::max(at, window_wait_until_);
    wake = std::min(wake, at);
  }
  return wake;
}

SweepProgress TcpSweep::Progress(std::int64_t now) const {
  SweepProgress p;
  p.targets = results_.size();
  p.finished = finished_;
  p.sent = summary_.sent;
  p.answered = summary_.answered;
  p.elapsed_ns = now - start_ns_;
  const double queued = static_cast<double>(ready_.size() + ready_new_.size() + delayed_.size());
  const double rate = options_.rate > 0 ? options_.rate / std::max<std::size_t>(probes_.size(), 1) : 100000;
  p.remaining_ns = static_cast<std::int64_t>(queued / rate * 1e9) +
                   (outstanding_ == 0 && queued == 0 ? 0 : options_.timeout_ns);
  return p;
}

SweepSummary TcpSweep::Run(SweepObserver* observer) {
  observer_ = observer;
  start_ns_ = clock_->NowNs();
  pacing_.Start(start_ns_);
  std::int64_t drained_at = start_ns_;
  std::int64_t next_progress = start_ns_ + kProgressNs;
  std::vector<platform::TcpAnswer> answers(kBatch);
  for (;;) {
    const std::int64_t now = clock_->NowNs();
    Expire(drained_at);
    if (stop_.load(std::memory_order_relaxed)) {
      summary_.interrupted = true;
      break;
    }
    SendDue(now);
    if (ready_.empty() && ready_new_.empty() && delayed_.empty() && outstanding_ == 0) break;
    if (observer_ != nullptr && now >= next_progress) {
      observer_->OnProgress(Progress(now));
      next_progress = now + kProgressNs;
    }
    const std::int64_t before = clock_->NowNs();
    const int n = socket_->Receive(answers, NextWake(before));
    if (n < 0) {
      summary_.socket_status = Status::Failure("the TCP probe socket failed", -n);
      break;
    }
    for (int i = 0; i < n; ++i) Handle(answers[static_cast<std::size_t>(i)]);
    if (static_cast<std::size_t>(n) < answers.size()) drained_at = before;
  }
  summary_.answered = summary_.errors = 0;
  for (HostResult& r : results_) {
    if (r.received > 0) {
      r.outcome = Outcome::kAnswered;
      ++summary_.answered;
    } else if (r.send_error != 0) {
      r.outcome = Outcome::kError;
      ++summary_.errors;
    }
  }
  summary_.elapsed_ns = clock_->NowNs() - start_ns_;
  observer_ = nullptr;
  return summary_;
}

}  // namespace ps::sweep

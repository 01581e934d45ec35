#include "sweep/engine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace ps::sweep {
namespace {

constexpr std::size_t kBatch = 256;
constexpr std::int64_t kProgressNs = 100'000'000;

bool Inside(const IpAddress& a, const platform::ConnectedSubnet& s) {
  if (a.family() != s.network.family() || s.loopback || a == s.local) return false;
  // The first `prefix` bits of both, bytes in network order.
  const int whole = s.prefix / 8;
  if (std::memcmp(a.data(), s.network.data(), static_cast<std::size_t>(whole)) != 0) return false;
  const int rest = s.prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (a.data()[whole] & mask) == (s.network.data()[whole] & mask);
}

// The last four bytes as a number (IPv4: the address).
std::uint32_t Low32(const IpAddress& a) {
  const std::uint8_t* p = a.data() + a.size() - 4;
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Sorted, unique targets of one family that are consecutive addresses.
bool Consecutive(std::span<const IpAddress> t) {
  if (t.empty()) return false;
  const IpAddress& first = t.front();
  const IpAddress& last = t.back();
  const std::size_t high = first.size() - 4;
  return std::memcmp(first.data(), last.data(), high) == 0 &&
         Low32(last) - Low32(first) == t.size() - 1;
}

}  // namespace

Sweep::Sweep(platform::MonotonicClock* clock, platform::IcmpSocket* socket,
             platform::NeighbourTable* neighbours, std::span<const IpAddress> targets,
             const std::vector<platform::ConnectedSubnet>& on_link, SweepOptions options)
    : clock_(clock),
      socket_(socket),
      consecutive_(Consecutive(targets)),
      options_(options),
      // The bucket holds 25 ms of the rate (at most one batch): a small sweep
      // goes out at once, a large one at the rate.
      pacing_(options.rate, 0.025, kBatch),
      // One family a sweep: its neighbour (ARP or NDP) table.
      window_(neighbours, targets.empty() ? IpAddress::Family::kV4 : targets.front().family()) {
  options_.count = std::max(options_.count, 1);
  options_.retries = options_.count > 1 ? 0 : std::max(options_.retries, 0);
  results_.resize(targets.size());
  hosts_.resize(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    results_[i].address = targets[i];
    for (const auto& subnet : on_link) hosts_[i].on_link = hosts_[i].on_link || Inside(targets[i], subnet);
    on_link_count_ += hosts_[i].on_link ? 1 : 0;
    (hosts_[i].on_link ? ready_new_ : ready_).push_back(static_cast<std::uint32_t>(i));
  }
  summary_.targets = targets.size();
}

double Sweep::ExpectedOnLinkSeconds() const {
  const int budget = window_.budget();
  if (on_link_count_ <= static_cast<std::uint64_t>(budget) || budget <= 0) return 0;
  const double rounds = std::ceil(static_cast<double>(on_link_count_ - budget) / budget);
  return rounds * (window_.pinned_seconds() + 5) + options_.timeout_ns / 1e9;
}

std::int64_t Sweep::Find(const IpAddress& address) const {
  if (consecutive_) {
    const IpAddress& first = results_.front().address;
    const std::uint64_t offset = Low32(address) - Low32(first);
    if (address.family() != first.family() || offset >= results_.size() ||
        results_[offset].address != address) {
      return -1;
    }
    return static_cast<std::int64_t>(offset);
  }
  const auto it = std::lower_bound(results_.begin(), results_.end(), address,
                                   [](const HostResult& r, const IpAddress& a) { return r.address < a; });
  if (it == results_.end() || it->address != address) return -1;
  return it - results_.begin();
}

void Sweep::Queue(std::uint32_t index) {
  hosts_[index].state = State::kQueued;
  ready_.push_back(index);
}

void Sweep::SendDue(std::int64_t now) {
  while (!delayed_.empty() && delayed_.front().deadline_ns <= now) {
    ready_.push_back(delayed_.front().host);
    delayed_.pop_front();
  }
  const std::vector<std::uint32_t>& batch = TakeBatch(now, pacing_.Available(now, kBatch));
  if (batch.empty()) return;
  const std::int64_t send_ns = clock_->NowNs();
  const platform::IcmpSocket::SendResult sent = SendBatch(batch, send_ns);
  const auto went = static_cast<std::size_t>(std::max(sent.sent, 0));
  for (std::size_t i = 0; i < went; ++i) MarkSent(batch[i], send_ns);
  summary_.sent += went;
  pacing_.Take(went);
  std::size_t next = went;
  if (next < batch.size() && sent.error != EINTR && sent.error != EAGAIN && sent.error != ENOBUFS) {
    FailSend(batch[next++], sent.error);
  }
  // The rest go first next time, in their order.
  for (std::size_t i = batch.size(); i > next; --i) {
    (hosts_[batch[i - 1]].on_link && !hosts_[batch[i - 1]].contacted ? ready_new_ : ready_)
        .push_front(batch[i - 1]);
  }
}

const std::vector<std::uint32_t>& Sweep::TakeBatch(std::int64_t now, std::size_t budget) {
  std::vector<std::uint32_t>& batch = batch_;
  batch.clear();
  while (batch.size() < budget && !ready_.empty()) {
    batch.push_back(ready_.front());
    ready_.pop_front();
  }
  if (batch.size() < budget && !ready_new_.empty() && now >= window_wait_until_) {
    const int room = window_.Room(now);
    int taken = 0;
    while (batch.size() < budget && taken < room && !ready_new_.empty()) {
      batch.push_back(ready_new_.front());
      ready_new_.pop_front();
      ++taken;
    }
    window_.Used(now, taken);
    if (room == 0) window_wait_until_ = window_.RetryAt(now);
  }
  return batch;
}

platform::IcmpSocket::SendResult Sweep::SendBatch(const std::vector<std::uint32_t>& batch,
                                                  std::int64_t send_ns) {
  std::vector<std::uint8_t>& data = batch_data_;
  data.resize(batch.size() * ProbeCookie::kDataSize);
  std::vector<platform::EchoRequest>& requests = requests_;
  requests.resize(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    Host& h = hosts_[batch[i]];
    h.sequence = next_sequence_++;
    std::uint8_t* d = data.data() + i * ProbeCookie::kDataSize;
    cookie_.Fill(results_[batch[i]].address, h.sequence, send_ns, d);
    requests[i] = platform::EchoRequest{results_[batch[i]].address, h.sequence, d,
                                        static_cast<std::uint16_t>(ProbeCookie::kDataSize)};
  }
  return socket_->Send(requests);
}

void Sweep::MarkSent(std::uint32_t index, std::int64_t send_ns) {
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

void Sweep::FailSend(std::uint32_t index, int error) {
  // This destination cannot be sent to (no route, refused by a firewall):
  // that attempt failed.
  results_[index].send_error = error;
  ++results_[index].sent;
  ++hosts_[index].attempts;
  hosts_[index].contacted = true;
  hosts_[index].state = State::kFailed;
  Resolve(index, false);
}

void Sweep::Settle(std::uint32_t index, State state) {
  if (hosts_[index].state == State::kOutstanding) --outstanding_;
  hosts_[index].state = state;
}

void Sweep::Resolve(std::uint32_t index, bool answered) {
  Host& h = hosts_[index];
  if (!answered && h.attempts < 1 + options_.retries) {
    Queue(index);  // retry
    return;
  }
  ++h.probes_done;
  if (h.probes_done < options_.count) {
    if (answered) {
      h.previous_sent_ns = h.sent_ns;
      h.previous_sequence = h.sequence;
    }
    h.attempts = 0;
    // The next probe of a host waits for its interval (after the one before).
    hosts_[index].state = State::kQueued;
    delayed_.push_back(Pending{h.sent_ns + options_.interval_ns, index});
    return;
  }
  if (h.state != State::kAnswered) h.state = State::kDone;
  ++finished_;
  HostResult& r = results_[index];
  if (r.received == 0)
    r.outcome = r.error_type != 0 || r.send_error != 0 ? Outcome::kError : Outcome::kSilent;
  if (observer_ != nullptr) observer_->OnFinished(r);
}

void Sweep::Expire(std::int64_t drained_at) {
  while (!pending_.empty() && pending_.front().deadline_ns <= drained_at) {
    const Pending p = pending_.front();
    pending_.pop_front();
    Host& h = hosts_[p.host];
    if (h.state == State::kOutstanding && h.deadline_ns == p.deadline_ns) {
      Settle(p.host, State::kFailed);
      Resolve(p.host, false);
    }
  }
  // Entries of probes settled early need no wake-up.
  while (!pending_.empty()) {
    const Host& h = hosts_[pending_.front().host];
    if (h.state == State::kOutstanding && h.deadline_ns == pending_.front().deadline_ns) break;
    pending_.pop_front();
  }
}

void Sweep::HandleReply(const platform::IcmpMessage& m) {
  const std::int64_t found = m.from == m.about ? Find(m.from) : -1;
  if (found < 0) {
    ++summary_.ignored;
    return;
  }
  const auto index = static_cast<std::uint32_t>(found);
  const auto send_ns = cookie_.Verify(m.from, m.sequence, m.data.data(), m.data_size);
  Host& h = hosts_[index];
  HostResult& r = results_[index];
  const bool current = send_ns && *send_ns == h.sent_ns && m.sequence == h.sequence;
  const bool previous = send_ns && *send_ns == h.previous_sent_ns && m.sequence == h.previous_sequence;
  if (current && h.state == State::kOutstanding && m.received_ns < h.deadline_ns) {
    const std::int64_t rtt = std::max<std::int64_t>(m.received_ns - h.sent_ns, 0);
    r.rtt_min_ns = r.received == 0 ? rtt : std::min(r.rtt_min_ns, rtt);
    r.rtt_max_ns = std::max(r.rtt_max_ns, rtt);
    r.rtt_sum_ns += rtt;
    r.ttl = m.ttl;
    ++r.received;
    ++summary_.replies;
    Settle(index, State::kAnswered);
    if (r.received == 1) {
      r.outcome = Outcome::kAnswered;
      r.via = Via::kIcmp;
      ++summary_.answered;
      if (observer_ != nullptr) observer_->OnAnswer(r);
    }
    Resolve(index, true);
  } else if (previous || (current && h.state == State::kAnswered)) {
    ++r.duplicates;
    ++summary_.duplicates;
  } else {
    ++summary_.ignored;  // forged, or too late
  }
}

void Sweep::HandleError(const platform::IcmpMessage& m) {
  const std::int64_t found = Find(m.about);
  if (found < 0) {
    ++summary_.ignored;
    return;
  }
  const auto index = static_cast<std::uint32_t>(found);
  Host& h = hosts_[index];
  bool ours = m.sequence == h.sequence;
  // Most errors quote the whole request; check its cookie when they do.
  if (m.data_size >= ProbeCookie::kDataSize) {
    const auto send_ns = cookie_.Verify(m.about, m.sequence, m.data.data(), m.data_size);
    ours = ours && send_ns && *send_ns == h.sent_ns;
  }
  if (!ours || h.state != State::kOutstanding || m.received_ns >= h.deadline_ns) {
    ++summary_.ignored;
    return;
  }
  HostResult& r = results_[index];
  r.error_type = m.type;
  r.error_code = m.code;
  r.error_from = m.from;
  Settle(index, State::kFailed);
  Resolve(index, false);
}

void Sweep::Handle(const platform::IcmpMessage& m) {
  if (m.kind == platform::IcmpMessage::Kind::kEchoReply) {
    HandleReply(m);
  } else {
    HandleError(m);
  }
}

std::int64_t Sweep::NextWake(std::int64_t now) const {
  std::int64_t wake = now + kProgressNs;
  if (!pending_.empty()) wake = std::min(wake, pending_.front().deadline_ns);
  if (!delayed_.empty()) wake = std::min(wake, delayed_.front().deadline_ns);
  const bool want_send = !ready_.empty() || (!ready_new_.empty());
  if (want_send) {
    std::int64_t at = pacing_.NextSendAt(now);
    if (ready_.empty()) at = std::max(at, window_wait_until_);
    wake = std::min(wake, at);
  }
  return wake;
}

SweepProgress Sweep::Progress(std::int64_t now) const {
  SweepProgress p;
  p.targets = results_.size();
  p.finished = finished_;
  p.sent = summary_.sent;
  p.answered = summary_.answered;
  p.elapsed_ns = now - start_ns_;
  const double queued = static_cast<double>(ready_.size() + ready_new_.size() + delayed_.size());
  const double rate = options_.rate > 0 ? options_.rate : 100000;
  p.remaining_ns = static_cast<std::int64_t>(queued / rate * 1e9) +
                   (outstanding_ == 0 && queued == 0 ? 0 : options_.timeout_ns);
  return p;
}

SweepSummary Sweep::Run(SweepObserver* observer) {
  observer_ = observer;
  start_ns_ = clock_->NowNs();
  pacing_.Start(start_ns_);
  std::int64_t drained_at = start_ns_;
  std::int64_t next_progress = start_ns_ + kProgressNs;
  std::vector<platform::IcmpMessage> messages(kBatch);
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
    const int n = socket_->Receive(messages, NextWake(before));
    if (n < 0) {
      summary_.socket_status = Status::Failure(results_.empty() || results_.front().address.is_v4()
                                                   ? "the ICMP socket failed"
                                                   : "the ICMPv6 socket failed",
                                               -n);
      break;
    }
    for (int i = 0; i < n; ++i) Handle(messages[static_cast<std::size_t>(i)]);
    if (static_cast<std::size_t>(n) < messages.size()) drained_at = before;
  }
  summary_.answered = summary_.errors = 0;
  for (HostResult& r : results_) {
    if (r.received > 0) {
      r.outcome = Outcome::kAnswered;
      ++summary_.answered;
    } else if (r.error_type != 0 || r.send_error != 0) {
      r.outcome = Outcome::kError;
      ++summary_.errors;
    }
  }
  summary_.elapsed_ns = clock_->NowNs() - start_ns_;
  observer_ = nullptr;
  return summary_;
}

}  // namespace ps::sweep

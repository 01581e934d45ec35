#include "sweep/sweep_core.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/inet/route_blocks.h"

namespace ps::sweep {
namespace {

constexpr std::int64_t kProgressNs = 100'000'000;

bool Inside(const IpAddress& a, const platform::ConnectedSubnet& s) {
  return !s.loopback && a != s.local && platform::SamePrefix(a, s.network, s.prefix);
}

// Failures that say nothing about the destination: try again.
bool Transient(int error) { return error == EINTR || error == EAGAIN || error == ENOBUFS; }

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

SweepCore::SweepCore(platform::MonotonicClock* clock, platform::NeighbourTable* neighbours,
                     std::span<const IpAddress> targets,
                     const std::vector<platform::ConnectedSubnet>& on_link, SweepOptions options,
                     bool queue)
    : clock_(clock),
      consecutive_(Consecutive(targets)),
      options_(options),
      // The bucket holds 25 ms of the rate (at most one batch): a small sweep
      // goes out at once, a large one at the rate.
      pacing_(options.rate, 0.025, kSweepBatch),
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
    if (queue) (hosts_[i].on_link ? ready_new_ : ready_).push_back(static_cast<std::uint32_t>(i));
  }
  summary_.targets = targets.size();
  batch_.reserve(kSweepBatch);
  going_.reserve(kSweepBatch);
  went_.reserve(kSweepBatch);
}

double SweepCore::ExpectedOnLinkSeconds() const {
  if (on_link_count_ == 0) return 0;
  const int budget = window_.budget();
  if (on_link_count_ <= static_cast<std::uint64_t>(budget) || budget <= 0) return 0;
  const double rounds = std::ceil(static_cast<double>(on_link_count_ - budget) / budget);
  return rounds * (window_.pinned_seconds() + 5) + options_.timeout_ns / 1e9;
}

std::int64_t SweepCore::Find(const IpAddress& address) const {
  if (results_.empty()) return -1;
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

void SweepCore::Requeue(std::uint32_t index, bool front) {
  // An on-link host not yet contacted still waits for the window.
  auto& queue = hosts_[index].on_link && !hosts_[index].contacted ? ready_new_ : ready_;
  if (front) queue.push_front(index);
  else queue.push_back(index);
}

void SweepCore::SendDue(std::int64_t now) {
  while (!delayed_.empty() && delayed_.front().at_ns <= now) {
    ready_.push_back(delayed_.front().host);
    delayed_.pop_front();
  }
  const std::size_t per = std::max<std::size_t>(transport_->packets_per_probe(), 1);
  std::size_t budget = std::max<std::size_t>(kSweepBatch / per, 1);
  // A host's probe may take the bucket below zero; the rate holds on average.
  if (pacing_.paced()) budget = std::min(budget, (pacing_.Available(now, kSweepBatch) + per - 1) / per);
  budget = std::min(budget, transport_->Room() / per);
  if (budget == 0) return;
  TakeBatch(now, budget);
  if (batch_.empty()) return;
  const std::int64_t send_ns = clock_->NowNs();
  going_.clear();
  for (const std::uint32_t index : batch_) {
    if (const int error = transport_->Prepare(index); error != 0) {
      FailSend(index, error);
      continue;
    }
    hosts_[index].sequence = next_sequence_++;
    going_.push_back(index);
  }
  if (going_.empty()) return;
  went_.assign(going_.size(), send_ns);
  const ProbeTransport::SendResult sent = transport_->Send(going_, send_ns, went_);
  const auto went = static_cast<std::size_t>(std::max(sent.sent, 0));
  std::size_t next = went / per;  // hosts whose whole probe went
  for (std::size_t i = 0; i < next; ++i) MarkSent(going_[i], send_ns, went_[i]);
  summary_.sent += went;
  pacing_.Take(went);
  if (next < going_.size() && !Transient(sent.error)) FailSend(going_[next++], sent.error);
  // The rest go first next time, in their order.
  for (std::size_t i = going_.size(); i > next; --i) Requeue(going_[i - 1], true);
}

void SweepCore::TakeBatch(std::int64_t now, std::size_t budget) {
  batch_.clear();
  while (batch_.size() < budget && !ready_.empty()) {
    batch_.push_back(ready_.front());
    ready_.pop_front();
  }
  if (batch_.size() < budget && !ready_new_.empty() && now >= window_wait_until_) {
    const int room = window_.Room(now);
    int taken = 0;
    while (batch_.size() < budget && taken < room && !ready_new_.empty()) {
      batch_.push_back(ready_new_.front());
      ready_new_.pop_front();
      ++taken;
    }
    window_.Used(now, taken);
    if (room == 0) window_wait_until_ = window_.RetryAt(now);
  }
}

void SweepCore::MarkSent(std::uint32_t index, std::int64_t send_ns, std::int64_t went_ns) {
  Host& h = hosts_[index];
  h.sent_ns = send_ns;
  h.went_after_ns = static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(went_ns - send_ns, 0, std::numeric_limits<std::uint32_t>::max()));
  h.state = State::kOutstanding;
  ++outstanding_;
  h.contacted = true;
  ++h.attempts;
  ++results_[index].sent;
  pending_.push_back(Pending{h.went_ns() + options_.timeout_ns, index});
}

// This destination cannot be sent to (no route, refused by a firewall):
// that attempt failed.
void SweepCore::FailSend(std::uint32_t index, int error) {
  results_[index].send_error = error;
  ++results_[index].sent;
  ++hosts_[index].attempts;
  hosts_[index].contacted = true;
  hosts_[index].state = State::kFailed;
  Resolve(index, false);
}

void SweepCore::Settle(std::uint32_t index, State state) {
  if (hosts_[index].state == State::kOutstanding) --outstanding_;
  hosts_[index].state = state;
}

void SweepCore::Resolve(std::uint32_t index, bool answered) {
  Host& h = hosts_[index];
  if (!answered && h.attempts < 1 + options_.retries) {
    h.state = State::kQueued;
    ready_.push_back(index);  // retry
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
    h.state = State::kQueued;
    delayed_.push_back(Pending{h.went_ns() + options_.interval_ns, index});
    return;
  }
  if (h.state != State::kAnswered) h.state = State::kDone;
  ++finished_;
  HostResult& r = results_[index];
  if (r.received == 0)
    r.outcome = r.error_type != 0 || r.send_error != 0 ? Outcome::kError : Outcome::kSilent;
  if (observer_ != nullptr) observer_->OnFinished(r);
}

void SweepCore::Answer(std::uint32_t index, std::int64_t received_ns, std::uint8_t ttl, Via via,
                       std::uint16_t port) {
  HostResult& r = results_[index];
  const std::int64_t rtt = std::max<std::int64_t>(received_ns - hosts_[index].went_ns(), 0);
  r.rtt_min_ns = r.received == 0 ? rtt : std::min(r.rtt_min_ns, rtt);
  r.rtt_max_ns = std::max(r.rtt_max_ns, rtt);
  r.rtt_sum_ns += rtt;
  r.ttl = ttl;
  ++r.received;
  ++summary_.replies;
  Settle(index, State::kAnswered);
  if (r.received == 1) {
    r.outcome = Outcome::kAnswered;
    r.via = via;
    r.via_port = port;
    ++summary_.answered;
    if (observer_ != nullptr) observer_->OnAnswer(r);
  }
  Resolve(index, true);
}

void SweepCore::Duplicate(std::uint32_t index) {
  ++results_[index].duplicates;
  ++summary_.duplicates;
}

void SweepCore::Fail(std::uint32_t index) {
  Settle(index, State::kFailed);
  Resolve(index, false);
}

// Whether `p` is the deadline of its host's outstanding probe, not of an
// earlier one settled or sent again since.
bool SweepCore::Current(const Pending& p) const {
  const Host& h = hosts_[p.host];
  return h.state == State::kOutstanding && h.went_ns() + options_.timeout_ns == p.at_ns;
}

void SweepCore::Expire(std::int64_t drained_at) {
  while (!pending_.empty() && pending_.front().at_ns <= drained_at) {
    const Pending p = pending_.front();
    pending_.pop_front();
    if (Current(p)) Fail(p.host);
  }
  // Entries of probes settled early need no wake-up.
  while (!pending_.empty() && !Current(pending_.front())) pending_.pop_front();
}

std::int64_t SweepCore::NextWake(std::int64_t now) const {
  std::int64_t wake = now + kProgressNs;
  if (!pending_.empty()) wake = std::min(wake, pending_.front().at_ns);
  if (!delayed_.empty()) wake = std::min(wake, delayed_.front().at_ns);
  // With no room (connect), an answer or a deadline makes some.
  const bool room = transport_->Room() >= transport_->packets_per_probe();
  if ((!ready_.empty() || !ready_new_.empty()) && room) {
    std::int64_t at = pacing_.NextSendAt(now);
    if (ready_.empty()) at = std::max(at, window_wait_until_);
    wake = std::min(wake, at);
  }
  return wake;
}

SweepProgress SweepCore::Progress(std::int64_t now) const {
  SweepProgress p;
  p.targets = results_.size();
  p.finished = finished_;
  p.sent = summary_.sent;
  p.answered = summary_.answered;
  p.elapsed_ns = now - start_ns_;
  const double queued = static_cast<double>(ready_.size() + ready_new_.size() + delayed_.size());
  const double per = static_cast<double>(std::max<std::size_t>(transport_->packets_per_probe(), 1));
  const double rate = options_.rate > 0 ? options_.rate / per : 100000;
  p.remaining_ns = static_cast<std::int64_t>(queued / rate * 1e9) +
                   (outstanding_ == 0 && queued == 0 ? 0 : options_.timeout_ns);
  return p;
}

SweepSummary SweepCore::Run(SweepObserver* observer, ProbeTransport* transport) {
  observer_ = observer;
  transport_ = transport;
  start_ns_ = clock_->NowNs();
  pacing_.Start(start_ns_);
  std::int64_t drained_at = start_ns_;
  std::int64_t next_progress = start_ns_ + kProgressNs;
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
    const int n = transport_->Receive(NextWake(before));
    if (n < 0) {
      summary_.socket_status = Status::Failure(transport_->failure(), -n);
      break;
    }
    if (static_cast<std::size_t>(n) < kSweepBatch) drained_at = before;
  }
  Finish();
  observer_ = nullptr;
  transport_ = nullptr;
  return summary_;
}

void SweepCore::Finish() {
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
}

static_assert(sizeof(SweepCore::Host) <= 32, "a /16's host states fit one 2 MB page");

}  // namespace ps::sweep

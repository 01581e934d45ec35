#include "lan/arp_prober.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include "lan/arp_packet.h"

namespace ps::sweep {
namespace {

constexpr std::size_t kBatch = 256;
constexpr std::size_t kReceiveBatch = 256;
constexpr int kReadRounds = 4;  // batches read at most between two sends
// The bucket holds this much of a second's requests, so timer lateness does
// not lower the rate.
constexpr double kBurstSeconds = 0.005;
// How long a full device queue is left to drain before sending again.
constexpr std::int64_t kBlockedNs = 200'000;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

}  // namespace

ArpProber::ArpProber(platform::PacketSocket* socket, platform::MonotonicClock* clock,
                     ArpSource source, ArpProbeOptions options)
    : socket_(socket),
      clock_(clock),
      source_(source),
      options_(options),
      pacing_(options.rate, kBurstSeconds, kBatch) {}

bool ArpProber::HasWork() const {
  return !fresh_.empty() || !retry_.empty() ||
         outstanding_head_ < outstanding_.size();
}

ArpProber::Target* ArpProber::Find(std::uint32_t address) {
  if (consecutive_) {
    const std::uint32_t offset = address - targets_.front().address;
    return offset < targets_.size() ? &targets_[offset] : nullptr;
  }
  const auto it = std::lower_bound(
      targets_.begin(), targets_.end(), address,
      [](const Target& t, std::uint32_t a) { return t.address < a; });
  return it != targets_.end() && it->address == address ? &*it : nullptr;
}

void ArpProber::Expire(std::int64_t now) {
  while (outstanding_head_ < outstanding_.size()) {
    const std::uint32_t index = outstanding_[outstanding_head_];
    const Target& target = targets_[index];
    if (target.answer < 0 && target.deadline_ns > now) break;
    ++outstanding_head_;
    if (target.answer < 0 && target.tries <= options_.retries) retry_.push_back(index);
  }
  if (outstanding_head_ > 4096 && outstanding_head_ * 2 > outstanding_.size()) {
    outstanding_.erase(outstanding_.begin(), outstanding_.begin() + static_cast<long>(outstanding_head_));
    outstanding_head_ = 0;
  }
}

void ArpProber::Send(std::int64_t now) {
  if (now < blocked_until_ns_) return;
  const std::size_t allowed = pacing_.Available(now, kBatch);
  std::array<std::array<std::uint8_t, kArpPacketSize>, kBatch> packets;
  std::array<platform::OutgoingFrame, kBatch> frames;
  std::array<std::uint32_t, kBatch> indices;
  std::size_t n = 0;
  while (n < allowed) {
    std::uint32_t index;
    if (!retry_.empty()) {
      index = retry_.front();
      retry_.pop_front();
    } else if (!fresh_.empty()) {
      index = fresh_.front();
      fresh_.pop_front();
    } else {
      break;
    }
    if (targets_[index].answer >= 0) continue;  // answered late to an earlier request
    packets[n] = BuildArpRequest(source_.mac, source_.address, targets_[index].address);
    frames[n] = {kBroadcastMac, packets[n].data(), static_cast<std::uint16_t>(kArpPacketSize)};
    indices[n++] = index;
  }
  if (n == 0) return;
  const auto result = socket_->Send(std::span(frames.data(), n));
  const std::size_t sent = static_cast<std::size_t>(result.sent);
  for (std::size_t i = 0; i < sent; ++i) {
    Target& target = targets_[indices[i]];
    target.sent_ns = now;
    target.deadline_ns = now + options_.timeout_ns;
    ++target.tries;
    outstanding_.push_back(indices[i]);
  }
  summary_.sent += sent;
  pacing_.Take(sent);
  // What was taken but not sent goes back in front, in order.
  for (std::size_t i = n; i > sent; --i) retry_.push_front(indices[i - 1]);
  if (sent < n) {
    if (result.error == ENOBUFS || result.error == EAGAIN || result.error == EINTR) {
      blocked_until_ns_ = now + kBlockedNs;
    } else {
      summary_.socket_status = Status::Failure("the ARP socket failed", result.error);
    }
  }
}

void ArpProber::Process(const platform::IncomingFrame& frame, ArpObserver* observer) {
  const auto packet = ParseArp(std::span(frame.data.data(), frame.size));
  if (!packet || packet->operation != kArpReply) return;
  Target* target = Find(packet->sender_ip);
  if (target == nullptr || packet->sender_ip == packet->target_ip ||
      packet->target_ip != source_.address || packet->target_mac != source_.mac ||
      packet->sender_mac.IsGroup() || packet->sender_mac.IsZero()) {
    ++summary_.ignored;
    return;
  }
  if (target->answer >= 0) {
    ArpAnswer& answer = answers_[static_cast<std::size_t>(target->answer)];
    ++answer.duplicates;
    ++summary_.duplicates;
    if (packet->sender_mac != answer.mac) answer.other_mac = true;
    return;
  }
  if (target->tries == 0 || frame.received_ns < target->sent_ns ||
      frame.received_ns > target->deadline_ns) {
    ++summary_.ignored;
    return;
  }
  target->answer = static_cast<int>(answers_.size());
  answers_.push_back({.address = target->address,
                      .mac = packet->sender_mac,
                      .rtt_ns = frame.received_ns - target->sent_ns,
                      .sent = target->tries});
  ++summary_.answered;
  if (observer != nullptr) observer->OnAnswer(answers_.back());
}

void ArpProber::Reset(std::span<const std::uint32_t> targets) {
  summary_ = ArpSummary{};
  answers_.clear();
  retry_ = IndexQueue();
  outstanding_.clear();
  outstanding_head_ = 0;
  targets_.clear();
  targets_.reserve(targets.size());
  outstanding_.reserve(targets.size());
  for (std::uint32_t address : targets) targets_.push_back({address});
  const auto by_address = [](const Target& a, const Target& b) { return a.address < b.address; };
  if (!std::is_sorted(targets_.begin(), targets_.end(), by_address))  // as a block's are
    std::sort(targets_.begin(), targets_.end(), by_address);
  targets_.erase(std::unique(targets_.begin(), targets_.end(),
                             [](const Target& a, const Target& b) { return a.address == b.address; }),
                 targets_.end());
  summary_.targets = targets_.size();
  answers_.reserve(targets_.size());  // pages are taken only as answers come
  consecutive_ = !targets_.empty() &&
                 targets_.back().address - targets_.front().address == targets_.size() - 1;
  QueueFresh(targets);
  blocked_until_ns_ = 0;
}

void ArpProber::QueueFresh(std::span<const std::uint32_t> targets) {
  fresh_ = IndexQueue();
  // Sorted, and as many as are unique: that is targets_' order, one run.
  if (targets.size() == targets_.size() && std::is_sorted(targets.begin(), targets.end())) {
    for (std::uint32_t i = 0; i < targets_.size(); ++i) fresh_.push_back(i);
    return;
  }
  for (std::uint32_t address : targets) {
    Target* target = Find(address);
    if (target->tries == 0) {
      target->tries = -1;  // queued
      fresh_.push_back(static_cast<std::uint32_t>(target - targets_.data()));
    }
  }
  for (Target& target : targets_) target.tries = 0;
}

ArpAnswers ArpProber::TakeAnswers() {
  // By address: handed over when they came in order, else picked out in the
  // order of targets_ (no sort of a /16's answers).
  ArpAnswers answers;
  const auto by_address = [](const ArpAnswer& a, const ArpAnswer& b) {
    return a.address < b.address;
  };
  if (std::is_sorted(answers_.begin(), answers_.end(), by_address)) {
    answers = std::move(answers_);
    answers_.clear();
    return answers;
  }
  answers.reserve(answers_.size());
  for (const Target& t : targets_) {
    if (t.answer >= 0) answers.push_back(answers_[static_cast<std::size_t>(t.answer)]);
  }
  return answers;
}

std::int64_t ArpProber::NextWake(std::int64_t now) const {
  std::int64_t wake = outstanding_head_ < outstanding_.size()
                          ? targets_[outstanding_[outstanding_head_]].deadline_ns
                          : kNever;
  if (!fresh_.empty() || !retry_.empty()) {
    wake = std::min(wake, std::max(pacing_.NextSendAt(now), blocked_until_ns_));
  }
  return wake;
}

Result<std::size_t> ArpProber::ReceiveAndProcess(std::span<platform::IncomingFrame> frames,
                                                 std::int64_t deadline_ns, ArpObserver* observer) {
  Result<std::size_t> n = socket_->Receive(frames, deadline_ns);
  if (n.ok()) {
    for (std::size_t i = 0; i < n.value(); ++i) Process(frames[i], observer);
  }
  return n;
}

ArpAnswers ArpProber::Run(std::span<const std::uint32_t> targets, ArpObserver* observer,
                                      const std::atomic<bool>* stop) {
  Reset(targets);
  const std::int64_t start = clock_->NowNs();
  pacing_.Start(start);
  std::vector<platform::IncomingFrame> frames(kReceiveBatch);
  while (HasWork() && summary_.socket_status.ok()) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
      summary_.interrupted = true;
      break;
    }
    const std::int64_t now = clock_->NowNs();
    Expire(now);
    Send(now);
    if (!HasWork() || !summary_.socket_status.ok()) break;
    // A full batch may leave more queued (several answers to one request):
    // read on before sending again, so that replies never outrun the reads.
    std::int64_t deadline = NextWake(now);
    for (int round = 0; round < kReadRounds; ++round, deadline = 0) {
      const auto n = ReceiveAndProcess(frames, deadline, observer);
      if (!n.ok()) {
        summary_.socket_status = Status::Failure("the ARP socket failed", n.status().system_error());
        break;
      }
      if (n.value() < frames.size()) break;
    }
  }
  // Replies received before their deadline may still be queued.
  for (int round = 0; round < 64 && summary_.socket_status.ok(); ++round) {
    const auto n = ReceiveAndProcess(frames, 0, observer);
    if (!n.ok() || n.value() == 0) break;
  }
  summary_.elapsed_ns = clock_->NowNs() - start;
  return TakeAnswers();
}

}  // namespace ps::sweep

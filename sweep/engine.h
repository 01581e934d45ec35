// The concurrent sweep: ICMP echo to every target over one socket, paced by a
// token bucket, with retries, a per-probe deadline, several probes per host
// if asked, and the neighbour-table window for on-link targets. Replies are
// credited only when they come from the probed address, carry this sweep's
// cookie for that very request, and arrived before its deadline.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"
#include "platform/inet/sweep_io.h"
#include "sweep/cookie.h"
#include "sweep/neighbour_window.h"
#include "sweep/token_bucket.h"

namespace ps::sweep {

struct SweepOptions {
  std::int64_t timeout_ns = 500'000'000;  // per probe
  int retries = 1;   // further probes to a silent host (with count 1)
  int count = 1;     // probes per host; with more, no retries, loss is counted
  std::int64_t interval_ns = 1'000'000'000;  // between the probes of one host (count > 1)
  double rate = 10000;  // packets per second; 0 = as fast as the socket takes them
};

enum class Outcome : std::uint8_t { kSilent, kAnswered, kError };
// The probe whose answer a result shows: ICMP echo, ARP, a TCP SYN or ACK.
enum class Via : std::uint8_t { kNone, kIcmp, kArp, kTcpSyn, kTcpAck };

struct HostResult {
  IpAddress address;
  Outcome outcome = Outcome::kSilent;
  std::uint8_t ttl = 0;          // of the last reply
  std::uint8_t error_type = 0;   // of the last ICMP error about a probe
  std::uint8_t error_code = 0;
  IpAddress error_from;          // who reported it
  int send_error = 0;            // errno of the last failed send
  int sent = 0;
  int received = 0;
  int duplicates = 0;
  std::int64_t rtt_min_ns = 0;
  std::int64_t rtt_max_ns = 0;
  std::int64_t rtt_sum_ns = 0;
  Via via = Via::kNone;        // what answered first
  std::uint16_t via_port = 0;  // TCP: the port probed
};

struct SweepProgress {
  std::uint64_t targets = 0;
  std::uint64_t finished = 0;
  std::uint64_t sent = 0;
  std::uint64_t answered = 0;
  std::int64_t elapsed_ns = 0;
  std::int64_t remaining_ns = 0;  // estimate
};

struct SweepSummary {
  std::uint64_t targets = 0;
  std::uint64_t answered = 0;    // hosts
  std::uint64_t errors = 0;      // hosts with an ICMP error and no answer
  std::uint64_t sent = 0;        // requests
  std::uint64_t replies = 0;     // credited replies
  std::uint64_t duplicates = 0;
  std::uint64_t ignored = 0;     // forged, unverifiable or late messages
  std::int64_t elapsed_ns = 0;
  bool interrupted = false;
  Status socket_status;          // a failure: the socket's, which ended the sweep
};

class SweepObserver {
 public:
  virtual ~SweepObserver() = default;
  // First answer of a host. Called on the sweep's thread: keep it short.
  virtual void OnAnswer(const HostResult&) {}
  // A host's outcome is final (duplicates may still be counted).
  virtual void OnFinished(const HostResult&) {}
  // About every 100 ms.
  virtual void OnProgress(const SweepProgress&) {}
};

class Sweep {
 public:
  // `targets` sorted and unique (TargetList::Expand), of one family. Targets inside one of
  // `on_link` (not loopback) are paced by the neighbour window over
  // `neighbours` (may be null). All pointers must outlive the sweep.
  Sweep(platform::MonotonicClock* clock, platform::IcmpSocket* socket,
        platform::NeighbourTable* neighbours, std::span<const IpAddress> targets,
        const std::vector<platform::ConnectedSubnet>& on_link, SweepOptions options);

  // Runs until every host's outcome is final or Stop() was called.
  SweepSummary Run(SweepObserver* observer);
  // Async-signal-safe: no more sends; Run() returns with what it found.
  void Stop() { stop_.store(true, std::memory_order_relaxed); }

  // One per target, in target order; final once Run() returned.
  const std::vector<HostResult>& results() const { return results_; }
  // The results, moved out (results() is empty afterwards): a /16's take 5 MB.
  std::vector<HostResult> TakeResults() { return std::move(results_); }

  std::uint64_t on_link_count() const { return on_link_count_; }
  // When the neighbour window will hold the on-link targets back: the time it
  // expects for them; 0 otherwise.
  double ExpectedOnLinkSeconds() const;
  const NeighbourWindow& window() const { return window_; }

  // Tests may fix the key.
  void set_cookie(const ProbeCookie& cookie) { cookie_ = cookie; }

 private:
  enum class State : std::uint8_t { kQueued, kOutstanding, kAnswered, kFailed, kDone };
  struct Host {
    std::int64_t sent_ns = 0;
    std::int64_t deadline_ns = 0;
    std::int64_t previous_sent_ns = -1;  // the probe answered before this one
    std::uint16_t sequence = 0;
    std::uint16_t previous_sequence = 0;
    std::uint16_t attempts = 0;  // sends of the current probe
    std::uint16_t probes_done = 0;
    State state = State::kQueued;
    bool on_link = false;
    bool contacted = false;
  };
  struct Pending {
    std::int64_t deadline_ns;
    std::uint32_t host;
  };

  // Sends what is due now, as pacing and the neighbour window allow.
  void SendDue(std::int64_t now);
  // The steps of SendDue: up to `budget` hosts to send to (those ready
  // first, then new on-link ones the window has room for), their requests
  // sent, each one that went marked, and a destination that cannot be sent to.
  // TakeBatch fills and returns batch_.
  const std::vector<std::uint32_t>& TakeBatch(std::int64_t now, std::size_t budget);
  platform::IcmpSocket::SendResult SendBatch(const std::vector<std::uint32_t>& batch,
                                             std::int64_t send_ns);
  void MarkSent(std::uint32_t index, std::int64_t send_ns);
  void FailSend(std::uint32_t index, int error);
  void Expire(std::int64_t drained_at);
  void Handle(const platform::IcmpMessage& m);
  void HandleReply(const platform::IcmpMessage& m);
  void HandleError(const platform::IcmpMessage& m);
  void Resolve(std::uint32_t index, bool answered);
  void Settle(std::uint32_t index, State state);
  void Queue(std::uint32_t index);
  std::int64_t NextWake(std::int64_t now) const;
  SweepProgress Progress(std::int64_t now) const;
  std::int64_t Find(const IpAddress& address) const;

  platform::MonotonicClock* clock_;
  platform::IcmpSocket* socket_;
  // Set when the targets are one run of consecutive addresses (a block or
  // range): a reply's host is then found by subtraction, not by search.
  bool consecutive_ = false;
  SweepOptions options_;
  TokenBucket pacing_;
  ProbeCookie cookie_;
  NeighbourWindow window_;
  std::vector<HostResult> results_;
  std::vector<Host> hosts_;
  std::deque<std::uint32_t> ready_;        // may be sent now
  std::deque<std::uint32_t> ready_new_;    // on-link, first contact: wait for the window
  std::deque<Pending> pending_;            // in send order, so in deadline order
  std::deque<Pending> delayed_;            // next probes of a count, by when they are due
  // SendDue's batch, kept between calls.
  std::vector<std::uint32_t> batch_;
  std::vector<std::uint8_t> batch_data_;
  std::vector<platform::EchoRequest> requests_;
  std::uint64_t on_link_count_ = 0;
  std::uint64_t finished_ = 0;
  std::uint64_t outstanding_ = 0;  // hosts with a probe awaiting its answer
  std::uint16_t next_sequence_ = 0;
  std::int64_t window_wait_until_ = 0;
  std::int64_t start_ns_ = 0;
  SweepSummary summary_;
  SweepObserver* observer_ = nullptr;
  std::atomic<bool> stop_{false};
};

}  // namespace ps::sweep

// The scheduling loop every sweep shares, whatever it probes with: targets
// queued in order, probes sent in batches paced by a token bucket (counted in
// packets), a deadline per probe, retries of silent hosts, several probes per
// host if asked (count), the neighbour-table window for on-link targets,
// progress, Ctrl-C and the results. The protocol's part, how probes go out
// and how answers are read and matched, sits behind ProbeTransport; it tells
// the core what each answer means (Answer, Duplicate, Ignore, Fail).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <span>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"
#include "platform/inet/sweep_io.h"
#include "sweep/index_queue.h"
#include "sweep/neighbour_window.h"
#include "sweep/sweep_types.h"
#include "sweep/token_bucket.h"

namespace ps::sweep {

// Packets a send takes, answers a read.
inline constexpr std::size_t kSweepBatch = 256;

class ProbeTransport {
 public:
  struct SendResult {
    int sent = 0;   // packets handed to the kernel, from the first
    int error = 0;  // when fewer than asked: errno for the first one not sent
  };

  virtual ~ProbeTransport() = default;
  // Packets one probe of a host takes (TCP: one a port); at least 1.
  virtual std::size_t packets_per_probe() const { return 1; }
  // How many more packets may go now.
  virtual std::size_t Room() const { return std::numeric_limits<std::size_t>::max(); }
  // Readies the next probe of host `index`, before it is numbered: 0, or
  // the errno that says it cannot go (no route).
  virtual int Prepare(std::uint32_t /*index*/) { return 0; }
  // Sends the probe of each of `hosts` (their `sequence` set), stamped
  // `send_ns` (the probe's identity, read before the call), a host's packets
  // together and in order. `went_ns` has an entry a host, each `send_ns` on
  // the call: a transport that can tell when a host's probe was handed to the
  // system (one send call a packet under Wine takes a quarter of a second for
  // a batch) puts that time there. Round trips and deadlines count from it.
  virtual SendResult Send(std::span<const std::uint32_t> hosts, std::int64_t send_ns,
                          std::span<std::int64_t> went_ns) = 0;
  // Waits until an answer is queued or `wake_ns`, reads what is queued and
  // tells the core what each means. Returns how many; -errno on a failure.
  // Fewer than kSweepBatch means the queue was drained.
  virtual int Receive(std::int64_t wake_ns) = 0;
  // The sweep's complaint when Receive failed.
  virtual const char* failure() const = 0;
};

class SweepCore {
 public:
  enum class State : std::uint8_t { kQueued, kOutstanding, kAnswered, kFailed, kDone };
  struct Host {
    std::int64_t sent_ns = 0;  // the current probe's stamp (Send's send_ns)
    std::int64_t previous_sent_ns = -1;  // the probe answered before this one
    // From sent_ns until the probe went (capped at 4.29 s).
    std::uint32_t went_after_ns = 0;
    std::uint16_t sequence = 0;
    std::uint16_t previous_sequence = 0;
    std::uint16_t attempts = 0;  // sends of the current probe
    std::uint16_t probes_done = 0;
    State state = State::kQueued;
    bool on_link = false;
    bool contacted = false;

    // When the current probe went: its round trip counts from here, and its
    // deadline is this plus the time-out.
    std::int64_t went_ns() const { return sent_ns + went_after_ns; }
  };

  // `targets` sorted and unique, of one family. Targets inside one of
  // `on_link` (not loopback) are paced by the neighbour window over
  // `neighbours` (may be null). With `queue` false nothing is sent.
  SweepCore(platform::MonotonicClock* clock, platform::NeighbourTable* neighbours,
            std::span<const IpAddress> targets,
            const std::vector<platform::ConnectedSubnet>& on_link, SweepOptions options,
            bool queue = true);

  // Runs until every host's outcome is final or Stop() was called.
  SweepSummary Run(SweepObserver* observer, ProbeTransport* transport);
  void Stop() { stop_.store(true, std::memory_order_relaxed); }

  // For the transport. The index of `address` among the targets, or -1.
  std::int64_t Find(const IpAddress& address) const;
  std::size_t size() const { return results_.size(); }
  const Host& host(std::uint32_t index) const { return hosts_[index]; }
  // Whether an answer received at `received_ns` is in time for the current
  // probe of `index`: one is outstanding and its deadline has not passed.
  bool InTime(std::uint32_t index, std::int64_t received_ns) const {
    const Host& h = hosts_[index];
    return h.state == State::kOutstanding && received_ns < h.went_ns() + options_.timeout_ns;
  }
  HostResult& result(std::uint32_t index) { return results_[index]; }
  // The current probe of `index` was answered in time, at `received_ns`.
  void Answer(std::uint32_t index, std::int64_t received_ns, std::uint8_t ttl, Via via,
              std::uint16_t port = 0);
  void Duplicate(std::uint32_t index);
  void Ignore() { ++summary_.ignored; }
  // The current probe of `index` failed (an error came back about it).
  void Fail(std::uint32_t index);

  HostResults& results() { return results_; }
  const HostResults& results() const { return results_; }
  std::uint64_t on_link_count() const { return on_link_count_; }
  double ExpectedOnLinkSeconds() const;
  const NeighbourWindow& window() const { return window_; }
  const SweepOptions& options() const { return options_; }

 private:
  struct Pending {
    std::int64_t at_ns;
    std::uint32_t host;
  };

  void SendDue(std::int64_t now);
  void TakeBatch(std::int64_t now, std::size_t budget);
  void MarkSent(std::uint32_t index, std::int64_t send_ns, std::int64_t went_ns);
  void FailSend(std::uint32_t index, int error);
  bool Current(const Pending& p) const;
  void Expire(std::int64_t drained_at);
  void Resolve(std::uint32_t index, bool answered);
  void Settle(std::uint32_t index, State state);
  void Requeue(std::uint32_t index, bool front);
  std::int64_t NextWake(std::int64_t now) const;
  SweepProgress Progress(std::int64_t now) const;
  void Finish();

  platform::MonotonicClock* clock_;
  // Set when the targets are one run of consecutive addresses (a block or
  // range): an answer's host is then found by subtraction, not by search.
  bool consecutive_ = false;
  SweepOptions options_;
  TokenBucket pacing_;  // in packets
  NeighbourWindow window_;
  HostResults results_;
  std::vector<Host, platform::BulkAllocator<Host>> hosts_;
  IndexQueue ready_;      // may be sent now
  IndexQueue ready_new_;  // on-link, first contact: wait for the window
  std::deque<Pending> pending_;          // in send order, so in deadline order
  std::deque<Pending> delayed_;          // next probes of a count, by when they are due
  std::vector<std::uint32_t> batch_;     // SendDue's, kept between calls
  std::vector<std::uint32_t> going_;
  std::vector<std::int64_t> went_;       // going_'s send times
  std::uint64_t on_link_count_ = 0;
  std::uint64_t finished_ = 0;
  std::uint64_t outstanding_ = 0;  // hosts with a probe awaiting its answer
  std::uint16_t next_sequence_ = 0;
  std::int64_t window_wait_until_ = 0;
  std::int64_t start_ns_ = 0;
  SweepSummary summary_;
  SweepObserver* observer_ = nullptr;
  ProbeTransport* transport_ = nullptr;
  std::atomic<bool> stop_{false};
};

}  // namespace ps::sweep

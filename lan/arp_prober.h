// ARP discovery on one interface: a "who has" request to every target, paced
// by a token bucket, with retries and a per-request deadline. A reply counts
// only when it answers a request of this sweep: from a target that was asked,
// addressed to the asking address and MAC, and received before the deadline
// of that target's latest request. Gratuitous announcements and unsolicited
// replies never count; a second reply from an answered host is counted as a
// duplicate, never listed twice.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "core/mac_address.h"
#include "core/status.h"
#include "platform/clock/monotonic_clock.h"
#include "platform/link/packet_io.h"
#include "platform/memory/bulk_memory.h"
#include "sweep/index_queue.h"
#include "sweep/token_bucket.h"

namespace ps::sweep {

struct ArpProbeOptions {
  std::int64_t timeout_ns = 500'000'000;  // per request
  int retries = 1;                        // further requests to a silent target
  double rate = 10000;                    // requests per second; 0 = as fast as the socket takes them
};

// Who asks: the interface's MAC and this machine's IPv4 address on the
// targets' subnet (host order).
struct ArpSource {
  MacAddress mac;
  std::uint32_t address = 0;
};

struct ArpAnswer {
  std::uint32_t address = 0;  // host order
  MacAddress mac;             // the replying station's, from the ARP sender field
  bool other_mac = false;     // some further reply named a different MAC
  std::int64_t rtt_ns = 0;    // from the request answered to the reply's receipt
  int sent = 0;               // requests sent to it
  int duplicates = 0;         // further replies
};
// In this order, without padding to spare: a /16's answers fill one 2 MB
// page, where 40 bytes took two (each cleared by the kernel when first touched).
static_assert(sizeof(ArpAnswer) == 32);

// The answers by address: a /16's are megabytes, in bulk memory.
using ArpAnswers = std::vector<ArpAnswer, platform::BulkAllocator<ArpAnswer>>;

struct ArpSummary {
  std::uint64_t targets = 0;
  std::uint64_t answered = 0;
  std::uint64_t sent = 0;        // requests
  std::uint64_t duplicates = 0;
  std::uint64_t ignored = 0;     // gratuitous, unsolicited, misaddressed or late replies
  std::int64_t elapsed_ns = 0;
  bool interrupted = false;
  Status socket_status;          // a failure: the socket's, which ended the probing
};

class ArpObserver {
 public:
  virtual ~ArpObserver() = default;
  // First reply of a host. Called on the sweep's thread: keep it short.
  virtual void OnAnswer(const ArpAnswer&) {}
};

class ArpProber {
 public:
  // `socket` is an ARP socket on the targets' interface; both it and `clock`
  // outlive the prober.
  ArpProber(platform::PacketSocket* socket, platform::MonotonicClock* clock, ArpSource source,
            ArpProbeOptions options);

  // Probes every target (host order; repeats are probed once) until each has
  // answered or run out of requests, or until *stop becomes true. Returns the
  // hosts that answered, by address.
  ArpAnswers Run(std::span<const std::uint32_t> targets, ArpObserver* observer = nullptr,
                             const std::atomic<bool>* stop = nullptr);

  const ArpSummary& summary() const { return summary_; }

 private:
  struct Target {
    std::uint32_t address = 0;
    std::int64_t sent_ns = 0;      // latest request
    std::int64_t deadline_ns = 0;  // of the latest request
    int tries = 0;
    int answer = -1;               // index into answers_
  };

  // Forgets the last run and queues `targets`, each once.
  void Reset(std::span<const std::uint32_t> targets);
  // The targets' indices in the caller's order, each once, into fresh_.
  void QueueFresh(std::span<const std::uint32_t> targets);
  // The answers by address (answers_ is left empty).
  ArpAnswers TakeAnswers();
  // When to stop waiting for replies: the next deadline, or the next send.
  std::int64_t NextWake(std::int64_t now) const;
  // Reads what arrives until `deadline_ns` (0: what is queued) and processes
  // it; how many frames came, or why the socket failed.
  Result<std::size_t> ReceiveAndProcess(std::span<platform::IncomingFrame> frames,
                                        std::int64_t deadline_ns, ArpObserver* observer);
  void Send(std::int64_t now);
  void Expire(std::int64_t now);
  void Process(const platform::IncomingFrame& frame, ArpObserver* observer);
  Target* Find(std::uint32_t address);
  bool HasWork() const;

  platform::PacketSocket* socket_;
  platform::MonotonicClock* clock_;
  ArpSource source_;
  ArpProbeOptions options_;
  ArpSummary summary_;

  // A /16's take megabytes, filled as fast as the link goes: bulk memory.
  template <class T>
  using Bulk = std::vector<T, platform::BulkAllocator<T>>;
  Bulk<Target> targets_;         // sorted by address
  bool consecutive_ = false;     // targets_ are one run of addresses: Find subtracts
  IndexQueue fresh_;  // indices never asked, in the caller's order
  IndexQueue retry_;  // indices due another request (served first)
  Bulk<std::uint32_t> outstanding_;     // indices by deadline (FIFO: one timeout for all)
  std::size_t outstanding_head_ = 0;
  ArpAnswers answers_;

  sweep::TokenBucket pacing_;
  std::int64_t blocked_until_ns_ = 0;  // the device queue was full
};

}  // namespace ps::sweep

// What every sweep takes and gives: its options, a result per host, progress,
// the summary, and the observer told of answers as they come.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"
#include "platform/memory/bulk_memory.h"

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

// One per target, in target order: a /16's take 6 MB, in bulk memory.
using HostResults = std::vector<HostResult, platform::BulkAllocator<HostResult>>;

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

}  // namespace ps::sweep

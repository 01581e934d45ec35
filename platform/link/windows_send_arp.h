// ARP on Windows, which gives programs no link-layer socket: the packet
// socket seam (packet_io.h) over SendARP, which asks the system to resolve
// one address and blocks until it has (or has given up, about 3 s later).
// Each request frame sent becomes one SendARP call on a bounded pool of
// threads; each address resolved comes back as the reply frame its owner
// would have sent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/link/packet_io.h"

namespace ps::platform {

class SendArpSocket : public PacketSocket {
 public:
  // Resolves `target` from `source` (both host order): true with its MAC, or
  // false when it did not answer. Called from the pool's threads at once.
  using Resolve = std::function<bool(std::uint32_t target, std::uint32_t source, MacAddress* mac)>;

  // `workers` calls at most at once; `clock` stamps the replies.
  SendArpSocket(Resolve resolve, MonotonicClock* clock, int workers);
  ~SendArpSocket() override;  // waits for the calls under way

  // Takes ARP requests (others are dropped, as counted sent) while a worker
  // is free; stops with EAGAIN when none is. A request for an address whose
  // call is under way joins that call.
  SendResult Send(std::span<const OutgoingFrame> frames) override;
  Result<std::size_t> Receive(std::span<IncomingFrame> out, std::int64_t deadline_ns) override;

 private:
  struct Job {
    std::uint32_t target;
    std::uint32_t source;
    MacAddress source_mac;
  };
  void Work();

  Resolve resolve_;
  MonotonicClock* clock_;
  std::mutex mutex_;
  std::condition_variable work_ready_, answer_ready_;
  std::deque<Job> jobs_;
  std::set<std::uint32_t> busy_;  // targets queued or being resolved
  int idle_ = 0;
  bool stopping_ = false;
  std::deque<IncomingFrame> answers_;
  std::vector<std::thread> workers_;
};

}  // namespace ps::platform

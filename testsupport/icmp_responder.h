// A stand-in host for tests: a thread with a raw ICMP socket that answers echo
// requests to chosen addresses, after a chosen delay and with chosen data.
// Turn the kernel's own echo replies off (net.ipv4.icmp_echo_ignore_all=1)
// while it runs, or both answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ps::testing {

class IcmpResponder {
 public:
  struct Behaviour {
    int delay_ms = 0;
    std::optional<std::string> data;  // reply data; unset = echo the request's
    std::string from;                 // reply's source, dotted; "" = the address asked
    bool unreachable = false;         // answer with "host unreachable" instead
    bool bad_checksum = false;        // send the answer with a wrong ICMP checksum
  };

  IcmpResponder();  // starts the thread; check ok()
  ~IcmpResponder();
  IcmpResponder(const IcmpResponder&) = delete;
  IcmpResponder& operator=(const IcmpResponder&) = delete;

  bool ok() const { return fd_ >= 0; }
  // `address` dotted, e.g. "127.0.0.50".
  void Answer(const std::string& address, Behaviour behaviour);
  // Replies sent so far.
  int replies_sent() const { return replies_sent_.load(); }
  // Echo requests seen to the addresses it answers.
  int requests_seen() const { return requests_seen_.load(); }
  // Blocks until `count` replies went out or `timeout_ms` passed.
  bool WaitForReplies(int count, int timeout_ms) const;

 private:
  // An echo reply ready to go out after its delay.
  struct Reply {
    int delay_ms;
    std::uint32_t to;                  // network order
    std::vector<std::uint8_t> packet;  // full IP packet
  };

  void Run();
  std::optional<Behaviour> BehaviourFor(std::uint32_t address);
  // The reply to one received IP packet, if it is an echo request to an
  // address this responder answers.
  std::optional<Reply> ReplyTo(const std::uint8_t* packet, std::size_t n);

  int fd_ = -1;
  int wake_[2] = {-1, -1};
  std::mutex mu_;
  std::map<std::uint32_t, Behaviour> behaviours_;  // by network-order address
  std::atomic<int> replies_sent_{0};
  std::atomic<int> requests_seen_{0};
  std::thread thread_;
};

}  // namespace ps::testing

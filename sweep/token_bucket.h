// Pacing by a token bucket, for the ICMP sweep, the ARP prober and the TCP
// sweep alike: on average at most `rate` sends a second, and after a pause a
// burst of up to the bucket's size, so that a timer that fires late does not
// lower the rate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ps::sweep {

class TokenBucket {
 public:
  // `rate` sends a second (0: no pacing at all); the bucket holds
  // `burst_seconds` of the rate, at least one send and at most `max_burst`.
  TokenBucket(double rate, double burst_seconds, std::size_t max_burst);

  // Fills the bucket at `now_ns`.
  void Start(std::int64_t now_ns);
  // How many sends may go now, at most `limit` (`limit` when unpaced). Time
  // before the latest refill is never counted twice, so a clock that steps
  // back gives nothing until it passes that point again.
  std::size_t Available(std::int64_t now_ns, std::size_t limit);
  // `n` sends went out.
  void Take(std::size_t n);
  // When the next send may go: `now_ns` if one may now, else when the
  // bucket will hold one again.
  std::int64_t NextSendAt(std::int64_t now_ns) const;

  bool paced() const { return rate_ > 0; }
  double size() const { return size_; }

 private:
  double rate_;
  double size_;
  double tokens_ = 0;
  std::int64_t refilled_ns_ = 0;
};

}  // namespace ps::sweep

#include "sweep/token_bucket.h"

#include <algorithm>
#include <cmath>

namespace ps::sweep {

TokenBucket::TokenBucket(double rate, double burst_seconds, std::size_t max_burst)
    : rate_(std::max(rate, 0.0)),
      size_(std::clamp(rate_ * burst_seconds, 1.0, std::max(1.0, static_cast<double>(max_burst)))) {
}

void TokenBucket::Start(std::int64_t now_ns) {
  tokens_ = size_;
  refilled_ns_ = now_ns;
}

std::size_t TokenBucket::Available(std::int64_t now_ns, std::size_t limit) {
  if (!paced()) return limit;
  if (now_ns > refilled_ns_) {
    tokens_ = std::min(size_, tokens_ + static_cast<double>(now_ns - refilled_ns_) * rate_ / 1e9);
    refilled_ns_ = now_ns;
  }
  return std::min(limit, static_cast<std::size_t>(std::max(tokens_, 0.0)));
}

void TokenBucket::Take(std::size_t n) {
  if (paced()) tokens_ -= static_cast<double>(n);
}

std::int64_t TokenBucket::NextSendAt(std::int64_t now_ns) const {
  if (!paced() || tokens_ >= 1) return now_ns;
  // Tokens accrue only after the latest refill.
  return std::max(now_ns, refilled_ns_) +
         static_cast<std::int64_t>(std::ceil((1 - tokens_) * 1e9 / rate_));
}

}  // namespace ps::sweep

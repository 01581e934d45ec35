// Monotonic time for pacing and deadlines, behind a seam so tests can run a
// fake one.
#pragma once

#include <cstdint>

namespace ps::platform {

// Monotonic time in nanoseconds (CLOCK_MONOTONIC on Linux).
class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  virtual std::int64_t NowNs() = 0;
};

// The process-wide real clock.
MonotonicClock& SystemMonotonicClock();

}  // namespace ps::platform

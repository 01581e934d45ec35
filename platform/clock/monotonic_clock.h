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

// What to subtract from a real-time (wall clock) stamp, such as the kernel's
// receive stamp of a packet, to place it on SystemMonotonicClock(). Read anew
// for each batch of stamps: a step of the real-time clock changes it.
std::int64_t RealtimeOffsetNs();

}  // namespace ps::platform

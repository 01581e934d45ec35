// The one place that reads the system's clocks for pacing and deadlines.
#include <time.h>

#include "platform/clock/monotonic_clock.h"

namespace ps::platform {
namespace {

std::int64_t ClockNs(clockid_t id) {
  timespec now{};
  clock_gettime(id, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class LinuxMonotonicClock : public MonotonicClock {
 public:
  std::int64_t NowNs() override { return ClockNs(CLOCK_MONOTONIC); }
};

}  // namespace

MonotonicClock& SystemMonotonicClock() {
  static LinuxMonotonicClock clock;
  return clock;
}

std::int64_t RealtimeOffsetNs() { return ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_MONOTONIC); }

}  // namespace ps::platform

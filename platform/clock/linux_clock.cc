#include <time.h>

#include "platform/clock/monotonic_clock.h"

namespace ps::platform {
namespace {

class LinuxMonotonicClock : public MonotonicClock {
 public:
  std::int64_t NowNs() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  }
};

}  // namespace

MonotonicClock& SystemMonotonicClock() {
  static LinuxMonotonicClock clock;
  return clock;
}

}  // namespace ps::platform

#include "platform/clock/monotonic_clock.h"

#include <windows.h>

namespace ps::platform {
namespace {

// QueryPerformanceCounter: monotonic, sub-microsecond, never goes back.
class WindowsMonotonicClock : public MonotonicClock {
 public:
  WindowsMonotonicClock() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    frequency_ = frequency.QuadPart;
  }
  std::int64_t NowNs() override {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Whole seconds and the rest apart: ticks x 1e9 would overflow after days.
    const std::int64_t seconds = now.QuadPart / frequency_;
    const std::int64_t rest = now.QuadPart % frequency_;
    return seconds * 1000000000 + rest * 1000000000 / frequency_;
  }

 private:
  std::int64_t frequency_ = 1;
};

}  // namespace

MonotonicClock& SystemMonotonicClock() {
  static WindowsMonotonicClock clock;
  return clock;
}

}  // namespace ps::platform

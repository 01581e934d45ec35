#include <time.h>

#include "platform/net/linux_net_services.h"
#include "platform/net/monotonic_clock.h"

namespace ps::platform {

void LinuxClock::GetSystemTime(SYSTEMTIME* lpSystemTime) {
  if (lpSystemTime == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  lpSystemTime->wYear = static_cast<WORD>(utc.tm_year + 1900);
  lpSystemTime->wMonth = static_cast<WORD>(utc.tm_mon + 1);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
  lpSystemTime->wDay = static_cast<WORD>(utc.tm_mday);
  lpSystemTime->wHour = static_cast<WORD>(utc.tm_hour);
  lpSystemTime->wMinute = static_cast<WORD>(utc.tm_min);
  // A leap second reads as :59, as Windows never shows :60.
  lpSystemTime->wSecond = static_cast<WORD>(utc.tm_sec > 59 ? 59 : utc.tm_sec);
  lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

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

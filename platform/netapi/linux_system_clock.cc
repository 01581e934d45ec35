#include <time.h>

#include "platform/netapi/linux_net_services.h"

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

}  // namespace ps::platform

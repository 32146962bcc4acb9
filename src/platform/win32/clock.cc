#include "platform/clock.h"

#include <windows.h>

namespace plotspool::platform {

std::tm LocalTimeNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::tm local_time{};
  local_time.tm_year = now.wYear - 1900;
  local_time.tm_mon = now.wMonth - 1;
  local_time.tm_mday = now.wDay;
  local_time.tm_hour = now.wHour;
  local_time.tm_min = now.wMinute;
  local_time.tm_sec = now.wSecond;
  local_time.tm_wday = now.wDayOfWeek;
  // Day of the year and summer time as the C library counts them, from the same fields.
  std::tm copy = local_time;
  copy.tm_isdst = -1;
  if (std::mktime(&copy) != -1) {
    local_time.tm_yday = copy.tm_yday;
    local_time.tm_isdst = copy.tm_isdst;
  }
  return local_time;
}

}  // namespace plotspool::platform

#include "platform/clock.h"

#include <time.h>

namespace plotspool::platform {

std::tm LocalTimeNow() {
  const time_t now = time(nullptr);
  std::tm local_time{};
  localtime_r(&now, &local_time);
  return local_time;
}

}  // namespace plotspool::platform

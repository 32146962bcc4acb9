// Local wall-clock time for time stamps in log lines and file names.
#ifndef PLOTSPOOL_PLATFORM_CLOCK_H_
#define PLOTSPOOL_PLATFORM_CLOCK_H_

#include <ctime>

namespace plotspool::platform {

// The current local date and time, in the zone the environment sets.
std::tm LocalTimeNow();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_CLOCK_H_

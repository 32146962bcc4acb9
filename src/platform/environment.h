// What the environment the service was started in says: the temporary directory, named values,
// and where jobs arrive when the settings name no place.
#ifndef PLOTSPOOL_PLATFORM_ENVIRONMENT_H_
#define PLOTSPOOL_PLATFORM_ENVIRONMENT_H_

#include <optional>
#include <string>

namespace plotspool::platform {

// The temporary directory, ending in "/": $TMPDIR when set and not empty, else /tmp. Empty when
// it is longer than 144 bytes, the most a caller's buffer for it ever holds. Never throws.
std::string TemporaryDirectory();

// The value of the environment variable `name`; nullopt when it is unset. Never throws.
std::optional<std::string> EnvironmentValue(const std::string& name);

// The transfer root used when the settings name none: a folder named after the program in the
// system's shared temporary place, ending in "/" ("/tmp/plotspool/"). Never throws.
std::string DefaultTransferRoot(const std::string& program_name);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_ENVIRONMENT_H_

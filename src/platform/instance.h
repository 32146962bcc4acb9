// Whether another instance of the same executable is already running.
#ifndef PLOTSPOOL_PLATFORM_INSTANCE_H_
#define PLOTSPOOL_PLATFORM_INSTANCE_H_

#include <string>

#include "platform/open_handle.h"

namespace plotspool::platform {

// A system-wide lock keyed to an executable path, released by the system when the process ends
// (also on a crash or SIGKILL), so a stale lock never blocks a restart. Not copyable.
class InstanceLock {
 public:
  explicit InstanceLock(const std::string& executable_path);
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this process holds the lock: no other instance of the executable runs.
  bool acquired() const { return lock_ != nullptr; }

 private:
  OwnedHandle lock_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_INSTANCE_H_

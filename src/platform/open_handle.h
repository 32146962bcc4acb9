// An open object of the system (file, folder, socket) owned by one of the platform's classes.
// What it holds is the back end's business; the classes only own one, so no header above the
// back end ever names a descriptor or a system handle type.
#ifndef PLOTSPOOL_PLATFORM_OPEN_HANDLE_H_
#define PLOTSPOOL_PLATFORM_OPEN_HANDLE_H_

#include <memory>

namespace plotspool::platform {

struct OpenHandle;  // defined by the back end

struct OpenHandleCloser {
  void operator()(OpenHandle* handle) const;  // closes it; never throws
};

// Empty when nothing is open.
using OwnedHandle = std::unique_ptr<OpenHandle, OpenHandleCloser>;

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_OPEN_HANDLE_H_

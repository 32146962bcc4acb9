// The close request as something poll(2) can wait on. Internal to the POSIX back end.
#ifndef PLOTSPOOL_PLATFORM_POSIX_CLOSE_REQUEST_FD_H_
#define PLOTSPOOL_PLATFORM_POSIX_CLOSE_REQUEST_FD_H_

namespace plotspool::platform {

// A descriptor that polls readable while a close request is pending, so that waits on other
// events (a child's end) can wait on the close request too. -1 before installation.
int CloseRequestFd();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_POSIX_CLOSE_REQUEST_FD_H_

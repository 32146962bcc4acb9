// The one place where a system error code becomes a run-time error number. Internal to the POSIX
// back end: above src/platform/ only run-time error numbers exist.
#ifndef PLOTSPOOL_PLATFORM_POSIX_ERRNO_ERROR_H_
#define PLOTSPOOL_PLATFORM_POSIX_ERRNO_ERROR_H_

#include "base/error.h"

namespace plotspool::platform {

// ENOENT 53; EACCES, EPERM, EBUSY, ETXTBSY, EROFS 70; EEXIST 58; ENOSPC, EDQUOT 61; ENOTDIR 76;
// EIO 57; ENAMETOOLONG 52; anything else 75.
int ErrorNumberFromErrno(int errno_value);
RuntimeError ErrorFromErrno(int errno_value);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_POSIX_ERRNO_ERROR_H_

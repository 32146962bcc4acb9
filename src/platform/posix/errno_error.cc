#include "platform/posix/errno_error.h"

#include <cerrno>

namespace plotspool::platform {

int ErrorNumberFromErrno(int errno_value) {
  switch (errno_value) {
    case ENOENT:
      return kFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
    case EROFS:
      return kPermissionDenied;
    case EEXIST:
      return kFileAlreadyExists;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case ENOTDIR:
      return kPathNotFound;
    case EIO:
      return kDeviceIoError;
    case ENAMETOOLONG:
      return kBadFileName;
    default:
      return kPathFileAccessError;
  }
}

RuntimeError ErrorFromErrno(int errno_value) {
  return RuntimeError(ErrorNumberFromErrno(errno_value));
}

}  // namespace plotspool::platform

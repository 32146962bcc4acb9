// The one place where a Win32 error code becomes a run-time error number. Internal to the Win32
// back end: above src/platform/ only run-time error numbers exist.
#ifndef PLOTSPOOL_PLATFORM_WIN32_WIN32_ERROR_H_
#define PLOTSPOOL_PLATFORM_WIN32_WIN32_ERROR_H_

#include <cstdint>
#include <string>

#include "base/error.h"

namespace plotspool::platform {

// ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH 53;
// ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_WRITE_PROTECT 70;
// ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS 58; ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL 61;
// ERROR_DIRECTORY 76; ERROR_CRC, ERROR_READ_FAULT, ERROR_WRITE_FAULT 57;
// ERROR_FILENAME_EXCED_RANGE, ERROR_BUFFER_OVERFLOW 52; ERROR_NOT_ENOUGH_MEMORY,
// ERROR_OUTOFMEMORY 7; anything else 75.
int ErrorNumberFromWin32(uint32_t code);
RuntimeError ErrorFromWin32(uint32_t code);
// As ErrorFromWin32 for GetLastError(), its text prefixed with `what` ("CreateFile x: ...").
RuntimeError ErrorFromLastError(const std::string& what);
// The error GetLastError() says, with the classic description alone ("File not found"), as the
// POSIX back end raises it: file operations whose errors reach the service log use this.
[[noreturn]] void ThrowLastError();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_WIN32_WIN32_ERROR_H_

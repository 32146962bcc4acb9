#include "platform/win32/win32_error.h"

#include <windows.h>

namespace plotspool::platform {

int ErrorNumberFromWin32(uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return kFileNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return kPermissionDenied;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return kFileAlreadyExists;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kDiskFull;
    case ERROR_DIRECTORY:
      return kPathNotFound;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
      return kDeviceIoError;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return kBadFileName;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return kOutOfMemory;
    default:
      return kPathFileAccessError;
  }
}

namespace {

std::string SystemText(uint32_t code) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? std::string(buffer, length) : "error " + std::to_string(code);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
    text.pop_back();
  return text;
}

}  // namespace

RuntimeError ErrorFromWin32(uint32_t code) {
  return RuntimeError(ErrorNumberFromWin32(code), SystemText(code));
}

RuntimeError ErrorFromLastError(const std::string& what) {
  const DWORD code = GetLastError();
  return RuntimeError(ErrorNumberFromWin32(code), what + ": " + SystemText(code));
}

void ThrowLastError() { throw RuntimeError(ErrorNumberFromWin32(GetLastError())); }

}  // namespace plotspool::platform

#include "platform/scratch_file.h"

#include <windows.h>

#include <cstdio>

#include "base/error.h"
#include "platform/environment.h"
#include "platform/win32/atomic_file.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {

ScratchFile ScratchFile::Create() {
  std::string where = TemporaryDirectory();
  if (where.empty()) {
    // Too long a name for the callers of the temporary path; the system's own is fine here.
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    if (n == 0 || n > MAX_PATH) ThrowLastError();
    where.assign(buffer, n);
  }
  // Deleted by the system when the last handle closes, so a killed process leaves nothing; the
  // temporary attribute keeps it in the cache where memory allows.
  for (int attempt = 0;; ++attempt) {
    char name[80];
    std::snprintf(name, sizeof name, "%sscratch-%08lx-%08lx-%d.tmp", kOwnTemporaryPrefix,
                  GetCurrentProcessId(), GetTickCount(), attempt);
    UniqueHandle file(CreateFileA(
        (where + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.valid()) return ScratchFile(OwnHandle(std::move(file)));
    const DWORD error = GetLastError();
    if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt >= 100) {
      throw RuntimeError(ErrorNumberFromWin32(error));
    }
  }
}

void ScratchFile::WriteAt(uint64_t offset, std::span<const uint8_t> data) {
  WriteAllAt(HandleOf(file_), offset, data);
}

void ScratchFile::ReadAt(uint64_t offset, std::span<uint8_t> data) const {
  if (platform::ReadAt(HandleOf(file_), offset, data) != data.size()) {
    throw RuntimeError(kDeviceIoError, "Device I/O error (scratch file too short)");
  }
}

}  // namespace plotspool::platform

#include "platform/environment.h"

#include <windows.h>

namespace plotspool::platform {
namespace {

// Longer paths do not fit the 145-byte buffer callers keep for the directory and its NUL.
constexpr DWORD kMaxTemporaryDirectoryBytes = 144;

// What GetTempPathA says, ending in a separator; empty when it fails or exceeds `limit` bytes.
std::string SystemTemporaryPath(DWORD limit) {
  char buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length >= sizeof buffer || length > limit) return "";
  std::string dir(buffer, length);
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir.size() > limit ? "" : dir;
}

}  // namespace

std::string TemporaryDirectory() { return SystemTemporaryPath(kMaxTemporaryDirectoryBytes); }

std::optional<std::string> EnvironmentValue(const std::string& name) {
  std::string value(256, '\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableA(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      // A variable set to "" also returns 0, but leaves the last error alone.
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // the size it needs, NUL included
  }
}

// GetTempPathA's place whatever its length: the root must be one the service and every sender
// agree on, and a long temporary path still names a usable folder.
std::string DefaultTransferRoot(const std::string& program_name) {
  std::string dir = SystemTemporaryPath(MAX_PATH);
  if (dir.empty()) dir = "C:\\Windows\\Temp\\";
  return dir + program_name + "\\";
}

}  // namespace plotspool::platform

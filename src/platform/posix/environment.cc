#include "platform/environment.h"

#include <cstdlib>

namespace plotspool::platform {
namespace {

// Longer paths do not fit the 145-byte buffer callers keep for the directory and its NUL.
constexpr std::size_t kMaxTemporaryDirectoryBytes = 144;

}  // namespace

std::string TemporaryDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string dir = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
  if (dir.back() != '/') dir += '/';
  if (dir.size() > kMaxTemporaryDirectoryBytes) return "";
  return dir;
}

std::optional<std::string> EnvironmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// /tmp itself, not $TMPDIR: the root must be the same for the service and for every sender's
// and operator's shell, whatever their own environment says.
std::string DefaultTransferRoot(const std::string& program_name) {
  return "/tmp/" + program_name + "/";
}

}  // namespace plotspool::platform

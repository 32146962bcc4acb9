#include "util/path_helpers.h"

#include "base/error.h"
#include "platform/files.h"
#include "platform/process.h"

namespace plotspool {

std::string GetShortPath(const std::string& path) {
  // The path reaches the file system as a C string, so it ends at its first NUL there too.
  const std::string name = TrimAtNull(path);
  if (name.empty() || !platform::PathExists(name)) throw RuntimeError(kFileNotFound);
  return platform::QuoteCommandLineArgument(name);
}

bool FolderContains(const std::string& outer, const std::string& inner) {
  // Paths reach the file system as C strings, so they end at their first NUL there too.
  const std::string outer_path = platform::ResolvedPath(TrimAtNull(outer));
  const std::string inner_path = platform::ResolvedPath(TrimAtNull(inner));
  if (outer_path.empty() || inner_path.empty()) return false;
  if (IsFileSystemRoot(outer_path)) return inner_path.starts_with(outer_path);
  return inner_path.starts_with(outer_path) &&
         (inner_path.size() == outer_path.size() || inner_path[outer_path.size()] == '/');
}

bool FoldersOverlap(const std::string& a, const std::string& b) {
  return FolderContains(a, b) || FolderContains(b, a);
}

}  // namespace plotspool

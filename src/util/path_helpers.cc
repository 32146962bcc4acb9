#include "util/path_helpers.h"

#include "platform/files.h"
#include "platform/process.h"
#include "util/error.h"

namespace plotspool {

// Only "/" separates here: a backslash is an ordinary character of a file name.
std::string GetFileName(const std::string& path) {
  const auto separator = path.find_last_of('/');
  if (separator == std::string::npos) return "";
  return path.substr(separator + 1);
}

std::string GetFileExtension(const std::string& path) {
  const auto found = path.find_last_of("./");
  if (found == std::string::npos || path[found] != '.') return "";
  return path.substr(found + 1);
}

int32_t FindLastChar(const std::string& text, std::string& character) {
  if (character.size() > 1) character.resize(1);
  if (character.empty()) return 0;
  const auto found = text.rfind(character[0]);
  return found == std::string::npos ? 0 : static_cast<int32_t>(found + 1);
}

std::string TrimAtNull(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string GetShortPath(const std::string& path) {
  // The path reaches the file system as a C string, so it ends at its first NUL there too.
  const std::string name = TrimAtNull(path);
  if (name.empty() || !platform::PathExists(name)) throw RuntimeError(kFileNotFound);
  return platform::QuoteCommandLineArgument(name);
}

std::string StringFromPointer(const char* text) { return text == nullptr ? "" : text; }

bool FolderContains(const std::string& outer, const std::string& inner) {
  // Paths reach the file system as C strings, so they end at their first NUL there too.
  const std::string outer_path = platform::ResolvedPath(TrimAtNull(outer));
  const std::string inner_path = platform::ResolvedPath(TrimAtNull(inner));
  if (outer_path.empty() || inner_path.empty()) return false;
  if (outer_path == "/") return true;
  return inner_path.starts_with(outer_path) &&
         (inner_path.size() == outer_path.size() || inner_path[outer_path.size()] == '/');
}

bool FoldersOverlap(const std::string& a, const std::string& b) {
  return FolderContains(a, b) || FolderContains(b, a);
}

}  // namespace plotspool

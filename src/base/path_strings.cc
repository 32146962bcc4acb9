#include "base/path_strings.h"

#include <string_view>

namespace plotspool {
namespace {

// A backslash is an ordinary character of a Linux file name; Windows takes both.
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
constexpr const char* kDotOrSeparators = "./\\";
constexpr bool kDriveLetters = true;
#else
constexpr const char* kSeparators = "/";
constexpr const char* kDotOrSeparators = "./";
constexpr bool kDriveLetters = false;
#endif

}  // namespace

std::string GetFileName(const std::string& path) {
  const auto separator = path.find_last_of(kSeparators);
  if (separator == std::string::npos) return "";
  return path.substr(separator + 1);
}

std::string GetFileExtension(const std::string& path) {
  const auto found = path.find_last_of(kDotOrSeparators);
  if (found == std::string::npos || path[found] != '.') return "";
  return path.substr(found + 1);
}

int32_t FindLastChar(const std::string& text, std::string& character) {
  if (character.size() > 1) character.resize(1);
  if (character.empty()) return 0;
  const auto found = text.rfind(character[0]);
  return found == std::string::npos ? 0 : static_cast<int32_t>(found + 1);
}

bool IsPathSeparator(char c) {
  return std::string_view(kSeparators).find(c) != std::string_view::npos;
}

std::string DirectoryPart(const std::string& path) {
  const auto separator = path.find_last_of(kSeparators);
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string BaseName(const std::string& path) {
  const auto separator = path.find_last_of(kSeparators);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string DirectoryOf(const std::string& path) {
  const auto separator = path.find_last_of(kSeparators);
  if (separator == std::string::npos) return ".";
  // "/x", and on Windows "C:\x", lie in a root, which keeps its separator.
  if (separator == 0 || (kDriveLetters && separator == 2 && path[1] == ':')) {
    return path.substr(0, separator + 1);
  }
  return path.substr(0, separator);
}

bool IsFileSystemRoot(const std::string& path) {
  if (path.size() == 1) return IsPathSeparator(path[0]);
  if (!kDriveLetters || path.size() != 3) return false;
  const char drive = static_cast<char>(path[0] | 0x20);  // lower case for a letter
  return drive >= 'a' && drive <= 'z' && path[1] == ':' && IsPathSeparator(path[2]);
}

std::string TrimAtNull(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string StringFromPointer(const char* text) { return text == nullptr ? "" : text; }

}  // namespace plotspool

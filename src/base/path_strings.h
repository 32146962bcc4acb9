// Path and string helpers that need no file system. Only "/" separates (on Windows "\\" too);
// positions are 1-based.
#ifndef PLOTSPOOL_BASE_PATH_STRINGS_H_
#define PLOTSPOOL_BASE_PATH_STRINGS_H_

#include <cstdint>
#include <string>

namespace plotspool {

// The part after the last separator; empty when `path` has none or ends in one.
std::string GetFileName(const std::string& path);

// The part after the last "." when no separator follows it, else empty; the dot is left out.
std::string GetFileExtension(const std::string& path);

// Position of the last occurrence of `character` in `text`, 0 when absent or when `character`
// is empty. A longer `character` is first cut to its first character, and the caller's
// variable keeps the cut value.
int32_t FindLastChar(const std::string& text, std::string& character);

// True when `c` separates path components.
bool IsPathSeparator(char c);

// `path` up to and including its last separator; empty when it has none.
std::string DirectoryPart(const std::string& path);

// The last component of `path`: all of it when it holds no separator.
std::string BaseName(const std::string& path);

// Everything before the last separator of `path`: "." when there is none, the root itself ("/",
// on Windows "C:\" too) when the separator ends it.
std::string DirectoryOf(const std::string& path);

// True when the resolved path `path` (see platform::ResolvedPath) names the root of a file
// system: "/", or on Windows a drive's root such as "C:/".
bool IsFileSystemRoot(const std::string& path);

// `text` up to, not including, its first NUL.
std::string TrimAtNull(const std::string& text);

// A copy of the zero-terminated string at `text`; empty for a null pointer.
std::string StringFromPointer(const char* text);

}  // namespace plotspool

#endif  // PLOTSPOOL_BASE_PATH_STRINGS_H_

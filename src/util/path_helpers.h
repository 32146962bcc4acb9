// String and path helpers. Both "\" and "/" count as separators; positions are 1-based.
#ifndef PLOTSPOOL_UTIL_PATH_HELPERS_H_
#define PLOTSPOOL_UTIL_PATH_HELPERS_H_

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

// `text` up to, not including, its first NUL.
std::string TrimAtNull(const std::string& text);

// The path to hand to a program on a command line: the path itself (there are no short names)
// written as one token. Throws RuntimeError 53 when nothing exists at `path`.
std::string GetShortPath(const std::string& path);

// A copy of the zero-terminated string at `text`; empty for a null pointer.
std::string StringFromPointer(const char* text);

// True when the folder `inner` is the folder `outer` or lies below it. Both are compared as
// real paths (links resolved; a part that does not exist yet taken as written, "." and ".."
// applied), whole component by component, so "/srv/in" does not contain "/srv/input". An empty
// path names no folder: false.
bool FolderContains(const std::string& outer, const std::string& inner);

// True when one of the folders contains the other or both are the same (see FolderContains).
bool FoldersOverlap(const std::string& a, const std::string& b);

}  // namespace plotspool

#endif  // PLOTSPOOL_UTIL_PATH_HELPERS_H_

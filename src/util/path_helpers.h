// Path helpers that ask the file system: the command-line form of a path and folder overlap.
#ifndef PLOTSPOOL_UTIL_PATH_HELPERS_H_
#define PLOTSPOOL_UTIL_PATH_HELPERS_H_

#include <string>

#include "base/path_strings.h"

namespace plotspool {

// The path to hand to a program on a command line: the path itself (there are no short names)
// written as one token. Throws RuntimeError 53 when nothing exists at `path`.
std::string GetShortPath(const std::string& path);

// True when the folder `inner` is the folder `outer` or lies below it. Both are compared as
// real paths (links resolved; a part that does not exist yet taken as written, "." and ".."
// applied), whole component by component, so "/srv/in" does not contain "/srv/input". An empty
// path names no folder: false.
bool FolderContains(const std::string& outer, const std::string& inner);

// True when one of the folders contains the other or both are the same (see FolderContains).
bool FoldersOverlap(const std::string& a, const std::string& b);

}  // namespace plotspool

#endif  // PLOTSPOOL_UTIL_PATH_HELPERS_H_

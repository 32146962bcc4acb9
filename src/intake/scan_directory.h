// The walk of the transfer tree: every file found is handed to the take-over.
#ifndef PLOTSPOOL_INTAKE_SCAN_DIRECTORY_H_
#define PLOTSPOOL_INTAKE_SCAN_DIRECTORY_H_

#include <string>

namespace plotspool {

// Directories more than this many levels below the root are not walked (one "error" line each).
inline constexpr int kMaxWalkDepth = 64;

// Walks `path` depth-first, sub-directories before the files of each directory, and calls
// TakeOverFile for every file entry. Appends "/" to `path` when it lacks one. Ignores every
// failure; stops handing on files once bStopScan is set.
void ScanDirectory(std::string& path, const std::string& pattern, bool recursive);

}  // namespace plotspool

#endif  // PLOTSPOOL_INTAKE_SCAN_DIRECTORY_H_

// The walk of the transfer tree: every file found is handed to the take-over.
#ifndef PLOTSPOOL_INTAKE_SCAN_DIRECTORY_H_
#define PLOTSPOOL_INTAKE_SCAN_DIRECTORY_H_

#include <chrono>
#include <string>

namespace plotspool {

// Directories more than this many levels below the root are not walked (one "error" line each).
inline constexpr int kMaxWalkDepth = 64;

// How long ago a directory must have changed before the walk trusts its times (see below).
inline constexpr std::chrono::seconds kDirectorySettleTime{5};

// Set by the service's unload; the walk stops handing on files once it is set.
extern bool bStopScan;

// Walks `path` depth-first, sub-directories before the files of each directory, and calls
// TakeOverFile for every file entry. Appends "/" to `path` when it lacks one. Ignores every
// failure; stops handing on files once bStopScan is set.
//
// A directory whose last listing held only sub-directories is not listed again while its
// identity and times stay as they were then (only its sub-directories are walked): every entry
// added, removed or renamed in it would have moved its times on. That holds on local and network
// file systems alike once the listing is kDirectorySettleTime younger than the directory's last
// change (coarse time stamps, file servers' clocks). Where the system reports every change of
// such a directory (local file systems), it is watched, and while no change is reported not even
// its stamp is read. ServiceSettings.VollstaendigeSuche (a true value, or one that is no
// Boolean) lists every directory at every walk instead.
void ScanDirectory(std::string& path, const std::string& pattern, bool recursive);

// How many directories the last walk listed; the others were known unchanged.
int DirectoriesListedByLastWalk();

// Replaces kDirectorySettleTime (tests on file systems with exact times use 0).
void SetDirectorySettleTime(std::chrono::nanoseconds time);

}  // namespace plotspool

#endif  // PLOTSPOOL_INTAKE_SCAN_DIRECTORY_H_

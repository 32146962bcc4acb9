// Paths of the Win32 back end: "/" and "\" both separate, and below the transfer root no
// component is reached through a reparse point. Internal to src/platform/win32/.
#ifndef PLOTSPOOL_PLATFORM_WIN32_CONFINED_PATH_H_
#define PLOTSPOOL_PLATFORM_WIN32_CONFINED_PATH_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/path_strings.h"
#include "platform/win32/unique_handle.h"

namespace plotspool::platform {

inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// A path whose directories below the transfer root were checked to be real directories and are
// held open until this goes: without delete sharing, so none of them can be renamed, removed or
// swapped for a reparse point while the caller works on `path`. Above the root nothing is held.
struct ConfinedPath {
  std::string path;  // as given
  std::string leaf;  // its last component
  std::vector<UniqueHandle> pins;
};

// Checks and pins the directory part of `path` (see SetTransferRoot). Throws RuntimeError (76
// when a component below the root is a reparse point or no directory, 75 for "..", else the
// system's error).
ConfinedPath ResolveParent(const std::string& path);

// Win32 file times (100 ns since 1601) as nanoseconds since 1970.
int64_t UnixNanoseconds(const FILETIME& time);

// `path` made absolute, in wide characters, as a rename through a handle takes it. Throws
// RuntimeError.
std::wstring FullWidePath(const std::string& path);

// Renames the file open as `file` (with DELETE access) to `to`; `flags` as FILE_RENAME_INFO's
// (0: never replace; FILE_RENAME_FLAG_* with FileRenameInfoEx). False with GetLastError() set.
bool RenameOpenFile(HANDLE file, const std::string& to, DWORD flags, bool extended);

// Opens the entry `path` itself (a reparse point is opened, not followed; a directory opens as
// well) with `access`, every kind of sharing allowed. Invalid on failure, GetLastError() set.
UniqueHandle OpenEntry(const std::string& path, DWORD access);

// Opens a job file for reading without following a reparse point at it. Anything but a file on
// a disk is refused (a name such as "nul.tif" opens a device), and so is a file with a second
// name: a hard link may stand for a file outside the transfer tree. `share` says what others may
// still do while it is open. Throws RuntimeError.
UniqueHandle OpenRegularForReading(const std::string& path, DWORD share);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_WIN32_CONFINED_PATH_H_

// Files: every operation the service makes on one file or one path. Job files arrive from other
// machines, so nothing here ever follows a symbolic link at the job file itself, opens a FIFO or
// device in a blocking way, or leaves a half-written copy behind. Unless said otherwise a function
// throws RuntimeError (numbered as the system's error: 53 missing, 70 denied, ...) on failure.
#ifndef PLOTSPOOL_PLATFORM_FILES_H_
#define PLOTSPOOL_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace plotspool::platform {

// From now on, paths below `root` are resolved without following a symbolic link at any
// component below it (the root itself may be one): a printer directory swapped for a link
// during a tick makes every operation on its files fail instead of reaching outside. The walk
// sets it; an empty root turns it off. Never throws.
void SetTransferRoot(const std::string& root);
// The root the walk set last, ending in "/"; empty when none.
const std::string& TransferRoot();

// True when `path` names a regular file (a link is not followed and does not count) with no
// second name (a hard link may stand for a file outside the tree) whose name does not start
// with "." (hidden). Never throws.
bool NormalFileExists(const std::string& path);

// True when anything at all (a dangling link included) exists at `path`. Never throws.
bool PathExists(const std::string& path);

// Size in bytes of what `path` names, without following a link; 53 when it is missing.
int64_t FileSize(const std::string& path);

// Moves `from` to `to`; 58 when `to` exists. Across file systems the data is copied to a hidden
// temporary beside `to`, synced, renamed into place and only then is `from` removed: at any
// failure exactly one of the two names holds the file.
void MovePath(const std::string& from, const std::string& to);

// Copies the regular file `from` (never through a link) over `to`, replacing it atomically: a
// reader of `to` sees the old or the new content, never a partial one.
void CopyFileReplacing(const std::string& from, const std::string& to);
// As CopyFileReplacing, but `to` must be new: 58 when it exists, and it is left as it is.
void CopyFileNew(const std::string& from, const std::string& to);

// Puts the regular file `from` in the place of `to`, replacing it, and removes `from`: a rename on
// one file system, else an atomic copy over `to` and then the removal of `from`. `to` holds
// either its old content or all of `from`, whatever fails.
void MoveOver(const std::string& from, const std::string& to);

// Removes the directory entry (a link is removed, not its target).
void RemoveFile(const std::string& path);
// As RemoveFile, but never throws; true when an entry was removed.
bool RemoveFileIfExists(const std::string& path);

// Succeeds when `path` is a regular file that can be opened for reading and that no process
// holds open for writing or write-locks; 70 when it is held. Where the open-for-writing test is
// unavailable (file system, missing lease capability) the open alone decides. Leaves nothing open.
void TrialOpen(const std::string& path);

// Every open of a job file below refuses a link at the file (and, below the transfer root, on
// the way to it) and a regular file with more than one name (75).

// Up to `count` bytes from the start of the regular file `path`; fewer when the file is shorter.
// The file is always closed before returning or throwing.
std::string ReadFileStart(const std::string& path, std::size_t count);

// Makes a regular file owner-writable again ("normal" attributes); a link, a file with a second
// name or anything but a regular file is left alone. Throws on failure; callers that do not care
// catch.
void ClearAttributes(const std::string& path);

// Creates every missing directory of `path` up to its last "/" (so the last component only when
// `path` ends in "/"). True when they all exist afterwards; never throws.
bool MakeSureDirectoryPathExists(const std::string& path);

// True when this process could create files in the folder `path`: it is a directory it may
// write to, or it does not exist yet and the nearest existing folder above it is one (the
// service creates missing folders). Never throws.
bool FolderWritable(const std::string& path);

// Bytes an unprivileged writer may still use on the file system holding `dir`.
uint64_t FreeSpace(const std::string& dir);
// Bytes an unprivileged writer could use on that file system if it held nothing at all: what
// does not fit into this can never be written there.
uint64_t FileSystemCapacity(const std::string& dir);

// Real path of the running executable.
std::string ExecutablePath();

// `path` made absolute with every symbolic link resolved as far as it exists; a tail that does
// not exist (yet) is appended as written, "." and ".." applied lexically. No trailing "/" except
// for "/" itself. Empty for an empty path. Never throws.
std::string ResolvedPath(const std::string& path);

// Current local time as "yyyymmddhhmmss".
std::string LocalTimeStamp14();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_FILES_H_

// The file layer: every file-system call the service makes. Job files arrive from other machines,
// so nothing here ever follows a symbolic link at the job file itself, opens a FIFO or device in a
// blocking way, or leaves a half-written copy behind. Unless said otherwise a function throws
// RuntimeError (numbered as the system's error: 53 missing, 70 denied, ...) on failure.
#ifndef PLOTSPOOL_PLATFORM_FILES_H_
#define PLOTSPOOL_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/open_handle.h"

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

// Creates a new empty file `dir`/`prefix`XXXX.tmp (XXXX four upper-case hex digits) that did not
// exist before and whose ".zip" and ".bmp" companions do not exist either, and returns its path.
// 58 when all 65536 names are taken. The file stays marked as in use (see
// RemoveStaleTemporaries) until this process removes it with RemoveFile or RemoveFileIfExists,
// or ends; while a ledger is set, the name is listed there until then.
std::string CreateTempFileName(const std::string& dir, const std::string& prefix);

// From now on the names CreateTempFileName hands out are listed in the file `ledger` while they
// exist, and the names a killed run left listed there become candidates for
// RemoveStaleTemporaries. Names of that form are common to several programs, so without a ledger
// (the default, or an empty path) no such name is ever swept. Losing the file only leaks
// temporaries. Never throws.
void SetTemporaryLedger(const std::string& ledger);

// Removes from the directory `dir` what a killed run of the service left there and no live
// process uses, and only what carries proof of being ours: hidden ".plotspool-" temporaries and
// PrivateFolder folders of this user, and the still empty names of CreateTempFileName that the
// ledger lists, with their ".zip" and ".bmp" companions. Returns how many entries were removed
// (a folder counts once); never throws.
int RemoveStaleTemporaries(const std::string& dir);

// As RemoveStaleTemporaries for one hidden ".plotspool-" temporary at `path`; true when removed.
bool RemoveStaleTemporary(const std::string& path);

// A folder of this process's own inside `dir` (".plotspool-job-" and eight hex digits): created
// new, owner-only and marked as in use, so that no other program's file can be reached through
// a name inside it. Removed with everything in it (links removed, never followed) when the
// object goes; RemoveStaleTemporaries removes one a killed run left. Throws RuntimeError when it
// cannot be made (numbered as the system's error: 53 missing `dir`, 70 not writable, ...).
class PrivateFolder {
 public:
  explicit PrivateFolder(const std::string& dir);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // The folder's path, ending in "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  OwnedHandle folder_;  // the open folder, which carries the in-use lock
};

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

// Attribute word bits of a directory entry.
enum : uint32_t {
  kAttributeReadOnly = 1,    // the owner may not write
  kAttributeHidden = 2,      // the name starts with "." ("." and ".." themselves excepted)
  kAttributeSystem = 4,      // neither regular file nor directory: FIFO, socket, device
  kAttributeDirectory = 16,  // a real directory, not a link to one
  kAttributeArchive = 32,    // a regular file
  kAttributeLink = 1024,     // a symbolic link; its target is never looked at
};

struct DirectoryEntry {
  std::string name;
  uint32_t attributes = 0;
};

// Identity and change times of a directory. Adding, removing or renaming an entry moves a
// directory's modification and change times on to the current time, so while a directory's
// stamp stays the same, so do its entries (names, kinds and order).
struct DirectoryStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modified_ns = 0;  // since the epoch
  int64_t changed_ns = 0;
  bool operator==(const DirectoryStamp&) const = default;
};

// The current time of the clock local file systems stamp changes with, in nanoseconds since the
// epoch. A change made after this reading gets a time no earlier than it.
int64_t FileSystemClockNs();

// Enumerates one directory in the file system's own order, "." and ".." included. An entry that
// vanishes between listing and inspection is skipped.
class DirectoryEnumeration {
 public:
  DirectoryEnumeration();
  DirectoryEnumeration(const DirectoryEnumeration&) = delete;
  DirectoryEnumeration& operator=(const DirectoryEnumeration&) = delete;
  ~DirectoryEnumeration();

  // False (never throws) when `dir` is missing, unreadable or not a directory. With
  // `follow_link` false a link at the last component of `dir` is refused as well, so a
  // sub-directory swapped for a link after it was listed is not entered.
  bool Open(const std::string& dir, bool follow_link = true);
  // As Open with `follow_link` false for the directory `name` in the directory `parent` has
  // open: each level of a walk is reached from the one above in one step, instead of resolving
  // its path from the root again.
  bool OpenBelow(const DirectoryEnumeration& parent, const std::string& name);
  // Fills `entry` with the next entry; false at the end or after an error. Never throws.
  bool Next(DirectoryEntry& entry);
  // As Next, but the kind of entry comes from the listing itself wherever the file system
  // records it there, and the read-only bit (1) is never set: no inspection of each entry.
  bool NextListed(DirectoryEntry& entry);
  // The stamp of the open directory, and of the entry `name` in it (a link is not followed). A
  // network file system is asked afresh, not answered from a cache. False when it cannot be
  // read or `name` is not a directory. Never throw.
  bool Stamp(DirectoryStamp& stamp) const;
  bool StampOf(const std::string& name, DirectoryStamp& stamp) const;
  void Close();

 private:
  struct Handle;  // the open directory and its stream, kept out of this header
  std::unique_ptr<Handle> handle_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_FILES_H_

// The POSIX back end's primitives for writing files: one write-all, one directory sync, one
// rename that never replaces, and the one atomic replacement every whole-file write goes
// through. Internal to src/platform/posix/.
#ifndef PLOTSPOOL_PLATFORM_POSIX_ATOMIC_FILE_H_
#define PLOTSPOOL_PLATFORM_POSIX_ATOMIC_FILE_H_

#include <sys/stat.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/posix/confined_path.h"
#include "platform/posix/unique_fd.h"
#include "platform/temporary_names.h"

namespace plotspool::platform {

// Writes all of `data` to `fd`, going on after a short write or an interruption. False with
// errno set when the system refuses.
bool WriteAll(int fd, std::string_view data);

// Positioned reads and writes of files used as random-access stores. ReadAt returns the bytes
// read, fewer than asked only at the end of the file; WriteAllAt writes all of `data`. Both go on
// after short transfers and interruptions and throw RuntimeError when the system refuses.
std::size_t ReadAt(int fd, uint64_t offset, std::span<uint8_t> data);
void WriteAllAt(int fd, uint64_t offset, std::span<const uint8_t> data);

// Makes the last renames in the directory `dir` durable. Best effort: the data itself is synced
// already, and a failure here cannot be undone.
void SyncDirectory(int dir);

// Renames `from_leaf` in `from_dir` to `to_leaf` in `to_dir` unless that exists; 0 or the errno
// value (EEXIST when it exists, EXDEV across file systems).
int RenameNoReplace(int from_dir, const char* from_leaf, int to_dir, const char* to_leaf);

// A file's replacement in the making: a hidden temporary created new beside the target (same
// directory, ".plotspool-<name>.<random>.tmp"), marked as in use while open, and removed again
// unless Commit() put it in the target's place. Written through fd(); Commit() syncs the data,
// renames it over the target and syncs the directory, so a crash at any moment leaves the
// target old or new, whole, and never a half-written file under its name.
class AtomicReplacement {
 public:
  // In the directory `where.dir`, beside its entry `where.leaf`; `mode` as for a file the
  // process creates (the umask applies). Throws RuntimeError (58 when no free name is found).
  AtomicReplacement(ConfinedPath where, mode_t mode);
  // Beside `target`, resolved as platform::ResolveParent does.
  AtomicReplacement(const std::string& target, mode_t mode);
  AtomicReplacement(const AtomicReplacement&) = delete;
  AtomicReplacement& operator=(const AtomicReplacement&) = delete;
  ~AtomicReplacement();

  int fd() const { return fd_.get(); }
  // The temporary's name in the target's directory.
  const std::string& name() const { return name_; }

  // Gives the temporary the owner and permissions of `like`, the file it replaces. Only a
  // privileged writer can give the file back to another owner; others make it theirs. False
  // with errno set when the permissions cannot be set.
  bool TakeOwnerAndMode(const struct stat& like);

  // Syncs, closes and renames the temporary over the target (`replace` false: 58 when the target
  // exists, which is then left alone), then syncs the directory. Throws RuntimeError; the
  // temporary is then removed. `written` receives what the file looked like before the rename
  // (the rename keeps inode, size and times).
  void Commit(bool replace, struct stat* written = nullptr);

  // Hands the open temporary to a caller that renames it itself (RawFile); nothing is removed
  // from then on.
  UniqueFd Release();

 private:
  ConfinedPath where_;
  std::string name_;
  UniqueFd fd_;
  bool done_ = false;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_POSIX_ATOMIC_FILE_H_

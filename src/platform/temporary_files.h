// Temporary files and folders of the service's own, and the sweep that removes what a killed run
// left of them. A temporary is marked as in use while its maker lives, so a sweep never takes
// one from a live process, and only names that carry proof of being ours are ever swept.
#ifndef PLOTSPOOL_PLATFORM_TEMPORARY_FILES_H_
#define PLOTSPOOL_PLATFORM_TEMPORARY_FILES_H_

#include <string>

#include "platform/open_handle.h"

namespace plotspool::platform {

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

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_TEMPORARY_FILES_H_

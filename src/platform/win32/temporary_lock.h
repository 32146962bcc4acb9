// How the Win32 back end marks a temporary file or folder as in use by a live process, and the
// hidden new file that is written whole and then renamed to its name. Internal to
// src/platform/win32/.
//
// A temporary is in use while a live process holds it open in one of two ways, both of which the
// system drops with the process however it ends:
// - without FILE_SHARE_DELETE (a hidden temporary written through its own handle, a
//   PrivateFolder): nobody can open it for deletion, so a sweep cannot even look at it;
// - with FILE_SHARE_DELETE and the in-use byte lock (LockInUse), for a name its own process must
//   be able to remove by name (CreateTempFileName's): a sweep that cannot take the lock leaves it.
// A sweep opens a candidate file with DELETE access and without FILE_SHARE_DELETE, takes the lock,
// and marks the very file it checked for deletion through that handle, so nothing can be swapped
// in between. A folder is only tested that way; it is emptied while held as its owner holds it.
#ifndef PLOTSPOOL_PLATFORM_WIN32_TEMPORARY_LOCK_H_
#define PLOTSPOOL_PLATFORM_WIN32_TEMPORARY_LOCK_H_

#include <windows.h>

#include <cstddef>
#include <string>

#include "platform/temporary_names.h"
#include "platform/win32/unique_handle.h"

namespace plotspool::platform {

// The hidden name a save gives the file it displaces where an open file cannot be replaced:
// kOwnTemporaryPrefix, the whole `leaf`, a dot, twelve random hex digits and ".old". A crash
// between moving the file aside and moving its new version in leaves the job only under this
// name, so the sweep puts it back under `leaf` when that name is free. Empty when the name would
// be longer than a file name can be: a cut leaf could not be put back.
std::string AsideName(const std::string& leaf);
// The leaf an AsideName was made from; empty when `name` is no such name.
std::string AsideTarget(const std::string& name);

// Takes the in-use lock on `file` (opened with read or write access) without waiting: a byte far
// beyond any data, so the lock never gets in the way of reading or writing the file. False when
// another handle holds it.
bool LockInUse(HANDLE file);

// Marks the file or empty folder open as `handle` (with DELETE access) for deletion; it goes when
// the last handle closes. False when the system refused.
bool MarkForDeletion(HANDLE handle);

// Renames the file open as `handle` (with DELETE access) to `path`, over an existing file only
// when `replace`. Throws RuntimeError (58 when the name exists and `replace` is false).
void RenameOpenFile(HANDLE handle, const std::string& path, bool replace);

// A new hidden file in `folder_path` (ending in a separator) named kOwnTemporaryPrefix, up to 64
// bytes of `leaf` and eight random hex digits, held without FILE_SHARE_DELETE while written.
// Removed when the object goes unless Commit renamed it.
class HiddenTemporary {
 public:
  // Throws RuntimeError when no such file can be made.
  HiddenTemporary(const std::string& folder_path, const std::string& leaf);
  ~HiddenTemporary();
  HiddenTemporary(const HiddenTemporary&) = delete;
  HiddenTemporary& operator=(const HiddenTemporary&) = delete;

  // False with the last error set when not all of it was written.
  bool Write(const char* data, std::size_t size);
  // Flushes the data to disk and renames the file as RenameOpenFile does. Throws RuntimeError;
  // the file is removed then, by the destructor.
  void Commit(const std::string& path, bool replace);

 private:
  std::string path_;
  UniqueHandle file_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_WIN32_TEMPORARY_LOCK_H_

// The Win32 back end's primitives for writing files: one write-all, positioned reads and writes,
// and the one atomic replacement every whole-file write goes through. Internal to
// src/platform/win32/.
#ifndef PLOTSPOOL_PLATFORM_WIN32_ATOMIC_FILE_H_
#define PLOTSPOOL_PLATFORM_WIN32_ATOMIC_FILE_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/win32/confined_path.h"
#include "platform/win32/temporary_lock.h"
#include "platform/win32/unique_handle.h"

namespace plotspool::platform {

// Writes all of `data` at the file's current position. Throws RuntimeError.
void WriteAll(HANDLE file, std::string_view data);

// Positioned reads and writes. ReadAt returns the bytes read, fewer than asked only at the end
// of the file; WriteAllAt writes all of `data`. Both throw RuntimeError when the system refuses.
std::size_t ReadAt(HANDLE file, uint64_t offset, std::span<uint8_t> data);
void WriteAllAt(HANDLE file, uint64_t offset, std::span<const uint8_t> data);

// Moves `from` to `to` on one volume, replacing `to` or not (ERROR_ALREADY_EXISTS then), and
// waits until the move is on the disk. A `to` that is still open (shared for deletion) is
// replaced too, except where only a rename aside could do it and the name is too long to be kept
// whole (see AsideName). 0 or the Win32 error code.
DWORD MoveWithin(const std::string& from, const std::string& to, bool replace);

// A file's replacement in the making: a hidden temporary created new beside the target (same
// directory, ".plotspool-<name>.<random>.tmp"), removed again unless Commit() put it in the
// target's place. Written through handle(); Commit() flushes the data and moves it over the
// target, so a crash at any moment leaves the target old or new, whole.
class AtomicReplacement {
 public:
  // Beside `target`, resolved as ResolveParent does. Throws RuntimeError (58 when no free name
  // is found).
  explicit AtomicReplacement(const std::string& target);
  AtomicReplacement(const AtomicReplacement&) = delete;
  AtomicReplacement& operator=(const AtomicReplacement&) = delete;
  ~AtomicReplacement();

  HANDLE handle() const { return file_.get(); }
  // The temporary's full path and its name in the target's directory.
  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }

  // Flushes, closes and moves the temporary over the target (`replace` false: 58 when the
  // target exists, which is then left alone). Throws RuntimeError; the temporary is then
  // removed. `written`, when given, receives the file's information before the move (a move
  // keeps index, size and times).
  void Commit(bool replace, BY_HANDLE_FILE_INFORMATION* written = nullptr);

  // Hands the open temporary to a caller that moves it itself (RawFile); nothing is removed
  // from then on.
  UniqueHandle Release();

 private:
  ConfinedPath where_;
  std::string path_;
  std::string name_;
  UniqueHandle file_;
  bool done_ = false;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_WIN32_ATOMIC_FILE_H_

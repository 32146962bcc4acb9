// Byte-level access to one regular file for the imaging code: positioned reads and writes on a
// file this object holds open, plus the create-beside-and-rename step of an atomic save.
// No open ever follows a symbolic link, and only regular files are opened.
#ifndef PLOTSPOOL_PLATFORM_RAW_FILE_H_
#define PLOTSPOOL_PLATFORM_RAW_FILE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/open_handle.h"

namespace plotspool::platform {

class RawFile {
 public:
  // Opens an existing regular file for reading. Throws RuntimeError (53 missing, 70 denied,
  // 75 a symbolic link, not a regular file or one with a second name, ...). Below the transfer
  // root no link is followed on the way either (see platform::SetTransferRoot).
  static RawFile OpenForReading(const std::string& path);
  // Creates a new, empty file beside `target` (same directory, hidden name) with the access
  // rights of `like` (a replaced job file keeps its permissions), or those of a new ordinary file
  // (everyone may read it, its owner write it) when `like` is null. The returned file's path()
  // is the new name. Throws RuntimeError.
  static RawFile CreateBeside(const std::string& target, const RawFile* like = nullptr);

  RawFile(RawFile&& other) noexcept = default;
  RawFile& operator=(RawFile&& other) noexcept = default;
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  const std::string& path() const { return path_; }
  bool is_open() const { return file_ != nullptr; }

  // Reads up to data.size() bytes at `offset`; returns the count (short only at the end of the
  // file). Throws RuntimeError on an I/O error.
  size_t ReadAt(uint64_t offset, std::span<uint8_t> data) const;
  // Writes all of `data` at `offset`. Throws RuntimeError (61 disk full, ...).
  void WriteAt(uint64_t offset, std::span<const uint8_t> data);
  // Current size in bytes; throws RuntimeError.
  uint64_t Size() const;
  // Flushes written data to the disk; throws RuntimeError.
  void Sync();
  // Closes now; throws RuntimeError when the close reports a write error.
  void Close();

  // Renames `from` over `to` atomically (same file system). Throws RuntimeError.
  static void RenameOver(const std::string& from, const std::string& to);
  // Removes `path` if it exists; never throws. For cleaning up after a failed save.
  static void RemoveQuietly(const std::string& path);

 private:
  RawFile(OwnedHandle file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  OwnedHandle file_;
  std::string path_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_RAW_FILE_H_

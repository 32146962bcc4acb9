// A nameless temporary file for data that does not fit in memory: it has no name from the
// start, so nothing is left behind when the process is killed, and its space is freed when the
// object is destroyed.
#ifndef PLOTSPOOL_PLATFORM_SCRATCH_FILE_H_
#define PLOTSPOOL_PLATFORM_SCRATCH_FILE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "platform/open_handle.h"

namespace plotspool::platform {

class ScratchFile {
 public:
  // Creates the file in the temporary directory ($TMPDIR, else /tmp). Throws RuntimeError (70
  // denied, 76 no such directory, ...).
  static ScratchFile Create();

  // Writes all of `data` at `offset`. Throws RuntimeError (61 disk full, ...).
  void WriteAt(uint64_t offset, std::span<const uint8_t> data);
  // Reads exactly data.size() bytes at `offset`; throws RuntimeError when fewer are there.
  void ReadAt(uint64_t offset, std::span<uint8_t> data) const;

  ScratchFile(ScratchFile&&) noexcept = default;
  ScratchFile& operator=(ScratchFile&&) noexcept = default;

 private:
  explicit ScratchFile(OwnedHandle file) : file_(std::move(file)) {}
  OwnedHandle file_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_SCRATCH_FILE_H_

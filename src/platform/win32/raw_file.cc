#include "platform/raw_file.h"

#include <windows.h>

#include "base/error.h"
#include "platform/win32/atomic_file.h"
#include "platform/win32/confined_path.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {

RawFile RawFile::OpenForReading(const std::string& path) {
  // Delete sharing lets a save move its new version over this file while it is still read;
  // writers stay out, so the bytes cannot change under the reader.
  UniqueHandle file = OpenRegularForReading(path, FILE_SHARE_READ | FILE_SHARE_DELETE);
  return RawFile(OwnHandle(std::move(file)), path);
}

RawFile RawFile::CreateBeside(const std::string& target, const RawFile*) {
  // Access rights come from the folder, as they did for the file replaced. Its read-only
  // attribute is not taken over: a read-only file could not be replaced by the next save.
  AtomicReplacement replacement(target);
  std::string path = replacement.path();
  return RawFile(OwnHandle(replacement.Release()), std::move(path));
}

size_t RawFile::ReadAt(uint64_t offset, std::span<uint8_t> data) const {
  return platform::ReadAt(HandleOf(file_), offset, data);
}

void RawFile::WriteAt(uint64_t offset, std::span<const uint8_t> data) {
  WriteAllAt(HandleOf(file_), offset, data);
}

uint64_t RawFile::Size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(HandleOf(file_), &size)) ThrowLastError();
  return static_cast<uint64_t>(size.QuadPart);
}

void RawFile::Sync() {
  if (!FlushFileBuffers(HandleOf(file_))) ThrowLastError();
}

void RawFile::Close() {
  if (!file_) return;
  const OwnedHandle file = std::move(file_);
  if (!file->handle.Close()) ThrowLastError();
}

void RawFile::RenameOver(const std::string& from, const std::string& to) {
  DWORD error = 0;
  {
    const ConfinedPath source = ResolveParent(from);
    const ConfinedPath target = ResolveParent(to);
    error = MoveWithin(from, to, /*replace=*/true);
  }
  if (error != 0) throw RuntimeError(ErrorNumberFromWin32(error));
}

void RawFile::RemoveQuietly(const std::string& path) {
  try {
    const ConfinedPath where = ResolveParent(path);
    DeleteFileA(path.c_str());
  } catch (const RuntimeError&) {
  }
}

}  // namespace plotspool::platform

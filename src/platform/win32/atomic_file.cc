#include "platform/win32/atomic_file.h"

#include <algorithm>

#include "base/error.h"
#include "base/path_strings.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

// The most one ReadFile or WriteFile is asked to move.
constexpr std::size_t kChunk = std::size_t{1} << 30;

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

}  // namespace

void WriteAll(HANDLE file, std::string_view data) {
  while (!data.empty()) {
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(std::min(data.size(), kChunk));
    if (!WriteFile(file, data.data(), size, &written, nullptr)) ThrowLastError();
    data.remove_prefix(written);
  }
}

std::size_t ReadAt(HANDLE file, uint64_t offset, std::span<uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    OVERLAPPED where = At(offset + done);
    DWORD got = 0;
    const DWORD size = static_cast<DWORD>(std::min(data.size() - done, kChunk));
    if (!ReadFile(file, data.data() + done, size, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      ThrowLastError();
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

void WriteAllAt(HANDLE file, uint64_t offset, std::span<const uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    OVERLAPPED where = At(offset + done);
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(std::min(data.size() - done, kChunk));
    if (!WriteFile(file, data.data() + done, size, &written, &where)) {
      ThrowLastError();
    }
    done += written;
  }
}

DWORD MoveWithin(const std::string& from, const std::string& to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExA(from.c_str(), to.c_str(), flags)) return 0;
  const DWORD error = GetLastError();
  if (!replace || error != ERROR_ACCESS_DENIED) return error;
  // A target still open elsewhere (a loaded job file a save replaces, shared for deletion) is
  // not replaced by a classic rename; one with POSIX semantics (NTFS, Windows 10 1709 and
  // later) replaces it and leaves the open handle on the old file.
  const UniqueHandle source(CreateFileA(
      from.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  try {
    if (source.valid() &&
        RenameOpenFile(source.get(), to,
                       FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS,
                       /*extended=*/true)) {
      return 0;
    }
  } catch (const RuntimeError&) {
  }
  // Older systems (and Wine) replace no open file at all, but the open file can still be
  // renamed: it goes aside under a hidden name, the new one takes its place, and the old one is
  // removed, for good once its last handle closes. A crash between the two renames leaves the
  // old version under the aside name, whole, and the next sweep puts it back.
  // A name too long to be kept whole in the aside name could not be put back after a crash:
  // that save fails instead.
  const std::string aside_name = AsideName(BaseName(to));
  if (aside_name.empty()) return error;
  const std::string aside = DirectoryPart(to) + aside_name;
  if (!MoveFileExA(to.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) return error;
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const DWORD failed = GetLastError();
    MoveFileExA(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
    return failed;
  }
  DeleteFileA(aside.c_str());
  return 0;
}

AtomicReplacement::AtomicReplacement(const std::string& target) : where_(ResolveParent(target)) {
  const std::string folder = DirectoryPart(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = HiddenTemporaryName(where_.leaf);
    // Held without delete sharing while it is written: a stale-temporary sweep of another
    // process cannot take it. Not marked hidden: the attribute would stay with the target.
    file_.Reset(CreateFileA((folder + name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                            FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.valid()) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      throw RuntimeError(ErrorNumberFromWin32(error));
    }
    name_ = name;
    path_ = folder + name;
    return;
  }
  throw RuntimeError(kFileAlreadyExists);
}

AtomicReplacement::~AtomicReplacement() {
  file_.Reset();
  if (!done_ && !path_.empty()) DeleteFileA(path_.c_str());
}

void AtomicReplacement::Commit(bool replace, BY_HANDLE_FILE_INFORMATION* written) {
  if (!FlushFileBuffers(file_.get())) ThrowLastError();
  if (written != nullptr && !GetFileInformationByHandle(file_.get(), written)) {
    ThrowLastError();
  }
  if (!file_.Close()) ThrowLastError();
  if (const DWORD error = MoveWithin(path_, where_.path, replace); error != 0) {
    throw RuntimeError(ErrorNumberFromWin32(error));
  }
  done_ = true;
}

UniqueHandle AtomicReplacement::Release() {
  done_ = true;
  return std::move(file_);
}

}  // namespace plotspool::platform

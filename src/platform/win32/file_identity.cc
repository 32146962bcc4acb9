#include "platform/file_identity.h"

#include <windows.h>

#include "base/error.h"
#include "platform/win32/confined_path.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

// The identity of the regular file open as `file`; nullopt for anything else.
std::optional<FileIdentity> IdentityOfOpen(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return std::nullopt;
  }
  FileIdentity identity;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.size =
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  identity.modified_ns = UnixNanoseconds(info.ftLastWriteTime);
  return identity;
}

bool Gone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Opens `path` itself for removing or renaming it, provided it is still the file `identity`
// describes: invalid when it is gone or another. The step then goes through this one handle, so
// nothing swapped in under the name after the test is touched. Throws RuntimeError.
UniqueHandle OpenIfUnchanged(const std::string& path, const FileIdentity& identity) {
  UniqueHandle file(CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    if (Gone(GetLastError())) return {};
    ThrowLastError();
  }
  if (IdentityOfOpen(file.get()) != identity) return {};
  return file;
}

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  try {
    const ConfinedPath where = ResolveParent(path);
    const UniqueHandle entry = OpenEntry(path, FILE_READ_ATTRIBUTES);
    if (!entry.valid()) return std::nullopt;
    return IdentityOfOpen(entry.get());
  } catch (const RuntimeError&) {
    return std::nullopt;
  }
}

bool RemoveIfUnchanged(const std::string& path, const FileIdentity& identity) {
  const ConfinedPath where = ResolveParent(path);
  const UniqueHandle file = OpenIfUnchanged(path, identity);
  if (!file.valid()) return false;
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                  sizeof disposition)) {
    ThrowLastError();
  }
  return true;
}

bool RenameIfUnchanged(const std::string& path, const FileIdentity& identity,
                       const std::string& to) {
  const ConfinedPath where = ResolveParent(path);
  const UniqueHandle file = OpenIfUnchanged(path, identity);
  if (!file.valid()) return false;
  const ConfinedPath target = ResolveParent(to);
  // Never replacing: an existing `to` is refused by the system itself, and so is a move to
  // another volume.
  if (!RenameOpenFile(file.get(), to, 0, /*extended=*/false)) {
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_SAME_DEVICE) throw RuntimeError(kPathFileAccessError);
    throw RuntimeError(ErrorNumberFromWin32(error));
  }
  return true;
}

}  // namespace plotspool::platform

// The Windows build reads and writes the settings file with the portable ini_file.cc rather than
// the system's private-profile functions: it already reads a file as they do (the profile table
// test checks that under Windows), and unlike them it replaces the file atomically, so a reader
// never sees it half-written.
#include "platform/ini_file_io.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "base/error.h"
#include "platform/files.h"
#include "platform/win32/atomic_file.h"
#include "platform/win32/confined_path.h"
#include "platform/win32/unique_handle.h"

namespace plotspool::platform {
namespace {

IniFileStamp StampOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return IniFileStamp{
      info.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
      static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                info.nFileSizeLow),
      UnixNanoseconds(info.ftLastWriteTime)};
}

}  // namespace

IniFileState ReadIniFile(const std::string& path, std::string& contents, IniFileStamp& stamp) {
  // An editor may be saving it right now: share everything, the stamp tells versions apart.
  const UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? IniFileState::kMissing
               : IniFileState::kUnreadable;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return IniFileState::kUnreadable;
  }
  const IniFileStamp seen = StampOf(info);
  if (static_cast<std::uint64_t>(seen.size) > kMaxIniFileBytes) return IniFileState::kUnreadable;
  contents.clear();
  contents.resize(static_cast<std::size_t>(seen.size));
  std::size_t filled = 0;
  // The size is only a hint: another program may be growing or shrinking the file right now.
  for (;;) {
    if (filled == contents.size()) {
      if (contents.size() >= kMaxIniFileBytes) return IniFileState::kUnreadable;
      contents.resize(std::min(kMaxIniFileBytes + 1, contents.size() + 4096));
    }
    DWORD got = 0;
    if (!ReadFile(file.get(), contents.data() + filled,
                  static_cast<DWORD>(contents.size() - filled), &got, nullptr)) {
      return IniFileState::kUnreadable;
    }
    if (got == 0) break;
    filled += got;
  }
  contents.resize(filled);
  stamp = seen;
  return IniFileState::kRead;
}

namespace {

bool ReplaceOnce(const std::string& path, std::string_view contents, IniFileStamp& written) {
  try {
    // The new file takes the folder's access rights, as a new file there does; the attributes
    // that say how it is shown stay as they were.
    AtomicReplacement replacement(path);
    const DWORD existing = GetFileAttributesA(path.c_str());
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & kKept) != 0 &&
        (existing & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      FILE_BASIC_INFO basic{};
      basic.FileAttributes = existing & kKept;
      if (!SetFileInformationByHandle(replacement.handle(), FileBasicInfo, &basic, sizeof basic)) {
        return false;
      }
    }
    WriteAll(replacement.handle(), contents);
    BY_HANDLE_FILE_INFORMATION info;
    replacement.Commit(/*replace=*/true, &info);
    // The move keeps index, size and write time, so this is the stamp readers see.
    written = StampOf(info);
    return true;
  } catch (const RuntimeError& error) {
    if (error.number() == kPermissionDenied) throw;
    return false;
  }
}

}  // namespace

bool ReplaceIniFile(const std::string& path, std::string_view contents, IniFileStamp& written) {
  // A reader that opened the file without delete sharing (an editor, a scanner, a backup) keeps
  // the replacement from taking its name for as long as it reads, which is a moment: a few
  // tries, a short pause apart, keep such a reader from losing the write. A file that stays
  // refused (read-only, no rights) fails after a tenth of a second.
  constexpr int kTries = 6;
  for (int attempt = 1;; ++attempt) {
    try {
      return ReplaceOnce(path, contents, written);
    } catch (const RuntimeError&) {
      if (attempt == kTries) return false;
      Sleep(20);
    }
  }
}

std::string IniWriteTarget(const std::string& file) {
  const DWORD attributes = GetFileAttributesA(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return file;
  }
  const std::string target = ResolvedPath(file);
  // Dangling: the write then replaces the link.
  return GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES ? file : target;
}

}  // namespace plotspool::platform

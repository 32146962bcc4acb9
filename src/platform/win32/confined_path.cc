#include "platform/win32/confined_path.h"

#include <cstring>
#include <vector>

#include "base/error.h"
#include "platform/files.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

// The transfer root of the running walk, ending in a separator; empty when none was set.
std::string transfer_root;

char Folded(char c) {
  if (c == '\\') return '/';
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `path` lies below the transfer root. Names differing only in case or separator are
// the same file here, so they must not get around the check.
bool BelowRoot(const std::string& path) {
  if (transfer_root.empty() || path.size() <= transfer_root.size()) return false;
  for (std::size_t i = 0; i < transfer_root.size(); ++i) {
    if (Folded(path[i]) != Folded(transfer_root[i])) return false;
  }
  return true;
}

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

void SetTransferRoot(const std::string& root) {
  transfer_root = root;
  if (!transfer_root.empty() && !IsSeparator(transfer_root.back())) transfer_root += '/';
}

const std::string& TransferRoot() { return transfer_root; }

int64_t UnixNanoseconds(const FILETIME& time) {
  constexpr int64_t kEpochDifference = 116444736000000000;  // 1601 to 1970 in 100 ns
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kEpochDifference) * 100;
}

std::wstring FullWidePath(const std::string& path) {
  char full[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) ThrowLastError();
  const int wide = MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(n), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(n), text.data(), wide);
  return text;
}

bool RenameOpenFile(HANDLE file, const std::string& to, DWORD flags, bool extended) {
  const std::wstring name = FullWidePath(to);
  // FILE_RENAME_INFO ends in the name. Its first member is a BOOLEAN for the classic rename
  // and a DWORD of flags for the extended one, in the same place either way.
  std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  std::memcpy(buffer.data(), &flags, sizeof flags);
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, name.data(), name.size() * sizeof(wchar_t));
  // FileRenameInfoEx, which headers for older targets leave out.
  constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  return SetFileInformationByHandle(file, extended ? kFileRenameInfoEx : FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size())) != 0;
}

UniqueHandle OpenEntry(const std::string& path, DWORD access) {
  return UniqueHandle(CreateFileA(
      path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

ConfinedPath ResolveParent(const std::string& path) {
  ConfinedPath result;
  result.path = path;
  result.leaf = BaseName(path);
  if (!BelowRoot(path)) return result;
  if (result.leaf == "..") throw RuntimeError(kPathFileAccessError);
  const std::size_t end_of_directories = LastSeparator(path);
  // The root may be a link the administrator set up; every step below it must be a real
  // directory. Each is held open without delete sharing before the next is looked at, so the
  // chain cannot be redirected behind the check.
  std::size_t start = transfer_root.size();
  while (start < end_of_directories) {
    std::size_t end = path.find_first_of("/\\", start);
    const std::string component = path.substr(start, end - start);
    const std::size_t next = end + 1;
    if (component.empty() || component == ".") {
      start = next;
      continue;
    }
    if (component == "..") throw RuntimeError(kPathFileAccessError);
    UniqueHandle dir(
        CreateFileA(path.substr(0, end).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!dir.valid()) {
      // A directory someone else holds without delete sharing is still checked, just not held.
      if (GetLastError() != ERROR_SHARING_VIOLATION) {
        ThrowLastError();
      }
      dir = OpenEntry(path.substr(0, end), FILE_READ_ATTRIBUTES);
      if (!dir.valid()) ThrowLastError();
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(dir.get(), &info)) ThrowLastError();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      throw RuntimeError(kPathNotFound);
    }
    result.pins.push_back(std::move(dir));
    start = next;
  }
  return result;
}

UniqueHandle OpenRegularForReading(const std::string& path, DWORD share) {
  const ConfinedPath where = ResolveParent(path);
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr));
  if (!file.valid()) ThrowLastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks > 1) {
    throw RuntimeError(kPathFileAccessError);
  }
  return file;
}

}  // namespace plotspool::platform

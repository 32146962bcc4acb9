#include "platform/files.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "base/error.h"
#include "platform/win32/atomic_file.h"
#include "platform/win32/confined_path.h"
#include "platform/win32/temporary_lock.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

// The attributes and link count of the entry at `path` itself; false when it cannot be looked
// at (missing, not reachable below the transfer root).
bool InspectEntry(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  try {
    const ConfinedPath where = ResolveParent(path);
    const UniqueHandle entry = OpenEntry(path, FILE_READ_ATTRIBUTES);
    return entry.valid() && GetFileType(entry.get()) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(entry.get(), &info);
  } catch (const RuntimeError&) {
    return false;
  }
}

// Copies the rest of `from` to `to`.
void CopyData(HANDLE from, HANDLE to) {
  std::vector<char> buffer(std::size_t{1} << 20);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      ThrowLastError();
    }
    if (got == 0) return;
    WriteAll(to, std::string_view(buffer.data(), got));
  }
}

void CopyFileTo(const std::string& from, const std::string& to, bool replace) {
  const UniqueHandle source = OpenRegularForReading(from, FILE_SHARE_READ | FILE_SHARE_DELETE);
  AtomicReplacement copy(to);
  CopyData(source.get(), copy.handle());
  copy.Commit(replace);
}

void MoveAcrossVolumes(const std::string& from, const std::string& to) {
  if (PathExists(to)) throw RuntimeError(kFileAlreadyExists);
  CopyFileTo(from, to, /*replace=*/false);
  if (!DeleteFileA(from.c_str())) {
    // Two copies would be worse than none moved: take the new one back and report.
    const DWORD error = GetLastError();
    DeleteFileA(to.c_str());
    throw RuntimeError(ErrorNumberFromWin32(error));
  }
}

}  // namespace

bool NormalFileExists(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!InspectEntry(path, info)) return false;
  const std::string name = BaseName(path);
  // Hidden and system files are not normal ones here, as the walk never takes them either.
  constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                               FILE_ATTRIBUTE_DEVICE;
  return (info.dwFileAttributes & kNotNormal) == 0 && info.nNumberOfLinks == 1 && !name.empty() &&
         name[0] != '.';
}

bool PathExists(const std::string& path) {
  try {
    const ConfinedPath where = ResolveParent(path);
    // The attributes of a link are its own: a dangling one exists too.
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  } catch (const RuntimeError&) {
    return false;
  }
}

int64_t FileSize(const std::string& path) {
  const ConfinedPath where = ResolveParent(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    ThrowLastError();
  }
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                              data.nFileSizeLow);
}

void MovePath(const std::string& from, const std::string& to) {
  DWORD error = 0;
  {
    const ConfinedPath source = ResolveParent(from);
    const ConfinedPath target = ResolveParent(to);
    error = MoveWithin(from, to, /*replace=*/false);
  }
  if (error == ERROR_NOT_SAME_DEVICE) {
    MoveAcrossVolumes(from, to);
  } else if (error != 0) {
    throw RuntimeError(ErrorNumberFromWin32(error));
  }
}

void CopyFileReplacing(const std::string& from, const std::string& to) {
  CopyFileTo(from, to, /*replace=*/true);
}

void CopyFileNew(const std::string& from, const std::string& to) {
  CopyFileTo(from, to, /*replace=*/false);
}

void MoveOver(const std::string& from, const std::string& to) {
  DWORD error = 0;
  {
    const ConfinedPath source = ResolveParent(from);
    const ConfinedPath target = ResolveParent(to);
    error = MoveWithin(from, to, /*replace=*/true);
  }
  if (error == 0) return;
  if (error != ERROR_NOT_SAME_DEVICE) throw RuntimeError(ErrorNumberFromWin32(error));
  CopyFileReplacing(from, to);
  RemoveFileIfExists(from);
}

void RemoveFile(const std::string& path) {
  const ConfinedPath where = ResolveParent(path);
  if (!DeleteFileA(path.c_str())) {
    const DWORD error = GetLastError();
    // A link to a directory is removed as a directory, still without touching its target.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    constexpr DWORD kDirectoryLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kDirectoryLink) != kDirectoryLink ||
        !RemoveDirectoryA(path.c_str())) {
      throw RuntimeError(ErrorNumberFromWin32(error));
    }
  }
  // A name of CreateTempFileName is still held open by the temporaries' module: the name only
  // leaves the folder once that hold closes.
  ForgetTemporaryName(path);
}

void TrialOpen(const std::string& path) {
  // Sharing reading alone: a sender that still has the file open for writing makes the open
  // fail with a sharing violation, which is 70.
  OpenRegularForReading(path, FILE_SHARE_READ);
}

std::string ReadFileStart(const std::string& path, std::size_t count) {
  const UniqueHandle file =
      OpenRegularForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  std::string data(count, '\0');
  const std::size_t done =
      ReadAt(file.get(), 0, {reinterpret_cast<uint8_t*>(data.data()), data.size()});
  data.resize(done);
  return data;
}

void ClearAttributes(const std::string& path) {
  const ConfinedPath where = ResolveParent(path);
  // Changed through a handle of exactly the checked file, never by name a second time.
  const UniqueHandle file(
      CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) ThrowLastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) ThrowLastError();
  constexpr DWORD kNotAFile =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & kNotAFile) != 0 || info.nNumberOfLinks > 1 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return;
  }
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  // Zero times mean "leave as they are".
  if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) {
    ThrowLastError();
  }
}

bool MakeSureDirectoryPathExists(const std::string& path) {
  std::size_t first = 1;
  if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    // "\\server\share\": the share is there or not, it is never made.
    const std::size_t server_end = path.find_first_of("/\\", 2);
    if (server_end == std::string::npos) return false;
    first = path.find_first_of("/\\", server_end + 1);
    if (first == std::string::npos) return false;
    ++first;
  }
  for (std::size_t separator = path.find_first_of("/\\", first); separator != std::string::npos;
       separator = path.find_first_of("/\\", separator + 1)) {
    if (IsSeparator(path[separator - 1])) continue;  // "a//b": the prefix was handled already
    const std::string prefix = path.substr(0, separator);
    if (prefix.size() == 2 && prefix[1] == ':') continue;  // a drive
    if (CreateDirectoryA(prefix.c_str(), nullptr)) continue;
    const DWORD attributes = GetFileAttributesA(prefix.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return false;
    }
  }
  return true;
}

bool FolderWritable(const std::string& path) {
  if (path.empty()) return false;
  std::string folder = ResolvedPath(path);
  for (;;) {
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
      break;
    }
    const DWORD error = GetLastError();
    const std::string parent = DirectoryOf(folder);
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || parent == folder ||
        parent == ".") {
      return false;
    }
    folder = parent;
  }
  // The read-only attribute of a folder says nothing about its access rights, and reading
  // those rights leaves out what the system decides at the create: ask the system by creating a
  // file that is gone when its handle closes.
  if (!folder.empty() && !IsSeparator(folder.back())) folder += '/';
  char name[64];
  std::snprintf(name, sizeof name, ".plotspool-probe-%08lx-%08lx.tmp", GetCurrentProcessId(),
                GetTickCount());
  const UniqueHandle probe(
      CreateFileA((folder + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  return probe.valid() || GetLastError() == ERROR_FILE_EXISTS;
}

uint64_t FreeSpace(const std::string& dir) {
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExA(dir.c_str(), &available, &total, &free)) {
    ThrowLastError();
  }
  return available.QuadPart;
}

uint64_t FileSystemCapacity(const std::string& dir) {
  ULARGE_INTEGER available, total, free;
  // The total is what this user may fill (quotas applied), like the available space.
  if (!GetDiskFreeSpaceExA(dir.c_str(), &available, &total, &free)) {
    ThrowLastError();
  }
  return total.QuadPart;
}

std::string ExecutablePath() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) ThrowLastError();
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

// The full path of `path` as the system resolves it (links followed); empty when it cannot.
std::string FinalPath(const std::string& path) {
  const UniqueHandle entry(CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!entry.valid()) return {};
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n =
        GetFinalPathNameByHandleA(entry.get(), buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n + 1);
  }
  if (buffer.starts_with("\\\\?\\UNC\\")) return "\\\\" + buffer.substr(8);
  if (buffer.starts_with("\\\\?\\")) return buffer.substr(4);
  return buffer;
}

}  // namespace

std::string ResolvedPath(const std::string& path) {
  if (path.empty()) return {};
  // Absolute, with "." and ".." applied as written.
  std::string full(MAX_PATH, '\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) {
      full = path;
      break;
    }
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n + 1);
  }
  auto is_root = [](const std::string& text) {
    return text.size() == 1 || (text.size() == 3 && text[1] == ':');
  };
  while (full.size() > 1 && IsSeparator(full.back()) && !is_root(full)) full.pop_back();
  // The longest part that exists, with its links resolved, and the rest as written.
  std::string head = full;
  std::string tail;
  while (!head.empty()) {
    const std::string resolved = FinalPath(head);
    if (!resolved.empty()) {
      head = resolved;
      break;
    }
    const std::size_t separator = head.find_last_of("/\\");
    if (separator == std::string::npos || is_root(head)) {
      head.clear();
      break;
    }
    tail = head.substr(separator) + tail;
    head.resize(separator);
    // "C:" alone names the current folder of the drive, not its root.
    if (head.size() == 2 && head[1] == ':') head += '\\';
  }
  if (!head.empty() && IsSeparator(head.back()) && !tail.empty()) head.pop_back();
  std::string text = head.empty() ? full : head + tail;
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  // No trailing separator, except where it makes the root ("/", "C:/").
  while (text.size() > 1 && text.back() == '/' && !is_root(text)) text.pop_back();
  return text;
}

std::string LocalTimeStamp14() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
  return text;
}

}  // namespace plotspool::platform

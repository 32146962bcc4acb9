#include "platform/durable_file.h"

#include <windows.h>

#include "base/error.h"
#include "platform/win32/atomic_file.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

// Refuses what is not a plain file on a disk: a reparse point at `path` is opened as itself by
// the callers, never followed, and must not be written or read as data.
void RequireRegular(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    throw RuntimeError(kPathFileAccessError);
  }
}

}  // namespace

void AppendToFile(const std::string& path, std::string_view text, bool durable) {
  const UniqueHandle file(
      CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) ThrowLastError();
  RequireRegular(file.get());
  WriteAll(file.get(), text);
  if (durable && !FlushFileBuffers(file.get())) ThrowLastError();
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t max_bytes) {
  const UniqueHandle file(CreateFileA(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    ThrowLastError();
  }
  RequireRegular(file.get());
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) ThrowLastError();
  if (static_cast<uint64_t>(size.QuadPart) > max_bytes) return std::nullopt;
  std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
  text.resize(ReadAt(file.get(), 0, {reinterpret_cast<uint8_t*>(text.data()), text.size()}));
  return text;
}

void ReplaceFileDurably(const std::string& path, std::string_view text) {
  AtomicReplacement replacement(path);
  WriteAll(replacement.handle(), text);
  replacement.Commit(/*replace=*/true);
}

}  // namespace plotspool::platform

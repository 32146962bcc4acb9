#include "platform/win32/temporary_lock.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

// 2^62: no file of ours ever reaches it, and a lock there covers no byte anyone reads.
constexpr DWORD kLockOffsetHigh = 0x40000000;

std::wstring Wide(const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  }
  return wide;
}

constexpr std::string_view kAsideEnd = ".old";
constexpr std::size_t kAsideDigits = 12;  // as RandomHex12 makes them
// What a component of a path may hold, in bytes; longer names are refused by the file system.
constexpr std::size_t kMaxNameBytes = 255;

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

std::string AsideName(const std::string& leaf) {
  const std::string name = kOwnTemporaryPrefix + leaf + ".";
  if (leaf.empty() || name.size() + kAsideDigits + kAsideEnd.size() > kMaxNameBytes) return {};
  return name + RandomHex12() + std::string(kAsideEnd);
}

std::string AsideTarget(const std::string& name) {
  const std::string_view prefix = kOwnTemporaryPrefix;
  const std::size_t tail = 1 + kAsideDigits + kAsideEnd.size();
  if (name.size() <= prefix.size() + tail || !name.starts_with(prefix) ||
      !name.ends_with(kAsideEnd)) {
    return {};
  }
  const std::size_t dot = name.size() - tail;
  const std::string_view digits = std::string_view(name).substr(dot + 1, kAsideDigits);
  if (name[dot] != '.' || !std::all_of(digits.begin(), digits.end(), IsLowerHex)) return {};
  return name.substr(prefix.size(), dot - prefix.size());
}

bool LockInUse(HANDLE file) {
  OVERLAPPED where{};
  where.OffsetHigh = kLockOffsetHigh;
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where) !=
         0;
}

bool MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO remove{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove) != 0;
}

// By the full path: the rename relative to an open folder is not offered everywhere, and the
// callers hold the folders on the way, so the path cannot lead anywhere else.
void RenameOpenFile(HANDLE handle, const std::string& path, bool replace) {
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) throw ErrorFromLastError("rename to " + path);
  const std::wstring wide = Wide(std::string(full, length));
  // The structure ends in a name of any length: room for it is made behind the fixed part.
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (wide.size() + 1) * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
  std::copy(wide.begin(), wide.end(), rename->FileName);
  if (!SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size()))) {
    throw ErrorFromLastError("rename to " + path);
  }
}

HiddenTemporary::HiddenTemporary(const std::string& folder_path, const std::string& leaf) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08X", static_cast<unsigned>(random()));
    path_ = folder_path + kOwnTemporaryPrefix + leaf.substr(0, 64) + suffix;
    file_.Reset(CreateFileA(path_.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
                            nullptr));
    if (file_.valid()) return;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw ErrorFromLastError("CreateFile " + path_);
}

HiddenTemporary::~HiddenTemporary() {
  if (!file_.valid()) return;
  const bool marked = MarkForDeletion(file_.get());
  file_.Reset();
  if (!marked) DeleteFileA(path_.c_str());
}

bool HiddenTemporary::Write(const char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, std::size_t{1} << 30));
    if (!WriteFile(file_.get(), data, chunk, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

void HiddenTemporary::Commit(const std::string& path, bool replace) {
  if (!FlushFileBuffers(file_.get())) throw ErrorFromLastError("FlushFileBuffers " + path_);
  RenameOpenFile(file_.get(), path, replace);
  file_.Reset();
}

}  // namespace plotspool::platform

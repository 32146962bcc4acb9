#include "platform/zip_archive.h"

#include <windows.h>
#include <zip.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "base/error.h"
#include "platform/libzip/zip_archive_common.h"
#include "platform/win32/temporary_lock.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {

// A component Windows would read as something else than a plain name in its folder: a drive or
// data stream (":"), a device ("CON", "nul.txt", "COM1"), a name the system trims (trailing dot
// or blank), or characters no file name may hold.
bool IsReservedComponent(std::string_view component) {
  if (component.back() == '.' || component.back() == ' ') return true;
  for (const char c : component) {
    if (static_cast<unsigned char>(c) < 32 ||
        std::string_view(":*?\"<>|").find(c) != std::string_view::npos) {
      return true;
    }
  }
  std::string stem(component.substr(0, component.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '0' && stem[3] <= '9';
}

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Opens the folder `path` and holds it: without FILE_SHARE_DELETE nobody can rename or remove it
// (nor swap another folder in) while the member is written below it. Invalid, with the last error
// set, when it is not a real folder (a link or junction counts as not one).
UniqueHandle HoldFolder(const std::string& path) {
  UniqueHandle folder(CreateFileA(
      path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder.valid()) return folder;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder.get(), &info)) return UniqueHandle();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return UniqueHandle();
  }
  return folder;
}

// Everything ExtractEntry creates on disk, removed again in reverse order unless committed.
class Extraction {
 public:
  Extraction() = default;
  Extraction(const Extraction&) = delete;
  Extraction& operator=(const Extraction&) = delete;
  ~Extraction() {
    if (committed_) return;
    // Our own hold keeps a folder from being removed: let go of each before removing it.
    for (std::size_t i = components_.size(); i-- > 0;) {
      if (i + 1 < folders_.size()) folders_[i + 1].Reset();
      if (created_[i]) RemoveDirectoryA(paths_[i].c_str());
    }
  }

  // Starts at the destination directory, which the caller chose and may reach through links.
  bool OpenDestination(const std::string& path) {
    UniqueHandle folder(CreateFileA(path.c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.valid()) return false;
    folders_.push_back(std::move(folder));
    return true;
  }

  // Enters the sub-folder `path` (the folder entered last and `component`), creating it when
  // missing. An existing one is used only when it is a real folder, not a link or junction.
  // Returns false with the last error set.
  bool EnterDirectory(const std::string& path, const std::string& component, bool* created) {
    *created = CreateDirectoryA(path.c_str(), nullptr) != 0;
    if (!*created && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    components_.push_back(component);
    paths_.push_back(path);
    created_.push_back(*created);
    UniqueHandle next = HoldFolder(path);
    if (!next.valid()) return false;
    folders_.push_back(std::move(next));
    return true;
  }

  void Commit() { committed_ = true; }

 private:
  std::vector<UniqueHandle> folders_;  // [0] destination, [i + 1] inside components_[i]
  std::vector<std::string> components_;
  std::vector<std::string> paths_;
  std::vector<bool> created_;
  bool committed_ = false;
};

}  // namespace

int ZipArchive::Open(const std::string& path) {
  DiscardArchive();
  // The link itself is opened, never what it points to, so that it can be refused. Shared as
  // freely as any reader: the archive is read, never held against its owner.
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return Fail(ErrorNumberFromWin32(GetLastError()), "cannot open the archive");
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) {
    return Fail(ErrorNumberFromWin32(GetLastError()), "cannot open the archive");
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Fail(kPathFileAccessError, "not a regular file");
  }
  // libzip would take an empty file for a new, empty archive; for us it is not an archive.
  if (info.nFileSizeHigh == 0 && info.nFileSizeLow == 0) {
    return Fail(kPathFileAccessError, "empty file");
  }
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_win32handle_create(file.get(), 0, -1, &error);
  zip_error_fini(&error);
  if (source == nullptr) return Fail(kPathFileAccessError, "cannot read the archive");
  file.Release();  // the source owns the handle now
  archive_ = OpenArchiveSource(source, error_text_);
  return archive_ == nullptr ? kPathFileAccessError : 0;
}

int ZipArchive::ExtractEntry(int index, const std::string& destination_dir) {
  created_directories_.clear();
  error_text_.clear();
  std::string name;
  zip_stat_t stat;
  if (const int refused = CheckEntry(archive_, index, name, stat, error_text_); refused != 0) {
    return refused;
  }

  const std::string base = destination_dir.empty() || IsSeparator(destination_dir.back())
                               ? destination_dir
                               : destination_dir + "/";
  Extraction extraction;
  if (!extraction.OpenDestination(base)) {
    return Fail(ErrorNumberFromWin32(GetLastError()), "cannot open the destination folder");
  }
  // Refuse before writing a byte; the size check while streaming keeps the header honest.
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExA(base.c_str(), &available, nullptr, nullptr)) {
    return Fail(ErrorNumberFromWin32(GetLastError()), "cannot query the free space");
  }
  if (stat.size > available.QuadPart) {
    return Fail(kDiskFull,
                "entry of " + std::to_string(stat.size) + " bytes exceeds the free space");
  }

  std::vector<std::string> parts = SplitMemberName(name);
  const std::string leaf = std::move(parts.back());
  parts.pop_back();
  std::vector<std::string> created;
  std::string path = base;
  for (const std::string& component : parts) {
    path += component + "/";
    bool was_created = false;
    const bool entered = extraction.EnterDirectory(path, component, &was_created);
    if (was_created) created.push_back(path);
    if (!entered) {
      return Fail(ErrorNumberFromWin32(GetLastError()), "cannot use directory " + path);
    }
  }
  // Written beside its name and renamed there only when whole: a member is never seen
  // half-written, and an existing file or link at its name is never written through (58).
  std::optional<HiddenTemporary> out;
  try {
    out.emplace(path, leaf);
  } catch (const RuntimeError& error) {
    return Fail(error.number(), "cannot create " + path + leaf);
  }

  const auto write = [&](std::string_view chunk) {
    return out->Write(chunk.data(), chunk.size()) ? 0 : ErrorNumberFromWin32(GetLastError());
  };
  if (const int failed = StreamEntry(archive_, index, stat.size, path + leaf, write, error_text_);
      failed != 0) {
    return failed;
  }
  // The caller renames the member over the job file; it must be on disk before that.
  try {
    out->Commit(path + leaf, /*replace=*/false);
  } catch (const RuntimeError& error) {
    return Fail(error.number(), "cannot create " + path + leaf);
  }
  extraction.Commit();
  created_directories_ = std::move(created);
  return 0;
}

}  // namespace plotspool::platform

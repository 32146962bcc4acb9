#include "platform/directory_enumeration.h"

#include <windows.h>

#include <string>
#include <utility>

#include "base/error.h"
#include "platform/win32/confined_path.h"
#include "platform/win32/unique_handle.h"

namespace plotspool::platform {

int64_t FileSystemClockNs() {
  // File systems stamp changes with this coarse clock, not with the precise one.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return UnixNanoseconds(now);
}

namespace {

// Owns a search handle of FindFirstFileExA, which FindClose ends (not CloseHandle).
class FindHandle {
 public:
  FindHandle() = default;
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle() { Reset(); }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) FindClose(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

constexpr DWORD kListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

// Opens the directory `path`; with `follow_link` false a reparse point there is opened (and then
// refused by the caller) instead of followed. Held without delete sharing, so that the directory
// the listing reads by name stays this one until it is closed.
UniqueHandle OpenDirectory(const std::string& path, bool follow_link) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  UniqueHandle dir(CreateFileA(path.c_str(), kListAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, flags, nullptr));
  if (!dir.valid() && GetLastError() == ERROR_SHARING_VIOLATION) {
    // Someone holds it without delete sharing already: it cannot be swapped either.
    dir.Reset(CreateFileA(path.c_str(), kListAccess,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, flags, nullptr));
  }
  if (!dir.valid()) return dir;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(dir.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (!follow_link && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    dir.Reset();
  }
  return dir;
}

// The stamp of the open directory `dir`; false unless it is a directory.
bool ReadDirectoryStamp(HANDLE dir, DirectoryStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO times;
  if (!GetFileInformationByHandle(dir, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      !GetFileInformationByHandleEx(dir, FileBasicInfo, &times, sizeof times)) {
    return false;
  }
  auto ns = [](const LARGE_INTEGER& t) {
    FILETIME time;
    time.dwLowDateTime = t.LowPart;
    time.dwHighDateTime = static_cast<DWORD>(t.HighPart);
    return UnixNanoseconds(time);
  };
  stamp.device = info.dwVolumeSerialNumber;
  stamp.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp.modified_ns = ns(times.LastWriteTime);
  stamp.changed_ns = ns(times.ChangeTime);
  return true;
}

// The attribute word the walk reads, from what the listing says of an entry.
uint32_t AttributeWord(const WIN32_FIND_DATAA& item) {
  const DWORD found = item.dwFileAttributes;
  const std::string_view name = item.cFileName;
  uint32_t word = 0;
  if ((found & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    word = kAttributeLink;  // never descended into, never opened
  } else if ((found & FILE_ATTRIBUTE_DEVICE) != 0) {
    word = kAttributeSystem;
  } else if ((found & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    word = kAttributeDirectory;
  } else {
    word = kAttributeArchive;
  }
  if ((found & FILE_ATTRIBUTE_SYSTEM) != 0) word |= kAttributeSystem;
  if ((found & FILE_ATTRIBUTE_READONLY) != 0 && (word & kAttributeLink) == 0) {
    word |= kAttributeReadOnly;
  }
  const bool dot_entry = name == "." || name == "..";
  if (!dot_entry && ((found & FILE_ATTRIBUTE_HIDDEN) != 0 || name.starts_with('.'))) {
    word |= kAttributeHidden;
  }
  return word;
}

}  // namespace

struct DirectoryEnumeration::Handle {
  UniqueHandle dir;  // the open directory, which pins it and answers for its stamp
  std::string path;  // its path, ending in a separator
  FindHandle find;   // the listing, started on the first read: a walk that only descends needs none
  bool started = false;
  bool ended = false;
};

DirectoryEnumeration::DirectoryEnumeration() : handle_(std::make_unique<Handle>()) {}

DirectoryEnumeration::~DirectoryEnumeration() { Close(); }

bool DirectoryEnumeration::Open(const std::string& dir, bool follow_link) {
  Close();
  std::string name = dir;
  auto is_root = [](const std::string& text) {
    return text.size() == 1 || (text.size() == 3 && text[1] == ':');
  };
  while (name.size() > 1 && IsSeparator(name.back()) && !is_root(name)) name.pop_back();
  if (name.empty()) return false;
  if (follow_link) {
    handle_->dir = OpenDirectory(name, true);
  } else {
    try {
      const ConfinedPath where = ResolveParent(name);
      handle_->dir = OpenDirectory(name, false);
    } catch (const RuntimeError&) {
      return false;
    }
  }
  if (!handle_->dir.valid()) return false;
  handle_->path = IsSeparator(name.back()) ? name : name + "/";
  return true;
}

bool DirectoryEnumeration::OpenBelow(const DirectoryEnumeration& parent, const std::string& name) {
  Close();
  if (!parent.handle_->dir.valid() || name.empty() || name == "." || name == ".." ||
      name.find_first_of("/\\") != std::string::npos) {
    return false;
  }
  // The parent is held open and cannot have been swapped: one step from it is enough.
  const std::string path = parent.handle_->path + name;
  handle_->dir = OpenDirectory(path, /*follow_link=*/false);
  if (!handle_->dir.valid()) return false;
  handle_->path = path + "/";
  return true;
}

namespace {

// The next raw entry of the listing of `handle`; false at its end.
bool NextFound(const std::string& path, FindHandle& find, bool& started, bool& ended,
               WIN32_FIND_DATAA& item) {
  if (ended) return false;
  if (!started) {
    started = true;
    find.Reset(FindFirstFileExA((path + "*").c_str(), FindExInfoBasic, &item, FindExSearchNameMatch,
                                nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find.valid()) ended = true;
    return !ended;
  }
  if (!FindNextFileA(find.get(), &item)) {
    ended = true;
    return false;
  }
  return true;
}

}  // namespace

bool DirectoryEnumeration::Next(DirectoryEntry& entry) {
  if (!handle_->dir.valid()) return false;
  WIN32_FIND_DATAA item;
  if (!NextFound(handle_->path, handle_->find, handle_->started, handle_->ended, item)) {
    return false;
  }
  entry.name = item.cFileName;
  entry.attributes = AttributeWord(item);
  return true;
}

bool DirectoryEnumeration::NextListed(DirectoryEntry& entry) {
  if (!Next(entry)) return false;
  entry.attributes &= ~uint32_t{kAttributeReadOnly};
  return true;
}

bool DirectoryEnumeration::Stamp(DirectoryStamp& stamp) const {
  return handle_->dir.valid() && ReadDirectoryStamp(handle_->dir.get(), stamp);
}

bool DirectoryEnumeration::StampOf(const std::string& name, DirectoryStamp& stamp) const {
  if (!handle_->dir.valid() || name.empty() || name.find_first_of("/\\") != std::string::npos) {
    return false;
  }
  const UniqueHandle entry = OpenEntry(handle_->path + name, FILE_READ_ATTRIBUTES);
  return entry.valid() && ReadDirectoryStamp(entry.get(), stamp);
}

// Change notifications are not used here yet: every directory keeps being judged by its stamp.
DirectoryWatch::DirectoryWatch(DirectoryWatch&& other) noexcept
    : id_(std::exchange(other.id_, -1)), since_(other.since_) {}

DirectoryWatch& DirectoryWatch::operator=(DirectoryWatch&& other) noexcept {
  id_ = std::exchange(other.id_, -1);
  since_ = other.since_;
  return *this;
}

bool DirectoryWatch::Unchanged() const { return false; }

void DirectoryWatch::Stop() { id_ = -1; }

void CollectDirectoryChanges() {}

WatchStart DirectoryEnumeration::Watch(const std::string&, const DirectoryStamp&,
                                       DirectoryWatch& watch) const {
  watch.Stop();
  return WatchStart::kNotWatched;
}

void DirectoryEnumeration::Close() {
  if (!handle_) return;
  handle_->find.Reset();
  handle_->dir.Reset();
  handle_->path.clear();
  handle_->started = false;
  handle_->ended = false;
}

}  // namespace plotspool::platform

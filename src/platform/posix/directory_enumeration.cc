#include "platform/directory_enumeration.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {

int64_t FileSystemClockNs() {
  // The kernel stamps changes with this coarse clock (or a finer reading taken after it).
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

namespace {

// The stamp of `name` in `dir` (of `dir` itself when `name` is empty); false unless it is a
// directory whose times the file system reports.
bool ReadDirectoryStamp(int dir, const char* name, DirectoryStamp& stamp) {
  struct statx st;
  // A network file system would otherwise answer from attributes it cached up to a minute ago.
  const int flags =
      AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  constexpr unsigned kWanted = STATX_TYPE | STATX_INO | STATX_MTIME | STATX_CTIME;
  if (::statx(dir, name, flags, kWanted, &st) != 0) return false;
  if ((st.stx_mask & kWanted) != kWanted || !S_ISDIR(st.stx_mode)) return false;
  auto ns = [](const struct statx_timestamp& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  stamp.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  stamp.inode = st.stx_ino;
  stamp.modified_ns = ns(st.stx_mtime);
  stamp.changed_ns = ns(st.stx_ctime);
  return true;
}

// The attribute word of a listed entry, from the listing's own record of its kind where there
// is one; entries of unknown kind are inspected. False when the entry has vanished.
bool ListedAttributes(int dir, const struct dirent& item, uint32_t& word) {
  unsigned char type = item.d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (::fstatat(dir, item.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    type = IFTODT(st.st_mode);
  }
  switch (type) {
    case DT_LNK:
      word = kAttributeLink;
      break;
    case DT_DIR:
      word = kAttributeDirectory;
      break;
    case DT_REG:
      word = kAttributeArchive;
      break;
    default:
      word = kAttributeSystem;
  }
  return true;
}

uint32_t HiddenBit(const std::string& name) {
  const bool hidden = name[0] == '.' && name != "." && name != "..";
  return hidden ? uint32_t{kAttributeHidden} : 0;
}

}  // namespace

struct DirectoryEnumeration::Handle {
  UniqueFd fd;         // the open directory, until `dir` takes it over
  DIR* dir = nullptr;  // its stream, made on the first read: a walk that only descends needs none

  int Fd() const { return dir != nullptr ? ::dirfd(dir) : fd.get(); }
};

DirectoryEnumeration::DirectoryEnumeration() : handle_(std::make_unique<Handle>()) {}

DirectoryEnumeration::~DirectoryEnumeration() { Close(); }

bool DirectoryEnumeration::Open(const std::string& dir, bool follow_link) {
  Close();
  std::string name = dir;
  int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
  if (!follow_link) {
    // A trailing "/" would make the kernel follow a link at the last component regardless.
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    flags |= O_NOFOLLOW;
  }
  UniqueFd fd;
  if (follow_link) {
    fd.Reset(::open(name.c_str(), flags));
  } else {
    try {
      const ConfinedPath where = ResolveParent(name);
      fd.Reset(::openat(where.dir.get(), where.leaf.c_str(), flags));
    } catch (const RuntimeError&) {
      return false;
    }
  }
  if (!fd.valid()) return false;
  handle_->fd = std::move(fd);
  return true;
}

bool DirectoryEnumeration::OpenBelow(const DirectoryEnumeration& parent, const std::string& name) {
  Close();
  if (parent.handle_->Fd() < 0 || name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string::npos) {
    return false;
  }
  handle_->fd.Reset(::openat(parent.handle_->Fd(), name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  return handle_->fd.valid();
}

namespace {

// The stream over `fd`, made into `dir` when first needed; null when it cannot be.
DIR* StreamOf(UniqueFd& fd, DIR*& dir) {
  if (dir == nullptr && fd.valid()) {
    dir = ::fdopendir(fd.get());
    if (dir != nullptr) fd.Release();  // the stream closes it now
  }
  return dir;
}

}  // namespace

bool DirectoryEnumeration::Next(DirectoryEntry& entry) {
  DIR* stream = StreamOf(handle_->fd, handle_->dir);
  if (stream == nullptr) return false;
  for (;;) {
    errno = 0;
    const struct dirent* item = ::readdir(stream);
    if (item == nullptr) return false;
    struct stat st;
    if (::fstatat(::dirfd(stream), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entry.name = item->d_name;
    uint32_t word = 0;
    if (S_ISLNK(st.st_mode)) {
      word = kAttributeLink;
    } else if (S_ISDIR(st.st_mode)) {
      word = kAttributeDirectory;
    } else if (S_ISREG(st.st_mode)) {
      word = kAttributeArchive;
    } else {
      word = kAttributeSystem;
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) word |= kAttributeReadOnly;
    entry.attributes = word | HiddenBit(entry.name);
    return true;
  }
}

bool DirectoryEnumeration::NextListed(DirectoryEntry& entry) {
  DIR* stream = StreamOf(handle_->fd, handle_->dir);
  if (stream == nullptr) return false;
  for (;;) {
    const struct dirent* item = ::readdir(stream);
    if (item == nullptr) return false;
    uint32_t word = 0;
    if (!ListedAttributes(::dirfd(stream), *item, word)) continue;
    entry.name = item->d_name;
    entry.attributes = word | HiddenBit(entry.name);
    return true;
  }
}

bool DirectoryEnumeration::Stamp(DirectoryStamp& stamp) const {
  return handle_->Fd() >= 0 && ReadDirectoryStamp(handle_->Fd(), "", stamp);
}

bool DirectoryEnumeration::StampOf(const std::string& name, DirectoryStamp& stamp) const {
  return handle_->Fd() >= 0 && !name.empty() &&
         ReadDirectoryStamp(handle_->Fd(), name.c_str(), stamp);
}

void DirectoryEnumeration::Close() {
  if (!handle_) return;
  if (handle_->dir != nullptr) ::closedir(handle_->dir);  // closes the descriptor too
  handle_->dir = nullptr;
  handle_->fd.Reset();
}

}  // namespace plotspool::platform

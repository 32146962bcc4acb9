#include "platform/directory_enumeration.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <unordered_map>
#include <utility>

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

namespace {

// The file systems whose every change of a directory the kernel reports, because every change
// passes through this kernel: the local ones. Overlays count as local (what lies beneath one
// must not be changed while it is mounted). Network and user-space file systems do not count.
bool ReportsEveryChange(const struct statfs& fs) {
  switch (static_cast<uint64_t>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0xF2F52010:  // F2FS
    case 0x2FC12FC1:  // ZFS
    case 0x3153464A:  // JFS
    case 0xCA451A4E:  // bcachefs
    case 0x4D44:      // FAT
    case 0x2011BAB0:  // exFAT
    case 0x794C7630:  // overlay
      return true;
    default:
      return false;
  }
}

// Every change that moves a directory's stamp on, or replaces what its name stands for.
constexpr uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The process's one queue of reported changes, and what it watches.
struct ChangeQueue {
  struct Watched {
    uint64_t begun = 0;        // when the system's watch was set up
    uint64_t last_change = 0;  // when a change to it was last taken in
    int users = 0;             // watches on it (one directory can be seen at two places)
  };

  bool tried = false;
  UniqueFd queue;
  // Mounting or unmounting changes what a path stands for without any change to a directory.
  UniqueFd mounts;
  std::unordered_map<int, Watched> watched;
  uint64_t clock = 0;               // counts what happens, so that order can be told
  uint64_t everything_changed = 0;  // when a change may have gone untold

  bool Ready() {
    if (!tried) {
      tried = true;
      mounts.Reset(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
      if (mounts.valid()) queue.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    }
    return queue.valid();
  }
};

ChangeQueue& Changes() {
  static ChangeQueue changes;
  return changes;
}

}  // namespace

DirectoryWatch::DirectoryWatch(DirectoryWatch&& other) noexcept
    : id_(std::exchange(other.id_, -1)), since_(other.since_) {}

DirectoryWatch& DirectoryWatch::operator=(DirectoryWatch&& other) noexcept {
  if (this != &other) {
    Stop();
    id_ = std::exchange(other.id_, -1);
    since_ = other.since_;
  }
  return *this;
}

bool DirectoryWatch::Unchanged() const {
  if (id_ < 0) return false;
  const ChangeQueue& changes = Changes();
  const auto it = changes.watched.find(id_);
  // A watch the system dropped (its directory removed) may have been set up again since.
  return it != changes.watched.end() && it->second.begun <= since_ &&
         it->second.last_change < since_ && changes.everything_changed < since_;
}

void DirectoryWatch::Stop() {
  if (id_ < 0) return;
  ChangeQueue& changes = Changes();
  const auto it = changes.watched.find(std::exchange(id_, -1));
  if (it == changes.watched.end() || it->second.begun > since_) return;
  if (--it->second.users > 0) return;
  ::inotify_rm_watch(changes.queue.get(), it->first);
  changes.watched.erase(it);
}

void CollectDirectoryChanges() {
  ChangeQueue& changes = Changes();
  if (!changes.queue.valid()) return;
  struct pollfd ready[2] = {{changes.queue.get(), POLLIN, 0}, {changes.mounts.get(), POLLPRI, 0}};
  if (::poll(ready, 2, 0) <= 0) return;
  if ((ready[1].revents & (POLLPRI | POLLERR)) != 0) changes.everything_changed = ++changes.clock;
  if ((ready[0].revents & POLLIN) == 0) return;
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(changes.queue.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        changes.everything_changed = ++changes.clock;
        continue;
      }
      const auto it = changes.watched.find(event->wd);
      if (it == changes.watched.end()) continue;
      it->second.last_change = ++changes.clock;
      // The system has dropped the watch; whoever held it must look, and set up a new one.
      if ((event->mask & IN_IGNORED) != 0) changes.watched.erase(it);
    }
  }
}

WatchStart DirectoryEnumeration::Watch(const std::string& name, const DirectoryStamp& expected,
                                       DirectoryWatch& watch) const {
  ChangeQueue& changes = Changes();
  if (watch.id_ >= 0) {
    const auto it = changes.watched.find(watch.id_);
    if (it != changes.watched.end() && it->second.begun <= watch.since_ &&
        it->second.last_change < watch.since_) {
      // The directory told of no change; only one that may have gone untold elsewhere (a
      // mount) made the caller look. The stamp just read through the name is the watched
      // directory's own, so the name still leads to it and the watch stands.
      watch.since_ = ++changes.clock;
      return WatchStart::kWatching;
    }
  }
  watch.Stop();
  if (!changes.Ready()) return WatchStart::kNotWatched;
  if (handle_->Fd() < 0 || name.find('/') != std::string::npos) return WatchStart::kChanged;
  UniqueFd entry;
  int dir = handle_->Fd();
  if (!name.empty()) {
    entry.Reset(::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!entry.valid()) return WatchStart::kChanged;
    dir = entry.get();
  }
  struct statfs fs;
  if (::fstatfs(dir, &fs) != 0) return WatchStart::kChanged;
  if (!ReportsEveryChange(fs)) return WatchStart::kNotWatched;
  // The descriptor's own name leads to exactly the directory it holds open.
  const std::string held = "/proc/self/fd/" + std::to_string(dir);
  const int id = ::inotify_add_watch(changes.queue.get(), held.c_str(), kWatchedEvents);
  if (id < 0) {
    return errno == ENOSPC || errno == ENOMEM ? WatchStart::kNotWatched : WatchStart::kChanged;
  }
  ChangeQueue::Watched& watched = changes.watched[id];
  if (watched.users++ == 0) watched.begun = ++changes.clock;
  watch.id_ = id;
  watch.since_ = ++changes.clock;
  DirectoryStamp now;
  if (!ReadDirectoryStamp(dir, "", now) || !(now == expected)) {
    watch.Stop();
    return WatchStart::kChanged;
  }
  return WatchStart::kWatching;
}

void DirectoryEnumeration::Close() {
  if (!handle_) return;
  if (handle_->dir != nullptr) ::closedir(handle_->dir);  // closes the descriptor too
  handle_->dir = nullptr;
  handle_->fd.Reset();
}

}  // namespace plotspool::platform

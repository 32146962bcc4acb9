#include "platform/zip_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "base/error.h"
#include "platform/libzip/zip_archive_common.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/errno_error.h"

namespace plotspool::platform {

// Every other name is a plain name in its folder here.
bool IsReservedComponent(std::string_view) { return false; }

namespace {

// Everything ExtractEntry creates on disk, removed again in reverse order unless committed.
class Extraction {
 public:
  Extraction() = default;
  Extraction(const Extraction&) = delete;
  Extraction& operator=(const Extraction&) = delete;
  ~Extraction() {
    if (committed_) return;
    for (std::size_t i = components_.size(); i-- > 0;) {
      if (created_[i]) unlinkat(directories_[i].get(), components_[i].c_str(), AT_REMOVEDIR);
    }
  }

  // Starts at the destination directory, which the caller chose and may reach through links.
  bool OpenDestination(const std::string& path) {
    directories_.emplace_back(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directories_.back().valid();
  }
  int DestinationFd() const { return directories_.front().get(); }

  // Enters the sub-folder `component`, creating it when missing. An existing one is used only
  // when it is a real directory (not a link) of our own user, so nobody else can swap the member
  // between our write and the caller's rename. Returns false with errno set.
  bool EnterDirectory(const std::string& component, bool* created) {
    const int parent = directories_.back().get();
    *created = mkdirat(parent, component.c_str(), 0700) == 0;
    if (!*created && errno != EEXIST) return false;
    components_.push_back(component);
    created_.push_back(*created);
    UniqueFd next(
        openat(parent, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return false;
    struct stat info {};
    if (fstat(next.get(), &info) != 0) return false;
    if (!*created && info.st_uid != geteuid()) {
      errno = EACCES;
      return false;
    }
    directories_.push_back(std::move(next));
    return true;
  }

  // Where the member `leaf` goes: in the innermost folder entered, held open so that no swap of
  // a folder on the way can redirect it.
  ConfinedPath MemberPlace(const std::string& leaf) const {
    return ConfinedPath{UniqueFd(fcntl(directories_.back().get(), F_DUPFD_CLOEXEC, 0)), leaf};
  }

  void Commit() { committed_ = true; }

 private:
  std::vector<UniqueFd> directories_;  // [0] destination, [i + 1] inside components_[i]
  std::vector<std::string> components_;
  std::vector<bool> created_;
  bool committed_ = false;
};

}  // namespace

int ZipArchive::Open(const std::string& path) {
  DiscardArchive();
  // O_NONBLOCK so that a FIFO planted under the archive's name cannot block the open.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return Fail(ErrorNumberFromErrno(errno), "cannot open the archive");
  struct stat info {};
  if (fstat(fd.get(), &info) != 0)
    return Fail(ErrorNumberFromErrno(errno), "cannot open the archive");
  if (!S_ISREG(info.st_mode)) return Fail(kPathFileAccessError, "not a regular file");
  // libzip would take an empty file for a new, empty archive; for us it is not an archive.
  if (info.st_size == 0) return Fail(kPathFileAccessError, "empty file");
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Fail(ErrorNumberFromErrno(errno), "cannot read the archive");
  }
  int zip_error = 0;
  // Strict checks: a header that disagrees with the central directory is damage, not a variant.
  archive_ = zip_fdopen(fd.get(), ZIP_CHECKCONS, &zip_error);
  if (archive_ == nullptr)
    return Fail(kPathFileAccessError, "damaged archive: " + ZipErrorText(zip_error));
  fd.Release();  // the archive owns the descriptor now
  return 0;
}

int ZipArchive::ExtractEntry(int index, const std::string& destination_dir) {
  created_directories_.clear();
  error_text_.clear();
  std::string name;
  zip_stat_t stat;
  if (const int refused = CheckEntry(archive_, index, name, stat, error_text_); refused != 0) {
    return refused;
  }

  const std::string base = destination_dir.empty() || destination_dir.back() == '/'
                               ? destination_dir
                               : destination_dir + "/";
  Extraction extraction;
  if (!extraction.OpenDestination(base)) {
    return Fail(ErrorNumberFromErrno(errno), "cannot open the destination folder");
  }
  // Refuse before writing a byte; the size check while streaming keeps the header honest.
  struct statvfs space {};
  if (fstatvfs(extraction.DestinationFd(), &space) != 0) {
    return Fail(ErrorNumberFromErrno(errno), "cannot query the free space");
  }
  // Counted in whole blocks, as the file will occupy them; no product that could overflow.
  const zip_uint64_t block = space.f_frsize != 0 ? space.f_frsize : 1;
  const zip_uint64_t blocks_needed = stat.size / block + (stat.size % block != 0 ? 1 : 0);
  if (blocks_needed > space.f_bavail) {
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
    const bool entered = extraction.EnterDirectory(component, &was_created);
    if (was_created) created.push_back(path);
    if (!entered) return Fail(ErrorNumberFromErrno(errno), "cannot use directory " + path);
  }
  // Written beside its name and renamed there only when whole: a member is never seen
  // half-written, and an existing file or link at its name is never written through (58).
  std::optional<AtomicReplacement> out;
  try {
    out.emplace(extraction.MemberPlace(leaf), 0600);
  } catch (const RuntimeError& error) {
    return Fail(error.number(), "cannot create " + path + leaf);
  }

  const auto write = [&](std::string_view chunk) {
    return WriteAll(out->fd(), chunk) ? 0 : ErrorNumberFromErrno(errno);
  };
  if (const int failed = StreamEntry(archive_, index, stat.size, path + leaf, write, error_text_);
      failed != 0) {
    return failed;
  }
  // The caller renames the member over the job file; it must be on disk before that.
  try {
    out->Commit(/*replace=*/false);
  } catch (const RuntimeError& error) {
    return Fail(error.number(), "cannot create " + path + leaf);
  }
  extraction.Commit();
  created_directories_ = std::move(created);
  return 0;
}

}  // namespace plotspool::platform

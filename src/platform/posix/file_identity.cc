#include "platform/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/errno_error.h"

namespace plotspool::platform {
namespace {

std::optional<FileIdentity> IdentityAt(int dir, const std::string& leaf) {
  struct stat st;
  if (::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  FileIdentity identity;
  identity.device = st.st_dev;
  identity.inode = st.st_ino;
  identity.size = st.st_size;
  identity.modified_ns =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return identity;
}

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  try {
    const ConfinedPath where = ResolveParent(path);
    return IdentityAt(where.dir.get(), where.leaf);
  } catch (const RuntimeError&) {
    return std::nullopt;
  }
}

bool RemoveIfUnchanged(const std::string& path, const FileIdentity& identity) {
  // One directory descriptor for the test and the removal: nothing can redirect the second step.
  const ConfinedPath where = ResolveParent(path);
  if (IdentityAt(where.dir.get(), where.leaf) != identity) return false;
  if (::unlinkat(where.dir.get(), where.leaf.c_str(), 0) != 0) throw ErrorFromErrno(errno);
  return true;
}

bool RenameIfUnchanged(const std::string& path, const FileIdentity& identity,
                       const std::string& to) {
  const ConfinedPath where = ResolveParent(path);
  if (IdentityAt(where.dir.get(), where.leaf) != identity) return false;
  const ConfinedPath target = ResolveParent(to);
  if (IdentityAt(target.dir.get(), target.leaf)) throw RuntimeError(kFileAlreadyExists);
  if (::renameat(where.dir.get(), where.leaf.c_str(), target.dir.get(), target.leaf.c_str()) != 0) {
    throw ErrorFromErrno(errno);
  }
  return true;
}

}  // namespace plotspool::platform

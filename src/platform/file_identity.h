// What makes one version of a file that one: the same inode with the same size and modification
// time. A sender that writes the file anew, or renames another one over it, makes another.
#ifndef PLOTSPOOL_PLATFORM_FILE_IDENTITY_H_
#define PLOTSPOOL_PLATFORM_FILE_IDENTITY_H_

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace plotspool::platform {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modified_ns = 0;  // modification time in nanoseconds since the epoch

  auto operator<=>(const FileIdentity&) const = default;
};

// The identity of the regular file `path` (a link at it is not followed); nullopt when there is
// none (missing, not a regular file, not reachable). Never throws.
std::optional<FileIdentity> IdentityOf(const std::string& path);

// Removes `path` only while it is still the version `identity`. Returns false (nothing removed)
// when it is another version or gone; throws RuntimeError when the removal itself fails.
bool RemoveIfUnchanged(const std::string& path, const FileIdentity& identity);

// Renames `path` to `to` (which must not exist) only while it is still the version `identity`,
// and only within one file system: never a copy. Returns false (nothing moved) when it is another
// version or gone; throws RuntimeError when the rename fails (75 across file systems, 58 when
// `to` exists).
bool RenameIfUnchanged(const std::string& path, const FileIdentity& identity,
                       const std::string& to);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_FILE_IDENTITY_H_

// Listing one directory: the names in it with an attribute word each, and a stamp that tells
// whether its entries can have changed since the last look.
#ifndef PLOTSPOOL_PLATFORM_DIRECTORY_ENUMERATION_H_
#define PLOTSPOOL_PLATFORM_DIRECTORY_ENUMERATION_H_

#include <cstdint>
#include <memory>
#include <string>

namespace plotspool::platform {

// Attribute word bits of a directory entry.
enum : uint32_t {
  kAttributeReadOnly = 1,    // the owner may not write
  kAttributeHidden = 2,      // the name starts with "." ("." and ".." themselves excepted)
  kAttributeSystem = 4,      // neither regular file nor directory: FIFO, socket, device
  kAttributeDirectory = 16,  // a real directory, not a link to one
  kAttributeArchive = 32,    // a regular file
  kAttributeLink = 1024,     // a symbolic link; its target is never looked at
};

struct DirectoryEntry {
  std::string name;
  uint32_t attributes = 0;
};

// Identity and change times of a directory. Adding, removing or renaming an entry moves a
// directory's modification and change times on to the current time, so while a directory's
// stamp stays the same, so do its entries (names, kinds and order).
struct DirectoryStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modified_ns = 0;  // since the epoch
  int64_t changed_ns = 0;
  bool operator==(const DirectoryStamp&) const = default;
};

// The current time of the clock local file systems stamp changes with, in nanoseconds since the
// epoch. A change made after this reading gets a time no earlier than it.
int64_t FileSystemClockNs();

// Enumerates one directory in the file system's own order, "." and ".." included. An entry that
// vanishes between listing and inspection is skipped.
class DirectoryEnumeration {
 public:
  DirectoryEnumeration();
  DirectoryEnumeration(const DirectoryEnumeration&) = delete;
  DirectoryEnumeration& operator=(const DirectoryEnumeration&) = delete;
  ~DirectoryEnumeration();

  // False (never throws) when `dir` is missing, unreadable or not a directory. With
  // `follow_link` false a link at the last component of `dir` is refused as well, so a
  // sub-directory swapped for a link after it was listed is not entered.
  bool Open(const std::string& dir, bool follow_link = true);
  // As Open with `follow_link` false for the directory `name` in the directory `parent` has
  // open: each level of a walk is reached from the one above in one step, instead of resolving
  // its path from the root again.
  bool OpenBelow(const DirectoryEnumeration& parent, const std::string& name);
  // Fills `entry` with the next entry; false at the end or after an error. Never throws.
  bool Next(DirectoryEntry& entry);
  // As Next, but the kind of entry comes from the listing itself wherever the file system
  // records it there, and the read-only bit (1) is never set: no inspection of each entry.
  bool NextListed(DirectoryEntry& entry);
  // The stamp of the open directory, and of the entry `name` in it (a link is not followed). A
  // network file system is asked afresh, not answered from a cache. False when it cannot be
  // read or `name` is not a directory. Never throw.
  bool Stamp(DirectoryStamp& stamp) const;
  bool StampOf(const std::string& name, DirectoryStamp& stamp) const;
  void Close();

 private:
  struct Handle;  // the open directory and its stream, kept out of this header
  std::unique_ptr<Handle> handle_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_DIRECTORY_ENUMERATION_H_

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

// Word from the system that a directory has changed, so that a walk need not look again at
// every directory nothing has happened to. Given only where the system reports every change of
// a directory's entries and times, that is on local file systems: the server of a network file
// system does not report what its other clients change. There, and once the system's watches
// run out, the walk goes on reading stamps.
class DirectoryWatch {
 public:
  DirectoryWatch() = default;
  DirectoryWatch(DirectoryWatch&& other) noexcept;
  DirectoryWatch& operator=(DirectoryWatch&& other) noexcept;
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;
  ~DirectoryWatch() { Stop(); }

  // True while it watches a directory and, as of the last CollectDirectoryChanges, no change
  // to it has been reported since the watch began, nor can one have gone unreported (more
  // changes at once than the system queues, a file system mounted or unmounted anywhere).
  bool Unchanged() const;
  void Stop();

 private:
  friend class DirectoryEnumeration;
  int id_ = -1;         // the system's number for the watch; -1 for none
  uint64_t since_ = 0;  // when it began, on the clock of the changes taken in
};

// Takes in the changes the system has reported since the last call. A walk calls it once,
// before it starts.
void CollectDirectoryChanges();

enum class WatchStart {
  kWatching,    // the directory still has the stamp expected, and its changes will be told
  kChanged,     // it no longer has that stamp, or is gone: look at it
  kNotWatched,  // its changes would not all be told (see above): keep reading its stamp
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
  // Starts `watch` on the directory `name` in this one (on this one itself when `name` is
  // empty), no link followed, whose stamp `expected` the caller has just read through this
  // enumeration. A kWatching watch reports any change after the directory had that stamp: a
  // new watch reads the stamp again once it is in place; a watch on the same directory that
  // told of no change since it began (only a mount or the like made the caller look) stands as
  // it is. Never throws.
  WatchStart Watch(const std::string& name, const DirectoryStamp& expected,
                   DirectoryWatch& watch) const;
  void Close();

 private:
  struct Handle;  // the open directory and its stream, kept out of this header
  std::unique_ptr<Handle> handle_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_DIRECTORY_ENUMERATION_H_

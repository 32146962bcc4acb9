#include "intake/scan_directory.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "base/convert.h"
#include "base/path_strings.h"
#include "config/service_settings.h"
#include "intake/take_over.h"
#include "log/metrics.h"
#include "log/service_log.h"
#include "platform/directory_enumeration.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "platform/temporary_files.h"
#include "util/message_loop.h"

namespace plotspool {

bool bStopScan = false;

namespace {

// Only these exact attribute words are walked into; a directory with any further bit (hidden,
// a link) counts as a file, and the take-over's existence test then drops it.
bool IsSubDirectory(uint32_t attributes) {
  return attributes == 16 || attributes == 17 || attributes == 48 || attributes == 2064;
}

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

// "*" any run, "?" one byte; everything else literal.
bool MatchesPattern(const char* name, const char* pattern) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool Wanted(const platform::DirectoryEntry& entry, const std::string& pattern) {
  return !IsDotEntry(entry.name) && MatchesPattern(entry.name.c_str(), pattern.c_str());
}

// What lies deeper is not walked: every file operation resolves its path one directory at a
// time, so the cost of a file grows with its depth, and no plot room nests folders this deep.
void ReportTooDeep(const std::string& path) {
  static std::set<std::string> reported;
  if (reported.size() > 1000) reported.clear();
  if (!reported.insert(path).second) return;
  WriteLog("error", "Verzeichnis tiefer als " + std::to_string(kMaxWalkDepth) +
                        " Ebenen wird nicht durchsucht: " + path);
}

// What the walks so far have learnt of one directory.
struct KnownDirectory {
  std::string name;
  platform::DirectoryStamp stamp;  // when it was last listed
  // The stamp was old enough to be trusted when it was listed: while it stays the same, so do
  // the entries that listing found.
  bool settled = false;
  // That listing held sub-directories and nothing else, and was settled: while the stamp stays
  // the same, neither pass can find anything else in it.
  bool quiet = false;
  // Set up for a quiet directory: while it tells of no change, the stamp need not be read.
  platform::DirectoryWatch watch;
  bool unwatchable = false;  // the system cannot tell its changes; its stamp is read instead
  std::vector<KnownDirectory> subdirectories;  // those walked into, in listing order
};

// A directory on the way down, opened only once something in it must be looked at: below
// directories that the system watches, a walk that finds nothing new opens nothing.
class Level {
 public:
  Level(std::string path, Level* parent, const std::string& name)
      : path_(std::move(path)), parent_(parent), name_(name) {}

  const std::string& path() const { return path_; }

  // Null when it cannot be opened (and then it is not tried again).
  platform::DirectoryEnumeration* Open() {
    if (!tried_) {
      tried_ = true;
      open_ = OpenAnother(dir_);
    }
    return open_ ? &dir_ : nullptr;
  }

  // Opens the same directory in `dir` afresh, for a second pass over its entries. The root
  // may be a link the administrator set up; below it, links are never followed, neither by the
  // walk nor by any step of a take-over it starts.
  bool OpenAnother(platform::DirectoryEnumeration& dir) {
    if (parent_ == nullptr) return dir.Open(path_, /*follow_link=*/true);
    const platform::DirectoryEnumeration* above = parent_->Open();
    // A sub-directory swapped for a link after it was listed is not entered.
    return above != nullptr && dir.OpenBelow(*above, name_);
  }

 private:
  std::string path_;
  Level* parent_;
  const std::string& name_;
  platform::DirectoryEnumeration dir_;
  bool tried_ = false;
  bool open_ = false;
};

// How long ago a directory must have changed before its stamp is trusted to change again with
// its next change. A change stamped within the same tick of the file system's clock as the one
// before would leave the stamp as it was; file systems that keep whole seconds (or two, on FAT)
// and the clocks of file servers a little apart from ours widen that tick.
std::chrono::nanoseconds settle_time = kDirectorySettleTime;

// Everything a walk carries from one tick to the next.
struct WalkMemory {
  std::string root;
  std::string pattern;
  KnownDirectory top;
};
WalkMemory memory;
int listed_last_walk = 0;

bool Settled(const platform::DirectoryStamp& stamp, int64_t listed_at) {
  const int64_t limit = listed_at - settle_time.count();
  return stamp.modified_ns < limit && stamp.changed_ns < limit;
}

// What was known of the sub-directory `name`, taken out of `previous`. `cursor` is where the
// search starts: a listing that did not change meets its names in the same order again.
KnownDirectory TakeKnown(std::vector<KnownDirectory>& previous, std::size_t& cursor,
                         const std::string& name) {
  for (std::size_t i = 0; i < previous.size(); ++i) {
    const std::size_t at = (cursor + i) % previous.size();
    if (previous[at].name == name) {
      cursor = at + 1;
      return std::move(previous[at]);
    }
  }
  KnownDirectory unknown;
  unknown.name = name;
  return unknown;
}

// The files a walk left in the tree, for the metrics.
struct WaitingFiles {
  int64_t count = 0;
  int64_t oldest_modified_ns = 0;

  void CountIfStillThere(const std::string& file) {
    if (!platform::NormalFileExists(file)) return;
    const std::optional<platform::FileIdentity> identity = platform::IdentityOf(file);
    if (!identity) return;
    if (count == 0 || identity->modified_ns < oldest_modified_ns) {
      oldest_modified_ns = identity->modified_ns;
    }
    ++count;
  }
};

class Walker {
 public:
  Walker(const std::string& pattern, bool recursive, bool trust_stamps, WaitingFiles& waiting)
      : pattern_(pattern), recursive_(recursive), trust_stamps_(trust_stamps), waiting_(waiting) {}

  // Walks the directory `here` stands for, which is `depth` levels below the root. Updates
  // `known` with what this walk found.
  void Walk(Level& here, int depth, KnownDirectory& known) {
    if (depth > kMaxWalkDepth) {
      ReportTooDeep(here.path());
      ForgetContents(known);
      return;
    }
    const bool known_quiet = trust_stamps_ && known.quiet;
    if (known_quiet && known.watch.Unchanged()) {
      WalkSubDirectories(here, depth, known);
      return;
    }
    const int64_t listed_at = platform::FileSystemClockNs();
    platform::DirectoryEnumeration* dir = here.Open();
    // A directory that cannot be enumerated is skipped with its files (and tried again).
    if (dir == nullptr) {
      ForgetContents(known);
      return;
    }
    platform::DirectoryStamp stamp;
    const bool stamped = dir->Stamp(stamp);
    if (known_quiet && stamped && stamp == known.stamp) {
      StartWatch(*dir, "", depth, known);
      WalkSubDirectories(here, depth, known);
      return;
    }

    ++listed_last_walk;
    // Where the entries cannot have changed since the last listing, each name still stands for
    // the directory whose watch was set up through it.
    const bool same_entries = known.settled && stamped && stamp == known.stamp;
    known.stamp = stamped ? stamp : platform::DirectoryStamp{};
    known.settled = stamped && Settled(stamp, listed_at);
    known.quiet = false;
    known.watch.Stop();
    known.unwatchable = false;
    std::vector<KnownDirectory> previous = std::move(known.subdirectories);
    known.subdirectories.clear();
    bool only_subdirectories = recursive_;
    if (recursive_) {
      std::size_t cursor = 0;
      platform::DirectoryEntry entry;
      // Only this pass reads `dir`; the file pass opens the directory afresh.
      while (dir->NextListed(entry)) {
        if (bStopScan) {
          only_subdirectories = false;
          break;
        }
        YieldToMessageLoop();
        if (IsDotEntry(entry.name)) continue;
        if (!IsSubDirectory(entry.attributes)) {
          only_subdirectories = false;
        } else if (Wanted(entry, pattern_)) {
          known.subdirectories.push_back(TakeKnown(previous, cursor, entry.name));
          KnownDirectory& sub = known.subdirectories.back();
          if (!same_entries) {
            sub.watch.Stop();
            sub.unwatchable = false;
          }
          WalkSubDirectory(here, depth, sub);
        }
      }
    }

    // Sub-directories alone, and no change since before they were listed: a second listing
    // would find just them again, and the file pass has nothing to do with them. Not where the
    // file system is not trusted to stamp every change.
    platform::DirectoryStamp after;
    if (trust_stamps_ && only_subdirectories && known.settled && dir->Stamp(after) &&
        after == stamp) {
      known.quiet = true;
      StartWatch(*dir, "", depth, known);
      return;
    }

    platform::DirectoryEnumeration files;
    if (!here.OpenAnother(files)) return;
    platform::DirectoryEntry entry;
    while (files.NextListed(entry)) {
      YieldToMessageLoop();
      if (bStopScan) break;
      const std::string file = here.path() + entry.name;
      // A hidden temporary of ours that no live process holds is what a crash cut short.
      if ((entry.attributes & platform::kAttributeHidden) != 0 &&
          platform::RemoveStaleTemporary(file)) {
        continue;
      }
      if (Wanted(entry, pattern_) && !IsSubDirectory(entry.attributes)) {
        try {
          TakeOverFile(file);
        } catch (const std::exception&) {
          // The walk goes on with the next entry whatever the take-over let escape.
        }
        waiting_.CountIfStillThere(file);
      }
    }
  }

 private:
  void WalkSubDirectories(Level& here, int depth, KnownDirectory& known) {
    for (KnownDirectory& sub : known.subdirectories) {
      if (bStopScan) break;
      YieldToMessageLoop();
      WalkSubDirectory(here, depth, sub);
    }
  }

  void WalkSubDirectory(Level& here, int depth, KnownDirectory& sub) {
    // The commonest directory of all, an empty one that has not changed, costs nothing where
    // the system watches it, and one look elsewhere.
    if (trust_stamps_ && sub.quiet && sub.subdirectories.empty()) {
      if (sub.watch.Unchanged()) return;
      const platform::DirectoryEnumeration* dir = here.Open();
      platform::DirectoryStamp stamp;
      if (dir != nullptr && dir->StampOf(sub.name, stamp) && stamp == sub.stamp) {
        StartWatch(*dir, sub.name, depth + 1, sub);
        return;
      }
    }
    Level below(here.path() + sub.name + "/", &here, sub.name);
    Walk(below, depth + 1, sub);
  }

  // Has the system watch a quiet directory (`name` in `dir`, or `dir` itself), below the root:
  // the root is opened anew at every walk anyway, and may be a link that can be pointed
  // elsewhere without any change to the directory it pointed to.
  static void StartWatch(const platform::DirectoryEnumeration& dir, const std::string& name,
                         int depth, KnownDirectory& known) {
    if (depth == 0 || known.unwatchable) return;
    if (dir.Watch(name, known.stamp, known.watch) == platform::WatchStart::kNotWatched) {
      known.unwatchable = true;
    }
  }

  static void ForgetContents(KnownDirectory& known) {
    known.quiet = false;
    known.watch.Stop();
    known.subdirectories.clear();
  }

  const std::string& pattern_;
  const bool recursive_;
  const bool trust_stamps_;
  WaitingFiles& waiting_;
};

// Directory stamps stand in for listings unless the operator asked for the full walk; a value
// that is no Boolean asks for it too.
bool TrustDirectoryStamps() {
  try {
    return !TextToBool(ServiceSettings.VollstaendigeSuche);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void ScanDirectory(std::string& path, const std::string& pattern, bool recursive) {
  if (path.empty() || !IsPathSeparator(path.back())) path += '/';
  platform::SetTransferRoot(path);
  const bool trust_stamps = recursive && TrustDirectoryStamps();
  if (!trust_stamps || memory.root != path || memory.pattern != pattern) {
    memory = WalkMemory{path, pattern, {}};
  }
  listed_last_walk = 0;
  if (trust_stamps) platform::CollectDirectoryChanges();
  WaitingFiles waiting;
  Level root(path, nullptr, memory.top.name);
  Walker(pattern, recursive, trust_stamps, waiting).Walk(root, 0, memory.top);
  // An interrupted walk leaves directories half learnt, and has not seen every file.
  if (bStopScan) {
    memory = {};
  } else {
    RecordWaitingFiles(waiting.count, waiting.oldest_modified_ns);
  }
}

int DirectoriesListedByLastWalk() { return listed_last_walk; }

void SetDirectorySettleTime(std::chrono::nanoseconds time) { settle_time = time; }

}  // namespace plotspool

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
  // That listing held sub-directories and nothing else, and the stamp was old enough to be
  // trusted: while the stamp stays the same, neither pass can find anything else in it.
  bool quiet = false;
  std::vector<KnownDirectory> subdirectories;  // those walked into, in listing order
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

  // Walks the directory at `path`: the root when `parent` is null, else the entry
  // `known.name` of `parent`. Updates `known` with what this walk found.
  void Walk(std::string& path, const platform::DirectoryEnumeration* parent, int depth,
            KnownDirectory& known) {
    if (path.empty() || !IsPathSeparator(path.back())) path += '/';
    if (depth > kMaxWalkDepth) {
      ReportTooDeep(path);
      ForgetContents(known);
      return;
    }
    const bool known_quiet = trust_stamps_ && known.quiet;
    const int64_t listed_at = platform::FileSystemClockNs();
    platform::DirectoryEnumeration dir;
    // A directory that cannot be enumerated is skipped with its files (and tried again).
    if (!Open(dir, path, parent, known.name)) {
      ForgetContents(known);
      return;
    }
    platform::DirectoryStamp stamp;
    const bool stamped = dir.Stamp(stamp);
    if (known_quiet && stamped && stamp == known.stamp) {
      for (KnownDirectory& sub : known.subdirectories) {
        if (bStopScan) break;
        YieldToMessageLoop();
        WalkSubDirectory(path, dir, depth, sub);
      }
      return;
    }

    ++listed_last_walk;
    known.stamp = stamped ? stamp : platform::DirectoryStamp{};
    known.quiet = false;
    std::vector<KnownDirectory> previous = std::move(known.subdirectories);
    known.subdirectories.clear();
    bool only_subdirectories = recursive_;
    if (recursive_) {
      std::size_t cursor = 0;
      platform::DirectoryEntry entry;
      while (dir.NextListed(entry)) {
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
          WalkSubDirectory(path, dir, depth, known.subdirectories.back());
        }
      }
    }

    // Sub-directories alone, and no change since before they were listed: a second listing
    // would find just them again, and the file pass has nothing to do with them. Not where the
    // file system is not trusted to stamp every change.
    platform::DirectoryStamp after;
    if (trust_stamps_ && only_subdirectories && stamped && Settled(stamp, listed_at) &&
        dir.Stamp(after) && after == stamp) {
      known.quiet = true;
      return;
    }

    platform::DirectoryEnumeration files;
    if (!Open(files, path, parent, known.name)) return;
    platform::DirectoryEntry entry;
    while (files.NextListed(entry)) {
      YieldToMessageLoop();
      if (bStopScan) break;
      // A hidden temporary of ours that no live process holds is what a crash cut short.
      if ((entry.attributes & platform::kAttributeHidden) != 0 &&
          platform::RemoveStaleTemporary(path + entry.name)) {
        continue;
      }
      if (Wanted(entry, pattern_) && !IsSubDirectory(entry.attributes)) {
        try {
          TakeOverFile(path + entry.name);
        } catch (const std::exception&) {
          // The walk goes on with the next entry whatever the take-over let escape.
        }
        waiting_.CountIfStillThere(path + entry.name);
      }
    }
  }

 private:
  void WalkSubDirectory(const std::string& path, const platform::DirectoryEnumeration& dir,
                        int depth, KnownDirectory& sub) {
    // The commonest directory of all, an empty one that has not changed, costs one look.
    platform::DirectoryStamp stamp;
    if (trust_stamps_ && sub.quiet && sub.subdirectories.empty() && dir.StampOf(sub.name, stamp) &&
        stamp == sub.stamp) {
      return;
    }
    std::string sub_path = path + sub.name + "/";
    // A sub-directory swapped for a link after it was listed is not entered.
    Walk(sub_path, &dir, depth + 1, sub);
  }

  // The root may be a link the administrator set up; below it, links are never followed,
  // neither by the walk nor by any step of a take-over it starts.
  static bool Open(platform::DirectoryEnumeration& dir, const std::string& path,
                   const platform::DirectoryEnumeration* parent, const std::string& name) {
    return parent == nullptr ? dir.Open(path, /*follow_link=*/true) : dir.OpenBelow(*parent, name);
  }

  static void ForgetContents(KnownDirectory& known) {
    known.quiet = false;
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
  WaitingFiles waiting;
  Walker(pattern, recursive, trust_stamps, waiting).Walk(path, nullptr, 0, memory.top);
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

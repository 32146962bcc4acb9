#include "intake/scan_directory.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <set>

#include "intake/take_over.h"
#include "log/metrics.h"
#include "log/service_log.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "service/service.h"
#include "util/message_loop.h"

namespace plotspool {
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

void Walk(std::string& path, const std::string& pattern, bool recursive, bool follow_link,
          int depth, WaitingFiles& waiting) {
  if (path.empty() || path.back() != '/') path += '/';
  if (depth > kMaxWalkDepth) {
    ReportTooDeep(path);
    return;
  }

  if (recursive) {
    platform::DirectoryEnumeration directories;
    // A directory that cannot be enumerated is skipped with its files.
    if (!directories.Open(path, follow_link)) return;
    platform::DirectoryEntry entry;
    while (directories.Next(entry)) {
      if (bStopScan) break;
      YieldToMessageLoop();
      if (Wanted(entry, pattern) && IsSubDirectory(entry.attributes)) {
        std::string sub_path = path + entry.name + "/";
        // A sub-directory swapped for a link after it was listed is not entered.
        Walk(sub_path, pattern, recursive, /*follow_link=*/false, depth + 1, waiting);
      }
    }
  }

  platform::DirectoryEnumeration files;
  if (!files.Open(path, follow_link)) return;
  platform::DirectoryEntry entry;
  while (files.Next(entry)) {
    YieldToMessageLoop();
    if (bStopScan) break;
    // A hidden temporary of ours that no live process holds is what a crash cut short.
    if ((entry.attributes & platform::kAttributeHidden) != 0 &&
        platform::RemoveStaleTemporary(path + entry.name)) {
      continue;
    }
    if (Wanted(entry, pattern) && !IsSubDirectory(entry.attributes)) {
      try {
        TakeOverFile(path + entry.name);
      } catch (const std::exception&) {
        // The walk goes on with the next entry whatever the take-over let escape.
      }
      waiting.CountIfStillThere(path + entry.name);
    }
  }
}

}  // namespace

void ScanDirectory(std::string& path, const std::string& pattern, bool recursive) {
  // The root itself may be a link the administrator set up; below it, links are never followed,
  // neither by the walk nor by any step of a take-over it starts.
  if (path.empty() || path.back() != '/') path += '/';
  platform::SetTransferRoot(path);
  WaitingFiles waiting;
  Walk(path, pattern, recursive, /*follow_link=*/true, 0, waiting);
  // A walk cut short by a stop has not seen every file.
  if (!bStopScan) RecordWaitingFiles(waiting.count, waiting.oldest_modified_ns);
}

}  // namespace plotspool

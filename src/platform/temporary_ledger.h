// The names CreateTempFileName hands out: those this process holds, and the ledger file that
// lists them for the next run. The bookkeeping is alike on every system; the back end supplies
// the few file operations declared at the end. Internal to src/platform/.
#ifndef PLOTSPOOL_PLATFORM_TEMPORARY_LEDGER_H_
#define PLOTSPOOL_PLATFORM_TEMPORARY_LEDGER_H_

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/open_handle.h"

namespace plotspool::platform {

// The companions a CreateTempFileName name stands for: never written over when it is made,
// swept with it.
inline constexpr const char* kTempNameCompanions[] = {".zip", ".bmp"};

// True when `name` is one CreateTempFileName makes: "~VB" or no prefix, four hex digits, ".tmp".
bool IsTempFileName(std::string_view name);

// Names made by CreateTempFileName, each held open and marked as in use until this process
// removes it.
std::map<std::string, OwnedHandle>& HeldTempNames();

// The file that lists the names CreateTempFileName hands out and that still exist, so that the
// next run can tell its own leftovers from other programs' files of the same form. A name is
// listed ("+path") before the file is created and unlisted ("-path") once it is gone, each as one
// appended line, so a killed run never leaves a file of ours unlisted; a cut-off last line is
// ignored. At start-up (and when it has grown long) it is written anew from what it says, into a
// hidden temporary renamed over it, so no moment holds a shorter list.
class TemporaryLedger {
 public:
  void Open(const std::string& path);
  void Add(const std::string& path);
  void Drop(const std::string& path);
  // The listed names in the folder `dir` that this process does not hold: what an earlier run
  // left.
  std::vector<std::string> LeftIn(const std::string& dir) const;

 private:
  // Far more than a killed run can leave; a larger file is not a ledger of ours.
  static constexpr std::size_t kMaxBytes = 1 << 20;
  // Appended lines before the file is written anew from the names still listed.
  static constexpr int kRewriteAfterLines = 10000;

  // One write of the whole line: a kill leaves it whole or cut off, never mixed with another.
  void Append(const std::string& line);
  void Rewrite();

  std::string path_;
  OwnedHandle file_;  // open for appending; empty while there is no ledger
  std::set<std::string> listed_;
  int appended_ = 0;
};

// The process's one ledger, set by SetTemporaryLedger.
TemporaryLedger& Ledger();

// CreateTempFileName's search, given `stem` (the folder with its separator and the prefix): the
// names stem + four hex digits + ".tmp" from a random start on, each listed before it is made;
// the first made becomes held. 58 when all are taken.
std::string CreateTempFileNameFrom(const std::string& stem);

// What the back end's attempt at one name of CreateTempFileName came to.
enum class TempNameAttempt {
  kMade,       // created new, marked as in use, no companion exists
  kSwept,      // created, but a sweep took it before it was marked
  kCompanion,  // created, but a companion exists: removed again
  kTaken,      // the name exists already
};

// Supplied by the back end.
// True when `path` names a file from the root of a file system, as every listed name does.
bool IsFullPath(std::string_view path);
// True when the folder of `path` is `dir`, as the file system compares names.
bool LiesInFolder(const std::string& path, const std::string& dir);
// The start of the file `path`, not followed through a link, at most a read beyond `limit`
// bytes; empty when there is none.
std::string ReadLedgerFile(const std::string& path, std::size_t limit);
// Writes `text` as the whole file `path`, in a hidden temporary renamed over it; false (the old
// file unchanged) when that fails.
bool ReplaceLedgerFile(const std::string& path, const std::string& text);
// The file `path` opened for appending, not through a link; empty when it cannot be opened.
OwnedHandle OpenLedgerForAppending(const std::string& path);
// Appends `text` in one write; false when the system refused.
bool AppendToLedgerFile(const OwnedHandle& file, const std::string& text);
// Creates the file `path` new, never through a link, and marks it as in use, with `made`
// holding it when it is kept. Throws RuntimeError when the system refuses otherwise.
TempNameAttempt CreateTempNameFile(const std::string& path, OwnedHandle& made);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_TEMPORARY_LEDGER_H_

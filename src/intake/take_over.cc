#include "intake/take_over.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <map>
#include <utility>

#include "base/convert.h"
#include "base/error.h"
#include "base/path_strings.h"
#include "config/app_paths.h"
#include "config/service_settings.h"
#include "jobs/job_journal.h"
#include "jobs/open_prints.h"
#include "jobs/process_plot_file.h"
#include "log/metrics.h"
#include "log/service_log.h"
#include "platform/files.h"
#include "util/message_loop.h"
#include "util/system_utils.h"

namespace plotspool {
namespace {

std::function<void(const std::string&)> status_observer;

void ReportStatus(const std::string& status) {
  if (status_observer) status_observer(status);
}

bool AdminLogOn() { return TextToBool(ServiceSettings.AdminLog); }

void SleepSeconds(int64_t seconds) {
  if (seconds > 0) SleepAndYield(std::chrono::seconds(seconds));
}

// `passes` times: sleep `seconds`, then yield.
void WaitPasses(int64_t passes, int64_t seconds) {
  for (int64_t pass = 0; pass < passes; ++pass) {
    SleepSeconds(seconds);
    YieldToMessageLoop();
  }
}

// The temporary directory, which must be known: an empty one would put files into whatever
// directory the service happens to run in.
std::string TempDir() {
  std::string dir = GetTempDir();
  if (dir.empty()) throw RuntimeError(kPathNotFound);
  return dir;
}

// The longest file name the file systems we run on take.
constexpr std::size_t kMaxNameBytes = 255;
// Names in the temporary directory made within one second get a number after the time stamp.
constexpr int kMaxSameSecondNames = 1000;

// `head` + `middle` + `tail` as one file name, `middle` shortened (never inside a UTF-8
// character) when the whole would be too long for the file system.
std::string FittingName(const std::string& head, std::string middle, const std::string& tail) {
  const std::size_t room = kMaxNameBytes - std::min(kMaxNameBytes, head.size() + tail.size());
  if (middle.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(middle[cut]) & 0xC0) == 0x80) --cut;
    middle.resize(cut);
  }
  return head + middle + tail;
}

// The `attempt`th name for a file made in the temporary directory at this second.
std::string TempDirName(const std::string& head, const std::string& middle, int attempt) {
  std::string tail = " " + platform::LocalTimeStamp14();
  if (attempt > 0) tail += "_" + std::to_string(attempt + 1);
  return TempDir() + FittingName(head, middle, tail + ".txt");
}

std::string FaultyFileName(const std::string& path, int attempt) {
  return TempDirName(ExecutableBaseName() + "_Datenfehler in Datei ", GetFileName(path), attempt);
}

// A copy for the administrator; copies made within the same second keep each their own name.
void MakeAdminCopy(const std::string& path) {
  const std::string base = TempDir() + ExecutableBaseName() + "_" + platform::LocalTimeStamp14();
  for (int attempt = 0; attempt < kMaxSameSecondNames; ++attempt) {
    const std::string name =
        base + (attempt > 0 ? "_" + std::to_string(attempt + 1) : std::string()) + ".txt";
    if (platform::PathExists(name)) continue;
    platform::CopyFileReplacing(path, name);
    return;
  }
  throw RuntimeError(kFileAlreadyExists);
}

// Moves the file out of the transfer tree under a name that marks it as faulty and says why.
// The name always fits the file system and never replaces an earlier faulty file.
void MoveAsideAsFaulty(const std::string& path, int number, const std::string& description) {
  for (int attempt = 0;; ++attempt) {
    const std::string faulty_name = FaultyFileName(path, attempt);
    try {
      platform::MovePath(path, faulty_name);
    } catch (const RuntimeError& error) {
      if (error.number() == kFileAlreadyExists && attempt + 1 < kMaxSameSecondNames) continue;
      throw;
    }
    WriteLog("error", "Fehlerhafte Datei verschoben nach  '" + faulty_name + "' wegen Fehler '" +
                          description + "' '" + std::to_string(number) + "'");
    return;
  }
}

// A full disk is reported once a minute per file, not at every round the file waits for room.
bool TimeToReportDiskFull(const std::string& path) {
  static std::map<std::string, std::chrono::steady_clock::time_point> last_report;
  const auto now = std::chrono::steady_clock::now();
  if (last_report.size() > 1000) last_report.clear();
  auto [it, first] = last_report.try_emplace(path, now);
  if (!first && now - it->second < std::chrono::minutes(1)) return false;
  it->second = now;
  return true;
}

// After the job procedure: a finished job's file leaves the transfer tree, a refused one is
// moved aside. Only the version the job worked on: another one put in its place meanwhile is a
// new job for a later round. A file that cannot be removed or moved is reported once (by the
// error path) and then left alone for as long as it stays this version.
void FinishJob(const std::string& path, const JobResult& result) {
  if (!result.version) return;
  const FileIdentity& version = *result.version;
  const std::string section = SectionNameFromDirectory(DirectoryPart(path));
  try {
    if (result.refused) {
      // A page that reached the print system is followed even when the job failed afterwards.
      if (result.print) FollowPrint(*result.print, section, GetFileName(path));
      if (platform::IdentityOf(path) == version) {
        MoveAsideAsFaulty(path, result.number, result.description);
      }
    } else if (result.print) {
      // Its bytes wait aside until the print system says the page was printed.
      KeepUntilPrinted(path, version, *result.print, section);
    } else {
      platform::RemoveIfUnchanged(path, version);
    }
  } catch (const RuntimeError& error) {
    // Room comes back by itself; a permission is fixed by someone, and the file is then finished
    // quietly at the next round (FinishKeptJob), without being output again.
    if (error.number() != kDiskFull) {
      Journal().MarkKept(version, result.refused ? "refused " + std::to_string(result.number) +
                                                       " " + result.description
                                                 : "done");
    }
    throw;
  }
  Journal().Forget(version);
}

// A kept job whose file could not be removed or moved aside: tried again without a line until
// it works (someone fixed the permissions). False when it is not a kept job.
bool FinishKeptJob(const std::string& path) {
  const auto version = platform::IdentityOf(path);
  if (!version) return false;
  const std::optional<std::string> kept_as = Journal().KeptAs(*version);
  if (!kept_as) return false;
  try {
    if (kept_as->starts_with("refused ")) {
      std::string_view why = *kept_as;
      why.remove_prefix(8);
      const auto blank = why.find(' ');
      const int number = std::atoi(std::string(why.substr(0, blank)).c_str());
      const std::string description(blank == std::string_view::npos ? "" : why.substr(blank + 1));
      MoveAsideAsFaulty(path, number, description);
    } else if (!platform::RemoveIfUnchanged(path, *version)) {
      return true;
    }
    Journal().Forget(*version);
  } catch (const RuntimeError&) {
    // Still not possible: said once already.
  }
  return true;
}

void WriteGeneralErrorLine(const RuntimeError& error, const std::string& path) {
  WriteLog("error", "Es ist ein Fehler aufgetreten '" + error.description() + "' '" +
                        std::to_string(error.number()) + "' " + path);
}

// The one error path. A failure in here (a faulty file that cannot be moved, a log that cannot
// be written) ends the take-over at once; the walk ignores it.
void HandleTakeOverError(const RuntimeError& error, const std::string& path, int16_t& counter) {
  switch (error.number()) {
    case kPermissionDenied:  // typically still held by its writer: try again later
      WriteGeneralErrorLine(error, path);
      WaitPasses(5, 1);
      YieldToMessageLoop();
      break;
    case kDiskFull:
      // Nothing was changed: the job waits in the tree until there is room again.
      if (TimeToReportDiskFull(path)) WriteGeneralErrorLine(error, path);
      WaitPasses(5, 1);
      YieldToMessageLoop();
      break;
    case kInputPastEndOfFile:
      MoveAsideAsFaulty(path, error.number(), error.description());
      WaitPasses(TextToInt32(ServiceSettings.Wartezeit), 1);
      YieldToMessageLoop();
      break;
    case kFileAlreadyOpen:
      // Every job file is closed by the procedure that opened it, so nothing is left to close.
      WriteGeneralErrorLine(error, path);
      WaitPasses(1, 1);
      break;
    default:
      WriteGeneralErrorLine(error, path);
      WaitPasses(5, 1);
      YieldToMessageLoop();
      break;
  }
  ++counter;
  if (counter > 10) {
    WriteLog("error", "Die Datei " + path + " konnte auch nach " + std::to_string(counter) +
                          " Versuchen nicht geöffnet werden. Fehler: " + error.description());
  }
}

// Shows the service manager which file the service is busy with for as long as it is.
class StatusWhileTakingOver {
 public:
  explicit StatusWhileTakingOver(const std::string& path) { ReportStatus("taking over " + path); }
  ~StatusWhileTakingOver() { ReportStatus("walking"); }
  StatusWhileTakingOver(const StatusWhileTakingOver&) = delete;
  StatusWhileTakingOver& operator=(const StatusWhileTakingOver&) = delete;
};

}  // namespace

void SetStatusObserver(std::function<void(const std::string& status)> observer) {
  status_observer = std::move(observer);
}

void TakeOverFile(const std::string& path) {
  // One counter serves the size-check cycles and, from the open test on, the error count.
  int16_t counter = 0;
  try {
    try {
      YieldToMessageLoop();
      // Hidden files, links, directories and special files are left alone.
      if (!platform::NormalFileExists(path)) return;
      // A finished job whose file could not be removed was reported once: it is never output
      // again while it is unchanged, only finished once that becomes possible.
      if (FinishKeptJob(path)) return;
      const StatusWhileTakingOver status(path);
      if (AdminLogOn()) {
        WriteLog("Info", "Start uebertragen der Datei:" + path +
                             " Bytes:" + std::to_string(platform::FileSize(path)));
      }

      int64_t first_size = 0;
      int64_t second_size = 0;
      while (second_size == 0 || second_size != first_size) {
        ++counter;
        first_size = platform::FileSize(path);
        // Wartezeit passes of Wartezeit seconds: one cycle waits the square of the setting.
        WaitPasses(TextToInt16(ServiceSettings.Wartezeit), TextToInt32(ServiceSettings.Wartezeit));
        YieldToMessageLoop();
        second_size = platform::FileSize(path);
        if (AdminLogOn()) {
          WriteLog("Info", "Pruefen der Dateigroesse:" + path + " Bytes:" +
                               std::to_string(first_size) + " -> " + std::to_string(second_size));
        }
        if (counter == kSizeCheckCycles) {
          // Even a size found stable in this last cycle waits for the next tick.
          if (second_size == 0) MoveAsideAsFaulty(path, 0, "");
          return;
        }
      }

      YieldToMessageLoop();
      counter = 0;
      YieldToMessageLoop();
      platform::TrialOpen(path);
      if (AdminLogOn()) MakeAdminCopy(path);
      if (AdminLogOn()) {
        WriteLog("Info", "Start einlesen der Datei:" + path +
                             " Bytes:" + std::to_string(platform::FileSize(path)));
      }
      if (platform::NormalFileExists(path)) {
        try {
          platform::ClearAttributes(path);
        } catch (const std::exception&) {
        }
      }

      std::string file_name = GetFileName(path);
      std::string directory = path.substr(0, path.size() - file_name.size());
      const JobResult result = ProcessPlotFile(file_name, directory);
      RecordJobEnd(SectionNameFromDirectory(directory), result.refused, second_size);
      FinishJob(path, result);
    } catch (const RuntimeError&) {
      throw;
    } catch (const std::exception& other) {
      // Anything else that fails (memory, say) takes the same path as a run-time error.
      throw RuntimeError(kPathFileAccessError, other.what());
    }
  } catch (const RuntimeError& error) {
    HandleTakeOverError(error, path, counter);
  }
}

}  // namespace plotspool

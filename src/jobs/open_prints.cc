#include "jobs/open_prints.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <map>

#include "base/error.h"
#include "base/path_strings.h"
#include "config/app_paths.h"
#include "log/metrics.h"
#include "log/service_log.h"
#include "platform/durable_file.h"
#include "platform/files.h"
#include "platform/printer.h"

namespace plotspool {
namespace {

// Hidden, and not ".plotspool-": those names are swept as a killed run's temporaries.
constexpr const char* kFolderName = ".plotspool.gedruckt";
// A list larger than this is not ours: it is ignored like a missing one.
constexpr std::size_t kMaxListBytes = 1024 * 1024;
constexpr std::size_t kMaxNameBytes = 255;

// One field of a tab-separated line.
std::string Field(std::string_view text) {
  std::string field(text);
  for (char& c : field) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return field;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

class OpenPrintList {
 public:
  explicit OpenPrintList(std::string path) : path_(std::move(path)) { Load(); }
  const std::string& path() const { return path_; }
  std::vector<OpenPrint>& prints() { return prints_; }

  // A page already listed (its plot kept on a retry of the job) is listed once.
  void Add(OpenPrint print) {
    const auto same = std::find_if(prints_.begin(), prints_.end(), [&](const OpenPrint& open) {
      return open.sent.job_id == print.sent.job_id && open.sent.queue == print.sent.queue;
    });
    if (same != prints_.end()) {
      *same = std::move(print);
    } else {
      prints_.push_back(std::move(print));
      if (prints_.size() > kMaxOpenPrints) prints_.erase(prints_.begin());
    }
    Save();
  }

  // Written whole: the list is small, and a reader after a crash sees the old or the new one.
  void Save() {
    std::string text;
    for (const OpenPrint& print : prints_) {
      text += std::to_string(print.sent.job_id) + "\t" + Field(print.sent.queue) + "\t" +
              Field(print.section) + "\t" + (print.stop_reported ? "1" : "0") + "\t" +
              Field(print.file_name) + "\t" + Field(print.kept) + "\n";
    }
    try {
      platform::ReplaceFileDurably(path_, text);
    } catch (const RuntimeError&) {
      // Memory still holds the list; only a restart before the next good write would lose it.
    }
  }

 private:
  void Load() {
    std::optional<std::string> text;
    try {
      text = platform::ReadSmallFile(path_, kMaxListBytes);
    } catch (const RuntimeError&) {
    }
    if (!text) return;
    std::string_view rest = *text;
    while (!rest.empty() && prints_.size() < kMaxOpenPrints) {
      const auto end = rest.find('\n');
      if (end == std::string_view::npos) break;
      const std::vector<std::string_view> fields = SplitTabs(rest.substr(0, end));
      rest.remove_prefix(end + 1);
      OpenPrint print;
      if (fields.size() != 6) continue;
      const auto [ptr, ec] =
          std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), print.sent.job_id);
      if (ec != std::errc() || print.sent.job_id <= 0) continue;
      print.sent.queue = fields[1];
      print.section = fields[2];
      print.stop_reported = fields[3] == "1";
      print.file_name = fields[4];
      print.kept = fields[5];
      prints_.push_back(std::move(print));
    }
  }

  std::string path_;
  std::vector<OpenPrint> prints_;
};

std::optional<OpenPrintList> list;
std::string list_path_override;

OpenPrintList& List() {
  std::string path =
      list_path_override.empty() ? AppPath + ExecutableBaseName() + ".prints" : list_path_override;
  if (!list || list->path() != path) list.emplace(std::move(path));
  return *list;
}

std::string JobText(const OpenPrint& print) {
  return print.file_name + " auf " + print.sent.queue + " (Auftrag " +
         std::to_string(print.sent.job_id) + ")";
}

std::string KeptText(const OpenPrint& print) {
  return print.kept.empty() ? std::string(", Datei nicht aufbewahrt")
                            : ", Datei aufbewahrt unter '" + print.kept + "'";
}

const char* OutcomeName(std::optional<platform::PrintJobState> state) {
  if (!state) return "unknown";
  switch (*state) {
    case platform::PrintJobState::kCompleted:
      return "completed";
    case platform::PrintJobState::kCanceled:
      return "canceled";
    case platform::PrintJobState::kAborted:
      return "aborted";
    default:
      return "unknown";
  }
}

// The page's fate is known: true when the print is no longer to be followed.
bool Settle(const OpenPrint& print, const std::optional<platform::PrintJobStatus>& status,
            bool admin_log) {
  if (status && status->state != platform::PrintJobState::kCompleted &&
      status->state != platform::PrintJobState::kCanceled &&
      status->state != platform::PrintJobState::kAborted) {
    return false;  // it came back between the two requests (a restarted job): follow it on
  }
  RecordPrintOutcome(print.section,
                     OutcomeName(status ? std::optional(status->state) : std::nullopt));
  if (status && status->state == platform::PrintJobState::kCompleted) {
    if (!print.kept.empty()) platform::RemoveFileIfExists(print.kept);
    if (admin_log) WriteLog("Info", "Druck abgeschlossen: " + JobText(print));
    return true;
  }
  const std::string what = !status                                               ? "unbekannt"
                           : status->state == platform::PrintJobState::kCanceled ? "abgebrochen"
                                                                                 : "fehlgeschlagen";
  const std::string reason = status ? status->reason : "dem Drucksystem nicht mehr bekannt";
  WriteLog("error", "Druck nicht ausgefuehrt: " + JobText(print) + " " + what + " '" + reason +
                        "'" + KeptText(print));
  return true;
}

bool Stuck(const platform::PrintJobStatus& status) {
  return status.state == platform::PrintJobState::kHeld ||
         status.state == platform::PrintJobState::kStopped ||
         status.reason.find("printer-stopped") != std::string::npos;
}

}  // namespace

std::string PrintedPlotsFolder() {
  const std::string& root = platform::TransferRoot();
  return root.empty() ? std::string() : root + kFolderName + "/";
}

bool KeepUntilPrinted(const std::string& path, const platform::FileIdentity& version,
                      const SentPrint& sent, const std::string& section) {
  const std::string file_name = path.substr(DirectoryPart(path).size());
  OpenPrint print{sent, section, file_name, {}, false};
  const std::string folder = PrintedPlotsFolder();
  bool gone = false;
  if (!folder.empty() && platform::MakeSureDirectoryPathExists(folder)) {
    // The queue and the job id make the name unique; the file's name says what it is.
    std::string name = Field(sent.queue) + "-" + std::to_string(sent.job_id) + "-" + file_name;
    if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
    // Listed before the move: a run killed in between leaves the plot in the tree (its print
    // done, so it is only moved at the next round), never unlisted in the folder.
    print.kept = folder + name;
    List().Add(print);
    try {
      if (!platform::RenameIfUnchanged(path, version, folder + name)) return false;
      gone = true;
    } catch (const RuntimeError&) {
      // Another file system (or no room for the name): a copy of a plot of hundreds of MB is
      // not worth it, the print system holds the page; the file goes as it always did.
      print.kept.clear();
    }
  }
  try {
    if (!gone && !platform::RemoveIfUnchanged(path, version)) return false;
  } catch (const RuntimeError&) {
    // The take-over reports the file it cannot remove; the page is followed all the same.
    List().Add(std::move(print));
    throw;
  }
  List().Add(std::move(print));
  return true;
}

void FollowPrint(const SentPrint& sent, const std::string& section, const std::string& file_name) {
  List().Add(OpenPrint{sent, section, file_name, {}, false});
}

void FollowOpenPrints(bool admin_log) {
  try {
    OpenPrintList& open = List();
    if (open.prints().empty()) return;
    std::map<int, platform::PrintJobStatus> unfinished;
    for (platform::PrintJobStatus& status : platform::UnfinishedPrintJobs()) {
      unfinished[status.job_id] = std::move(status);
    }
    std::map<std::string, std::optional<std::string>> stopped_queues;
    bool changed = false;
    std::vector<OpenPrint>& prints = open.prints();
    for (auto it = prints.begin(); it != prints.end();) {
      OpenPrint& print = *it;
      if (const auto found = unfinished.find(print.sent.job_id); found != unfinished.end()) {
        platform::PrintJobStatus& status = found->second;
        // A waiting page does not tell that its queue is stopped; the queue is asked, once a
        // tick, only until that was said.
        if (status.state == platform::PrintJobState::kPending && !print.stop_reported) {
          auto [queue, first] = stopped_queues.try_emplace(print.sent.queue);
          if (first) queue->second = platform::QueueStopReason(print.sent.queue);
          if (queue->second) status.reason = *queue->second;
        }
        // A page still waiting after its stop was said is still stopped: the queue is not asked
        // again, and the stop is not said again at every tick.
        const bool stuck = Stuck(status) || (print.stop_reported &&
                                             status.state == platform::PrintJobState::kPending);
        if (stuck && !print.stop_reported) {
          WriteLog("error", "Druck angehalten: " + JobText(print) + " '" + status.reason + "'" +
                                KeptText(print));
        }
        // Reported once per stop: a queue stopped again later is said again.
        changed = changed || stuck != print.stop_reported;
        print.stop_reported = stuck;
        ++it;
        continue;
      }
      if (!Settle(print, platform::AskPrintJobStatus(print.sent.job_id), admin_log)) {
        ++it;
        continue;
      }
      it = prints.erase(it);
      changed = true;
    }
    if (changed) open.Save();
  } catch (const platform::PrintSystemUnavailable&) {
    // The print system is away: the prints are asked about again at the next tick.
  } catch (const std::exception&) {
    // A log that cannot be written, say: following the prints must never stop the service.
  }
}

std::vector<OpenPrint> OpenPrints() { return List().prints(); }

void ResetOpenPrints(const std::string& path) {
  list_path_override = path;
  list.reset();
}

}  // namespace plotspool

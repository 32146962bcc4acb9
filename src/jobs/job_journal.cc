#include "jobs/job_journal.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <vector>

#include "config/app_paths.h"
#include "jobs/process_plot_file.h"
#include "log/service_log.h"
#include "platform/durable_file.h"
#include "platform/files.h"

namespace plotspool {
namespace {

constexpr const char* kStepNames[] = {"handoff", "print", "copy"};
// A journal larger than this is not ours to trust: it is set aside like a damaged one.
constexpr std::size_t kMaxJournalBytes = 16 * 1024 * 1024;
// Ended jobs leave lines behind; the file is written anew from the live jobs past this count.
constexpr std::size_t kCompactAfterLines = 4096;

std::string IdentityText(const FileIdentity& id) {
  return std::to_string(id.device) + " " + std::to_string(id.inode) + " " +
         std::to_string(id.size) + " " + std::to_string(id.modified_ns);
}

template <typename Number>
bool TakeNumber(std::string_view& text, Number& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return true;
}

bool TakeIdentity(std::string_view& text, FileIdentity& id) {
  return TakeNumber(text, id.device) && TakeNumber(text, id.inode) && TakeNumber(text, id.size) &&
         TakeNumber(text, id.modified_ns);
}

std::optional<int> StepFromName(std::string_view name) {
  for (int i = 0; i < 3; ++i) {
    if (name == kStepNames[i]) return i;
  }
  return std::nullopt;
}

// A detail is one field at the end of its line.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return line;
}

std::optional<JobJournal> journal;
std::string journal_path_override;

}  // namespace

JobJournal::JobJournal(std::string path) : path_(std::move(path)) {}

void JobJournal::Load() {
  if (loaded_) return;
  loaded_ = true;
  std::optional<std::string> text;
  try {
    text = platform::ReadSmallFile(path_, kMaxJournalBytes);
    if (!text && platform::PathExists(path_)) throw RuntimeError(kOverflow);
  } catch (const RuntimeError& error) {
    WriteLog("error", "Auftragsjournal " + path_ + " nicht lesbar '" + error.description() + "' '" +
                          std::to_string(error.number()) + "'");
    return;
  }
  if (!text) return;
  std::string_view rest = *text;
  bool damaged = false;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    // A last line without its end is an append a crash cut short: it never happened.
    if (end == std::string_view::npos) break;
    if (!Apply(rest.substr(0, end))) damaged = true;
    rest.remove_prefix(end + 1);
    ++lines_in_file_;
  }
  if (!damaged) return;
  // What a damaged journal says cannot be trusted line by line: keep it for a look, start anew.
  jobs_.clear();
  lines_in_file_ = 0;
  const std::string aside = path_ + ".damaged";
  try {
    platform::MoveOver(path_, aside);
  } catch (const RuntimeError&) {
  }
  WriteLog("error", "Auftragsjournal beschaedigt, verschoben nach '" + aside + "'");
}

bool JobJournal::Apply(std::string_view line) {
  FileIdentity id;
  if (!TakeIdentity(line, id)) return false;
  const auto blank = line.find(' ');
  const std::string_view event = line.substr(0, blank);
  const std::string_view detail = blank == std::string_view::npos ? "" : line.substr(blank + 1);
  if (event == "end") {
    jobs_.erase(id);
    return true;
  }
  Job& job = Entry(id);
  if (event == "kept") {
    job.kept = true;
    job.kept_as = std::string(detail);
  } else if (event == "follow") {
    FileIdentity to;
    std::string_view rest = detail;
    if (!TakeIdentity(rest, to)) return false;
    Job moved = job;
    jobs_.erase(id);
    jobs_[to] = moved;
  } else if (event.starts_with("begin:") || event.starts_with("done:")) {
    const bool begin = event.starts_with("begin:");
    const auto step = StepFromName(event.substr(begin ? 6 : 5));
    if (!step) return false;
    if (begin) {
      job.begun[*step] = true;
      job.detail[*step] = std::string(detail);
    } else {
      job.done[*step] = true;
    }
  } else {
    return false;
  }
  return true;
}

JobJournal::Job& JobJournal::Entry(const FileIdentity& id) {
  auto [it, inserted] = jobs_.try_emplace(id);
  if (!inserted) return it->second;
  it->second.order = next_order_++;
  if (jobs_.size() > kMaxJobs) {
    const auto oldest = std::min_element(
        jobs_.begin(), jobs_.end(),
        [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
    jobs_.erase(oldest);
  }
  return jobs_[id];
}

void JobJournal::Record(const FileIdentity& id, std::string_view event, bool durable) {
  try {
    platform::AppendToFile(path_, IdentityText(id) + " " + std::string(event) + "\n", durable);
    ++lines_in_file_;
    last_failure_.clear();
  } catch (const RuntimeError& error) {
    // The memory still holds it: this run repeats nothing; a crash now could.
    const std::string failure = std::to_string(error.number()) + " " + error.description();
    if (failure != last_failure_) {
      WriteLog("error", "Auftragsjournal " + path_ + " nicht schreibbar '" + error.description() +
                            "' '" + std::to_string(error.number()) + "'");
      last_failure_ = failure;
    }
  }
  if (lines_in_file_ > kCompactAfterLines && lines_in_file_ > 4 * jobs_.size()) Compact();
}

void JobJournal::Compact() {
  std::string text;
  for (const auto& [id, job] : jobs_) {
    const std::string prefix = IdentityText(id) + " ";
    for (int step = 0; step < 3; ++step) {
      if (job.begun[step])
        text += prefix + "begin:" + kStepNames[step] + " " + job.detail[step] + "\n";
      if (job.done[step]) text += prefix + "done:" + kStepNames[step] + "\n";
    }
    if (job.kept) text += prefix + "kept " + job.kept_as + "\n";
  }
  try {
    platform::ReplaceFileDurably(path_, text);
    lines_in_file_ = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  } catch (const RuntimeError&) {
    // The appended file stays valid; it is only longer than it needs to be.
  }
}

bool JobJournal::Completed(const FileIdentity& id, OutputStep step) {
  Load();
  const auto it = jobs_.find(id);
  return it != jobs_.end() && it->second.done[static_cast<int>(step)];
}

std::optional<std::string> JobJournal::Unconfirmed(const FileIdentity& id, OutputStep step) {
  Load();
  const auto it = jobs_.find(id);
  const int s = static_cast<int>(step);
  if (it == jobs_.end() || !it->second.begun[s] || it->second.done[s]) return std::nullopt;
  return it->second.detail[s];
}

void JobJournal::Begin(const FileIdentity& id, OutputStep step, std::string_view detail) {
  Load();
  const int s = static_cast<int>(step);
  Job& job = Entry(id);
  job.begun[s] = true;
  job.detail[s] = OneLine(detail);
  Record(id, std::string("begin:") + kStepNames[s] + " " + job.detail[s]);
}

void JobJournal::Complete(const FileIdentity& id, OutputStep step) {
  Load();
  const int s = static_cast<int>(step);
  Entry(id).done[s] = true;
  Record(id, std::string("done:") + kStepNames[s]);
}

void JobJournal::Follow(const FileIdentity& from, const FileIdentity& to) {
  Load();
  const auto it = jobs_.find(from);
  if (it == jobs_.end() || from == to) return;
  const Job moved = it->second;
  jobs_.erase(it);
  jobs_[to] = moved;
  Record(from, "follow " + IdentityText(to));
}

void JobJournal::MarkKept(const FileIdentity& id, std::string_view outcome) {
  Load();
  Job& job = Entry(id);
  job.kept = true;
  job.kept_as = OneLine(outcome);
  Record(id, "kept " + job.kept_as);
}

std::optional<std::string> JobJournal::KeptAs(const FileIdentity& id) {
  Load();
  const auto it = jobs_.find(id);
  if (it == jobs_.end() || !it->second.kept) return std::nullopt;
  return it->second.kept_as;
}

void JobJournal::Forget(const FileIdentity& id) {
  Load();
  if (jobs_.erase(id) == 0) return;
  // Losing this line costs only a stale entry, never a repeated output: no sync needed.
  Record(id, "end", /*durable=*/false);
}

JobJournal& Journal() {
  // Follows the program's paths, which tests set anew for every test directory.
  std::string path = journal_path_override.empty() ? AppPath + ExecutableBaseName() + ".journal"
                                                   : journal_path_override;
  if (!journal || journal->path() != path) journal.emplace(std::move(path));
  return *journal;
}

void ResetJournal(const std::string& path) {
  journal_path_override = path;
  journal.reset();
}

JobVersion::JobVersion(std::string path)
    : path_(std::move(path)), identity_(platform::IdentityOf(path_)) {}

bool JobVersion::Matches() const {
  return identity_.has_value() && platform::IdentityOf(path_) == identity_;
}

void JobVersion::CheckUnchanged() const {
  if (!Matches()) throw PassedToCaller(kPathFileAccessError, kFileReplacedText);
}

void JobVersion::FollowReplacement() {
  const auto now = platform::IdentityOf(path_);
  if (identity_ && now) Journal().Follow(*identity_, *now);
  identity_ = now;
}

}  // namespace plotspool

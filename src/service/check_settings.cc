#include "service/check_settings.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/convert.h"
#include "base/error.h"
#include "config/app_paths.h"
#include "config/printer_profile.h"
#include "jobs/like_pattern.h"
#include "jobs/paper_numbers.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/printer.h"
#include "service/global_settings.h"
#include "util/path_helpers.h"

namespace plotspool {
namespace {

constexpr const char* kFormatCodes[] = {"A4", "A3", "A2", "A1", "A0", "A", "B", "C", "D", "E"};
constexpr const char* kGlobalKeys[] = {"Wartezeit", "AdminLog", "UebergabePfad", "ProgrammEnde",
                                       "MetricsFile"};

bool SameName(const std::string& a, const std::string& b) { return UpperCase(a) == UpperCase(b); }

class Checker {
 public:
  explicit Checker(std::ostream& out) : out_(out) {}

  void Problem(const std::string& section, const std::string& key, const std::string& value,
               const std::string& why) {
    out_ << "problem: [" << section << "] " << key << " = \"" << value << "\": " << why << '\n';
    ++problems_;
  }
  void Problem(const std::string& why) {
    out_ << "problem: " << why << '\n';
    ++problems_;
  }
  int problems() const { return problems_; }

  // The installed queues; nullopt (reported once) when the print system cannot be asked.
  const std::optional<std::vector<platform::InstalledPrinter>>& Queues() {
    if (!queues_asked_) {
      queues_asked_ = true;
      try {
        queues_ = platform::InstalledPrinters();
      } catch (const platform::PrintSystemUnavailable& unavailable) {
        Problem("the print system cannot be reached (" + unavailable.description() +
                "): printer patterns and media are not checked");
      }
    }
    return queues_;
  }

 private:
  std::ostream& out_;
  int problems_ = 0;
  bool queues_asked_ = false;
  std::optional<std::vector<platform::InstalledPrinter>> queues_;
};

// The value a read would find for `key` in `section`, empty when there is none.
std::string ValueOf(const std::vector<platform::IniEntry>& entries, const std::string& section,
                    const std::string& key) {
  for (const platform::IniEntry& entry : entries) {
    if (entry.reachable && SameName(entry.section, section) && SameName(entry.key, key)) {
      return entry.value.substr(0, platform::kMaxIniValueBytes);
    }
  }
  return {};
}

void CheckGlobal(Checker& check, const std::vector<platform::IniEntry>& entries) {
  const std::string wait = ValueOf(entries, "Global", "Wartezeit");
  try {
    if (!wait.empty()) TextToInt16(wait);
  } catch (const RuntimeError& error) {
    check.Problem("Global", "Wartezeit", wait,
                  "not a whole number of seconds (" + std::to_string(error.number()) + " " +
                      error.description() + " at every file)");
  }
  const std::string admin_log = ValueOf(entries, "Global", "AdminLog");
  try {
    if (!admin_log.empty()) TextToBool(admin_log);
  } catch (const RuntimeError&) {
    check.Problem("Global", "AdminLog", admin_log, "neither a number nor True/False");
  }
  std::string root = ValueOf(entries, "Global", "UebergabePfad");
  if (root.empty()) root = platform::DefaultTransferRoot(ExecutableBaseName());
  if (const std::string swallowed = FolderInsideTransferRoot(root); !swallowed.empty()) {
    check.Problem("Global", "UebergabePfad", root,
                  "the transfer root holds " + swallowed + ": the service refuses to walk it");
  } else if (!platform::FolderWritable(root)) {
    check.Problem("Global", "UebergabePfad", root,
                  "cannot be written: finished jobs cannot be removed from it");
  }
  const std::string metrics = ValueOf(entries, "Global", "MetricsFile");
  if (!metrics.empty() &&
      !platform::FolderWritable(std::filesystem::path(metrics).parent_path().string())) {
    check.Problem("Global", "MetricsFile", metrics, "its folder cannot be written");
  }
}

void CheckPaperNumbers(Checker& check, const std::vector<platform::IniEntry>& entries) {
  for (const platform::IniEntry& entry : entries) {
    if (!entry.reachable || !SameName(entry.section, "PaperNumbers")) continue;
    try {
      TextToInt16(entry.key);
    } catch (const RuntimeError&) {
      check.Problem(entry.section, entry.key, entry.value,
                    "not a paper number: profiles name papers by whole numbers");
    }
  }
}

void CheckPaperNumber(Checker& check, const std::string& section, const std::string& key,
                      const std::string& number, const platform::InstalledPrinter* queue) {
  int16_t paper_number = 0;
  try {
    paper_number = TextToInt16(number);
  } catch (const RuntimeError& error) {
    check.Problem(section, key, number,
                  "not a paper number (" + std::to_string(error.number()) + " " +
                      error.description() + " when printed)");
    return;
  }
  if (platform::PaperNumbersAreNative()) {
    // The driver's own numbers: only the queue can tell which ones it has.
    if (queue == nullptr) return;
    platform::Printer printer;
    printer.Select(*queue);
    try {
      printer.SetPaperNumber(paper_number);
    } catch (const RuntimeError&) {
      check.Problem(
          section, key, number,
          "the driver of queue " + queue->device_name + " has no such paper (380 when printed)");
    }
    return;
  }
  const std::string media = PeekMediaNameForPaperNumber(paper_number);
  if (media.empty()) {
    check.Problem(section, key, number, "no entry in [PaperNumbers] (380 when printed)");
    return;
  }
  if (queue == nullptr) return;
  if (platform::QueueKnowsMedia(queue->device_name, media) == false) {
    check.Problem(section, key, number,
                  "queue " + queue->device_name + " does not offer media " + media);
  }
}

void CheckPrinterSection(Checker& check, const std::string& section, const std::string& root) {
  std::vector<ProfileValue> values;
  const PrinterProfileRecord profile = PeekPrinterProfile(section, &values);

  const platform::InstalledPrinter* queue = nullptr;
  std::optional<platform::InstalledPrinter> matched;
  if (!profile.sPrinterName.empty()) {
    if (const auto& queues = check.Queues()) {
      const std::string pattern = UpperCase(profile.sPrinterName);
      for (const platform::InstalledPrinter& printer : *queues) {
        if (LikeMatch(UpperCase(printer.device_name), pattern)) {
          matched = printer;
          break;
        }
      }
      if (!matched || matched->driver_name.empty()) {
        check.Problem(section, "sPrinterName", profile.sPrinterName,
                      matched ? "the queue it matches first has no make and model"
                              : "matches no installed queue");
      } else {
        queue = &*matched;
      }
    }
  }
  if (!profile.sOutputFolder.empty()) {
    if (!platform::FolderWritable(profile.sOutputFolder)) {
      check.Problem(section, "sOutputFolder", profile.sOutputFolder, "cannot be written");
    } else if (FolderContains(root, profile.sOutputFolder)) {
      check.Problem(section, "sOutputFolder", profile.sOutputFolder,
                    "lies in the transfer tree: every copy would be taken as a new job");
    }
  }
  for (const ProfileValue& value : values) {
    if (value.key.starts_with("sOrientation") && !value.value.empty() && value.value != "Q" &&
        value.value != "H") {
      check.Problem(section, value.key, value.value,
                    "neither Q nor H nor empty: every such job is turned");
    } else if (value.key.starts_with("sChange") &&
               std::find(std::begin(kFormatCodes), std::end(kFormatCodes), value.value) ==
                   std::end(kFormatCodes)) {
      check.Problem(section, value.key, value.value, "no format code: printed with sPN_A0");
    } else if (value.key.starts_with("sPN_")) {
      CheckPaperNumber(check, section, value.key, value.value, queue);
    }
  }
}

}  // namespace

int CheckSettings(std::ostream& out) {
  out << "settings file: " << IniFile << '\n';
  std::string text;
  switch (platform::ReadIniText(IniFile, text)) {
    case platform::IniFileState::kMissing:
      out << "missing: the service writes it with its defaults at its first start\n";
      return 0;
    case platform::IniFileState::kUnreadable:
      out << "problem: the settings file cannot be read\n";
      return 1;
    case platform::IniFileState::kRead:
      break;
  }
  Checker check(out);
  const std::vector<platform::IniEntry> entries = platform::ListIniEntries(text);
  std::vector<std::string> printer_sections;
  for (const platform::IniEntry& entry : entries) {
    if (!entry.reachable) {
      check.Problem(entry.section, entry.key, entry.value,
                    "never read: an earlier section or key of this name wins");
      continue;
    }
    if (SameName(entry.section, "Global")) {
      if (std::none_of(std::begin(kGlobalKeys), std::end(kGlobalKeys),
                       [&](const char* key) { return SameName(key, entry.key); })) {
        check.Problem(entry.section, entry.key, entry.value, "unknown key");
      }
    } else if (!SameName(entry.section, "PaperNumbers")) {
      if (!IsPrinterProfileKey(entry.key)) {
        check.Problem(entry.section, entry.key, entry.value, "unknown key");
      }
      if (std::none_of(printer_sections.begin(), printer_sections.end(),
                       [&](const std::string& known) { return SameName(known, entry.section); })) {
        printer_sections.push_back(entry.section);
      }
    }
  }
  CheckGlobal(check, entries);
  CheckPaperNumbers(check, entries);
  std::string root = ValueOf(entries, "Global", "UebergabePfad");
  if (root.empty()) root = platform::DefaultTransferRoot(ExecutableBaseName());
  for (const std::string& section : printer_sections) CheckPrinterSection(check, section, root);
  out << "checked: " << printer_sections.size() << " printer section(s); " << check.problems()
      << " problem(s)\n";
  return check.problems() == 0 ? 0 : 1;
}

}  // namespace plotspool

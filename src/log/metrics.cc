#include "log/metrics.h"

#include <algorithm>
#include <array>
#include <exception>
#include <map>
#include <utility>

#include "base/convert.h"
#include "platform/durable_file.h"

namespace plotspool {
namespace {

struct SectionCounts {
  int64_t done = 0;
  int64_t refused = 0;
  int64_t turned = 0;
  int64_t handed_off = 0;
  int64_t printed = 0;
  int64_t copied = 0;
  int64_t bytes = 0;
};

// One minute of the last hour; a slot is reused when its minute comes round again.
struct MinuteCounts {
  int64_t minute = -1;
  int64_t done = 0;
  int64_t failed = 0;
};

struct Metrics {
  std::map<std::string, SectionCounts> sections;
  // (section, final state) -> pages
  std::map<std::pair<std::string, std::string>, int64_t> print_outcomes;
  std::array<MinuteCounts, 60> last_hour;
  int64_t waiting = 0;
  int64_t oldest_modified_ns = 0;
  int64_t tick_tenths = 0;  // tenths of a second, so idle ticks of a few milliseconds stay equal
  int64_t last_success_seconds = 0;
  bool changed = true;
  std::string written_path;
  std::string written_text;
  std::chrono::steady_clock::time_point written_at;  // of the last attempt
  bool tried = false;
};

Metrics& State() {
  static Metrics metrics;
  return metrics;
}

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A label value: backslash, quote and line break escaped.
std::string Label(const std::string& value, const std::string& name = "section") {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return name + "=\"" + escaped + "\"";
}

int64_t NowMinute() {
  return std::chrono::duration_cast<std::chrono::minutes>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MinuteCounts& ThisMinute(Metrics& metrics) {
  const int64_t minute = NowMinute();
  MinuteCounts& slot = metrics.last_hour[static_cast<std::size_t>(minute % 60)];
  if (slot.minute != minute) slot = MinuteCounts{minute, 0, 0};
  return slot;
}

void Family(std::string& text, const std::string& name, const std::string& type,
            const std::string& help) {
  text += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void PerSection(std::string& text, const Metrics& metrics, const std::string& name,
                const std::string& help, int64_t SectionCounts::*field) {
  Family(text, name, "counter", help);
  for (const auto& [section, counts] : metrics.sections) {
    text += name + "{" + Label(section) + "} " + std::to_string(counts.*field) + "\n";
  }
}

std::string Render(const Metrics& metrics) {
  std::string text;
  PerSection(text, metrics, "plotspool_jobs_done_total",
             "Jobs whose outputs ran and whose file left the transfer tree.", &SectionCounts::done);
  PerSection(text, metrics, "plotspool_jobs_refused_total",
             "Jobs that failed or were refused and whose file was moved aside.",
             &SectionCounts::refused);
  PerSection(text, metrics, "plotspool_jobs_turned_total",
             "Job images turned a quarter turn before their outputs.", &SectionCounts::turned);
  PerSection(text, metrics, "plotspool_jobs_handed_off_total",
             "Jobs handed to the section's program.", &SectionCounts::handed_off);
  PerSection(text, metrics, "plotspool_jobs_printed_total", "Pages sent to the print system.",
             &SectionCounts::printed);
  PerSection(text, metrics, "plotspool_jobs_copied_total", "Jobs copied to the output folder.",
             &SectionCounts::copied);
  PerSection(text, metrics, "plotspool_taken_over_bytes_total",
             "Bytes of the job files taken over.", &SectionCounts::bytes);
  Family(text, "plotspool_print_outcomes_total", "counter",
         "Pages by the print system's final word: completed, canceled, aborted, or unknown.");
  for (const auto& [key, count] : metrics.print_outcomes) {
    text += "plotspool_print_outcomes_total{" + Label(key.first) + "," +
            Label(key.second, "state") + "} " + std::to_string(count) + "\n";
  }
  Family(text, "plotspool_files_waiting", "gauge",
         "Files the last complete walk left in the transfer tree.");
  text += "plotspool_files_waiting " + std::to_string(metrics.waiting) + "\n";
  Family(text, "plotspool_oldest_waiting_file_age_seconds", "gauge",
         "Age of the oldest of those files by its modification time; 0 when none waits.");
  const int64_t age =
      metrics.waiting > 0
          ? std::max<int64_t>(0, NowSeconds() - metrics.oldest_modified_ns / 1000000000)
          : 0;
  text += "plotspool_oldest_waiting_file_age_seconds " + std::to_string(age) + "\n";
  Family(text, "plotspool_tick_duration_seconds", "gauge",
         "Duration of the last tick, rounded down to tenths of a second.");
  text += "plotspool_tick_duration_seconds " + NumberToText(metrics.tick_tenths / 10.0) + "\n";
  Family(text, "plotspool_last_success_timestamp_seconds", "gauge",
         "When the last job was done, in seconds since the epoch; 0 before the first.");
  text += "plotspool_last_success_timestamp_seconds " +
          std::to_string(metrics.last_success_seconds) + "\n";
  return text;
}

}  // namespace

void RecordJobStep(const std::string& section, JobStep step) {
  SectionCounts& counts = State().sections[section];
  switch (step) {
    case JobStep::kTurned:
      ++counts.turned;
      break;
    case JobStep::kHandedOff:
      ++counts.handed_off;
      break;
    case JobStep::kPrinted:
      ++counts.printed;
      break;
    case JobStep::kCopied:
      ++counts.copied;
      break;
  }
  State().changed = true;
}

void RecordJobEnd(const std::string& section, bool refused, int64_t bytes) {
  Metrics& metrics = State();
  SectionCounts& counts = metrics.sections[section];
  ++(refused ? counts.refused : counts.done);
  counts.bytes += bytes;
  if (!refused) metrics.last_success_seconds = NowSeconds();
  ++(refused ? ThisMinute(metrics).failed : ThisMinute(metrics).done);
  metrics.changed = true;
}

void RecordPrintOutcome(const std::string& section, const std::string& state) {
  Metrics& metrics = State();
  ++metrics.print_outcomes[{section, state}];
  if (state != "completed") ++ThisMinute(metrics).failed;
  metrics.changed = true;
}

RecentCounts CountsOfLastHour() {
  const int64_t now = NowMinute();
  RecentCounts counts;
  for (const MinuteCounts& slot : State().last_hour) {
    if (slot.minute < 0 || now - slot.minute >= 60) continue;
    counts.done += slot.done;
    counts.failed += slot.failed;
  }
  return counts;
}

void RecordWaitingFiles(int64_t count, int64_t oldest_modified_ns) {
  Metrics& metrics = State();
  if (count == 0) oldest_modified_ns = 0;
  if (metrics.waiting == count && metrics.oldest_modified_ns == oldest_modified_ns) return;
  metrics.waiting = count;
  metrics.oldest_modified_ns = oldest_modified_ns;
  metrics.changed = true;
}

void RecordTick(std::chrono::steady_clock::duration duration) {
  Metrics& metrics = State();
  const int64_t tenths =
      std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() / 100;
  if (metrics.tick_tenths == tenths) return;
  metrics.tick_tenths = tenths;
  metrics.changed = true;
}

void PublishMetrics(const std::string& path) {
  Metrics& metrics = State();
  if (path.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  const bool new_path = path != metrics.written_path;
  // A waiting file ages by the second without any record call.
  if (!new_path && !metrics.changed && metrics.waiting == 0) return;
  if (metrics.tried && now - metrics.written_at < std::chrono::seconds(1)) return;
  try {
    std::string text = Render(metrics);
    if (new_path || text != metrics.written_text) {
      platform::ReplaceFileDurably(path, text);
      metrics.written_text = std::move(text);
      metrics.written_path = path;
    }
    metrics.changed = false;
  } catch (const std::exception&) {
    // The metrics are not worth a log line a second; the next change tries again.
  }
  metrics.written_at = now;
  metrics.tried = true;
}

void ResetMetrics() { State() = Metrics(); }

}  // namespace plotspool

// The service's counters for a monitoring system, written as a Prometheus text file that a node
// exporter's text-file collector (or anything else) can read.
#ifndef PLOTSPOOL_LOG_METRICS_H_
#define PLOTSPOOL_LOG_METRICS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace plotspool {

// One output of a job of printer section `section`, counted when it completed.
enum class JobStep { kTurned, kHandedOff, kPrinted, kCopied };
void RecordJobStep(const std::string& section, JobStep step);

// The end of a job of `section` whose file held `bytes`: done (its file leaves the tree) or
// refused (moved aside).
void RecordJobEnd(const std::string& section, bool refused, int64_t bytes);

// The print system's final word on a page of `section`: "completed", "canceled", "aborted" or
// "unknown" (it no longer knew the job). Anything but "completed" also counts as a failure of the
// last hour.
void RecordPrintOutcome(const std::string& section, const std::string& state);

// Jobs done and failed (refused jobs and pages the print system did not complete) within the
// last hour.
struct RecentCounts {
  int64_t done = 0;
  int64_t failed = 0;
};
RecentCounts CountsOfLastHour();

// What a complete walk left in the transfer tree: `count` files, the oldest modified at
// `oldest_modified_ns` (nanoseconds since the epoch; ignored when `count` is 0).
void RecordWaitingFiles(int64_t count, int64_t oldest_modified_ns);

// How long the last tick took.
void RecordTick(std::chrono::steady_clock::duration duration);

// Writes the metrics to `path` (atomically) when a value changed since the last write, at most
// once a second; does nothing for an empty path. A changed path is written at once. Never
// throws: a failed write is tried again with the next change.
void PublishMetrics(const std::string& path);

// Forgets every value recorded (for tests that run the service's code in their own process).
void ResetMetrics();

}  // namespace plotspool

#endif  // PLOTSPOOL_LOG_METRICS_H_

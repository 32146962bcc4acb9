// What each job has already output, kept on disk so that no output happens twice: not on a retry
// of a job left for a later tick, not after a crash between an output and the removal of the job
// file, not for a job file the service can read but not remove. A job is one version of a file
// (its identity: device, inode, size and modification time).
#ifndef PLOTSPOOL_JOBS_JOB_JOURNAL_H_
#define PLOTSPOOL_JOBS_JOB_JOURNAL_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_identity.h"

namespace plotspool {

using platform::FileIdentity;

enum class OutputStep { kHandOff = 0, kPrint = 1, kCopy = 2 };

// The journal file: one appended line per event, synced before the step it announces runs and
// after it completed. Held in memory as well, so that a journal that cannot be written still
// keeps this process from repeating an output.
class JobJournal {
 public:
  // Live jobs kept at most; the oldest is forgotten first.
  static constexpr std::size_t kMaxJobs = 1024;

  explicit JobJournal(std::string path);

  bool Completed(const FileIdentity& job, OutputStep step);
  // The detail recorded when `step` began and did not complete ("<id> <queue>" for a print).
  std::optional<std::string> Unconfirmed(const FileIdentity& job, OutputStep step);
  void Begin(const FileIdentity& job, OutputStep step, std::string_view detail = {});
  void Complete(const FileIdentity& job, OutputStep step);

  // The service itself replaced the job file (an unpacked member, a turned image): what the old
  // version did belongs to the new one.
  void Follow(const FileIdentity& from, const FileIdentity& to);
  // The job is finished but its file could not be removed or moved aside; that was reported once.
  // `outcome` says what is still to be done with the file ("done", or "refused <n> <text>").
  void MarkKept(const FileIdentity& job, std::string_view outcome);
  // The outcome recorded by MarkKept; nullopt when the job was not kept.
  std::optional<std::string> KeptAs(const FileIdentity& job);
  // The job's file is gone: nothing more to remember.
  void Forget(const FileIdentity& job);

  const std::string& path() const { return path_; }

 private:
  struct Job {
    uint64_t order = 0;
    bool begun[3] = {false, false, false};
    bool done[3] = {false, false, false};
    std::string detail[3];
    bool kept = false;
    std::string kept_as;
  };

  void Load();
  bool Apply(std::string_view line);
  Job& Entry(const FileIdentity& job);
  void Record(const FileIdentity& job, std::string_view event, bool durable = true);
  void Compact();

  std::string path_;
  bool loaded_ = false;
  std::map<FileIdentity, Job> jobs_;
  uint64_t next_order_ = 0;
  std::size_t lines_in_file_ = 0;
  std::string last_failure_;  // the last write failure reported, so each is reported once
};

// The journal beside the settings file (AppPath + base name + ".journal"), opened on first use.
JobJournal& Journal();
// Tests point the journal at another file (or back at the default with an empty path).
void ResetJournal(const std::string& path = {});

// The version of a job file that a job works on, followed through the service's own
// replacements. Never throws from Matches().
class JobVersion {
 public:
  explicit JobVersion(std::string path);
  const std::string& path() const { return path_; }
  const std::optional<FileIdentity>& identity() const { return identity_; }
  // True while the file at path() is still the version this job works on.
  bool Matches() const;
  // Throws when another version has taken the file's place: the job must not mix two versions.
  void CheckUnchanged() const;
  // After the service replaced the file itself: the journal follows to the new identity.
  void FollowReplacement();

 private:
  std::string path_;
  std::optional<FileIdentity> identity_;
};

// Thrown when the job file was replaced by another version while it was processed; the new
// version is a new job for a later tick.
inline constexpr const char* kFileReplacedText =
    "Path/File access error (file replaced while in use)";

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_JOB_JOURNAL_H_

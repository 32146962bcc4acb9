#include "jobs/extract_zip.h"

#include <cstdint>
#include <optional>

#include "jobs/process_plot_file.h"
#include "platform/files.h"
#include "platform/temporary_files.h"
#include "platform/zip_archive.h"
#include "util/system_utils.h"

namespace plotspool {
namespace {

// The "~VB" name and its archive copy, removed on every way out; the copy first, so that a run
// killed in between leaves the name that proves the copy ours to the next run's sweep.
class UnpackingNames {
 public:
  UnpackingNames() = default;
  UnpackingNames(const UnpackingNames&) = delete;
  UnpackingNames& operator=(const UnpackingNames&) = delete;
  ~UnpackingNames() {
    if (!archive_copy.empty()) platform::RemoveFileIfExists(archive_copy);
    if (!temp_name.empty()) platform::RemoveFileIfExists(temp_name);
  }

  std::string temp_name;
  std::string archive_copy;
};

[[noreturn]] void Refuse(int number, const std::string& reason) {
  throw RuntimeError(number, UnpackingFailure(number, reason));
}

// The temporary directory's trouble is no fault of the archive: the job waits for a later tick.
template <typename Step>
auto InTemporaryDirectory(Step&& step) {
  try {
    return step();
  } catch (const RuntimeError& error) {
    throw PassedToCaller(error);
  }
}

// Space that is short now is worth a later tick; space the file system could never offer is not.
// `needed` is all the unpacking holds there at once; `never` and `now` say why in either case.
[[noreturn]] void NoRoom(const std::string& temp_dir, std::uint64_t needed,
                         const std::string& never, const std::string& now) {
  const std::uint64_t capacity =
      InTemporaryDirectory([&] { return platform::FileSystemCapacity(temp_dir); });
  if (needed > capacity) {
    Refuse(kDiskFull, never + " can never fit into the temporary file system of " +
                          std::to_string(capacity) + " bytes");
  }
  throw PassedToCaller(RuntimeError(kDiskFull, UnpackingFailure(kDiskFull, now)));
}

}  // namespace

std::string UnpackingFailure(int number, const std::string& reason) {
  return std::string(ErrorDescription(number)) + " (" + reason + ")";
}

void ExtractZip(const std::string& job_path) {
  const std::string temp_dir = GetTempDir();
  if (temp_dir.empty()) throw PassedToCaller(RuntimeError(kPathNotFound));
  UnpackingNames names;
  names.temp_name =
      InTemporaryDirectory([&] { return platform::CreateTempFileName(temp_dir, "~VB"); });
  names.archive_copy = names.temp_name + ".zip";
  std::uint64_t archive_size = 0;
  // The library works on a copy, so the job file is never held open while it is replaced.
  try {
    archive_size = static_cast<std::uint64_t>(platform::FileSize(job_path));
    platform::CopyFileNew(job_path, names.archive_copy);
  } catch (const RuntimeError& error) {
    if (error.number() == kDiskFull) {
      NoRoom(temp_dir, archive_size, "archive of " + std::to_string(archive_size) + " bytes",
             "no room for the archive copy");
    }
    // Another program took the copy's name after ours was chosen: a later tick picks another.
    if (error.number() == kFileAlreadyExists) throw PassedToCaller(error);
    Refuse(error.number(), "cannot copy the archive into the temporary directory");
  }

  platform::ZipArchive archive;
  if (const int opened = archive.Open(names.archive_copy); opened != 0) {
    Refuse(opened, archive.error_text());
  }
  // A folder of the job's own: whatever the member is called, it can only land in there.
  std::optional<platform::PrivateFolder> folder;
  InTemporaryDirectory([&] { folder.emplace(temp_dir); });
  const std::string member_name = archive.EntryName(0);
  const int extracted = archive.ExtractEntry(0, folder->path());
  if (extracted == kDiskFull) {
    // The archive copy and the member share the file system until the member is moved out.
    const std::uint64_t member_size = static_cast<std::uint64_t>(archive.EntrySize(0));
    NoRoom(temp_dir, archive_size + member_size,
           "entry of " + std::to_string(member_size) + " bytes", archive.error_text());
  }
  if (extracted != 0) Refuse(extracted, archive.error_text());
  if (archive.Close() != 0) Refuse(kPathFileAccessError, archive.error_text());

  // One replacing step: the job path holds either the archive or the whole member, never
  // nothing, whatever fails.
  try {
    platform::MoveOver(folder->path() + member_name, job_path);
  } catch (const RuntimeError& error) {
    const std::string reason = "cannot put the member in the job's place";
    if (error.number() == kDiskFull) {
      throw PassedToCaller(RuntimeError(kDiskFull, UnpackingFailure(kDiskFull, reason)));
    }
    Refuse(error.number(), reason);
  }
}

}  // namespace plotspool

#include "jobs/extract_zip.h"

#include <exception>
#include <filesystem>
#include <vector>

#include "jobs/process_plot_file.h"
#include "platform/files.h"
#include "platform/zip_archive.h"
#include "util/system_utils.h"

namespace plotspool {
namespace {

// The temporary files of one unpacking, removed on every way out.
class UnpackingFiles {
 public:
  UnpackingFiles() = default;
  UnpackingFiles(const UnpackingFiles&) = delete;
  UnpackingFiles& operator=(const UnpackingFiles&) = delete;
  ~UnpackingFiles() {
    if (!member_file.empty()) platform::RemoveFileIfExists(member_file);
    for (auto dir = created_directories.rbegin(); dir != created_directories.rend(); ++dir) {
      std::error_code ignored;
      std::filesystem::remove(*dir, ignored);  // only when empty
    }
    if (!temp_name.empty()) platform::RemoveFileIfExists(temp_name);
    if (!archive_copy.empty()) platform::RemoveFileIfExists(archive_copy);
  }

  std::string temp_name;
  std::string archive_copy;
  std::string member_file;
  std::vector<std::string> created_directories;
};

// A member name is only ever used below the temporary directory: a stale member is deleted only
// when its name cannot climb out of it.
bool StaysInside(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.find('\\') != std::string::npos) return false;
  for (const auto& part : std::filesystem::path(name)) {
    if (part == "..") return false;
  }
  return true;
}

}  // namespace

bool ExtractZip(const std::string& job_path) {
  UnpackingFiles files;
  try {
    const std::string temp_dir = GetTempDir();
    if (temp_dir.empty()) throw PassedToCaller(RuntimeError(kPathNotFound));
    try {
      files.temp_name = platform::CreateTempFileName(temp_dir, "~VB");
    } catch (const RuntimeError& error) {
      throw PassedToCaller(error);
    }
    files.archive_copy = files.temp_name + ".zip";
    // The library works on a copy, so the job file is never held open while it is replaced.
    try {
      platform::CopyFileReplacing(job_path, files.archive_copy);
    } catch (const RuntimeError& error) {
      if (error.number() == kDiskFull) throw PassedToCaller(error);
      throw;
    }

    platform::ZipArchive archive;
    if (archive.Open(files.archive_copy) != 0) return false;
    const std::string member_name = archive.EntryName(0);
    if (!StaysInside(member_name)) return false;
    const std::string member_file = temp_dir + member_name;
    // Only a stale member right in the temporary directory is removed: a folder on the way may
    // be a link that someone planted there, and the name would then reach outside.
    if (member_name.find('/') == std::string::npos && platform::NormalFileExists(member_file)) {
      platform::RemoveFile(member_file);
    }
    const int extracted = archive.ExtractEntry(0, temp_dir);
    const std::string why = archive.error_text();
    if (extracted == 0) {
      files.member_file = member_file;
      files.created_directories = archive.created_directories();
    }
    if (archive.Close() != 0) return false;
    if (extracted == kDiskFull) throw PassedToCaller(RuntimeError(kDiskFull, why));
    if (extracted != 0) return false;

    // One replacing step: the job path holds either the archive or the whole member, never
    // nothing, whatever fails.
    platform::MoveOver(member_file, job_path);
    return true;
  } catch (const PassedToCaller&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace plotspool

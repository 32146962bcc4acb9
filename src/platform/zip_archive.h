// Read-only access to one ZIP archive: the four operations the job procedure needs to replace a
// job file by the first member of its archive. Archives come from other machines and are treated
// as hostile: a member is only ever written below the destination directory, never over an
// existing file or through a symbolic link, never larger than its declared size, and never
// half-written.
#ifndef PLOTSPOOL_PLATFORM_ZIP_ARCHIVE_H_
#define PLOTSPOOL_PLATFORM_ZIP_ARCHIVE_H_

#include <cstdint>
#include <string>
#include <vector>

struct zip;

namespace plotspool::platform {

class ZipArchive {
 public:
  ZipArchive() = default;
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Opens the regular file at `path` read-only; a symbolic link, FIFO or device is refused, and
  // so is an empty file. Returns 0 when the archive is open (an archive without entries opens),
  // else a run-time error number (53 missing, 75 damaged or not an archive, ...) with the reason
  // in error_text(). An archive that was open before is closed first.
  int Open(const std::string& path);

  // As Open, for an archive held in memory (an archive's member, say); `bytes` is kept for as
  // long as the archive is open. Nothing touches the disk.
  int OpenInMemory(std::string bytes);

  // The name of entry `index` as stored, byte for byte (libzip shows a NUL byte as a blank);
  // empty when the archive is not open or has no such entry.
  std::string EntryName(int index);

  // The uncompressed size entry `index` declares; -1 when there is no such entry.
  std::int64_t EntrySize(int index);

  // Writes entry `index` as destination_dir + its name (destination_dir ends in "/"); folder
  // components of the name ("/" only) become sub-folders, created when missing. Returns 0 when
  // the whole member is written and synced, else a run-time error number and the reason in
  // error_text(); on failure nothing that this call created is left behind. Refused with 75:
  // absolute names, "." or ".." or empty components ("\" counts as a separator too), folder
  // entries, encrypted entries, unsupported methods. Refused with 61: entries declaring more than
  // the free space. Data longer than declared, shorter, unreadable or with a wrong CRC fails
  // with 57. An existing file or any symbolic link on the way is never written through.
  int ExtractEntry(int index, const std::string& destination_dir);

  // Reads entry `index` whole into `data`, refused exactly as ExtractEntry refuses it (except
  // the free-space test), and with 7 when it declares more than `limit` bytes. Returns 0 or a
  // run-time error number with the reason in error_text(). Nothing is written anywhere.
  int ReadEntry(int index, std::uint64_t limit, std::string& data);

  // The sub-folders the last successful ExtractEntry created, outermost first, each ending in
  // "/". The caller removes them (innermost first) once it has moved the member away.
  const std::vector<std::string>& created_directories() const { return created_directories_; }

  // Why the last operation failed, short enough for a log line ("encrypted entry: plan.tif");
  // empty after a success.
  const std::string& error_text() const { return error_text_; }

  // Closes the archive. Returns 0 when closed, non-zero when none was open.
  int Close();

 private:
  int Fail(int number, std::string text);
  // Drops an open archive unsaved and the last error: where every open starts.
  void DiscardArchive();

  zip* archive_ = nullptr;
  std::string memory_;  // the bytes of an archive opened in memory
  std::vector<std::string> created_directories_;
  std::string error_text_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_ZIP_ARCHIVE_H_

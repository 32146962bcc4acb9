// Scaffolding while the Win32 back end is built: every function of files.h, raw_file.h,
// directory_enumeration.h, file_identity.h, durable_file.h, log_file.h, ini_file_io.h and
// scratch_file.h fails here. Removed piece by piece as the real implementations land.
#include <string>

#include "base/error.h"
#include "platform/directory_enumeration.h"
#include "platform/durable_file.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/ini_file_io.h"
#include "platform/log_file.h"
#include "platform/raw_file.h"
#include "platform/scratch_file.h"

namespace plotspool::platform {
namespace {
[[noreturn]] void Pending(const char* what) {
  throw RuntimeError(kPathFileAccessError, std::string(what) + " is not built for Windows yet");
}
}  // namespace

void SetTransferRoot(const std::string&) {}
const std::string& TransferRoot() {
  static const std::string none;
  return none;
}
bool NormalFileExists(const std::string&) { return false; }
bool PathExists(const std::string&) { return false; }
int64_t FileSize(const std::string&) { Pending("FileSize"); }
void MovePath(const std::string&, const std::string&) { Pending("MovePath"); }
void CopyFileReplacing(const std::string&, const std::string&) { Pending("CopyFileReplacing"); }
void CopyFileNew(const std::string&, const std::string&) { Pending("CopyFileNew"); }
void MoveOver(const std::string&, const std::string&) { Pending("MoveOver"); }
void RemoveFile(const std::string&) { Pending("RemoveFile"); }
bool RemoveFileIfExists(const std::string&) { return false; }
void TrialOpen(const std::string&) { Pending("TrialOpen"); }
std::string ReadFileStart(const std::string&, std::size_t) { Pending("ReadFileStart"); }
void ClearAttributes(const std::string&) { Pending("ClearAttributes"); }
bool MakeSureDirectoryPathExists(const std::string&) { return false; }
bool FolderWritable(const std::string&) { return false; }
uint64_t FreeSpace(const std::string&) { Pending("FreeSpace"); }
uint64_t FileSystemCapacity(const std::string&) { Pending("FileSystemCapacity"); }
std::string ExecutablePath() { Pending("ExecutablePath"); }
std::string ResolvedPath(const std::string& path) { return path; }
std::string LocalTimeStamp14() { Pending("LocalTimeStamp14"); }

RawFile RawFile::OpenForReading(const std::string&) { Pending("RawFile::OpenForReading"); }
RawFile RawFile::CreateBeside(const std::string&, const RawFile*) {
  Pending("RawFile::CreateBeside");
}
size_t RawFile::ReadAt(uint64_t, std::span<uint8_t>) const { Pending("RawFile::ReadAt"); }
void RawFile::WriteAt(uint64_t, std::span<const uint8_t>) { Pending("RawFile::WriteAt"); }
uint64_t RawFile::Size() const { Pending("RawFile::Size"); }
void RawFile::Sync() { Pending("RawFile::Sync"); }
void RawFile::Close() { file_.reset(); }
void RawFile::RenameOver(const std::string&, const std::string&) { Pending("RawFile::RenameOver"); }
void RawFile::RemoveQuietly(const std::string&) {}

int64_t FileSystemClockNs() { return 0; }
struct DirectoryEnumeration::Handle {};
DirectoryEnumeration::DirectoryEnumeration() = default;
DirectoryEnumeration::~DirectoryEnumeration() = default;
bool DirectoryEnumeration::Open(const std::string&, bool) { return false; }
bool DirectoryEnumeration::OpenBelow(const DirectoryEnumeration&, const std::string&) {
  return false;
}
bool DirectoryEnumeration::Next(DirectoryEntry&) { return false; }
bool DirectoryEnumeration::NextListed(DirectoryEntry&) { return false; }
bool DirectoryEnumeration::Stamp(DirectoryStamp&) const { return false; }
bool DirectoryEnumeration::StampOf(const std::string&, DirectoryStamp&) const { return false; }
void DirectoryEnumeration::Close() { handle_.reset(); }

std::optional<FileIdentity> IdentityOf(const std::string&) { return std::nullopt; }
bool RemoveIfUnchanged(const std::string&, const FileIdentity&) { Pending("RemoveIfUnchanged"); }
bool RenameIfUnchanged(const std::string&, const FileIdentity&, const std::string&) {
  Pending("RenameIfUnchanged");
}

void AppendToFile(const std::string&, std::string_view, bool) { Pending("AppendToFile"); }
std::optional<std::string> ReadSmallFile(const std::string&, std::size_t) {
  Pending("ReadSmallFile");
}
void ReplaceFileDurably(const std::string&, std::string_view) { Pending("ReplaceFileDurably"); }

int AppendToLogFile(const std::string&, std::string_view) { return kPathFileAccessError; }

IniFileState ReadIniFile(const std::string&, std::string&, IniFileStamp&) {
  return IniFileState::kUnreadable;
}
std::string IniWriteTarget(const std::string& file) { return file; }
bool ReplaceIniFile(const std::string&, std::string_view, IniFileStamp&) { return false; }

ScratchFile ScratchFile::Create() { Pending("ScratchFile::Create"); }
void ScratchFile::WriteAt(uint64_t, std::span<const uint8_t>) { Pending("ScratchFile::WriteAt"); }
void ScratchFile::ReadAt(uint64_t, std::span<uint8_t>) const { Pending("ScratchFile::ReadAt"); }

}  // namespace plotspool::platform

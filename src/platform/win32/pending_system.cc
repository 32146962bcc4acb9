// Scaffolding while the Win32 back end is built: every function of temporary_files.h,
// large_buffer.h, environment.h, clock.h, instance.h and zip_archive.h fails here. Removed piece
// by piece as the real implementations land.
#include <string>

#include "base/error.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/instance.h"
#include "platform/large_buffer.h"
#include "platform/temporary_files.h"
#include "platform/zip_archive.h"

namespace plotspool::platform {
namespace {
[[noreturn]] void Pending(const char* what) {
  throw RuntimeError(kPathFileAccessError, std::string(what) + " is not built for Windows yet");
}
}  // namespace

std::string CreateTempFileName(const std::string&, const std::string&) {
  Pending("CreateTempFileName");
}
void SetTemporaryLedger(const std::string&) {}
int RemoveStaleTemporaries(const std::string&) { return 0; }
bool RemoveStaleTemporary(const std::string&) { return false; }
PrivateFolder::PrivateFolder(const std::string&) { Pending("PrivateFolder"); }
PrivateFolder::~PrivateFolder() = default;

LargeBuffer::LargeBuffer(size_t) { Pending("LargeBuffer"); }
LargeBuffer::LargeBuffer(LargeBuffer&&) noexcept {}
LargeBuffer& LargeBuffer::operator=(LargeBuffer&&) noexcept { return *this; }
LargeBuffer::~LargeBuffer() = default;
uint64_t PhysicalMemoryBytes() { return 0; }

std::string TemporaryDirectory() { return {}; }
std::optional<std::string> EnvironmentValue(const std::string&) { return std::nullopt; }
std::string DefaultTransferRoot(const std::string&) { return {}; }

std::tm LocalTimeNow() { return {}; }

InstanceLock::InstanceLock(const std::string&) {}

ZipArchive::~ZipArchive() = default;
int ZipArchive::Open(const std::string&) { return kPathFileAccessError; }
int ZipArchive::OpenInMemory(std::string) { return kPathFileAccessError; }
std::string ZipArchive::EntryName(int) { return {}; }
std::int64_t ZipArchive::EntrySize(int) { return -1; }
int ZipArchive::ExtractEntry(int, const std::string&) { return kPathFileAccessError; }
int ZipArchive::ReadEntry(int, std::uint64_t, std::string&) { return kPathFileAccessError; }
int ZipArchive::Close() { return 1; }
int ZipArchive::Fail(int number, std::string text) {
  error_text_ = std::move(text);
  return number;
}

}  // namespace plotspool::platform

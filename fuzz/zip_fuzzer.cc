// Feeds arbitrary bytes through the job's unpacking sequence: open, name of entry 0, extract
// entry 0, close. Besides crashes and leaks it traps when anything appears outside the
// extraction folder or when a reported success left no regular file at folder + name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/zip_archive.h"

namespace fs = std::filesystem;

namespace {

void RemoveBase();

// base/in.zip and base/a/b/out/; "a" and "b" must never hold anything else.
const fs::path& Base() {
  static const fs::path base = [] {
    const fs::path parent =
        fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (parent / "zip_fuzzer.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    fs::create_directories(fs::path(pattern) / "a" / "b" / "out");
    return fs::path(pattern);
  }();
  // Registered after `base` exists, so it runs before `base` is destroyed at exit.
  [[maybe_unused]] static const bool cleanup = std::atexit(RemoveBase) == 0;
  return base;
}

void RemoveBase() {
  std::error_code ignored;
  fs::remove_all(Base(), ignored);
}

std::size_t CountEntries(const fs::path& dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path archive = Base() / "in.zip";
  const fs::path out = Base() / "a" / "b" / "out";
  std::ofstream(archive, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  plotspool::platform::ZipArchive zip;
  if (zip.Open(archive.string()) == 0) {
    const std::string name = zip.EntryName(0);
    const std::string destination = out.string() + "/";
    if (zip.ExtractEntry(0, destination) == 0) {
      const fs::path member = destination + name;
      if (!fs::is_regular_file(fs::symlink_status(member))) __builtin_trap();
      if (static_cast<std::int64_t>(fs::file_size(member)) != zip.EntrySize(0)) __builtin_trap();
    }
    zip.Close();
  }
  if (CountEntries(Base()) != 2 || CountEntries(Base() / "a") != 1 ||
      CountEntries(Base() / "a" / "b") != 1) {
    __builtin_trap();
  }
  fs::remove_all(out);
  fs::create_directory(out);
  return 0;
}

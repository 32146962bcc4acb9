#include "test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/error.h"
#include "config/app_paths.h"
#include "config/service_settings.h"
#include "imaging/host_form.h"
#include "intake/scan_directory.h"
#include "jobs/job_output.h"
#include "sample_plot.h"

namespace plotspool::testing {

TempDir::TempDir() {
  static std::mt19937_64 random{std::random_device{}()};
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "plotspool-test-%08llx",
                  static_cast<unsigned long long>(random() & 0xffffffffu));
    if (std::filesystem::create_directory(base / name)) {
      path_ = base / name;
      return;
    }
  }
  throw std::runtime_error("no new temporary test folder in " + base.string());
}

void SetEnvironmentValue(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::Names() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteWholeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

InProcessServiceTest::InProcessServiceTest(const std::string& printer)
    : root_(dir_.path() / "root"),
      printer_(root_ / printer),
      temp_(dir_.path() / "tmp"),
      out_(dir_.path() / "out"),
      printer_name_(printer) {}

void InProcessServiceTest::SetUp() {
  SetAppPaths((dir_.path() / "plotspool").string());
  std::filesystem::create_directories(printer_);
  std::filesystem::create_directories(temp_);
  if (const char* old = std::getenv(kTempDirVariable)) old_tmpdir_ = old;
  SetEnvironmentValue(kTempDirVariable, temp_.string());
  ServiceSettings = {"0", "0", root_.generic_string() + "/", "0", "", "0", "16", "0"};
  bStopScan = false;
}

void InProcessServiceTest::TearDown() {
  HostForm::Unload();
  // Later tests in this process (and their print servers) must not use a removed directory.
  SetEnvironmentValue(kTempDirVariable, old_tmpdir_);
  HandOffTimeoutSeconds = kHandOffTimeoutSeconds;
}

std::string InProcessServiceTest::Log() const {
  return std::filesystem::exists(LogFile) ? ReadWholeFile(LogFile) : "";
}

void InProcessServiceTest::Section(const std::string& keys) const {
  WriteWholeFile(IniFile, "[" + printer_name_ + "]\n" + keys);
}

void MakePlot(const std::filesystem::path& path, const std::string& paper, bool landscape,
              double dpi) {
  uint32_t width = 0, height = 0;
  ASSERT_TRUE(PaperPixels(paper, landscape, dpi, &width, &height)) << paper;
  SampleTiffOptions options;
  options.dpi = dpi;
  WriteSampleTiff(path.string(), {DrawSamplePlot(width, height, dpi, SampleKind::kBilevel)},
                  options);
}

int WalkAfterClockTick(std::string& root) {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ScanDirectory(root, "*", true);
  return DirectoriesListedByLastWalk();
}

std::filesystem::path WriteScript(const std::filesystem::path& path, const std::string& script) {
#ifdef _WIN32
  // A "/" in the name would read as a switch to the command interpreter.
  std::filesystem::path batch = path;
  batch.replace_extension(".cmd").make_preferred();
  std::string text = "@echo off\r\n";
  for (const char c : script) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WriteWholeFile(batch, text);
  return batch;
#else
  WriteWholeFile(path, "#!/bin/sh\n" + script);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
#endif
}

void MakeZip(const std::filesystem::path& path, const std::vector<ZipMember>& members) {
  int error = 0;
  zip_t* archive = zip_open(path.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr) << error;
  for (const ZipMember& m : members) {
    zip_int64_t index;
    if (m.directory) {
      index = zip_dir_add(archive, m.name.c_str(), 0);
    } else {
      zip_source_t* source = zip_source_buffer(archive, m.data.data(), m.data.size(), 0);
      index = zip_file_add(archive, m.name.c_str(), source, 0);
      ASSERT_EQ(zip_set_file_compression(archive, index, m.method, 0), 0);
    }
    ASSERT_GE(index, 0) << zip_strerror(archive);
    if (m.encryption != ZIP_EM_NONE) {
      ASSERT_EQ(zip_file_set_encryption(archive, index, m.encryption, "secret"), 0);
    }
  }
  ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
}

void ZipArchiveFixture::SetUp() {
  namespace fs = std::filesystem;
  root_ = dir_.path();
  fs::create_directories(root_ / "spool");
  fs::create_directories(root_ / "outside");
  fs::create_directories(root_ / "a" / "tmp");
  destination_ = (root_ / "a" / "tmp").string() + "/";
  archive_ = root_ / "spool" / "job.zip";
}

std::map<std::string, std::uintmax_t> ZipArchiveFixture::Tree() const {
  std::map<std::string, std::uintmax_t> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
    tree[entry.path().string()] =
        entry.is_regular_file() && !entry.is_symlink() ? entry.file_size() : 0;
  }
  return tree;
}

int ZipArchiveFixture::OpenAndExtract(platform::ZipArchive& zip) {
  EXPECT_EQ(zip.Open(archive_.string()), 0) << zip.error_text();
  return zip.ExtractEntry(0, destination_);
}

std::string RawDeflate(const std::string& plain) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, plain.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::uint32_t Crc(const std::string& plain) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uInt>(plain.size())));
}

std::string CraftZip(const RawMember& m) {
  auto put = [](std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  // Sizes beyond 32 bits go into a zip64 extra field, in both headers.
  const bool zip64 = m.declared_size >= 0xFFFFFFFFu;
  std::string extra;
  if (zip64) {
    put(extra, 0x0001, 2);
    put(extra, 16, 2);
    put(extra, m.declared_size, 8);
    put(extra, m.data.size(), 8);
  }
  const std::uint64_t size32 = zip64 ? 0xFFFFFFFFu : m.declared_size;
  const std::uint64_t comp32 = zip64 ? 0xFFFFFFFFu : m.data.size();
  auto common = [&](std::string& out) {
    put(out, zip64 ? 45 : 20, 2);  // version needed
    put(out, 0, 2);                // flags
    put(out, m.method, 2);
    put(out, 0, 2);     // time
    put(out, 0x21, 2);  // date 1980-01-01
    put(out, m.crc, 4);
    put(out, comp32, 4);
    put(out, size32, 4);
    put(out, m.name.size(), 2);
    put(out, extra.size(), 2);
  };
  std::string zip;
  put(zip, 0x04034b50, 4);
  common(zip);
  zip += m.name + extra + m.data;
  const std::size_t directory_offset = zip.size();
  put(zip, 0x02014b50, 4);
  put(zip, 0x0314, 2);  // made by: Unix
  common(zip);
  put(zip, 0, 2);  // comment length
  put(zip, 0, 2);  // disk
  put(zip, 0, 2);  // internal attributes
  put(zip, 0, 4);  // external attributes
  put(zip, 0, 4);  // local header offset
  zip += m.name + extra;
  const std::size_t directory_size = zip.size() - directory_offset;
  put(zip, 0x06054b50, 4);
  put(zip, 0, 4);
  put(zip, 1, 2);
  put(zip, 1, 2);
  put(zip, directory_size, 4);
  put(zip, directory_offset, 4);
  put(zip, 0, 2);
  return zip;
}

}  // namespace plotspool::testing

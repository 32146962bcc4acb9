// What only a POSIX system can set up for the ZIP module: symbolic links, FIFOs and the peak
// resident size.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "base/error.h"
#include "platform/zip_archive.h"
#include "test_support.h"

namespace plotspool::platform {
namespace {

using testing::MakeZip;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

namespace fs = std::filesystem;

class ZipArchivePosixTest : public testing::ZipArchiveFixture {};

TEST_F(ZipArchivePosixTest, OpenRefusesLinksAndDoesNotBlockOnAFifo) {
  MakeZip(archive_, {{"plan.tif", "image"}});
  ZipArchive zip;
  fs::create_symlink(archive_, root_ / "spool" / "link.zip");
  EXPECT_NE(zip.Open((root_ / "spool" / "link.zip").string()), 0);
  ASSERT_EQ(mkfifo((root_ / "spool" / "fifo.zip").c_str(), 0600), 0);
  EXPECT_NE(zip.Open((root_ / "spool" / "fifo.zip").string()), 0);
}

struct ZeroStream {
  zip_uint64_t total;
  zip_uint64_t left = 0;
};

zip_int64_t ZeroSource(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* stream = static_cast<ZeroStream*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      stream->left = stream->total;
      return 0;
    case ZIP_SOURCE_READ: {
      const zip_uint64_t n = std::min(length, stream->left);
      std::memset(data, 0, n);
      stream->left -= n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_STAT: {
      auto* stat = static_cast<zip_stat_t*>(data);
      zip_stat_init(stat);
      stat->size = stream->total;
      stat->valid |= ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
      return 0;
    default:
      return -1;
  }
}

long MaxResidentKb() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(ZipArchivePosixTest, LargeEntryIsStreamedWithFlatMemory) {
  constexpr zip_uint64_t kSize = 200ull * 1024 * 1024;
  ZeroStream zeros{kSize};
  {
    int error = 0;
    zip_t* archive = zip_open(archive_.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    ASSERT_GE(zip_file_add(archive, "big.tif", zip_source_function(archive, ZeroSource, &zeros), 0),
              0);
    ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
  }
  ASSERT_LT(fs::file_size(archive_), kSize / 100);

  const long before_kb = MaxResidentKb();
  ZipArchive zip;
  ASSERT_EQ(OpenAndExtract(zip), 0) << zip.error_text();
  // Loose bound: a quarter of the entry would mean it was buffered, not streamed.
  EXPECT_LT(MaxResidentKb() - before_kb, 50 * 1024);
  EXPECT_EQ(fs::file_size(destination_ + "big.tif"), kSize);
}

TEST_F(ZipArchivePosixTest, SymbolicLinksAreNeverWrittenThrough) {
  MakeZip(archive_, {{"plan.tif", "new"}});
  const fs::path target = root_ / "outside" / "target";
  WriteWholeFile(target, "keep");

  fs::create_symlink(target, destination_ + "plan.tif");  // link to an existing file
  ZipArchive zip;
  EXPECT_NE(OpenAndExtract(zip), 0);
  EXPECT_EQ(ReadWholeFile(target), "keep");
  EXPECT_TRUE(fs::is_symlink(destination_ + "plan.tif"));

  fs::remove(destination_ + "plan.tif");  // dangling link: must not create its target
  fs::create_symlink(root_ / "outside" / "created", destination_ + "plan.tif");
  EXPECT_NE(OpenAndExtract(zip), 0);
  EXPECT_FALSE(fs::exists(root_ / "outside" / "created"));

  // A folder component that is a link into another directory.
  MakeZip(archive_, {{"plots/plan.tif", "new"}});
  fs::create_directory_symlink(root_ / "outside", destination_ + "plots");
  const auto before = Tree();
  EXPECT_NE(OpenAndExtract(zip), 0);
  EXPECT_EQ(Tree(), before);
}

}  // namespace
}  // namespace plotspool::platform

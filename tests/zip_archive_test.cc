#include "platform/zip_archive.h"

#include "test_support.h"

#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "base/error.h"

namespace plotspool::platform {
namespace {

using testing::CraftZip;
using testing::Crc;
using testing::MakeZip;
using testing::RawDeflate;
using testing::RawMember;
using testing::ReadWholeFile;
using testing::WriteWholeFile;
using testing::ZipMember;

namespace fs = std::filesystem;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() % 7);  // compressible, not trivially
  return bytes;
}

class ZipArchiveTest : public testing::ZipArchiveFixture {};

TEST_F(ZipArchiveTest, ExtractsOnlyTheFirstEntryByteExactForEveryMethod) {
  // Larger than one streaming chunk, so the chunk loop is exercised.
  const std::string plan = RandomBytes(700 * 1024, 1);
  for (zip_int32_t method : {ZIP_CM_STORE, ZIP_CM_DEFLATE, ZIP_CM_BZIP2}) {
    SCOPED_TRACE(method);
    if (!zip_compression_method_supported(method, 1)) continue;  // a libzip built without it
    fs::remove_all(destination_);
    fs::create_directories(destination_);
    MakeZip(archive_, {{"plan.tif", plan, method},
                       {"second.tif", "2", ZIP_CM_STORE},
                       {"third.tif", "3", ZIP_CM_STORE}});
    ZipArchive zip;
    ASSERT_EQ(zip.Open(archive_.string()), 0) << zip.error_text();
    EXPECT_EQ(zip.EntryName(0), "plan.tif");
    EXPECT_EQ(zip.EntrySize(0), static_cast<std::int64_t>(plan.size()));
    EXPECT_EQ(zip.EntryName(3), "");
    EXPECT_EQ(zip.EntrySize(-1), -1);
    ASSERT_EQ(zip.ExtractEntry(0, destination_), 0) << zip.error_text();
    EXPECT_EQ(ReadWholeFile(destination_ + "plan.tif"), plan);
    EXPECT_TRUE(zip.created_directories().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(destination_), fs::directory_iterator()), 1);
    EXPECT_EQ(zip.Close(), 0);
    EXPECT_NE(zip.Close(), 0);
  }
}

TEST_F(ZipArchiveTest, OpenRefusesWhatIsNotAnIntactArchive) {
  MakeZip(archive_, {{"plan.tif", RandomBytes(50000, 2)}, {"b.tif", "b"}});
  const std::string good = ReadWholeFile(archive_);
  ZipArchive zip;
  EXPECT_EQ(zip.Open((root_ / "spool" / "missing.zip").string()), kFileNotFound);

  const fs::path bad = root_ / "spool" / "bad.zip";
  const std::map<std::string, std::string> cases = {
      {"empty file", ""},
      {"text after the signature", "PK\003\004 this is not an archive at all"},
      {"truncated", good.substr(0, good.size() / 2)},
      {"cut before the end record", good.substr(0, good.size() - 10)},
      {"central directory overwritten",
       good.substr(0, good.size() - 120) + std::string(98, 'x') + good.substr(good.size() - 22)},
  };
  for (const auto& [what, bytes] : cases) {
    WriteWholeFile(bad, bytes);
    EXPECT_NE(zip.Open(bad.string()), 0) << what;
    EXPECT_EQ(zip.EntryName(0), "") << what;
    EXPECT_NE(zip.ExtractEntry(0, destination_), 0) << what;
  }

  EXPECT_NE(zip.Open((root_ / "spool").string()), 0);  // a folder

  EXPECT_EQ(zip.Open(archive_.string()), 0) << zip.error_text();
  EXPECT_TRUE(fs::is_empty(destination_));
}

TEST_F(ZipArchiveTest, EmptyArchiveOpensButHasNoEntry) {
  WriteWholeFile(archive_, std::string("PK\005\006", 4) + std::string(18, '\0'));
  ZipArchive zip;
  ASSERT_EQ(zip.Open(archive_.string()), 0) << zip.error_text();
  EXPECT_EQ(zip.EntryName(0), "");
  EXPECT_EQ(zip.EntrySize(0), -1);
  EXPECT_NE(zip.ExtractEntry(0, destination_), 0);
  EXPECT_TRUE(fs::is_empty(destination_));
  EXPECT_EQ(zip.Close(), 0);
}

TEST_F(ZipArchiveTest, FolderNamesBecomeReportedSubfolders) {
  fs::create_directories(destination_ + "plots");  // ours already: used, not reported
  MakeZip(archive_, {{"plots/2024/plan.tif", "image"}});
  ZipArchive zip;
  ASSERT_EQ(OpenAndExtract(zip), 0) << zip.error_text();
  EXPECT_EQ(ReadWholeFile(destination_ + "plots/2024/plan.tif"), "image");
  EXPECT_EQ(zip.created_directories(), std::vector<std::string>{destination_ + "plots/2024/"});
#ifndef _WIN32  // there an owner-only access list, which the permission bits do not show
  EXPECT_EQ(fs::status(destination_ + "plots/2024").permissions(), fs::perms::owner_all);
#endif

  zip.Close();  // the archive is written anew
  // Where "\" is no folder separator it is part of the name, where it is one "plots" is used:
  // either way the member lands at destination + name.
  MakeZip(archive_, {{"plots\\plan.tif", "image"}});
  ASSERT_EQ(OpenAndExtract(zip), 0) << zip.error_text();
  EXPECT_EQ(ReadWholeFile(destination_ + "plots\\plan.tif"), "image");
  EXPECT_TRUE(zip.created_directories().empty());
}

TEST_F(ZipArchiveTest, UnsafeNamesAndDirectoryEntriesWriteNothing) {
  const std::string outside = (root_ / "outside" / "x").string();
  const std::vector<ZipMember> cases = {
      {"../../x", "evil"},
      {"..\\..\\x", "evil"},
      {outside, "evil"},
      {"plots/../../x", "evil"},
      {"plots\\..\\..\\x", "evil"},
      {"./x", "evil"},
      {"plots//x", "evil"},
      {"plots/", "", ZIP_CM_STORE, ZIP_EM_NONE, true},
#ifdef _WIN32
      // Names Windows reads as a drive, a data stream, a device or a trimmed name.
      {"C:x", "evil"},
      {"plan.tif:stream", "evil"},
      {"plots/CON", "evil"},
      {"nul.tif", "evil"},
      {"com1", "evil"},
      {"plan.tif.", "evil"},
#endif
  };
  for (const ZipMember& member : cases) {
    MakeZip(archive_, {member, {"plan.tif", "fine"}});
    const auto before = Tree();
    ZipArchive zip;
    EXPECT_NE(OpenAndExtract(zip), 0) << member.name;
    EXPECT_EQ(Tree(), before) << member.name;
    EXPECT_TRUE(zip.created_directories().empty());
  }

  // A NUL byte in a stored name reaches us as a blank, so it can neither hide a ".." from the
  // check nor make the written name differ from the reported one.
  WriteWholeFile(archive_, CraftZip({std::string("plan.tif\0/../../x", 17), "abc", 3, Crc("abc")}));
  ZipArchive zip;
  ASSERT_EQ(zip.Open(archive_.string()), 0) << zip.error_text();
  EXPECT_EQ(zip.EntryName(0).find('\0'), std::string::npos);
  EXPECT_EQ(zip.ExtractEntry(0, destination_), kPathFileAccessError);
  WriteWholeFile(archive_, CraftZip({std::string("plan\0.tif", 9), "abc", 3, Crc("abc")}));
  ASSERT_EQ(OpenAndExtract(zip), 0) << zip.error_text();
  EXPECT_EQ(ReadWholeFile(destination_ + zip.EntryName(0)), "abc");
}

TEST_F(ZipArchiveTest, EncryptedAndUnknownMethodEntriesAreRefused) {
  for (zip_uint16_t encryption : {ZIP_EM_AES_256, ZIP_EM_TRAD_PKWARE}) {
    if (!zip_encryption_method_supported(encryption, 1)) continue;
    MakeZip(archive_, {{"plan.tif", "secret image", ZIP_CM_DEFLATE, encryption}});
    ZipArchive zip;
    EXPECT_EQ(OpenAndExtract(zip), kPathFileAccessError) << encryption;
    EXPECT_EQ(zip.error_text(), "encrypted entry: plan.tif");
    EXPECT_TRUE(fs::is_empty(destination_));
  }
  // Method 6 (implode) is valid in archives but not something we can read.
  WriteWholeFile(archive_, CraftZip({"plan.tif", "abc", 3, Crc("abc"), 6}));
  ZipArchive zip;
  EXPECT_EQ(OpenAndExtract(zip), kPathFileAccessError);
  EXPECT_EQ(zip.error_text(), "unsupported compression method 6");
  EXPECT_TRUE(fs::is_empty(destination_));
}

TEST_F(ZipArchiveTest, EntryLargerThanFreeSpaceIsRefusedBeforeWriting) {
  const std::uint64_t free_bytes = fs::space(destination_).available;
  const std::uint64_t declared = std::max<std::uint64_t>(20'000'000'000, free_bytes + (1u << 30));
  const std::string data = RawDeflate("abc");
  WriteWholeFile(archive_, CraftZip({"plan.tif", data, declared, Crc("abc"), ZIP_CM_DEFLATE}));
  ZipArchive zip;
  ASSERT_EQ(zip.Open(archive_.string()), 0) << zip.error_text();
  EXPECT_EQ(zip.EntrySize(0), static_cast<std::int64_t>(declared));
  EXPECT_EQ(zip.ExtractEntry(0, destination_), kDiskFull);
  EXPECT_TRUE(fs::is_empty(destination_));
}

TEST_F(ZipArchiveTest, DataThatContradictsItsHeaderLeavesNoFile) {
  const std::string zeros(10 * 1024 * 1024, '\0');
  const std::string plain = "plot data";
  const std::vector<std::pair<std::string, RawMember>> cases = {
      // 10 MB inflate from a header that promises 1000 bytes: stopped at 1000.
      {"inflates past declared size",
       {"plan.tif", RawDeflate(zeros), 1000, Crc(zeros.substr(0, 1000)), ZIP_CM_DEFLATE}},
      {"shorter than declared",
       {"plan.tif", RawDeflate(plain), plain.size() + 5, Crc(plain), ZIP_CM_DEFLATE}},
      {"wrong CRC", {"plan.tif", RawDeflate(plain), plain.size(), Crc(plain) ^ 1, ZIP_CM_DEFLATE}},
      {"stored, wrong CRC", {"plan.tif", plain, plain.size(), Crc(plain) ^ 1, ZIP_CM_STORE}},
      {"garbage deflate stream", {"plan.tif", "\xff\xff\xff\xff", 9, 0, ZIP_CM_DEFLATE}},
  };
  for (const auto& [what, member] : cases) {
    WriteWholeFile(archive_, CraftZip(member));
    ZipArchive zip;
    ASSERT_EQ(zip.Open(archive_.string()), 0) << what << ": " << zip.error_text();
    EXPECT_EQ(zip.ExtractEntry(0, destination_), kDeviceIoError) << what;
    EXPECT_TRUE(zip.error_text().starts_with("damaged entry")) << zip.error_text();
    EXPECT_TRUE(fs::is_empty(destination_)) << what;
  }
  // The bomb is cut off at its declared size, not read to its end and found wrong there.
  WriteWholeFile(archive_, CraftZip(cases[0].second));
  ZipArchive bomb;
  EXPECT_NE(OpenAndExtract(bomb), 0);
  EXPECT_NE(bomb.error_text().find("exceeds its declared size"), std::string::npos);
  // The same crafting with honest values extracts, so the refusals above are about the lies.
  WriteWholeFile(archive_, CraftZip({"plan.tif", RawDeflate(plain), plain.size(), Crc(plain), 8}));
  ZipArchive zip;
  ASSERT_EQ(OpenAndExtract(zip), 0) << zip.error_text();
  EXPECT_EQ(ReadWholeFile(destination_ + "plan.tif"), plain);
}

TEST_F(ZipArchiveTest, StaleFileAtTheMemberNameIsLeftAlone) {
  MakeZip(archive_, {{"plan.tif", "new"}});
  WriteWholeFile(destination_ + "plan.tif", "stale");
  ZipArchive zip;
  EXPECT_EQ(OpenAndExtract(zip), kFileAlreadyExists);
  EXPECT_EQ(ReadWholeFile(destination_ + "plan.tif"), "stale");
  EXPECT_EQ(std::distance(fs::directory_iterator(destination_), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace plotspool::platform

// What the file functions do where Windows has its own answer: share modes instead of leases,
// reparse points instead of symbolic links, attribute bits instead of modes, CR LF log lines.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/error.h"
#include "platform/directory_enumeration.h"
#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/raw_file.h"
#include "platform/win32/unique_handle.h"

#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;

using testing::ErrorNumberOf;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class FilesWin32Test : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_ + name; }
  UniqueHandle Hold(const std::string& name, DWORD access, DWORD share) const {
    return UniqueHandle(CreateFileA(Path(name).c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  testing::TempDir temp_;
  const std::string dir_ = temp_.str() + "/";
};

TEST_F(FilesWin32Test, SharingDecidesWhetherAJobFileIsStillBeingWritten) {
  struct Case {
    const char* what;
    DWORD access, share;  // of the other party's open handle; 0 access: none held
    int trial_open;
  } cases[] = {
      {"nobody holds it", 0, 0, 0},
      {"a sender still writing", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
       kPermissionDenied},
      {"a reader sharing reads", GENERIC_READ, FILE_SHARE_READ, 0},
      {"a reader sharing nothing", GENERIC_READ, 0, kPermissionDenied},
  };
  WriteWholeFile(Path("plan.tif"), "II*\0");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UniqueHandle other;
    if (c.access != 0) {
      other = Hold("plan.tif", c.access, c.share);
      ASSERT_TRUE(other.valid());
    }
    EXPECT_EQ(ErrorNumberOf([&] { TrialOpen(Path("plan.tif")); }), c.trial_open);
    // The trial leaves nothing open: the holder can still be joined by a writer afterwards.
    other.Reset();
    EXPECT_TRUE(Hold("plan.tif", GENERIC_WRITE, 0).valid());
  }
}

// A loaded job file stays open while its turned version is saved over it: Windows replaces no
// open file by a plain rename.
TEST_F(FilesWin32Test, ASaveReplacesAFileThatIsStillOpen) {
  WriteWholeFile(Path("plan.tif"), "old");
  RawFile source = RawFile::OpenForReading(Path("plan.tif"));
  RawFile turned = RawFile::CreateBeside(Path("plan.tif"), &source);
  const std::string written = "new";
  turned.WriteAt(0, {reinterpret_cast<const uint8_t*>(written.data()), written.size()});
  turned.Sync();
  turned.Close();
  RawFile::RenameOver(turned.path(), Path("plan.tif"));
  EXPECT_EQ(ReadWholeFile(Path("plan.tif")), "new");
  std::string seen(3, '\0');
  source.ReadAt(0, {reinterpret_cast<uint8_t*>(seen.data()), seen.size()});
  EXPECT_EQ(seen, "old");
  source.Close();
  EXPECT_EQ(temp_.Names(), std::vector<std::string>{"plan.tif"});
}

TEST_F(FilesWin32Test, AReparsePointIsNeverFollowed) {
  WriteWholeFile(Path("secret.tif"), "outside");
  fs::create_directory(Path("real"));
  // Wine reports success and makes nothing.
  if (!CreateSymbolicLinkA(Path("link.tif").c_str(), Path("secret.tif").c_str(), 0) ||
      !CreateSymbolicLinkA(Path("linked").c_str(), Path("real").c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      !fs::is_symlink(Path("linked"))) {
    GTEST_SKIP() << "no symbolic links here (no privilege, or Wine)";
  }
  EXPECT_FALSE(NormalFileExists(Path("link.tif")));
  for (const auto& step : std::vector<std::function<void()>>{
           [&] { TrialOpen(Path("link.tif")); }, [&] { ReadFileStart(Path("link.tif"), 3); },
           [&] { RawFile::OpenForReading(Path("link.tif")); },
           [&] { CopyFileNew(Path("link.tif"), Path("copy.tif")); }}) {
    EXPECT_EQ(ErrorNumberOf(step), kPathFileAccessError);
  }
  DirectoryEnumeration enumeration;
  EXPECT_FALSE(enumeration.Open(Path("linked"), /*follow_link=*/false));
  ASSERT_TRUE(enumeration.Open(dir_));
  std::map<std::string, uint32_t> words;
  for (DirectoryEntry entry; enumeration.Next(entry);) words[entry.name] = entry.attributes;
  EXPECT_EQ(words["link.tif"] & kAttributeLink, kAttributeLink);
  EXPECT_EQ(words["linked"] & kAttributeLink, kAttributeLink);
  // Below the transfer root a linked directory on the way leads nowhere.
  WriteWholeFile(Path("real/plan.tif"), "plan");
  SetTransferRoot(dir_);
  EXPECT_NE(ErrorNumberOf([&] { ReadFileStart(Path("linked/plan.tif"), 4); }), 0);
  EXPECT_EQ(ReadFileStart(Path("real/plan.tif"), 4), "plan");
  SetTransferRoot("");
  RemoveFile(Path("link.tif"));
  RemoveFile(Path("linked"));
  EXPECT_EQ(ReadWholeFile(Path("secret.tif")), "outside");
  EXPECT_TRUE(fs::exists(Path("real/plan.tif")));
}

TEST_F(FilesWin32Test, AttributeWordsComeFromTheAttributeBits) {
  struct Case {
    const char* name;
    DWORD attributes;  // set on a new file; 0 for a directory
    uint32_t word;
  } cases[] = {
      {"plain.tif", FILE_ATTRIBUTE_NORMAL, kAttributeArchive},
      {"kept.tif", FILE_ATTRIBUTE_READONLY, kAttributeArchive | kAttributeReadOnly},
      {"shy.tif", FILE_ATTRIBUTE_HIDDEN, kAttributeArchive | kAttributeHidden},
      {".dotted", FILE_ATTRIBUTE_NORMAL, kAttributeArchive | kAttributeHidden},
      {"system.tif", FILE_ATTRIBUTE_SYSTEM, kAttributeArchive | kAttributeSystem},
      {"sub", 0, kAttributeDirectory},
  };
  for (const Case& c : cases) {
    if (c.attributes == 0) {
      fs::create_directory(Path(c.name));
    } else {
      WriteWholeFile(Path(c.name), "x");
      ASSERT_TRUE(SetFileAttributesA(Path(c.name).c_str(), c.attributes));
    }
  }
  DirectoryEnumeration enumeration;
  ASSERT_TRUE(enumeration.Open(dir_));
  std::map<std::string, uint32_t> words;
  for (DirectoryEntry entry; enumeration.Next(entry);) words[entry.name] = entry.attributes;
  for (const Case& c : cases) EXPECT_EQ(words[c.name], c.word) << c.name;
  EXPECT_EQ(words["."], kAttributeDirectory);
  EXPECT_FALSE(NormalFileExists(Path("shy.tif")));
  EXPECT_TRUE(NormalFileExists(Path("kept.tif")));
  // The read-only attribute goes, so that the file can be replaced and removed.
  ClearAttributes(Path("kept.tif"));
  EXPECT_EQ(GetFileAttributesA(Path("kept.tif").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  RemoveFile(Path("kept.tif"));
  for (const Case& c : cases) SetFileAttributesA(Path(c.name).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FilesWin32Test, LogLinesEndInCarriageReturnLineFeed) {
  ASSERT_EQ(AppendToLogFile(Path("plotspool.log"), "one\r\n"), 0);
  ASSERT_EQ(AppendToLogFile(Path("plotspool.log"), "two\nthree\n"), 0);
  EXPECT_EQ(ReadWholeFile(Path("plotspool.log")), "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(AppendToLogFile(Path("missing/plotspool.log"), "x\n"), kFileNotFound);
}

}  // namespace
}  // namespace plotspool::platform

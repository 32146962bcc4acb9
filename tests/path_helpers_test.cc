#include "util/path_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "platform/process.h"
#include "test_support.h"

namespace plotspool {
namespace {

// A backslash is an ordinary character of a Linux file name: only "/" separates.
TEST(PathHelpersTest, FileNameAfterTheLastSlash) {
  EXPECT_EQ(GetFileName("/spool/Plotter1/plan.tif"), "plan.tif");
  EXPECT_EQ(GetFileName("/spool/P1/a\\b.tif"), "a\\b.tif");
  EXPECT_EQ(GetFileName("a\\b/c"), "c");
  EXPECT_EQ(GetFileName("plan.tif"), "");
  EXPECT_EQ(GetFileName("/spool/Plotter1/"), "");
  EXPECT_EQ(GetFileName(""), "");
}

TEST(PathHelpersTest, ExtensionOnlyFromTheLastComponent) {
  EXPECT_EQ(GetFileExtension("plan.tif"), "tif");
  EXPECT_EQ(GetFileExtension("archiv.tar.ZIP"), "ZIP");
  EXPECT_EQ(GetFileExtension("/a.b/plan"), "");
  EXPECT_EQ(GetFileExtension("/spool/a.b\\plan"), "b\\plan");
  EXPECT_EQ(GetFileExtension("plan."), "");
  EXPECT_EQ(GetFileExtension("plan"), "");
  EXPECT_EQ(GetFileExtension(".hidden"), "hidden");
}

TEST(PathHelpersTest, FindLastCharCutsItsArgument) {
  std::string backslash = "\\";
  EXPECT_EQ(FindLastChar("C:\\plot\\A1\\", backslash), 11);
  std::string two = "\\x";
  EXPECT_EQ(FindLastChar("C:\\plot\\A1\\", two), 11);
  EXPECT_EQ(two, "\\");
  std::string slash = "/";
  EXPECT_EQ(FindLastChar("/spool/Plotter1/plan.tif", slash), 16);
  EXPECT_EQ(FindLastChar("plan.tif", slash), 0);
  std::string empty;
  EXPECT_EQ(FindLastChar("a/b", empty), 0);
  std::string upper = "A";
  EXPECT_EQ(FindLastChar("abc", upper), 0);  // case matters
  EXPECT_EQ(FindLastChar("Abc", upper), 1);
}

TEST(PathHelpersTest, TrimAtNullAndStringFromPointer) {
  EXPECT_EQ(TrimAtNull("plain"), "plain");
  EXPECT_EQ(TrimAtNull(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(TrimAtNull(std::string("\0x", 2)), "");
  EXPECT_EQ(StringFromPointer(""), "");
  EXPECT_EQ(StringFromPointer(nullptr), "");
  EXPECT_EQ(StringFromPointer("plan.tif\xe9"), "plan.tif\xe9");
}

TEST(PathHelpersTest, ShortPathIsOneTokenOfAnExistingPath) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "path helpers.XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string dir = pattern + "/";
  std::ofstream(dir + "plain.tif") << "x";
  std::ofstream(dir + "with \"quote\".tif") << "x";
  symlink("nowhere", (dir + "dangling").c_str());

  for (const char* name : {"plain.tif", "with \"quote\".tif", "dangling", ""}) {
    const std::string token = GetShortPath(dir + name);
    const auto args = platform::SplitCommandLine("app " + token);
    ASSERT_EQ(args.size(), 2u) << token;
    EXPECT_EQ(args[1], dir + name);
  }
  EXPECT_EQ(GetShortPath(dir + std::string("plain.tif\0junk", 14)),
            GetShortPath(dir + "plain.tif"));
  for (const std::string& missing : {dir + "missing.tif", std::string(), std::string("\0a", 2)}) {
    try {
      GetShortPath(missing);
      ADD_FAILURE() << "no error for " << missing;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), kFileNotFound);
    }
  }
  fs::remove_all(dir);
}

TEST(PathHelpersTest, FoldersCompareAsRealPathsWholeComponentsAtATime) {
  namespace fs = std::filesystem;
  testing::TempDir dir;
  const std::string d = dir.str();
  fs::create_directories(dir.path() / "srv" / "in" / "P1");
  fs::create_directories(dir.path() / "srv" / "input");
  fs::create_directory_symlink(dir.path() / "srv", dir.path() / "link");
  struct Case {
    std::string outer, inner;
    bool contains;
  };
  const Case cases[] = {
      {d + "/srv/in", d + "/srv/in/", true},
      {d + "/srv/in", d + "/srv/in/P1", true},
      {d + "/srv/in", d + "/srv/input", false},
      {d + "/srv/in/P1", d + "/srv/in", false},
      {d + "/link/in", d + "/srv/in/P1", true},     // through a link
      {d + "/srv", d + "/link/in/new/tail", true},  // a tail that does not exist yet
      {d + "/srv/in/new/..", d + "/srv/in/P1", true},
      {d + "/srv/in/P1/../..", d + "/srv", true},
      {d + "/srv/in/new/", d + "/srv/in", false},
      {"/", d, true},
      {"", d, false},
      {d, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderContains(c.outer, c.inner), c.contains) << c.outer << " / " << c.inner;
  }
  EXPECT_TRUE(FoldersOverlap(d + "/srv/in/P1", d + "/link/in"));
  EXPECT_FALSE(FoldersOverlap(d + "/srv/in", d + "/srv/input"));
}

}  // namespace
}  // namespace plotspool

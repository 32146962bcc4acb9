#include "util/path_helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/process.h"
#include "util/error.h"

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

}  // namespace
}  // namespace plotspool

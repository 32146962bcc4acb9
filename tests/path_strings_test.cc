#include "base/path_strings.h"

#include <gtest/gtest.h>

#include <string>

namespace plotspool {
namespace {

// A backslash is an ordinary character of a Linux file name; on Windows it separates as "/" does.
#ifdef _WIN32
constexpr bool kBackslashSeparates = true;
#else
constexpr bool kBackslashSeparates = false;
#endif

struct PathCase {
  std::string path;
  std::string file_name;
  std::string extension;
  // Where a backslash makes the difference: the answers when it separates.
  std::string file_name_backslash_separating;
  std::string extension_backslash_separating;
};

TEST(PathStringsTest, FileNameAndExtensionFromTheLastComponent) {
  const PathCase cases[] = {
      {"/spool/Plotter1/plan.tif", "plan.tif", "tif", "plan.tif", "tif"},
      {"/spool/P1/a\\b.tif", "a\\b.tif", "tif", "b.tif", "tif"},
      {"a\\b/c", "c", "", "c", ""},
      {"C:\\plot\\A1\\plan.tif", "", "tif", "plan.tif", "tif"},
      {"plan.tif", "", "tif", "", "tif"},
      {"/spool/Plotter1/", "", "", "", ""},
      {"", "", "", "", ""},
      {"archiv.tar.ZIP", "", "ZIP", "", "ZIP"},
      {"/a.b/plan", "plan", "", "plan", ""},
      {"/spool/a.b\\plan", "a.b\\plan", "b\\plan", "plan", ""},
      {"plan.", "", "", "", ""},
      {".hidden", "", "hidden", "", "hidden"},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(GetFileName(c.path),
              kBackslashSeparates ? c.file_name_backslash_separating : c.file_name)
        << c.path;
    EXPECT_EQ(GetFileExtension(c.path),
              kBackslashSeparates ? c.extension_backslash_separating : c.extension)
        << c.path;
  }
}

TEST(PathStringsTest, BaseNameAndDirectoryOfSplitAtTheLastSeparator) {
  // "BaseName in DirectoryOf" where only "/" separates, and where "\" separates too.
  const struct {
    std::string path, slash_only, backslash_separating;
  } cases[] = {
      {"/spool/P1/plan.tif", "plan.tif in /spool/P1", "plan.tif in /spool/P1"},
      {"plan.tif", "plan.tif in .", "plan.tif in ."},
      {"/plan.tif", "plan.tif in /", "plan.tif in /"},
      {"C:\\plan.tif", "C:\\plan.tif in .", "plan.tif in C:\\"},
      {"C:/plan.tif", "plan.tif in C:", "plan.tif in C:/"},
      {"C:/plot/plan.tif", "plan.tif in C:/plot", "plan.tif in C:/plot"},
      {"/spool/a\\b.tif", "a\\b.tif in /spool", "b.tif in /spool/a"},
      {"/spool/", " in /spool", " in /spool"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BaseName(c.path) + " in " + DirectoryOf(c.path),
              kBackslashSeparates ? c.backslash_separating : c.slash_only);
  }
}

TEST(PathStringsTest, FindLastCharCutsItsArgument) {
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

TEST(PathStringsTest, TrimAtNullAndStringFromPointer) {
  EXPECT_EQ(TrimAtNull("plain"), "plain");
  EXPECT_EQ(TrimAtNull(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(TrimAtNull(std::string("\0x", 2)), "");
  EXPECT_EQ(StringFromPointer(""), "");
  EXPECT_EQ(StringFromPointer(nullptr), "");
  EXPECT_EQ(StringFromPointer("plan.tif\xe9"), "plan.tif\xe9");
}

}  // namespace
}  // namespace plotspool

#include "util/path_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "platform/process.h"
#include "test_support.h"

namespace plotspool {
namespace {

TEST(PathHelpersTest, ShortPathIsOneTokenOfAnExistingPath) {
  namespace fs = std::filesystem;
  // A blank in the folder's name is what a token must survive first.
  const testing::TempDir temp;
  const std::string dir = temp / "path helpers" + "/";
  fs::create_directory(dir);
  std::ofstream(dir + "plain.tif") << "x";
  std::ofstream(dir + "with \"quote\".tif") << "x";

  for (const char* name : {"plain.tif",
#ifndef _WIN32  // there a quote is no character of a file name
                           "with \"quote\".tif",
#endif
                           ""}) {
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
  struct Case {
    std::string outer, inner;
    bool contains;
  };
  const Case cases[] = {
      {d + "/srv/in", d + "/srv/in/", true},
      {d + "/srv/in", d + "/srv/in/P1", true},
      {d + "/srv/in", d + "/srv/input", false},
      {d + "/srv/in/P1", d + "/srv/in", false},
      {d + "/srv", d + "/srv/in/new/tail", true},  // a tail that does not exist yet
      {d + "/srv/in/new/..", d + "/srv/in/P1", true},
      {d + "/srv/in/P1/../..", d + "/srv", true},
      {d + "/srv/in/new/", d + "/srv/in", false},
      {fs::path(d).root_path().generic_string(), d, true},  // "/", on Windows "C:/"
      {"", d, false},
      {d, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderContains(c.outer, c.inner), c.contains) << c.outer << " / " << c.inner;
  }
  EXPECT_TRUE(FoldersOverlap(d + "/srv/in/P1", d + "/srv/in"));
  EXPECT_FALSE(FoldersOverlap(d + "/srv/in", d + "/srv/input"));
}

}  // namespace
}  // namespace plotspool

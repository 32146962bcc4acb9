// Paths through symbolic links, which only the POSIX tests make.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/process.h"
#include "test_support.h"
#include "util/path_helpers.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;

TEST(PathHelpersPosixTest, ShortPathOfADanglingLinkIsTheLinkItself) {
  const testing::TempDir temp;
  const std::string dir = temp / "path helpers" + "/";
  fs::create_directory(dir);
  symlink("nowhere", (dir + "dangling").c_str());
  const std::string token = GetShortPath(dir + "dangling");
  const auto args = platform::SplitCommandLine("app " + token);
  ASSERT_EQ(args.size(), 2u) << token;
  EXPECT_EQ(args[1], dir + "dangling");
}

TEST(PathHelpersPosixTest, FoldersCompareThroughLinks) {
  testing::TempDir dir;
  const std::string d = dir.str();
  fs::create_directories(dir.path() / "srv" / "in" / "P1");
  fs::create_directory_symlink(dir.path() / "srv", dir.path() / "link");
  EXPECT_TRUE(FolderContains(d + "/link/in", d + "/srv/in/P1"));
  EXPECT_TRUE(FolderContains(d + "/srv", d + "/link/in/new/tail"));  // a tail not there yet
  EXPECT_TRUE(FoldersOverlap(d + "/srv/in/P1", d + "/link/in"));
}

}  // namespace
}  // namespace plotspool

// What the file functions do with entries and processes only a POSIX system has: FIFOs, other
// mounts, writers in other processes, open descriptors.
#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "base/error.h"
#include "platform/directory_enumeration.h"
#include "platform/raw_file.h"
#include "platform/temporary_files.h"

#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;

using testing::ErrorNumberOf;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class FilesPosixTest : public ::testing::Test {
 protected:
  // Detached before temp_ goes, so that removing the folder never reaches into a mount.
  void TearDown() override {
    for (const auto& mount : mounts_) umount2(mount.c_str(), MNT_DETACH);
  }
  std::string Path(const std::string& name) const { return dir_ + name; }

  // A directory on another file system than dir_, or "" when the machine offers none.
  std::string OtherFileSystem() {
    const std::string mount_point = Path("tmpfs");
    fs::create_directory(mount_point);
    if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=8m") == 0) {
      mounts_.push_back(mount_point);
      return mount_point + "/";
    }
    struct stat a, b;
    if (stat(dir_.c_str(), &a) == 0 && stat("/dev/shm", &b) == 0 && a.st_dev != b.st_dev) {
      std::string pattern = "/dev/shm/files_test.XXXXXX";
      if (mkdtemp(pattern.data()) != nullptr) {
        extra_dirs_.push_back(pattern);
        return pattern + "/";
      }
    }
    return "";
  }

  ~FilesPosixTest() override {
    for (const auto& d : extra_dirs_) fs::remove_all(d);
  }

  testing::TempDir temp_;
  const std::string dir_ = temp_.str() + "/";
  std::vector<std::string> mounts_;
  std::vector<std::string> extra_dirs_;
};

// A child process that keeps `path` open for writing (and writing to it) until killed.
class Writer {
 public:
  explicit Writer(const std::string& path, bool lock_only = false) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(path.c_str(), lock_only ? O_RDWR : (O_WRONLY | O_APPEND));
      if (lock_only) {
        // A writer that locks instead of writing. Holding a write lock needs the file open for
        // writing, so as root the lease test answers first; without the lease capability the
        // lock test is what catches it.
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        fcntl(fd, F_SETLK, &lock);
      }
      [[maybe_unused]] auto n = write(ready[1], "x", 1);
      for (;;) {
        if (!lock_only) [[maybe_unused]]
          auto m = write(fd, "data", 4);
        usleep(20000);
      }
    }
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
  }
  ~Writer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

TEST_F(FilesPosixTest, AttributeWordsDescribeEachKindOfEntry) {
  fs::create_directory(Path("dir"));
  fs::create_directory(Path("rodir"));
  chmod(Path("rodir").c_str(), 0555);
  fs::create_directory(Path(".hiddendir"));
  WriteWholeFile(Path("file"), "x");
  WriteWholeFile(Path("rofile"), "x");
  chmod(Path("rofile").c_str(), 0444);
  WriteWholeFile(Path(".hidden"), "x");
  symlink("file", Path("link_to_file").c_str());
  symlink("dir", Path("link_to_dir").c_str());
  symlink("nowhere", Path("dangling").c_str());
  mkfifo(Path("fifo").c_str(), 0644);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = Path("sock");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  DirectoryEnumeration enumeration;
  ASSERT_TRUE(enumeration.Open(dir_));
  std::map<std::string, uint32_t> words;
  for (DirectoryEntry entry; enumeration.Next(entry);) words[entry.name] = entry.attributes;
  close(sock);

  const std::map<std::string, uint32_t> expected = {{".", 16},
                                                    {"..", 16},
                                                    {"dir", 16},
                                                    {"rodir", 17},
                                                    {".hiddendir", 18},
                                                    {"file", 32},
                                                    {"rofile", 33},
                                                    {".hidden", 34},
                                                    {"link_to_file", 1024},
                                                    {"link_to_dir", 1024},
                                                    {"dangling", 1024},
                                                    {"fifo", 4},
                                                    {"sock", 4}};
  EXPECT_EQ(words, expected);
}

TEST_F(FilesPosixTest, ExistenceTestMatchesOnlyVisibleRegularFiles) {
  WriteWholeFile(Path("file"), "x");
  WriteWholeFile(Path("rofile"), "x");
  chmod(Path("rofile").c_str(), 0444);
  WriteWholeFile(Path(".hidden"), "x");
  fs::create_directory(Path("dir"));
  symlink("file", Path("link").c_str());
  mkfifo(Path("fifo").c_str(), 0644);
  EXPECT_TRUE(NormalFileExists(Path("file")));
  EXPECT_TRUE(NormalFileExists(Path("rofile")));
  for (const char* name : {".hidden", "dir", "link", "fifo", "missing"}) {
    EXPECT_FALSE(NormalFileExists(Path(name))) << name;
  }
  EXPECT_TRUE(PathExists(Path("link")));
  EXPECT_FALSE(PathExists(Path("missing")));
  EXPECT_EQ(FileSize(Path("file")), 1);
  EXPECT_EQ(ErrorNumberOf([&] { FileSize(Path("missing")); }), kFileNotFound);
}

TEST_F(FilesPosixTest, MoveAcrossFileSystemsLeavesExactlyOneCopy) {
  const std::string other = OtherFileSystem();
  if (other.empty()) GTEST_SKIP() << "no second file system available";
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  WriteWholeFile(Path("job.tif"), data);
  chmod(Path("job.tif").c_str(), 0640);

  MovePath(Path("job.tif"), other + "moved.txt");
  EXPECT_FALSE(PathExists(Path("job.tif")));
  EXPECT_EQ(ReadWholeFile(other + "moved.txt"), data);
  struct stat st;
  ASSERT_EQ(stat((other + "moved.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Nothing but the target is left beside it: no temporary copy.
  EXPECT_EQ(std::distance(fs::directory_iterator(other), fs::directory_iterator()), 1);

  // A taken target name: the source stays, nothing is added on the other side.
  WriteWholeFile(Path("second"), "2");
  EXPECT_EQ(ErrorNumberOf([&] { MovePath(Path("second"), other + "moved.txt"); }),
            kFileAlreadyExists);
  EXPECT_EQ(ReadWholeFile(Path("second")), "2");
  EXPECT_EQ(ReadWholeFile(other + "moved.txt"), data);
  EXPECT_EQ(std::distance(fs::directory_iterator(other), fs::directory_iterator()), 1);
}

TEST_F(FilesPosixTest, CopyReplacesTargetAndRefusesLinksAndFifos) {
  WriteWholeFile(Path("src"), "new content");
  WriteWholeFile(Path("dst"), "old");
  CopyFileReplacing(Path("src"), Path("dst"));
  EXPECT_EQ(ReadWholeFile(Path("dst")), "new content");
  EXPECT_EQ(ReadWholeFile(Path("src")), "new content");

  symlink("src", Path("link").c_str());
  EXPECT_NE(ErrorNumberOf([&] { CopyFileReplacing(Path("link"), Path("dst2")); }), 0);
  mkfifo(Path("fifo").c_str(), 0644);
  EXPECT_NE(ErrorNumberOf([&] { CopyFileReplacing(Path("fifo"), Path("dst2")); }), 0);
  EXPECT_EQ(ErrorNumberOf([&] { CopyFileReplacing(Path("missing"), Path("dst2")); }),
            kFileNotFound);
  // Failed copies leave no target and no temporary behind.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"src", "dst", "link", "fifo"}));
}

TEST_F(FilesPosixTest, SweepRemovesOnlyWhatAKilledRunOfOursLeft) {
  const testing::TempDir app;
  const std::string ledger = (app.path() / "plotspool.temporaries").string();
  // Other programs' files that merely look like ours, made before any name is handed out.
  const std::vector<std::string> foreign = {
      "1234.tmp",    ".plan.tif.123456.tmp", "plan.tif", "ABCD.tmp.txt",
      "~VB1A2F.tmp", "~VB1A2F.tmp.zip",      "1A2F.tmp", "1A2F.tmp.bmp"};
  for (const std::string& name : foreign) WriteWholeFile(Path(name), name.size() % 2 ? "" : "data");
  fs::create_directory(Path(".plotspool-job-0000ABCD"));  // a lookalike folder, not empty
  WriteWholeFile(Path(".plotspool-job-0000ABCD/theirs"), "not ours");

  // A run killed half-way through a job: nobody holds its names, companions, saves and folder.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SetTemporaryLedger(ledger);
    const std::string unpacking = CreateTempFileName(dir_, "~VB");
    WriteWholeFile(unpacking + ".zip", "archive copy");
    const std::string print = CreateTempFileName(dir_, "");
    WriteWholeFile(print + ".bmp", "bitmap");
    const RawFile save = RawFile::CreateBeside(Path("plan.tif"));
    const PrivateFolder folder(dir_);
    fs::create_directories(folder.path() + "plots");
    WriteWholeFile(folder.path() + "plots/plan.tif", "member");
    raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  SetTemporaryLedger(ledger);  // the next run
  // In use by this live process.
  const std::string held = CreateTempFileName(dir_, "~VB");
  WriteWholeFile(held + ".zip", "in use");
  const RawFile saving = RawFile::CreateBeside(Path("plan.tif"));
  const PrivateFolder working(dir_);
  const auto names = [&] {
    std::set<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir_)) all.insert(entry.path().string());
    return all;
  };
  ASSERT_EQ(names().size(), foreign.size() + 11);

  EXPECT_EQ(RemoveStaleTemporaries(dir_), 6);
  std::set<std::string> left = {held, held + ".zip", saving.path(), Path(".plotspool-job-0000ABCD"),
                                working.path().substr(0, working.path().size() - 1)};
  for (const std::string& name : foreign) left.insert(Path(name));
  EXPECT_EQ(names(), left);
  EXPECT_FALSE(RemoveStaleTemporary(saving.path()));
  EXPECT_FALSE(RemoveStaleTemporary(Path(".plan.tif.123456.tmp")));
  // A name its owner removed is out of the ledger: a later file of that name is someone else's.
  EXPECT_TRUE(RemoveFileIfExists(held + ".zip"));
  EXPECT_TRUE(RemoveFileIfExists(held));
  WriteWholeFile(held, "");
  SetTemporaryLedger(ledger);
  EXPECT_EQ(RemoveStaleTemporaries(dir_), 0);
  EXPECT_TRUE(fs::exists(held));
  SetTemporaryLedger("");
}

TEST_F(FilesPosixTest, TempFileNameNeverReusesAnExistingFile) {
  // Occupy every name but one; the one left must be found, then none is left.
  for (unsigned i = 0; i < 0x10000; ++i) {
    char name[16];
    snprintf(name, sizeof name, "p%04X.tmp", i);
    if (i != 0xBEEF) close(open(Path(name).c_str(), O_CREAT | O_WRONLY, 0600));
  }
  EXPECT_EQ(CreateTempFileName(dir_, "p"), Path("pBEEF.tmp"));
  EXPECT_EQ(ErrorNumberOf([&] { CreateTempFileName(dir_, "p"); }), kFileAlreadyExists);
}

TEST_F(FilesPosixTest, TrialOpenSeesWritersAndLocks) {
  WriteWholeFile(Path("quiet.tif"), "complete");
  EXPECT_EQ(ErrorNumberOf([&] { TrialOpen(Path("quiet.tif")); }), 0);

  WriteWholeFile(Path("busy.tif"), "");
  {
    Writer writer(Path("busy.tif"));
    EXPECT_EQ(ErrorNumberOf([&] { TrialOpen(Path("busy.tif")); }), kPermissionDenied);
  }
  EXPECT_EQ(ErrorNumberOf([&] { TrialOpen(Path("busy.tif")); }), 0);  // writer gone: free again

  WriteWholeFile(Path("locked.tif"), "x");
  {
    Writer locker(Path("locked.tif"), /*lock_only=*/true);
    EXPECT_EQ(ErrorNumberOf([&] { TrialOpen(Path("locked.tif")); }), kPermissionDenied);
  }
  EXPECT_EQ(ErrorNumberOf([&] { TrialOpen(Path("missing")); }), kFileNotFound);
  symlink("quiet.tif", Path("link").c_str());
  EXPECT_NE(ErrorNumberOf([&] { TrialOpen(Path("link")); }), 0);
}

TEST_F(FilesPosixTest, FifoNeverBlocks) {
  // Nobody writes to this FIFO: a blocking open or read would hang the test.
  mkfifo(Path("fifo").c_str(), 0644);
  EXPECT_NE(ErrorNumberOf([&] { TrialOpen(Path("fifo")); }), 0);
  EXPECT_NE(ErrorNumberOf([&] { ReadFileStart(Path("fifo"), 3); }), 0);
  EXPECT_NE(ErrorNumberOf([&] { CopyFileReplacing(Path("fifo"), Path("copy")); }), 0);
}

TEST_F(FilesPosixTest, ReadFileStartReturnsWhatIsThere) {
  WriteWholeFile(Path("tiff"), std::string("II*\0rest", 8));
  EXPECT_EQ(ReadFileStart(Path("tiff"), 3), "II*");
  WriteWholeFile(Path("short"), "MM");
  EXPECT_EQ(ReadFileStart(Path("short"), 3), "MM");
  EXPECT_EQ(ErrorNumberOf([&] { ReadFileStart(Path("missing"), 3); }), kFileNotFound);
  // Every read closed its file: a later delete and the descriptor count show nothing lingers.
  const auto open_fds = std::distance(fs::directory_iterator("/proc/self/fd"), {});
  for (int i = 0; i < 50; ++i) {
    ReadFileStart(Path("short"), 3);
    ErrorNumberOf([&] { ReadFileStart(Path("missing"), 3); });
  }
  EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), open_fds);
}

TEST_F(FilesPosixTest, EnumerationOpenFailsForMissingFileAndLinkedDirectory) {
  DirectoryEnumeration enumeration;
  EXPECT_FALSE(enumeration.Open(Path("missing")));
  DirectoryEntry entry;
  EXPECT_FALSE(enumeration.Next(entry));
  WriteWholeFile(Path("file"), "x");
  EXPECT_FALSE(enumeration.Open(Path("file")));
  fs::create_directory(Path("real"));
  symlink("real", Path("link").c_str());
  EXPECT_TRUE(enumeration.Open(Path("link/")));  // the transfer root may be a link
  EXPECT_FALSE(enumeration.Open(Path("link/"), /*follow_link=*/false));
  EXPECT_TRUE(enumeration.Open(Path("real/"), /*follow_link=*/false));
}

TEST_F(FilesPosixTest, RemoveFile) {
  WriteWholeFile(Path("a"), "x");
  RemoveFile(Path("a"));
  EXPECT_FALSE(PathExists(Path("a")));
  EXPECT_EQ(ErrorNumberOf([&] { RemoveFile(Path("a")); }), kFileNotFound);
  EXPECT_FALSE(RemoveFileIfExists(Path("a")));
  WriteWholeFile(Path("target"), "x");
  symlink("target", Path("link").c_str());
  EXPECT_TRUE(RemoveFileIfExists(Path("link")));
  EXPECT_TRUE(PathExists(Path("target")));
}

TEST_F(FilesPosixTest, PrivateFolderIsNewOwnerOnlyAndGoesWithEverythingInIt) {
  std::string first_path;
  {
    const PrivateFolder first(dir_);
    const PrivateFolder second(dir_.substr(0, dir_.size() - 1));
    first_path = first.path();
    ASSERT_TRUE(first_path.starts_with(dir_) && first_path.ends_with("/")) << first_path;
    EXPECT_NE(second.path(), first_path);
    EXPECT_EQ(fs::status(first_path).permissions(), fs::perms::owner_all);
    fs::create_directories(first_path + "plots/2024");
    WriteWholeFile(first_path + "plots/2024/plan.tif", "member");
    symlink(dir_.c_str(), (first_path + "plots/up").c_str());
    WriteWholeFile(Path("kept"), "beside the folders");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1) << "only the file beside";
  EXPECT_EQ(ReadWholeFile(Path("kept")), "beside the folders");
  EXPECT_EQ(ErrorNumberOf([&] { PrivateFolder missing(Path("missing")); }), kFileNotFound);
}

TEST_F(FilesPosixTest, ClearAttributesMakesFileWritableButLeavesLinks) {
  WriteWholeFile(Path("ro"), "x");
  chmod(Path("ro").c_str(), 0444);
  ClearAttributes(Path("ro"));
  struct stat st;
  ASSERT_EQ(stat(Path("ro").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  WriteWholeFile(Path("target"), "x");
  chmod(Path("target").c_str(), 0444);
  symlink("target", Path("link").c_str());
  ClearAttributes(Path("link"));
  ASSERT_EQ(stat(Path("target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(ErrorNumberOf([&] { ClearAttributes(Path("missing")); }), kFileNotFound);
}

}  // namespace
}  // namespace plotspool::platform

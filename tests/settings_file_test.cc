#include "config/settings_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class SettingsFileTest : public testing::Test {
 protected:
  SettingsFileTest() {
    dir_ = fs::temp_directory_path() / ("settings_test_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    file_ = (dir_ / "plotspool.ini").string();
  }
  ~SettingsFileTest() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Contents() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void SetContents(const std::string& contents) const {
    std::ofstream(file_, std::ios::binary | std::ios::trunc) << contents;
  }

  fs::path dir_;
  std::string file_;
};

TEST_F(SettingsFileTest, FreshFileGetsEveryKeyWithItsDefaultInReadingOrder) {
  EXPECT_EQ(ReadOrCreateValue("Global", "Wartezeit", "10", file_), "10");
  EXPECT_EQ(ReadOrCreateValue("Global", "AdminLog", "0", file_), "0");
  EXPECT_EQ(ReadOrCreateValue("Global", "UebergabePfad", "/tmp/plotspool/", file_),
            "/tmp/plotspool/");
  EXPECT_EQ(ReadOrCreateValue("Global", "ProgrammEnde", "0", file_), "0");
  EXPECT_EQ(Contents(),
            "[Global]\nWartezeit=10\nAdminLog=0\nUebergabePfad=/tmp/plotspool/\nProgrammEnde=0\n");
}

TEST_F(SettingsFileTest, EmptyAndMissingAreAlikeAndGetTheDefaultWritten) {
  SetContents("[global]\r\nwartezeit=\r\n[Plotter1]\r\nsPN_A4=162\r\n");
  EXPECT_EQ(ReadOrCreateValue("Global", "Wartezeit", "10", file_), "10");
  EXPECT_EQ(ReadOrCreateValue("Global", "AdminLog", "0", file_), "0");
  EXPECT_EQ(ReadOrCreateValue("Plotter1", "sOutputFolder", "", file_), "");
  EXPECT_EQ(Contents(),
            "[global]\r\nwartezeit=10\r\nAdminLog=0\r\n[Plotter1]\r\nsPN_A4=162\r\n"
            "sOutputFolder=\r\n");
  // The empty default is now present and empty: reading it again changes nothing.
  const auto written = fs::last_write_time(file_);
  EXPECT_EQ(ReadOrCreateValue("Plotter1", "sOutputFolder", "", file_), "");
  EXPECT_EQ(fs::last_write_time(file_), written);
}

TEST_F(SettingsFileTest, PresentValuesAreReturnedAndNeverRewritten) {
  const std::string before = "; mine\n[Global]\nWartezeit = \"0\" \nAdminLog=-1\n";
  SetContents(before);
  EXPECT_EQ(ReadOrCreateValue("GLOBAL", "wartezeit", "10", file_), "0");
  EXPECT_EQ(ReadOrCreateValue("Global", "AdminLog", "0", file_), "-1");
  EXPECT_EQ(Contents(), before);
  // Edits made by another program between two calls are seen.
  SetContents("[Global]\nWartezeit=7\n");
  EXPECT_EQ(ReadIniValue("Global", "Wartezeit", file_), "7");
}

TEST_F(SettingsFileTest, ReadsAreCutAt254BytesAndAtNul) {
  SetContents("[A]\nexact=" + std::string(254, '4') + "\nlong=" + std::string(300, '3') +
              "\nnul=ab\0cd\n"s);
  EXPECT_EQ(ReadIniValue("A", "exact", file_), std::string(254, '4'));
  EXPECT_EQ(ReadIniValue("A", "long", file_), std::string(254, '3'));
  EXPECT_NE(Contents().find(std::string(300, '3')), std::string::npos);  // the file keeps it whole
  EXPECT_EQ(ReadIniValue("A", "nul", file_), "ab");
  EXPECT_EQ(ReadIniValue("A", "exact", (dir_ / "absent.ini").string()), "");
}

TEST_F(SettingsFileTest, FailedWritesAreQuietAndTheDefaultIsStillUsed) {
  SetContents("not a directory");
  const std::string below_file = file_ + "/sub.ini";
  EXPECT_FALSE(WriteIniValue("Global", "Wartezeit", "10", below_file));
  EXPECT_EQ(ReadOrCreateValue("Global", "Wartezeit", "10", below_file), "10");
  EXPECT_EQ(Contents(), "not a directory");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// An editor that saves in place truncates the file and then writes it: a read in between must
// not put a default into the empty file, which would take the place of everything written.
TEST_F(SettingsFileTest, DefaultsGoOnlyIntoAFileThatReadsTheSameTwice) {
  using namespace std::chrono_literals;
  const std::string saved = "[Global]\nWartezeit=7\n\n[Plotter1]\nsPN_A4=162\n";
  struct Case {
    const char* name;
    std::string before;
    std::function<void()> editor;  // runs while the key is read
    Setting want;
    std::string want_file;  // empty: not checked
  };
  const Case cases[] = {
      {"saved in place while read",
       "",
       [&] {
         std::ofstream out(file_, std::ios::binary | std::ios::trunc);
         std::this_thread::sleep_for(10ms);
         out << saved;
       },
       {"7", SettingSource::kFile},
       saved},
      {"stays empty", "", nullptr, {"10", SettingSource::kDefault}, "[Global]\nWartezeit=10\n"},
      {"byte-order mark",
       "\xEF\xBB\xBF[Global]\r\nAdminLog=1\r\n",
       nullptr,
       {"10", SettingSource::kDefault},
       "\xEF\xBB\xBF[Global]\r\nAdminLog=1\r\nWartezeit=10\r\n"},
      {"keeps changing",
       "",
       [&] {
         for (int i = 1; i < 300; ++i) {
           SetContents("[Global]\n;" + std::string(i, '.') + "\n");
           std::this_thread::sleep_for(2ms);
         }
       },
       {"10", SettingSource::kUnsettled},
       ""},
  };
  for (const Case& c : cases) {
    SetContents(c.before);
    std::thread editor(c.editor ? c.editor : [] {});
    const Setting got = ReadSetting("Global", "Wartezeit", "10", file_);
    editor.join();
    EXPECT_EQ(got.value, c.want.value) << c.name;
    EXPECT_EQ(got.source, c.want.source) << c.name;
    if (!c.want_file.empty()) {
      EXPECT_EQ(Contents(), c.want_file) << c.name;
    }
  }
  // Too large to read: the default stands in, and nothing is written into the file.
  SetContents(saved);
  fs::resize_file(file_, 64 * 1024 * 1024 + 1);
  const Setting got = ReadSetting("Plotter1", "sPN_A4", "162", file_);
  EXPECT_EQ(got.source, SettingSource::kUnreadable);
  EXPECT_EQ(got.value, "162");
  EXPECT_EQ(fs::file_size(file_), 64u * 1024 * 1024 + 1);
}

}  // namespace
}  // namespace plotspool

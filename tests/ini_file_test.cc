#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "ini_profile_cases.h"
#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using testing::TempDir;

std::string Find(std::string_view text, std::string_view section, std::string_view key) {
  const auto value = FindIniValue(text, section, key);
  return value ? std::string(*value) : "<absent>";
}

// ---- Reading ----------------------------------------------------------------------------------

TEST(IniParseTest, MatchingTrimmingQuotesAndComments) {
  const std::string text =
      "; top comment\n"
      "[Global]\n"
      "  Wartezeit =  10  \t\n"
      "AdminLog=\"0\"\n"
      "Twice=\"\"x\"\"\n"
      "Lone=\"\n"
      ";Commented=1\n"
      "Path=C:\\a=b ; not a comment\n"
      "Empty=\n"
      "Wartezeit=99\n"
      "[ other ]\n"
      "Key=other\n";
  EXPECT_EQ(Find(text, "global", "WARTEZEIT"), "10");
  EXPECT_EQ(Find(text, " Global ", "wartezeit"), "10");
  EXPECT_EQ(Find(text, "Global", "AdminLog"), "0");
  EXPECT_EQ(Find(text, "Global", "Twice"), "\"x\"");  // only one pair goes
  EXPECT_EQ(Find(text, "Global", "Lone"), "\"");
  EXPECT_EQ(Find(text, "Global", "Commented"), "<absent>");
  EXPECT_EQ(Find(text, "Global", ";Commented"), "1");
  EXPECT_EQ(Find(text, "Global", "Path"), "C:\\a=b ; not a comment");
  EXPECT_EQ(Find(text, "Global", "Empty"), "");
  EXPECT_EQ(Find(text, "Global", "Key"), "<absent>");
  EXPECT_EQ(Find(text, "OTHER", "key"), "other");
  EXPECT_EQ(Find(text, "Missing", "Key"), "<absent>");
  EXPECT_EQ(Find(text, "Global", ""), "<absent>");
}

TEST(IniParseTest, DuplicatesAndMalformedLines) {
  const std::string text =
      "orphan=0\n"
      "[A]\n"
      "x=1\n"
      "just text\n"
      "=no key\n"
      "[B\n"
      "y=2\n"
      "[a]\n"
      "x=3\n"
      "z=4\n"
      "[Plot]1]\n"
      "k=v\r\n"
      "[\xC4rger]\n"
      "k=bytes";
  EXPECT_EQ(Find(text, "A", "x"), "1");
  EXPECT_EQ(Find(text, "A", "y"), "2");         // an unclosed header is a line of [A]
  EXPECT_EQ(Find(text, "B", "y"), "<absent>");  // ... and opens nothing
  EXPECT_EQ(Find(text, "A", "z"), "<absent>");  // the second [a] does not count
  EXPECT_EQ(Find(text, "A", "just text"), "<absent>");
  EXPECT_EQ(Find(text, "Plot]1", "k"), "v");
  EXPECT_EQ(Find(text, "\xC4rger", "K"), "bytes");
  EXPECT_EQ(Find(text, "\xE4rger", "K"), "<absent>");  // only ASCII folds
  // A byte-order mark counts only at the very start.
  EXPECT_EQ(Find("\xEF\xBB\xBF[Global]\r\nk=1\r\n", "Global", "k"), "1");
  EXPECT_EQ(Find("\xEF\xBB\xBFk=1\n[A]\nx=2\n", "A", "x"), "2");
  EXPECT_EQ(Find("[A]\n\xEF\xBB\xBF[B]\nk=1\n", "B", "k"), "<absent>");
}

// The Windows build checks the same table against GetPrivateProfileStringA.
TEST(IniFileTest, ReadsTrickyFilesAsThePrivateProfileFunctionsDo) {
  TempDir dir;
  for (const testing::IniProfileFile& file : testing::IniProfileFiles()) {
    const std::string path = (dir / file.name + ".ini");
    testing::WriteWholeFile(path, file.text);
    for (const testing::IniProfileQuery& query : file.queries) {
      const IniLookup lookup = LookUpIniValue(query.section, query.key, path);
      EXPECT_EQ(lookup.state, IniFileState::kRead);
      EXPECT_EQ(lookup.value.value_or(testing::kIniAbsent), query.expected)
          << file.name << " [" << query.section << "] " << query.key;
    }
  }
}

// ---- Writing into text ------------------------------------------------------------------------

TEST(IniWriteTextTest, ReplacesInPlaceKeepingEveryOtherByte) {
  const std::string crlf =
      "; settings\r\n"
      "[Global]\r\n"
      "  wartezeit =  10  \r\n"
      "\r\n"
      "AdminLog=\r\n"
      "Quoted=\"old\"\r\n"
      "[x]\r\n"
      "Wartezeit=5\r\n";
  EXPECT_EQ(SetIniValue(crlf, "GLOBAL", "Wartezeit", "20"),
            "; settings\r\n[Global]\r\n  wartezeit =  20\r\n\r\nAdminLog=\r\n"
            "Quoted=\"old\"\r\n[x]\r\nWartezeit=5\r\n");
  EXPECT_EQ(SetIniValue(crlf, "Global", "adminlog", "1"),
            "; settings\r\n[Global]\r\n  wartezeit =  10  \r\n\r\nAdminLog=1\r\n"
            "Quoted=\"old\"\r\n[x]\r\nWartezeit=5\r\n");
  EXPECT_EQ(SetIniValue(crlf, "Global", "Quoted", "new"),
            "; settings\r\n[Global]\r\n  wartezeit =  10  \r\n\r\nAdminLog=\r\n"
            "Quoted=new\r\n[x]\r\nWartezeit=5\r\n");
  // The value field includes its trailing blanks; blanks after '=' stay unless the value has its
  // own, so that writing back what is there changes nothing.
  EXPECT_EQ(SetIniValue(crlf, "Global", "Wartezeit", "10  "), crlf);
  EXPECT_EQ(SetIniValue("[A]\nk = \n", "A", "k", ""), "[A]\nk = \n");
  EXPECT_EQ(SetIniValue("[A]\nk = old\n", "A", "k", " new"), "[A]\nk = new\n");
  // Duplicate keys: the first is the one that is read, so it is the one replaced.
  EXPECT_EQ(SetIniValue("[A]\nk=1\nk=2\n", "A", "K", "3"), "[A]\nk=3\nk=2\n");
  // A key without '=' hides the later ones from a read, so it is the one that gets the value.
  EXPECT_EQ(SetIniValue("[A]\nk \nk=2\n", "A", "K", "3"), "[A]\nk =3\nk=2\n");
}

TEST(IniWriteTextTest, MissingKeyGoesAfterTheSectionsLastEntry) {
  EXPECT_EQ(SetIniValue("[A]\nx=1\n; about B\n\n[B]\ny=2\n", "a", "new", "v"),
            "[A]\nx=1\nnew=v\n; about B\n\n[B]\ny=2\n");
  EXPECT_EQ(SetIniValue("[A]\n; note\nx=1\n\n", "A", "new", "v"), "[A]\n; note\nx=1\nnew=v\n\n");
  EXPECT_EQ(SetIniValue("[A]\n\n[B]\n", "A", "new", "v"), "[A]\nnew=v\n\n[B]\n");
  EXPECT_EQ(SetIniValue("[A]\r\nx=1\r\n[B]\r\n", "A", "new", "v"),
            "[A]\r\nx=1\r\nnew=v\r\n[B]\r\n");
  // No final line ending: one is added before the new line, in the file's own style.
  EXPECT_EQ(SetIniValue("[A]\r\nx=1", "A", "new", "v"), "[A]\r\nx=1\r\nnew=v\r\n");
  EXPECT_EQ(SetIniValue("[A]", "A", "new", "v"), "[A]\nnew=v\n");
  EXPECT_EQ(SetIniValue("\xEF\xBB\xBF[A]\r\nx=1\r\n", "A", "new", "v"),
            "\xEF\xBB\xBF[A]\r\nx=1\r\nnew=v\r\n");
  // Duplicate sections: the write goes to the first, which is the one read.
  EXPECT_EQ(SetIniValue("[A]\nx=1\n[a]\ny=2\n", "A", "y", "3"), "[A]\nx=1\ny=3\n[a]\ny=2\n");
  // An unclosed header is a line of the section, so the key lands below it.
  EXPECT_EQ(SetIniValue("[A]\nx=1\n[B\n", "A", "y", "2"), "[A]\nx=1\n[B\ny=2\n");
  // A lone CR ends a line, and a file of them gets more of them.
  EXPECT_EQ(SetIniValue("[A]\rx=1\r[B]\r", "A", "new", "v"), "[A]\rx=1\rnew=v\r[B]\r");
  EXPECT_EQ(SetIniValue("[A]\rx=1", "B", "k", "v"), "[A]\rx=1\r\r[B]\rk=v\r");
}

TEST(IniWriteTextTest, MissingSectionGoesToTheEnd) {
  EXPECT_EQ(SetIniValue("", "Global", "k", "v"), "[Global]\nk=v\n");
  EXPECT_EQ(SetIniValue("[A]\nx=1\n", "B", "k", ""), "[A]\nx=1\n\n[B]\nk=\n");
  EXPECT_EQ(SetIniValue("[A]\nx=1\n\n", "B", "k", "v"), "[A]\nx=1\n\n[B]\nk=v\n");
  EXPECT_EQ(SetIniValue("[A]\r\nx=1", "B", "k", "v"), "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n");
  EXPECT_EQ(SetIniValue("; only a comment", "B", "k", "v"), "; only a comment\n\n[B]\nk=v\n");
  EXPECT_EQ(SetIniValue("\xEF\xBB\xBF", "B", "k", "v"), "\xEF\xBB\xBF[B]\nk=v\n");
  // A second mark is text of the first line, for writes as for reads.
  EXPECT_EQ(SetIniValue("\xEF\xBB\xBF\xEF\xBB\xBF", "B", "k", "v"),
            "\xEF\xBB\xBF\xEF\xBB\xBF\n\n[B]\nk=v\n");
}

TEST(IniWriteTextTest, RefusesWhatCannotBeWrittenAsOneLine) {
  const std::string text = "[A]\nx=1\n";
  EXPECT_FALSE(SetIniValue(text, "A", "x", "1\n[B]"));
  EXPECT_FALSE(SetIniValue(text, "A", "x", "1\r"));
  EXPECT_FALSE(SetIniValue(text, "A", "x", "1\0"s));
  EXPECT_FALSE(SetIniValue(text, "A\nB", "x", "1"));
  EXPECT_FALSE(SetIniValue(text, " ", "x", "1"));
  EXPECT_FALSE(SetIniValue(text, "A", "", "1"));
  EXPECT_FALSE(SetIniValue(text, "A", "a=b", "1"));
  EXPECT_FALSE(SetIniValue(text, "A", ";x", "1"));
  EXPECT_FALSE(SetIniValue(text, "A", "[x", "1"));
}

// Whatever the text, a write is read back, leaves other settings alone and is idempotent.
TEST(IniWriteTextTest, WritesReadBackOnHostileTexts) {
  std::mt19937 random(7);
  const std::string alphabet = "ab[]=;\" \t\r\n\0\xFF"s;
  std::vector<std::string> texts = {"",
                                    "\n\n\n",
                                    "[A",
                                    "[A]",
                                    "[A]\r",
                                    "=\n[]\n",
                                    "\0\0[A]\0\n"s,
                                    "[A]\nx=1\n[a]\nk=old\n",
                                    std::string(100000, 'x')};
  for (int i = 0; i < 300; ++i) {
    std::string text;
    const int length = static_cast<int>(random() % 200);
    for (int j = 0; j < length; ++j) text += alphabet[random() % alphabet.size()];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    for (const auto& [section, key] : {std::pair{"A", "k"}, {"a", "b"}, {"New", "k"}}) {
      const auto other_before = FindIniValue(text, "A", "x");
      const auto updated = SetIniValue(text, section, key, "  \"v=1\"  ");
      ASSERT_TRUE(updated);
      EXPECT_EQ(Find(*updated, section, key), "v=1") << ::testing::PrintToString(text);
      EXPECT_EQ(FindIniValue(*updated, "A", "x"), other_before) << ::testing::PrintToString(text);
      EXPECT_EQ(SetIniValue(*updated, section, key, "  \"v=1\"  "), updated);
      // Only bytes inside one line (the old value) may have gone; the rest is shifted, not changed.
      size_t prefix = 0;
      while (prefix < text.size() && prefix < updated->size() &&
             text[prefix] == (*updated)[prefix]) {
        ++prefix;
      }
      size_t suffix = 0;
      while (suffix < text.size() - prefix && suffix < updated->size() - prefix &&
             text[text.size() - 1 - suffix] == (*updated)[updated->size() - 1 - suffix]) {
        ++suffix;
      }
      EXPECT_EQ(text.substr(prefix, text.size() - prefix - suffix).find('\n'), std::string::npos)
          << ::testing::PrintToString(text);
    }
  }
}

// ---- Files ------------------------------------------------------------------------------------

TEST(IniFileTest, MissingFileIsCreatedWithLfAndNoTemporaryIsLeft) {
  TempDir dir;
  const std::string file = dir / "plotspool.ini";
  EXPECT_EQ(LookUpIniValue("Global", "Wartezeit", file).state, IniFileState::kMissing);
  IniFileStamp written;
  ASSERT_TRUE(WriteIniString("Global", "Wartezeit", "10", file, &written));
  EXPECT_EQ(LookUpIniValue("Global", "Wartezeit", file).stamp, written);
  ASSERT_TRUE(WriteIniString("Global", "AdminLog", "0", file));
  ASSERT_TRUE(WriteIniString("Plotter1", "sPN_A1", "151", file));
  EXPECT_EQ(testing::ReadWholeFile(file),
            "[Global]\nWartezeit=10\nAdminLog=0\n\n[Plotter1]\nsPN_A1=151\n");
  EXPECT_EQ(ReadIniString("global", "wartezeit", file), "10");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"plotspool.ini"});
}

TEST(IniFileTest, Utf16FileIsReadAsUtf8AndStaysUtf16) {
  TempDir dir;
  const std::string file = (dir / "s.ini");
  // "[P\u00c4]\r\nk=\U0001F5A8\r\n" little-endian, then a lone surrogate in a comment.
  const std::string before =
      "\xFF\xFE[\0P\0\xC4\0]\0\r\0\n\0k\0=\0\x3D\xD8\xA8\xDD\r\0\n\0;\0\x00\xD8"s;
  testing::WriteWholeFile(file, before);
  EXPECT_EQ(ReadIniString("P\xC3\x84", "k", file), "\xF0\x9F\x96\xA8");
  ASSERT_TRUE(WriteIniString("P\xC3\x84", "n", "\xC3\xA9", file));
  EXPECT_EQ(testing::ReadWholeFile(file),
            "\xFF\xFE[\0P\0\xC4\0]\0\r\0\n\0k\0=\0\x3D\xD8\xA8\xDD\r\0\n\0"
            "n\0=\0\xE9\0\r\0\n\0;\0\x00\xD8"s);
  // Bytes that are no UTF-8 have no UTF-16 form: the write fails and the file stays.
  const std::string written = testing::ReadWholeFile(file);
  EXPECT_FALSE(WriteIniString("P\xC3\x84", "n", "\xE9", file));
  EXPECT_EQ(testing::ReadWholeFile(file), written);
  // Big-endian files stay big-endian.
  testing::WriteWholeFile(file, "\xFE\xFF\0[\0B\0]"s);
  ASSERT_TRUE(WriteIniString("B", "k", "1", file));
  EXPECT_EQ(testing::ReadWholeFile(file), "\xFE\xFF\0[\0B\0]\0\n\0k\0=\0\x31\0\n"s);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"s.ini"});
}

// ---- Bad settings files -----------------------------------------------------------------------

TEST(IniFileTest, GarbageAndHugeFilesNeitherCrashNorHang) {
  TempDir dir;
  const std::string file = dir / "s.ini";

  std::mt19937 random(1);
  std::string garbage;
  for (int i = 0; i < 100000; ++i) garbage += static_cast<char>(random());
  garbage += "\0\n[A]\0x=1"s;
  testing::WriteWholeFile(file, garbage);
  EXPECT_EQ(ReadIniString("A\0x"s, "x", file), "");
  ASSERT_TRUE(WriteIniString("A", "k", "v", file));
  EXPECT_EQ(ReadIniString("A", "k", file), "v");
  EXPECT_EQ(testing::ReadWholeFile(file).substr(0, garbage.size()), garbage);

  // 10 MB: one 1 MB line, then many entries, the wanted section at the end.
  std::string big = "[Filler]\nlong=" + std::string(1 << 20, 'L') + "\n";
  for (int i = 0; big.size() < 10 * 1024 * 1024; ++i) {
    big += "key" + std::to_string(i) + "=value\n";
  }
  big += "[Global]\nWartezeit=10";  // no final newline
  testing::WriteWholeFile(file, big);
  EXPECT_EQ(ReadIniString("Global", "Wartezeit", file), "10");
  EXPECT_EQ(ReadIniString("Filler", "long", file), std::string(254, 'L'));
  ASSERT_TRUE(WriteIniString("Global", "AdminLog", "1", file));
  EXPECT_EQ(testing::ReadWholeFile(file), big + "\nAdminLog=1\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"s.ini"});
}

TEST(IniFileTest, FileAboveTheSizeLimitIsNotTouched) {
  TempDir dir;
  const std::string file = dir / "s.ini";
  testing::WriteWholeFile(file, "[A]\nx=1\n");
  fs::resize_file(file, kMaxIniFileBytes + 1);  // sparse, so cheap
  EXPECT_EQ(ReadIniString("A", "x", file), "");
  EXPECT_EQ(LookUpIniValue("A", "x", file).state, IniFileState::kUnreadable);
  EXPECT_FALSE(WriteIniString("A", "x", "2", file));
  EXPECT_EQ(fs::file_size(file), kMaxIniFileBytes + 1);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"s.ini"});
}

}  // namespace
}  // namespace plotspool::platform

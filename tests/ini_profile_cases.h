// Tricky settings files and what a private-profile read (a 255-byte buffer) returns for them, as
// observed from the Windows functions. The Linux INI module is tested against this table, and the
// Windows build runs the same table through GetPrivateProfileStringA (tests/windows/).
#ifndef PLOTSPOOL_TESTS_INI_PROFILE_CASES_H_
#define PLOTSPOOL_TESTS_INI_PROFILE_CASES_H_

#include <string>
#include <vector>

namespace plotspool::testing {

// The expectation of a read that finds nothing (the default it is given).
inline const std::string kIniAbsent = "<absent>";

struct IniProfileQuery {
  std::string section;
  std::string key;
  std::string expected;  // kIniAbsent when nothing is found
};

struct IniProfileFile {
  std::string name;  // also the file's name, with ".ini"
  std::string text;
  std::vector<IniProfileQuery> queries;
};

inline std::vector<IniProfileFile> IniProfileFiles() {
  const std::string x300(300, 'x');
  // Values are cut after blanks and quotes are gone; names have no limit.
  const std::string long_text = "[L]\nlong=" + x300 + "\nquoted=\"" + x300 +
                                "\"\npadded=" + std::string(250, 'p') + "      \"\nafter=1\n[" +
                                x300 + "]\n" + x300 + "=2\n";
  return {
      {"quotes",
       "[Q]\n"
       "dq=\"double\"\n"
       "sq='single'\n"
       "padded =  \"  inside  \"  \n"
       "mixed=\"open'\n"
       "lone=\"\n"
       "empty=\"\"\n"
       "twice=\"\"x\"\"\n"
       "inner=a\"b\"c\n"
       "open=\"abc\n"
       "close=abc\"\n",
       {{"Q", "dq", "double"},
        {"Q", "sq", "single"},
        {"Q", "padded", "  inside  "},
        {"Q", "mixed", "\"open'"},
        {"Q", "lone", "\""},
        {"Q", "empty", ""},
        {"Q", "twice", "\"x\""},
        {"Q", "inner", "a\"b\"c"},
        {"Q", "open", "\"abc"},
        {"Q", "close", "abc\""}}},
      {"headers",
       "[A]\n"
       "x=1\n"
       "[B\n"  // no ']': an ordinary line of [A], and an entry when it holds '='
       "y=2\n"
       "[C]\n"
       "w=3\n"
       "[ Spaced ]\n"
       "s=4\n"
       "[]\n"
       "e=5\n"
       "[Plot]1]\n"
       "k=6\n"
       "[D] trailing\n"  // the last ']' closes the name
       "t=7\n"
       "[E=8\n",
       {{"A", "x", "1"},
        {"A", "y", "2"},
        {"B", "y", kIniAbsent},
        {"[B", "y", kIniAbsent},
        {"C", "w", "3"},
        {"Spaced", "s", "4"},
        {" Spaced ", "s", "4"},
        {"", "e", kIniAbsent},
        {"Plot]1", "k", "6"},
        {"Plot", "k", kIniAbsent},
        {"D", "t", "7"},
        {"D", "[E", "8"}}},
      {"repeats",
       "[A]\n"
       "k=1\n"
       "K=2\n"
       "[B]\n"
       "m=1\n"
       "[a]\n"
       "k=3\n"
       "n=4\n",
       {{"a", "K", "1"}, {"A", "n", kIniAbsent}, {"B", "m", "1"}}},
      {"blanks",
       "\t[ T ]\t\n"
       "\tkey\t=\tvalue with  inner  blanks\t \n"
       "  spaced key  =  v  \n"
       "vt=\va\v\n"
       "ff=\fb\f\n"
       "tabs=\t\t\n",
       {{"T", "key", "value with  inner  blanks"},
        {"T", "spaced key", "v"},
        {"T", "vt", "a"},
        {"T", "ff", "b"},
        {"T", "tabs", ""}}},
      {"comments",
       "; lead\n"
       "[C]\n"
       ";k=commented\n"  // a comment to people, an entry to a lookup
       " ; indented=1\n"
       "k=real ; not a comment\n"
       "#hash=2\n",
       {{"C", ";k", "commented"},
        {"C", "k", "real ; not a comment"},
        {"C", "; indented", "1"},
        {"C", "#hash", "2"}}},
      {"cr_only", "[R]\rk=1\rm=2\r", {{"R", "k", "1"}, {"R", "m", "2"}}},
      {"mixed_endings",
       "[M]\r\nk=1\nm=2\r\r\nn=3\rp=4\r\n",
       {{"M", "k", "1"}, {"M", "m", "2"}, {"M", "n", "3"}, {"M", "p", "4"}}},
      {"byte_order_mark", "\xEF\xBB\xBF[Global]\r\nk=1\r\n", {{"Global", "k", "1"}}},
      {"long",
       long_text,
       {{"L", "long", std::string(254, 'x')},
        {"L", "quoted", std::string(254, 'x')},
        {"L", "padded", std::string(250, 'p') + "    "},
        {"L", "after", "1"},
        {x300, x300, "2"}}},
      {"keys_without_equals",
       "[K]\n"
       "lonely\n"  // a key without a value, found first
       "k=1\n"
       "=no key\n"
       "m=2\n",
       {{"K", "lonely", kIniAbsent}, {"K", "k", "1"}, {"K", "m", "2"}}},
      // The text before the first section line is the nameless section, so "[]" is never read.
      {"empty_section_only", "[]\ne=1\n", {{"", "e", kIniAbsent}}},
      // UTF-16 files (a byte-order mark FF FE or FE FF) are read as text.
      {"utf16",
       std::string("\xFF\xFE[\0U\0]\0\r\0\n\0k\0=\0\x31\0\r\0\n\0", 20),
       {{"U", "k", "1"}}},
      {"utf16_big_endian",
       std::string("\xFE\xFF\0[\0U\0]\0\r\0\n\0k\0=\0\x32\0\r\0\n", 20),
       {{"U", "k", "2"}}},
      {"odd_bytes",
       "[N]\n"
       "eq=a=b\n"
       "first=\n"
       "first=2\n"
       "lonely\n"  // a key without a value, found first
       "lonely=3\n"
       "filler=" +
           std::string(70000, 'f') +
           "\n"
           "after=4\n"
           "dos=5\x1A",  // Ctrl-Z counts as a blank
       {{"N", "eq", "a=b"},
        {"N", "first", ""},
        {"N", "lonely", kIniAbsent},
        {"N", "after", "4"},
        {"N", " after ", "4"},
        {"N", "dos", "5"}}},
      {"before_any_section",
       "k=0\n"
       "[S]\n"
       "k=1\n",
       {{"S", "k", "1"}, {"", "k", "0"}, {"S", "", kIniAbsent}}},
  };
}

}  // namespace plotspool::testing

#endif  // PLOTSPOOL_TESTS_INI_PROFILE_CASES_H_

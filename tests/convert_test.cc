#include "base/convert.h"

#include <gtest/gtest.h>

#include "base/error.h"
#include "error_number.h"

namespace plotspool {
namespace {

using testing::ErrorNumberOf;

TEST(ConvertTest, IntegersRoundHalfToEvenAndAcceptBlanks) {
  EXPECT_EQ(TextToInt16("2.5"), 2);
  EXPECT_EQ(TextToInt16("3.5"), 4);
  EXPECT_EQ(TextToInt16("-2.5"), -2);
  EXPECT_EQ(TextToInt16(" 10 "), 10);
  EXPECT_EQ(TextToInt32("2.4999"), 2);
  EXPECT_EQ(TextToInt32("1e3"), 1000);
  EXPECT_EQ(TextToInt16("32767"), 32767);
  EXPECT_EQ(TextToInt16("-32768"), -32768);
}

TEST(ConvertTest, BadTextIsTypeMismatchAndRangeIsOverflow) {
  for (const char* text : {"", "  ", "abc", "12abc", "1,5", "inf", "nan", "0x10", "--1"}) {
    EXPECT_EQ(ErrorNumberOf([&] { TextToInt32(text); }), kTypeMismatch) << text;
  }
  EXPECT_EQ(ErrorNumberOf([] { TextToInt16("32768"); }), kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { TextToInt16("32767.5"); }), kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { TextToInt32("3000000000"); }), kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { TextToDouble("1e400"); }), kOverflow);
}

TEST(ConvertTest, Booleans) {
  EXPECT_FALSE(TextToBool("0"));
  EXPECT_TRUE(TextToBool("1"));
  EXPECT_TRUE(TextToBool("-1"));
  EXPECT_TRUE(TextToBool("True"));
  EXPECT_FALSE(TextToBool("FALSE"));
  EXPECT_EQ(ErrorNumberOf([] { TextToBool("yes"); }), kTypeMismatch);
}

TEST(ConvertTest, NumberToTextUsesFifteenDigitsAndAPoint) {
  EXPECT_EQ(NumberToText(9933.0 / 300 * 25.4), "840.994");
  EXPECT_EQ(NumberToText(1), "1");
  EXPECT_EQ(NumberToText(0.5), "0.5");
  EXPECT_EQ(NumberToText(-2), "-2");
  EXPECT_EQ(NumberToText(1e20), "1E+20");
  EXPECT_EQ(NumberToText(-0.0), "0");
  EXPECT_DOUBLE_EQ(TextToDouble(NumberToText(594.0213333333333)), 594.021333333333);
}

TEST(ConvertTest, UpperCaseTouchesOnlyAsciiLetters) {
  EXPECT_EQ(UpperCase("hp_designjet-500 [a-f]?"), "HP_DESIGNJET-500 [A-F]?");
  EXPECT_EQ(UpperCase("gr\xc3\xb6\xdf"), "GR\xc3\xb6\xdf");
}

TEST(ConvertTest, HexIsUpperCaseWithoutLeadingZeros) {
  EXPECT_EQ(ToHex(0), "0");
  EXPECT_EQ(ToHex(255), "FF");
  EXPECT_EQ(ToHex(0x80040154), "80040154");
  EXPECT_EQ(ToHex(-1), "FFFFFFFF");
}

}  // namespace
}  // namespace plotspool

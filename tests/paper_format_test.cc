#include "config/paper_format.h"

#include <gtest/gtest.h>

#include <cmath>

#include "config/printer_profile.h"

namespace plotspool {
namespace {

TEST(PaperFormatTest, LongSideClassesAndTheirExactBounds) {
  EXPECT_EQ(ClassifyLongSide(9933.0 / 300 * 25.4), "A1");
  EXPECT_EQ(ClassifyLongSide(13200.0 / 300 * 25.4), "E");
  EXPECT_EQ(ClassifyLongSide(850), "");
  EXPECT_EQ(ClassifyLongSide(0), "");
  const struct {
    const char* code;
    double lower, upper;
  } windows[] = {
      {"E", 1106.423976, 1128.775975}, {"D", 854.963976, 872.235975}, {"C", 553.211988, 564.387988},
      {"B", 427.481988, 436.117988},   {"A", 276.605994, 282.193994}, {"A0", 1177.11, 1200.89},
      {"A1", 832.59, 849.41},          {"A2", 588.06, 599.94},        {"A3", 415.8, 424.2},
      {"A4", 294.03, 299.97}};
  for (const auto& w : windows) {
    EXPECT_EQ(ClassifyLongSide(w.lower), w.code);
    EXPECT_EQ(ClassifyLongSide(w.upper), w.code);
    EXPECT_EQ(ClassifyLongSide(std::nextafter(w.lower, 0.0)), "") << w.code;
    EXPECT_EQ(ClassifyLongSide(std::nextafter(w.upper, 1e9)), "") << w.code;
  }
}

class FormatRuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrinterProfile = {};
    PrinterProfile.sChangeA1 = "A3";
    PrinterProfile.sOrientationA1 = "H";
    PrinterProfile.sChangeA0 = "A0";
    PrinterProfile.sOrientationA0 = "Q";
    PrinterProfile.sChangeE = "E";
    PrinterProfile.sPN_A3 = "163";
    PrinterProfile.sPN_A0 = "166";
    PrinterProfile.sPN_E = "160";
  }
};

TEST_F(FormatRuleTest, DetectedFormatSelectsItsKeysAndEverythingElseUsesA0) {
  EXPECT_EQ(LookupFormatRule("A1").TargetFormat, "A3");
  EXPECT_EQ(LookupFormatRule("A1").WantedOrientation, "H");
  EXPECT_EQ(LookupFormatRule("E").TargetFormat, "E");
  for (const char* other : {"", "a1", "A5", "X"}) {
    EXPECT_EQ(LookupFormatRule(other).TargetFormat, "A0") << other;
    EXPECT_EQ(LookupFormatRule(other).WantedOrientation, "Q") << other;
  }
}

TEST_F(FormatRuleTest, PaperNumberFollowsTheTargetFormatExactly) {
  EXPECT_EQ(LookupPaperNumber("A3"), "163");
  EXPECT_EQ(LookupPaperNumber("E"), "160");
  EXPECT_EQ(LookupPaperNumber("a3"), "166");
  EXPECT_EQ(LookupPaperNumber(""), "166");
}

}  // namespace
}  // namespace plotspool

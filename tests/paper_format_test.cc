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
    profile_.sChangeA1 = "A3";
    profile_.sOrientationA1 = "H";
    profile_.sChangeA0 = "A0";
    profile_.sOrientationA0 = "Q";
    profile_.sChangeE = "E";
    profile_.sPN_A3 = "163";
    profile_.sPN_A0 = "166";
    profile_.sPN_E = "160";
  }
  PrinterProfileRecord profile_;
};

TEST_F(FormatRuleTest, DetectedFormatSelectsItsKeysAndEverythingElseUsesA0) {
  EXPECT_EQ(LookupFormatRule(profile_, "A1").TargetFormat, "A3");
  EXPECT_EQ(LookupFormatRule(profile_, "A1").WantedOrientation, "H");
  EXPECT_EQ(LookupFormatRule(profile_, "E").TargetFormat, "E");
  for (const char* other : {"", "a1", "A5", "X"}) {
    EXPECT_EQ(LookupFormatRule(profile_, other).TargetFormat, "A0") << other;
    EXPECT_EQ(LookupFormatRule(profile_, other).WantedOrientation, "Q") << other;
  }
}

TEST_F(FormatRuleTest, PaperNumberFollowsTheTargetFormatExactly) {
  EXPECT_EQ(LookupPaperNumber(profile_, "A3"), "163");
  EXPECT_EQ(LookupPaperNumber(profile_, "E"), "160");
  EXPECT_EQ(LookupPaperNumber(profile_, "a3"), "166");
  EXPECT_EQ(LookupPaperNumber(profile_, ""), "166");
}

}  // namespace
}  // namespace plotspool

#include "jobs/like_pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace plotspool {
namespace {

TEST(LikePatternTest, WildcardsAndLiterals) {
  EXPECT_TRUE(LikeMatch("HP DESIGNJET 500", "HP*"));
  EXPECT_FALSE(LikeMatch("CANON X", "HP*"));
  EXPECT_TRUE(LikeMatch("HP", "HP*"));  // a star may match nothing
  EXPECT_TRUE(LikeMatch("", "*"));
  EXPECT_TRUE(LikeMatch("", ""));
  EXPECT_FALSE(LikeMatch("A", ""));
  EXPECT_TRUE(LikeMatch("PLOTTER 2", "*TT*2"));
  EXPECT_FALSE(LikeMatch("PLOTTER 2X", "*TT*2"));  // the whole text must match
  EXPECT_TRUE(LikeMatch("ABAB", "*AB"));           // the star must give back characters
  EXPECT_TRUE(LikeMatch("ABC", "A?C"));
  EXPECT_FALSE(LikeMatch("AC", "A?C"));
  EXPECT_TRUE(LikeMatch("DJ500", "DJ###"));
  EXPECT_FALSE(LikeMatch("DJ5X0", "DJ###"));
  EXPECT_FALSE(LikeMatch("HP", "hp"));  // byte for byte: the caller upper-cases
  EXPECT_TRUE(LikeMatch("A.B(C)", "A.B(C)"));
}

TEST(LikePatternTest, BracketLists) {
  EXPECT_TRUE(LikeMatch("PLOTTER C", "PLOTTER [A-F]"));
  EXPECT_FALSE(LikeMatch("PLOTTER G", "PLOTTER [A-F]"));
  EXPECT_TRUE(LikeMatch("PLOTTER G", "PLOTTER [!A-F]"));
  EXPECT_FALSE(LikeMatch("PLOTTER C", "PLOTTER [!A-F]"));
  EXPECT_TRUE(LikeMatch("X3", "X[135]"));
  EXPECT_FALSE(LikeMatch("X2", "X[135]"));
  EXPECT_TRUE(LikeMatch("A-B", "A[-]B"));  // "-" alone or at an end is itself
  EXPECT_TRUE(LikeMatch("AZ", "A[XYZ-]"));
  EXPECT_TRUE(LikeMatch("A*", "A[*]"));  // wildcards in brackets are literal
  EXPECT_FALSE(LikeMatch("AB", "A[*]"));
  EXPECT_TRUE(LikeMatch("A?", "A[?]"));
  EXPECT_TRUE(LikeMatch("A#", "A[#]"));
  EXPECT_TRUE(LikeMatch("A[", "A[[]"));
  EXPECT_TRUE(LikeMatch("A!", "A[A!]"));  // "!" after the first place is itself
  EXPECT_TRUE(LikeMatch("AB", "A[]B"));   // "[]" is the empty string
  EXPECT_TRUE(LikeMatch("A]", "A]"));
  EXPECT_TRUE(LikeMatch("\xC4", "[\xC0-\xDF]"));  // 8-bit text compares as bytes
}

TEST(LikePatternTest, MalformedPatternsMatchNothing) {
  EXPECT_FALSE(LikeMatch("A[B", "A[B"));
  EXPECT_FALSE(LikeMatch("C", "[F-A]"));
  EXPECT_FALSE(LikeMatch("", "["));
}

// With exponential backtracking these would not finish within the test's time-out.
TEST(LikePatternTest, HostilePatterns) {
  const std::string text(5000, 'A');
  const std::string pattern = std::string(200, '*') + "A*A*A*A*A*A*A*A*A*A*A*A*B";
  EXPECT_FALSE(LikeMatch(text, pattern));
  std::string stars;
  for (int i = 0; i < 300; ++i) stars += "*?";
  EXPECT_FALSE(LikeMatch(std::string(299, 'A'), stars));
  EXPECT_TRUE(LikeMatch(std::string(300, 'A'), stars));
}

}  // namespace
}  // namespace plotspool

#include "config/paper_format.h"

namespace plotspool {

namespace {

struct SizeClass {
  const char* code;
  double lower_mm;
  double upper_mm;
};

// Tested in this order; the inch classes are held with the precision shown.
constexpr SizeClass kSizeClasses[] = {
    {"E", 1106.423976, 1128.775975}, {"D", 854.963976, 872.235975}, {"C", 553.211988, 564.387988},
    {"B", 427.481988, 436.117988},   {"A", 276.605994, 282.193994}, {"A0", 1177.11, 1200.89},
    {"A1", 832.59, 849.41},          {"A2", 588.06, 599.94},        {"A3", 415.8, 424.2},
    {"A4", 294.03, 299.97},
};

using R = PrinterProfileRecord;

struct FormatKeys {
  const char* code;
  std::string R::*change;
  std::string R::*orientation;
  std::string R::*paper_number;
};

// Compared in this order; A0 also serves every value that is no code.
constexpr FormatKeys kFormatKeys[] = {
    {"E", &R::sChangeE, &R::sOrientationE, &R::sPN_E},
    {"D", &R::sChangeD, &R::sOrientationD, &R::sPN_D},
    {"C", &R::sChangeC, &R::sOrientationC, &R::sPN_C},
    {"B", &R::sChangeB, &R::sOrientationB, &R::sPN_B},
    {"A", &R::sChangeA, &R::sOrientationA, &R::sPN_A},
    {"A0", &R::sChangeA0, &R::sOrientationA0, &R::sPN_A0},
    {"A1", &R::sChangeA1, &R::sOrientationA1, &R::sPN_A1},
    {"A2", &R::sChangeA2, &R::sOrientationA2, &R::sPN_A2},
    {"A3", &R::sChangeA3, &R::sOrientationA3, &R::sPN_A3},
    {"A4", &R::sChangeA4, &R::sOrientationA4, &R::sPN_A4},
};

const FormatKeys& KeysFor(const std::string& code) {
  for (const FormatKeys& keys : kFormatKeys) {
    if (code == keys.code) return keys;
  }
  return kFormatKeys[5];  // A0
}

}  // namespace

std::string ClassifyLongSide(double long_side_mm) {
  for (const SizeClass& size_class : kSizeClasses) {
    if (size_class.lower_mm <= long_side_mm && long_side_mm <= size_class.upper_mm) {
      return size_class.code;
    }
  }
  return {};
}

FormatRule LookupFormatRule(const PrinterProfileRecord& profile,
                            const std::string& detected_format) {
  const FormatKeys& keys = KeysFor(detected_format);
  return {profile.*keys.change, profile.*keys.orientation};
}

std::string LookupPaperNumber(const PrinterProfileRecord& profile,
                              const std::string& target_format) {
  return profile.*KeysFor(target_format).paper_number;
}

}  // namespace plotspool

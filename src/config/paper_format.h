// The ten paper formats: a long side in millimetres classified into one of them, and the printer
// profile's keys that follow from a format.
#ifndef PLOTSPOOL_CONFIG_PAPER_FORMAT_H_
#define PLOTSPOOL_CONFIG_PAPER_FORMAT_H_

#include <string>

#include "config/printer_profile.h"

namespace plotspool {

// The code of the first size class whose window (nominal ±1 %, bounds inclusive) holds
// `long_side_mm`; empty when none does.
std::string ClassifyLongSide(double long_side_mm);

struct FormatRule {
  std::string TargetFormat;       // the format the job is output as
  std::string WantedOrientation;  // "Q", "H" or empty = keep as detected
};

// The sChange/sOrientation keys of `profile` for `detected_format`, compared exactly; any other
// value, empty included, uses the A0 keys.
FormatRule LookupFormatRule(const PrinterProfileRecord& profile,
                            const std::string& detected_format);

// The sPN key of `profile` for `target_format`, compared exactly; any other value uses sPN_A0.
std::string LookupPaperNumber(const PrinterProfileRecord& profile,
                              const std::string& target_format);

}  // namespace plotspool

#endif  // PLOTSPOOL_CONFIG_PAPER_FORMAT_H_

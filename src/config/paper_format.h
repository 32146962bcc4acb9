// Paper-format detection: the image's long side, measured in millimetres, classified into the
// ten paper formats, and the profile lookups that follow from the format.
#ifndef PLOTSPOOL_CONFIG_PAPER_FORMAT_H_
#define PLOTSPOOL_CONFIG_PAPER_FORMAT_H_

#include <string>

namespace plotspool {

// Results of the last detection. DetectedFormat and DetectedOrientation are cleared at the start
// of every detection; the two sides change only when a measurement completes.
extern std::string DetectedFormat;       // "A4".."A0", "A".."E", or empty
extern std::string DetectedOrientation;  // "Q" wider than high, "H" otherwise; empty on failure
extern std::string LongSideMm;           // text of a number
extern std::string ShortSideMm;

// The code of the first size class whose window (nominal ±1 %, bounds inclusive) holds
// `long_side_mm`; empty when none does.
std::string ClassifyLongSide(double long_side_mm);

// Measures the image at `path` through the host form's imaging control and stores the results
// above. False when the image could not be loaded or measured (also for a resolution of 0).
bool DetectPaperFormat(const std::string& path);

struct FormatRule {
  std::string TargetFormat;       // the format the job is output as
  std::string WantedOrientation;  // "Q", "H" or empty = keep as detected
};

// The printer profile's sChange/sOrientation keys for `detected_format`, compared exactly; any
// other value, empty included, uses the A0 keys.
FormatRule LookupFormatRule(const std::string& detected_format);

// The profile's sPN key for `target_format`, compared exactly; any other value uses sPN_A0.
std::string LookupPaperNumber(const std::string& target_format);

}  // namespace plotspool

#endif  // PLOTSPOOL_CONFIG_PAPER_FORMAT_H_

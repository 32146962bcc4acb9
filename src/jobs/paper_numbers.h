// Driver paper numbers: the printer profiles name paper by number, as drivers do; the section
// [PaperNumbers] of the settings file says which media each number means.
#ifndef PLOTSPOOL_JOBS_PAPER_NUMBERS_H_
#define PLOTSPOOL_JOBS_PAPER_NUMBERS_H_

#include <cstdint>
#include <string>

namespace plotspool {

// The media name ("iso_a1_594x841mm") for `paper_number` from [PaperNumbers] of IniFile; the ten
// numbers the default profile uses are written there with their defaults on first use. Throws
// RuntimeError 380 for a number without an entry.
std::string MediaNameForPaperNumber(int16_t paper_number);

// The media name a print would use for `paper_number`, read without writing the defaults: the
// entry in [PaperNumbers], else the default a print would write there; empty when neither.
std::string PeekMediaNameForPaperNumber(int16_t paper_number);

// Whether `paper_number` is one of those written with a default on first use.
bool IsDefaultPaperNumber(int16_t paper_number);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_PAPER_NUMBERS_H_

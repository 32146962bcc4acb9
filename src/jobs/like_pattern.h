// The classic "Like" operator, used to match installed printer names against a profile's
// printer-name pattern.
#ifndef PLOTSPOOL_JOBS_LIKE_PATTERN_H_
#define PLOTSPOOL_JOBS_LIKE_PATTERN_H_

#include <string_view>

namespace plotspool {

// True when all of `text` matches `pattern`: "*" any run of characters (also none), "?" one
// character, "#" one digit, "[A-F]" / "[xyz]" one character of the list or range, "[!...]" one
// character not in it, "[]" nothing at all; any other character matches itself, byte for byte
// (the caller upper-cases both sides for a case-insensitive test). A malformed pattern (an
// unclosed "[" or a descending range) matches nothing. Runs in O(text x pattern) at worst.
bool LikeMatch(std::string_view text, std::string_view pattern);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_LIKE_PATTERN_H_

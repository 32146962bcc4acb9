// Conversions of settings text as the classic run-time does them. Settings are held as text
// and converted only where they are used, so a bad value fails at its point of use with
// 13 (not a number) or 6 (out of range).
#ifndef PLOTSPOOL_BASE_CONVERT_H_
#define PLOTSPOOL_BASE_CONVERT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace plotspool {

// Decimal number with optional sign, fraction and exponent, blanks around it allowed.
// Throws RuntimeError 13 for anything else (also for empty text).
double TextToDouble(std::string_view text);

// Rounds half to even ("2.5" -> 2, "3.5" -> 4). Throws 13 for non-numbers, 6 out of range.
int16_t TextToInt16(std::string_view text);
int32_t TextToInt32(std::string_view text);

// A number (0 false, anything else true) or "True"/"False" in any case. Throws 13 otherwise.
bool TextToBool(std::string_view text);

// Up to 15 significant digits, no trailing zeros, decimal point whatever the locale:
// 840.994, 1, 0.5, -2, 1E+20.
std::string NumberToText(double value);

// `text` with the ASCII letters upper-cased; every other byte stays as it is.
std::string UpperCase(std::string_view text);

// Upper-case hexadecimal without leading zeros; negative values in two's complement (32 bit).
std::string ToHex(int32_t value);

}  // namespace plotspool

#endif  // PLOTSPOOL_BASE_CONVERT_H_

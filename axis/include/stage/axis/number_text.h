// Lenient reading of typed numbers and the fixed ways numbers are shown.
// Reading never rejects text: what cannot be read is 0.
#pragma once

#include <string>
#include <string_view>

namespace stage {

struct NumberReading {
  double value = 0;       // 0 when no number could be read, or when out_of_range
  bool out_of_range = false;  // the text held a number beyond the range of a double
};

// The number at the start of `text`: blanks, tabs and line feeds are skipped
// wherever they stand; an optional sign, digits with at most one point and an
// optional exponent (E or D, either case); &H and &O introduce hexadecimal and
// octal integers; reading stops at the first character that fits none of this.
NumberReading ReadNumber(std::string_view text);

// The canonical text of a number: at most 15 significant digits, no trailing
// zeros, "0." before fractions, exponent form (two digits at least) below
// 0.0001 and from 1E+15 on. Never "-0".
std::string CanonicalNumberText(double value);

// CanonicalNumberText(ReadNumber(text).value). Idempotent.
std::string NormalizeNumberText(std::string_view text);

// The "########0.00" pattern: at least one integer digit, exactly two
// decimals (rounded), a leading "-" for negatives, no grouping. A value that
// rounds to zero is shown as "0.00", never "-0.00".
std::string FormatFixed2(double value);

}  // namespace stage

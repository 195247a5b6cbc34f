// Lenient reading of typed numbers and the fixed ways numbers are shown.
// Reading never rejects text: what cannot be read is 0.
#pragma once

#include <string>
#include <string_view>

namespace stage {

struct NumberReading {
  double value = 0;       // 0 when no number could be read, when ambiguous or when out_of_range
  bool out_of_range = false;  // the text held a number beyond the range of a double
  bool found = false;     // digits were read: false for "", "abc", "-", ".", "&H"
  // A comma that may group thousands, or a comma mixed with a point: which
  // number was meant cannot be told, and the text must be refused.
  bool ambiguous = false;
};

// The number at the start of `text`: blanks, tabs, line feeds and carriage
// returns are skipped wherever they stand, even between digits ("1 000" is
// 1000); an optional sign, digits with at most one decimal mark and an
// optional exponent (E or D, either case; "1e" and "1e+" are 1); &H and &O
// (either case) introduce non-negative hexadecimal and octal integers of any
// length. Reading stops at the first character that fits none of this
// ("12.5abc" is 12.5, "12," is 12).
//
// The decimal mark is the point, or a comma where it cannot separate
// thousands ("12,5", "0,25" and "1 000,5" are 12.5, 0.25 and 1000.5). A comma
// that could separate thousands (after one to three digits that do not start
// with 0, and before exactly three: "1,000", "12,500", "-1,000.5"), a comma
// with digits after it where a number already ended ("1.234,5", "1,5,3",
// "&H1,5") and a point with digits after it behind a decimal comma ("1,5.3")
// make the text ambiguous: value 0, never a guess.
//
// A number too large for a double reads as 0 with out_of_range set; one too
// small underflows to a denormal or to 0 like any other.
NumberReading ReadNumber(std::string_view text);

// The canonical text of a number: at most 15 significant digits, no trailing
// zeros, "0." before fractions, exponent form (two digits at least) below
// 0.0001 and from 1E+15 on, both decided after rounding, with an explicit
// exponent sign ("1E-05", "1.5E+20"). Never "-0". Every text it gives for a
// finite value reads back as a number with the same text; infinities and NaN
// (which reading never yields) are shown as "Infinity", "-Infinity", "NaN".
std::string CanonicalNumberText(double value);

// CanonicalNumberText(ReadNumber(text).value). Idempotent. An ambiguous
// text gives "0": callers that must not guess check ReadNumber first.
std::string NormalizeNumberText(std::string_view text);

// The "########0.00" pattern: at least one integer digit, exactly two
// decimals (rounded), a leading "-" for negatives, no grouping. A value that
// rounds to zero is shown as "0.00", never "-0.00". Rounded from the exact
// binary value (2.675 is "2.67"), an exact tie away from zero (0.125 is
// "0.13", -0.125 is "-0.13"); the point never depends on the locale.
// Infinities and NaN are shown as for CanonicalNumberText.
std::string FormatFixed2(double value);

}  // namespace stage

#include "stage/axis/number_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <system_error>

namespace stage {
namespace {

// Blanks, tabs, line feeds and carriage returns are skipped wherever they
// stand, even between digits: "1 000" reads as 1000.
bool IsSkipped(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) {
  return IsDecimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsOctalDigit(char c) { return c >= '0' && c <= '7'; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Walks the text with the skipped characters taken out.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) { SkipBlanks(); }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  // The character after the current one (blanks skipped), or '\0'.
  char PeekNext() const {
    std::size_t p = pos_ + 1;
    while (p < text_.size() && IsSkipped(text_[p])) ++p;
    return p < text_.size() ? text_[p] : '\0';
  }
  void Advance() {
    ++pos_;
    SkipBlanks();
  }

 private:
  void SkipBlanks() {
    while (pos_ < text_.size() && IsSkipped(text_[pos_])) ++pos_;
  }
  std::string_view text_;
  std::size_t pos_ = 0;
};

// A hexadecimal digit string (no prefix, leading zeros allowed) as a double,
// correctly rounded. More than 256 significant digits is 2^1024 or more.
NumberReading HexDigitsToNumber(const std::string& digits) {
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return {};
  const std::size_t significant = digits.size() - first;
  if (significant > 256) return {0, true};
  double value = 0;
  const char* begin = digits.data() + first;
  const char* end = digits.data() + digits.size();
  const auto result = std::from_chars(begin, end, value, std::chars_format::hex);
  // Only an integer of 256 digits that rounds up to 2^1024 is out of range.
  if (result.ec != std::errc{}) return {0, true};
  return {value, false};
}

// An octal digit string regrouped into hexadecimal digits.
NumberReading OctalDigitsToNumber(const std::string& digits) {
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return {};
  const std::size_t significant = digits.size() - first;
  // 342 octal digits hold at least 1024 bits once the leading digit counts.
  if (significant > 342) return {0, true};
  std::string bits;
  bits.reserve(significant * 3 + 3);
  for (std::size_t i = first; i < digits.size(); ++i) {
    const int d = digits[i] - '0';
    bits.push_back((d & 4) ? '1' : '0');
    bits.push_back((d & 2) ? '1' : '0');
    bits.push_back((d & 1) ? '1' : '0');
  }
  bits.insert(0, (4 - bits.size() % 4) % 4, '0');
  static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::string hex;
  hex.reserve(bits.size() / 4);
  for (std::size_t i = 0; i < bits.size(); i += 4) {
    const int nibble = (bits[i] - '0') * 8 + (bits[i + 1] - '0') * 4 + (bits[i + 2] - '0') * 2 +
                       (bits[i + 3] - '0');
    hex.push_back(kHex[static_cast<std::size_t>(nibble)]);
  }
  return HexDigitsToNumber(hex);
}

NumberReading ReadRadixInteger(Cursor& cursor, bool hex) {
  std::string digits;
  while (!cursor.AtEnd() && (hex ? IsHexDigit(cursor.Peek()) : IsOctalDigit(cursor.Peek()))) {
    digits.push_back(cursor.Peek());
    cursor.Advance();
  }
  NumberReading reading = hex ? HexDigitsToNumber(digits) : OctalDigitsToNumber(digits);
  reading.found = !digits.empty();
  return reading;
}

// Exponents are summed in 64 bits; beyond this they are saturated, which is
// far past anything a double can reach.
constexpr std::int64_t kExponentLimit = 1'000'000'000;

// A comma at the cursor, after the integer digits `leading`, could separate
// thousands: one to three digits that do not start with 0 before it ("0,250"
// groups nothing, nor does "1234,5"), and exactly three after it.
bool CouldSeparateThousands(const std::string& leading, Cursor cursor) {
  if (leading.empty() || leading.size() > 3 || leading[0] == '0') return false;
  cursor.Advance();
  int digits = 0;
  while (digits < 4 && IsDecimalDigit(cursor.Peek())) {
    ++digits;
    cursor.Advance();
  }
  return digits == 3;
}

// A decimal number: mantissa, then an optional exponent. `comma_mark` tells
// whether a comma served as its decimal mark; `ambiguous` is set when a comma
// could separate thousands (reading stops there).
NumberReading ReadDecimal(Cursor& cursor, bool& comma_mark) {
  bool negative = false;
  if (cursor.Peek() == '+' || cursor.Peek() == '-') {
    negative = cursor.Peek() == '-';
    cursor.Advance();
  }

  // Mantissa digits without the decimal mark; `point_at` is how many of them
  // stood before it.
  std::string mantissa;
  std::size_t point_at = 0;
  bool seen_point = false;
  while (!cursor.AtEnd()) {
    const char c = cursor.Peek();
    if (IsDecimalDigit(c)) {
      mantissa.push_back(c);
    } else if (c == '.' && !seen_point) {
      seen_point = true;
      point_at = mantissa.size();
    } else if (c == ',' && !seen_point && IsDecimalDigit(cursor.PeekNext())) {
      if (CouldSeparateThousands(mantissa, cursor)) {
        NumberReading ambiguous;
        ambiguous.found = true;
        ambiguous.ambiguous = true;
        return ambiguous;
      }
      seen_point = true;
      comma_mark = true;
      point_at = mantissa.size();
    } else {
      break;
    }
    cursor.Advance();
  }
  if (!seen_point) point_at = mantissa.size();
  if (mantissa.empty()) return {};  // a sign or a mark alone is no number

  // The exponent: "1e" and "1e+" read as 1.
  std::int64_t exponent = 0;
  const char marker = Upper(cursor.Peek());
  if (marker == 'E' || marker == 'D') {
    cursor.Advance();
    bool exponent_negative = false;
    if (cursor.Peek() == '+' || cursor.Peek() == '-') {
      exponent_negative = cursor.Peek() == '-';
      cursor.Advance();
    }
    while (!cursor.AtEnd() && IsDecimalDigit(cursor.Peek())) {
      if (exponent < kExponentLimit) exponent = exponent * 10 + (cursor.Peek() - '0');
      cursor.Advance();
    }
    if (exponent_negative) exponent = -exponent;
  }

  NumberReading reading;
  reading.found = true;
  const std::size_t first_nonzero = mantissa.find_first_not_of('0');
  const double zero = negative ? -0.0 : 0.0;
  if (first_nonzero == std::string::npos) {
    reading.value = zero;
    return reading;
  }

  // The power of ten just above the leading digit: the number lies in
  // [10^(magnitude-1), 10^magnitude). Doubles end near 1.8E+308 and their
  // smallest step is near 4.9E-324, so far outside that the answer is known.
  const std::int64_t magnitude = static_cast<std::int64_t>(point_at) -
                                 static_cast<std::int64_t>(first_nonzero) + exponent;
  if (magnitude > 310) {
    reading.out_of_range = true;
    return reading;
  }
  if (magnitude < -330) {
    reading.value = zero;
    return reading;
  }

  // Rebuilt as "digits" + "e" + exponent so the point's place is part of the
  // exponent; from_chars rounds correctly and ignores the locale.
  std::string canonical = mantissa.substr(first_nonzero);
  const std::int64_t scaled_exponent =
      exponent - static_cast<std::int64_t>(mantissa.size() - point_at);
  canonical += 'e';
  canonical += std::to_string(scaled_exponent);
  double value = 0;
  const auto result =
      std::from_chars(canonical.data(), canonical.data() + canonical.size(), value,
                      std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars reports underflow to zero the same way as overflow.
    if (magnitude > 0) {
      reading.out_of_range = true;
    } else {
      reading.value = zero;
    }
    return reading;
  }
  if (result.ec != std::errc{}) return {};
  reading.value = negative ? -value : value;
  return reading;
}

}  // namespace

NumberReading ReadNumber(std::string_view text) {
  Cursor cursor(text);

  NumberReading reading;
  bool comma_mark = false;
  if (cursor.Peek() == '&') {
    const char prefix = Upper(cursor.PeekNext());
    if (prefix != 'H' && prefix != 'O') return {};
    cursor.Advance();
    cursor.Advance();
    reading = ReadRadixInteger(cursor, prefix == 'H');
  } else {
    reading = ReadDecimal(cursor, comma_mark);
    if (reading.ambiguous) return reading;
  }

  // Reading stopped. Digits behind a comma there, or behind a point where a
  // comma was the decimal mark, would be dropped without a word: "1.234,5"
  // may be 1234.5, "1,5.3" is no number at all.
  const char stop = cursor.Peek();
  if (IsDecimalDigit(cursor.PeekNext()) && (stop == ',' || (stop == '.' && comma_mark))) {
    NumberReading ambiguous;
    ambiguous.found = true;
    ambiguous.ambiguous = true;
    return ambiguous;
  }
  return reading;
}

std::string CanonicalNumberText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return "0";  // also -0

  // 15 significant digits, correctly rounded: "d.dddddddddddddde+XX".
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                    std::fabs(value), std::chars_format::scientific, 14);
  const std::string_view scientific(buffer.data(),
                                    static_cast<std::size_t>(result.ptr - buffer.data()));
  const std::size_t e_at = scientific.find('e');
  std::string digits;
  digits.reserve(15);
  for (std::size_t i = 0; i < e_at; ++i) {
    if (scientific[i] != '.') digits.push_back(scientific[i]);
  }
  int exponent = 0;
  std::from_chars(scientific.data() + e_at + 1 + (scientific[e_at + 1] == '+' ? 1 : 0),
                  scientific.data() + scientific.size(), exponent);

  // Near the largest double, rounding up to 15 digits gives a text that is
  // no longer a double (1.79769313486232E+308 reads as out of range); round
  // toward zero there instead so the text reads back.
  if (exponent == 308 && digits >= "179769313486232") digits = "179769313486231";

  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string text;
  if (value < 0) text.push_back('-');
  if (exponent < -4 || exponent >= 15) {
    text += digits[0];
    if (digits.size() > 1) {
      text += '.';
      text.append(digits, 1);
    }
    text += 'E';
    text += exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) text += '0';
    text += std::to_string(magnitude);
  } else if (exponent < 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-exponent - 1), '0');
    text += digits;
  } else {
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
      text += digits;
      text.append(integer_digits - digits.size(), '0');
    } else {
      text.append(digits, 0, integer_digits);
      text += '.';
      text.append(digits, integer_digits);
    }
  }
  return text;
}

std::string NormalizeNumberText(std::string_view text) {
  return CanonicalNumberText(ReadNumber(text).value);
}

std::string FormatFixed2(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  // The largest double has 309 integer digits.
  std::array<char, 400> buffer{};
  // to_chars breaks an exact tie toward the even digit (0.125 would be
  // "0.12"); the pattern breaks it away from zero. A double lies exactly
  // halfway between two hundredths only when it is an odd number of eighths,
  // and then the next double away from zero is past the tie.
  // From 2^50 on a double holds no eighths.
  constexpr double kWholeEighthsFrom = 0x1p50;
  const double eighths = value * 8;
  if (std::fabs(value) < kWholeEighthsFrom && std::trunc(eighths) == eighths && std::fmod(eighths, 2.0) != 0.0) {
    value = std::nextafter(value, value < 0 ? -std::numeric_limits<double>::infinity()
                                            : std::numeric_limits<double>::infinity());
  }
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::fixed, 2);
  std::string text(buffer.data(), result.ptr);
  // -0.004 rounds to "-0.00"; a zero has no sign on this display.
  if (text == "-0.00") text = "0.00";
  return text;
}

}  // namespace stage

// Number reading meets whatever an operator types or pastes. This target
// checks that reading never fails, that normalising twice changes nothing,
// that the two-decimal display never shows "-0.00", that the canonical text
// of a number reads back as the same number to 15 significant digits, and
// that a comma read as the decimal mark gives what the point would.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "stage/axis/number_text.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view input, const std::string& detail) {
  std::fprintf(stderr, "%s\n  input (%zu bytes): \"%.*s\"\n  %s\n", what, input.size(),
               static_cast<int>(input.size() > 200 ? 200 : input.size()), input.data(),
               detail.c_str());
  std::abort();
}

void CheckFixed2(double value, std::string_view input) {
  const std::string fixed = stage::FormatFixed2(value);
  if (fixed == "-0.00") Fail("FormatFixed2 gave -0.00", input, std::to_string(value));
}

// The canonical text of a finite value reads back without range error, as a
// number that rounds to the same text and lies within 15 digits of the value.
void CheckRoundTrip(double value, std::string_view input) {
  if (!std::isfinite(value)) return;
  const std::string text = stage::CanonicalNumberText(value);
  if (text == "-0") Fail("CanonicalNumberText gave -0", input, text);
  const stage::NumberReading back = stage::ReadNumber(text);
  if (back.out_of_range) Fail("canonical text reads as out of range", input, text);
  const std::string again = stage::CanonicalNumberText(back.value);
  if (again != text) Fail("canonical text does not read back", input, text + " -> " + again);
  // Rounding to 15 digits errs by at most 5E-15 of the value (1E-14 where the
  // largest double is rounded toward zero); denormals carry fewer digits.
  const double error = std::fabs(back.value - value);
  const double allowed =
      1e-14 * std::fabs(value) + std::numeric_limits<double>::denorm_min() * 0.5;
  if (error > allowed) {
    char detail[128];
    std::snprintf(detail, sizeof detail, "%.17g -> %s -> %.17g", value, text.c_str(),
                  back.value);
    Fail("canonical text is not within 15 digits", input, detail);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const stage::NumberReading reading = stage::ReadNumber(input);
  if (!std::isfinite(reading.value)) Fail("reading gave a non-finite value", input, "");
  if (reading.out_of_range && reading.value != 0) Fail("out of range but not 0", input, "");
  if (reading.ambiguous && (reading.value != 0 || reading.out_of_range || !reading.found)) {
    Fail("ambiguous text has a value", input, "");
  }
  if (!reading.found && (reading.value != 0 || reading.out_of_range)) Fail("no number but a value", input, "");

  // Text without a point: where neither form is ambiguous, a comma with a
  // digit after it reads as the point in its place would.
  const std::size_t comma = input.find(',');
  const std::size_t after = comma == std::string_view::npos ? comma : input.find_first_not_of(" \t\n\r", comma + 1);
  const bool digit_after = after != std::string_view::npos && input[after] >= '0' && input[after] <= '9';
  if (digit_after && input.find('.') == std::string_view::npos && !reading.ambiguous) {
    std::string with_point(input);
    with_point[comma] = '.';
    const stage::NumberReading pointed = stage::ReadNumber(with_point);
    if (!pointed.ambiguous && (pointed.value != reading.value || pointed.found != reading.found)) {
      Fail("a decimal comma reads unlike the point", input, with_point);
    }
  }

  const std::string once = stage::NormalizeNumberText(input);
  const std::string twice = stage::NormalizeNumberText(once);
  if (once != twice) Fail("normalising twice changed the text", input, once + " -> " + twice);

  CheckFixed2(reading.value, input);
  CheckRoundTrip(reading.value, input);

  // The same bytes taken as a double reach values no text typed here would.
  if (size >= sizeof(double)) {
    double raw = 0;
    std::memcpy(&raw, data, sizeof raw);
    CheckFixed2(raw, input);
    CheckRoundTrip(raw, input);
  }
  return 0;
}

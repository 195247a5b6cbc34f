#include "stage/axis/mechanics.h"

#include <cmath>
#include <limits>

#include "stage/axis/number_text.h"
#include "stage/usb/packet_codec.h"

namespace stage {
namespace {

// Rounds to the nearest integer with halves to the even neighbour, clamped to
// 32 bits. Independent of the floating-point rounding mode.
std::int32_t RoundHalfEvenClamped(double value) {
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  if (std::isnan(value)) return 0;
  if (value >= kMax) return std::numeric_limits<std::int32_t>::max();
  if (value <= kMin) return std::numeric_limits<std::int32_t>::min();
  double rounded = std::floor(value);
  const double fraction = value - rounded;  // exact for |value| < 2^31
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  return static_cast<std::int32_t>(rounded);
}

}  // namespace

AcceptedField AcceptMechanicsField(std::string_view text) {
  const NumberReading typed = ReadNumber(text);
  if (typed.out_of_range || typed.value == 0) return {"1", 1.0};
  AcceptedField field;
  field.text = CanonicalNumberText(typed.value);
  // The value used is the one the field now shows (15 significant digits).
  field.value = ReadNumber(field.text).value;
  return field;
}

CountsPerRotationField AcceptCountsPerRotationField(std::string_view text) {
  const AcceptedField field = AcceptMechanicsField(text);
  const std::int32_t counts = RoundHalfEvenClamped(field.value);
  // A fraction that rounds to 0 (0.4, -0.5) would make the factor 0 and
  // every position a division by zero: treat it like an empty field.
  if (counts == 0) return {"1", 1};
  return {field.text, counts};
}

double ComputeCountsPerMicron(std::int32_t counts_per_rotation, double gearhead_ratio,
                              double pitch_um) {
  return (static_cast<double>(counts_per_rotation) * gearhead_ratio) / pitch_um;
}

std::string UnitSuffixFor(double counts_per_micron) {
  return counts_per_micron == 1.0 ? " En" : " um";
}

std::string FormatPosition(std::int32_t position_counts, double counts_per_micron,
                           std::string_view unit_suffix) {
  std::string text = FormatFixed2(static_cast<double>(position_counts) / counts_per_micron);
  text += unit_suffix;
  return text;
}

std::string FormatIdealPosition(std::int32_t ideal_position_counts) {
  return std::to_string(ideal_position_counts);
}

TargetEntry EnterTarget(std::string_view box_text, double counts_per_micron) {
  const NumberReading typed = ReadNumber(box_text);
  // The number used is the one the normalised text stands for.
  const double number = ReadNumber(CanonicalNumberText(typed.value)).value;
  TargetEntry entry;
  entry.target_counts = number * counts_per_micron;
  entry.display_text = FormatFixed2(number);
  entry.encodable = !typed.out_of_range && usb::IsEncodableTarget(entry.target_counts);
  return entry;
}

}  // namespace stage

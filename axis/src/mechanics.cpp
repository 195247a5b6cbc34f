#include "stage/axis/mechanics.h"

#include <cmath>
#include <limits>

#include "stage/axis/number_text.h"
#include "stage/usb/packet_codec.h"

namespace stage {
namespace {

// Rounds to the nearest integer with halves to the even neighbour.
// Independent of the floating-point rounding mode; doubles of 2^52 and more
// are whole already.
double RoundHalfEven(double value) {
  double rounded = std::floor(value);
  const double fraction = value - rounded;  // exact below 2^52
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  return rounded;
}

}  // namespace

AcceptedField AcceptMechanicsField(std::string_view text) {
  const NumberReading typed = ReadNumber(text);
  if (typed.ambiguous) return {std::string(text), 0, false};
  if (typed.out_of_range || typed.value == 0) return {"1", 1.0};
  AcceptedField field;
  field.text = CanonicalNumberText(typed.value);
  // The value used is the one the field now shows (15 significant digits).
  field.value = ReadNumber(field.text).value;
  return field;
}

CountsPerRotationField AcceptCountsPerRotationField(std::string_view text) {
  const AcceptedField field = AcceptMechanicsField(text);
  if (!field.understood) return {field.text, 0, false};
  const double counts = RoundHalfEven(field.value);
  // A fraction that rounds to 0 (0.4, -0.5) would make the factor 0 and
  // every position a division by zero: treat it like an empty field.
  if (counts == 0) return {"1", 1};
  return {field.text, counts};
}

double ComputeCountsPerMicron(double counts_per_rotation, double gearhead_ratio, double pitch_um) {
  const double factor = (counts_per_rotation * gearhead_ratio) / pitch_um;
  if (!std::isfinite(factor) || factor == 0) return 1.0;
  return factor;
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
  if (!typed.found) {
    entry.refusal = TargetRefusal::kNoNumber;
  } else if (typed.ambiguous) {
    entry.refusal = TargetRefusal::kNotUnderstood;
  } else if (typed.out_of_range || !usb::IsEncodableTarget(entry.target_counts)) {
    entry.refusal = TargetRefusal::kOutOfRange;
  }
  return entry;
}

}  // namespace stage

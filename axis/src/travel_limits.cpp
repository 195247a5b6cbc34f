#include "stage/axis/travel_limits.h"

#include <cmath>

#include "stage/axis/number_text.h"
#include "stage/usb/packet_codec.h"

namespace stage {
namespace {

std::string InUnits(double counts, const AxisUnits& units) {
  std::string text = FormatFixed2(counts / units.counts_per_micron);
  text += units.unit_suffix;
  return text;
}

std::string LimitText(std::string_view side, std::int64_t limit_counts, const AxisUnits& units) {
  std::string text = "the ";
  text += side;
  text += " travel limit of axis ";
  text += units.axis_label;
  text += ", ";
  text += InUnits(static_cast<double>(limit_counts), units);
  text += " (";
  text += std::to_string(limit_counts);
  text += " counts)";
  return text;
}

LimitVerdict Refuse(std::string text) {
  text += ". The previous target is kept.";
  return {false, std::move(text)};
}

}  // namespace

LimitVerdict CheckTravelLimits(const TravelLimits& limits, const MoveRequest& move, const AxisUnits& units) {
  if (!limits.Any()) return {};
  // The distance of a relative move travels in the target field, rounded
  // like a target; the controller adds it to its whole-count base.
  const std::optional<std::int64_t> value = usb::EncodedTargetCounts(move.value_counts);
  std::optional<std::int64_t> base;
  if (move.kind == MoveKind::kRelative) base = usb::EncodedTargetCounts(move.base_counts);
  if (!value || (move.kind == MoveKind::kRelative && !base)) {
    return Refuse("The target cannot be checked against the travel limits of axis " + std::string(units.axis_label));
  }
  const std::int64_t end = move.kind == MoveKind::kRelative ? *base + *value : *value;
  const bool below = limits.lower_counts && end < *limits.lower_counts;
  const bool above = limits.upper_counts && end > *limits.upper_counts;
  if (!below && !above) return {};

  const std::string limit = below ? LimitText("lower", *limits.lower_counts, units)
                                  : LimitText("upper", *limits.upper_counts, units);
  const std::string end_text = InUnits(static_cast<double>(end), units);
  if (move.kind == MoveKind::kAbsolute) {
    return Refuse("Target " + end_text + " is beyond " + limit);
  }
  return Refuse("Rel " + InUnits(static_cast<double>(*value), units) + " from " +
                InUnits(static_cast<double>(*base), units) + " would end at " + end_text + ", beyond " + limit);
}

}  // namespace stage

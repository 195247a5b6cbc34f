// Soft travel limits of an axis and the check every command source runs
// before a target reaches the axis tables: the operator's GO, Enter and Rel,
// and any later source (a script, a remote API).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace stage {

// Kept in encoder counts, so that a change of mechanics cannot move them: the
// same counts are then shown in the new units. An absent limit means the
// controller's full range on that side.
struct TravelLimits {
  std::optional<std::int64_t> lower_counts;
  std::optional<std::int64_t> upper_counts;

  bool Any() const { return lower_counts.has_value() || upper_counts.has_value(); }
  friend bool operator==(const TravelLimits&, const TravelLimits&) = default;
};

enum class MoveKind {
  kAbsolute,  // GO, Enter: the value is the target itself
  kRelative,  // Rel: the value is a distance from a base position
};

struct MoveRequest {
  MoveKind kind = MoveKind::kAbsolute;
  double value_counts = 0;  // the target, or the distance, as entered (unrounded)
  // Relative moves only: where the distance starts (the target in force or
  // the ideal position, whichever the controller counts from).
  double base_counts = 0;
};

// How the axis shows its positions, for the refusal text.
struct AxisUnits {
  std::string_view axis_label;  // "X", "1", the axis's name
  double counts_per_micron = 1;
  std::string_view unit_suffix = " En";  // with its leading blank, as in the read-outs
};

struct LimitVerdict {
  bool accepted = true;
  std::string refusal;  // one line naming the limit, empty when accepted
};

// Compares where the axis would end, in the whole counts the command packet
// carries (the half-to-even rounding of the encoder), with the limits: a
// target exactly on a limit is accepted. A relative move that would end
// beyond a limit is refused whole, never shortened. A value or base that is
// not a finite number is refused.
LimitVerdict CheckTravelLimits(const TravelLimits& limits, const MoveRequest& move, const AxisUnits& units);

}  // namespace stage

// The Axis Settings window's fields for one axis, as plain text and check
// marks, and the reading that turns what the operator edited into the
// settings in force, or into one refusal: never a part of them. Plain C++,
// no Qt.
//
// Limits and the back-off distance are kept in encoder counts and shown in
// the axis's units. A field whose text is still the one shown keeps its
// counts exactly, so that new mechanics show the same limits in new units
// and never move them; a limit typed in the same step as new mechanics is
// refused, since it could be meant in either unit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "stage/axis/travel_limits.h"
#include "stage/profile/controller_profile.h"

namespace stage::profile {

struct SettingsForm {
  std::string counts_per_rotation;
  std::string gearhead_ratio;
  std::string pitch_um;
  Wiring wiring;
  std::string lower_limit;  // in the axis's units; empty: none
  std::string upper_limit;
  bool referencing_enabled = false;
  ReferenceDirection referencing_direction = ReferenceDirection::kLower;
  std::string referencing_speed;     // Speed slider units
  std::string referencing_back_off;  // in the axis's units
  bool referencing_at_start_up = false;

  friend bool operator==(const SettingsForm&, const SettingsForm&) = default;
};

// The fields as they show the settings in force.
SettingsForm ShowSettings(const ControllerProfile& in_force);

struct SettingsReading {
  std::optional<ControllerProfile> settings;  // in force from now on
  std::string refusal;                        // one line; empty when read
};

// Reads `edited` against `shown` (what ShowSettings gave for `in_force`).
// `admin` is the administrator's bound for the controller; the refusal names
// the axis by `axis_label`. Everything not on the form (serial, tuning,
// notes) is kept from `in_force`.
SettingsReading ReadSettings(const ControllerProfile& in_force, const SettingsForm& shown,
                             const SettingsForm& edited, const TravelLimits& admin, std::string_view axis_label);

}  // namespace stage::profile

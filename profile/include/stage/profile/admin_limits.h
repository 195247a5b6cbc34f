// The administrator's travel bounds: per controller serial, a lower and an
// upper bound in encoder counts that the operator's own limits may narrow but
// never widen. Read from a TOML file (by default
// /etc/stage-console/limits.toml) as strictly as a profile: a file that is
// not wholly right is refused whole with one message naming the file, the
// line, the column and the field. Plain C++, no Qt.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "stage/axis/travel_limits.h"

namespace stage::profile {

inline constexpr const char* kDefaultAdminLimitsPath = "/etc/stage-console/limits.toml";
inline constexpr std::int64_t kAdminLimitsSchemaVersion = 1;
// A bound file is a few lines per controller: anything above this is not one.
inline constexpr std::size_t kMaxAdminLimitsBytes = 256 * 1024;

struct AdminBounds {
  // UTF-8 serial -> bounds; a controller not named has none.
  std::map<std::string, TravelLimits, std::less<>> by_serial;

  // The bounds of a serial: none for an unnamed or empty serial.
  TravelLimits For(std::string_view serial) const;
  friend bool operator==(const AdminBounds&, const AdminBounds&) = default;
};

// All or nothing: bounds, or one message and no bounds.
struct AdminReading {
  std::optional<AdminBounds> bounds;
  std::string error;
};

// Reads the text of a bound file; `file_name` is only for the message.
// Unknown fields and sections are refused; every bound must be a whole
// number a command packet can carry; a lower bound must lie below its upper.
AdminReading ReadAdminLimits(std::string_view text, std::string_view file_name);

// The file at `path`: a missing file is no bounds (the usual case); a file
// that cannot be read or is refused gives the message.
AdminReading LoadAdminLimitsFile(const std::string& path);

// The limits every target is checked against: on each side the narrower of
// the administrator's bound and the operator's limit; a side that only one of
// them sets takes that one.
TravelLimits MergeLimits(const TravelLimits& admin, const TravelLimits& operator_limits);

// Why the operator's limits cannot be taken, or nothing: a limit outside the
// administrator's bounds (either side), or a lower limit not below the upper.
// The text names the limit and the bound in the axis's units and in counts.
std::optional<std::string> CheckOperatorLimits(const TravelLimits& admin, const TravelLimits& operator_limits,
                                               const AxisUnits& units);

}  // namespace stage::profile

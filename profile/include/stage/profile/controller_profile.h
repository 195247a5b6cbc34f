// What the console remembers of one controller between runs, keyed by its
// serial number (the product string the start-up window reads), and its text
// form: TOML, hand-editable. Plain C++, no Qt; reading and writing files is
// profile_file.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "stage/axis/travel_limits.h"
#include "stage/usb/packet_codec.h"

namespace stage::profile {

// The version this console writes. A file with a newer one is refused; an
// older one is read through the migrations below.
inline constexpr std::int64_t kSchemaVersion = 1;

// A profile is a few hundred bytes: anything above this is not one.
inline constexpr std::size_t kMaxProfileBytes = 64 * 1024;
inline constexpr std::size_t kMaxSerialBytes = 512;  // 256 Latin-1 characters as UTF-8
inline constexpr std::size_t kMaxNotesBytes = 8 * 1024;

// The three mechanics fields of Motor Settings, as the values the fields show
// and the factor is computed from (the counts per micron field is computed,
// never stored). The designed defaults.
struct Mechanics {
  std::int64_t counts_per_rotation = 256;  // a whole number, never 0
  double gearhead_ratio = 250;             // finite, never 0
  double pitch_um = 500;                   // finite, never 0

  double CountsPerMicron() const;
  friend bool operator==(const Mechanics&, const Mechanics&) = default;
};

// The four wiring options of Motor Settings; all unchecked by design.
struct Wiring {
  bool reverse_motor_polarity = false;
  bool reverse_limit_switch = false;
  bool limit_switch_active_high = false;
  bool cancel_when_error = false;

  friend bool operator==(const Wiring&, const Wiring&) = default;
};

// The range of one tuning slider.
struct SliderRange {
  std::string_view key;  // the field name in the file
  std::int32_t minimum;
  std::int32_t maximum;
};
// P, I, D, Acc, Max Speed, Torque, F Error, Speed: the sliders' ranges.
inline constexpr SliderRange kTuningRanges[] = {
    {"p", 0, 155},         {"i", 0, 155},      {"d", 0, 155},       {"acc", 1, 255},
    {"max_speed", 5, 255}, {"torque", 1, 255}, {"f_error", 1, 255}, {"speed", -10000, 10000},
};

enum class ReferenceDirection { kLower, kUpper };

// Homing: toward a limit switch at a speed, back off a distance, ZERO there.
// Only ever started by the operator.
struct Referencing {
  bool enabled = false;
  ReferenceDirection direction = ReferenceDirection::kLower;
  std::int32_t speed = 500;           // Speed slider units, 1..10000; the direction gives the sign
  std::int64_t back_off_counts = 0;   // 0..kMaxEncodableCount
  bool at_start_up = false;           // offered after OK (asked once per run); only when enabled

  friend bool operator==(const Referencing&, const Referencing&) = default;
};
inline constexpr std::int32_t kMaxReferencingSpeed = 10000;

struct ControllerProfile {
  std::string serial;  // UTF-8; never empty in a profile that was read
  Mechanics mechanics;
  Wiring wiring;
  usb::TuningValues tuning;  // the designed starting positions
  TravelLimits limits;       // encoder counts; none by design
  Referencing referencing;
  std::string notes;
  std::optional<std::chrono::sys_seconds> saved_at;  // UTC

  friend bool operator==(const ControllerProfile&, const ControllerProfile&) = default;
};

// One message for a file that is refused: it names the file, the line and
// column where known, and the field where there is one.
struct ProfileError {
  std::string message;     // the whole text, ready for the operator
  std::string field;       // "tuning.p", "" when the file as a whole is wrong
  std::uint32_t line = 0;  // 1-based; 0 when unknown
  std::uint32_t column = 0;
};

// All or nothing: either a whole profile, or the error and no profile.
struct ProfileReading {
  std::optional<ControllerProfile> profile;
  ProfileError error;
};

// Older schema versions are migrated forward by renaming fields: a step
// turns a file of `from_version` into one of from_version + 1. Fields are
// named by their path ("tuning.ferror"). The names in messages stay those
// the file uses.
struct KeyRename {
  std::string_view from;
  std::string_view to;
};
struct SchemaMigration {
  std::int64_t from_version;
  std::span<const KeyRename> renames;
};
// Version 1 is the first: there is nothing to migrate yet.
inline constexpr std::span<const SchemaMigration> kMigrations{};

// Reads a profile from `text`; `file_name` is only for the messages. Never
// throws; any input gives either a profile that passes every check or one
// message. Unknown fields are refused (a mistyped limit must not be silently
// ignored); absent fields take the designed defaults, except schema_version
// and serial, which every profile has. `migrations` is for the tests.
ProfileReading ReadProfile(std::string_view text, std::string_view file_name,
                           std::span<const SchemaMigration> migrations = kMigrations);

// The text of a profile at kSchemaVersion: every field, always in the same
// order, with a comment where the value needs one (the limits in the axis's
// units). The profile must be valid (one that ReadProfile gave, or built from
// the windows' values); ReadProfile(WriteProfile(p)) gives p back.
std::string WriteProfile(const ControllerProfile& profile);

// The file name for a serial: letters, digits, '-', '_' and '.' as they are,
// every other byte as %XX, a leading '.' too; a name too long for a file
// system is cut and given a hash of the whole serial. Ends in ".toml".
std::string ProfileFileName(std::string_view serial);

// A TOML basic string: quotes, backslashes and control characters escaped,
// the bytes of UTF-8 as they are.
std::string TomlQuoted(std::string_view text);

}  // namespace stage::profile

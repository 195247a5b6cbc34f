// Axis mechanics and the conversion between encoder counts and the units the
// operator reads and types.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace stage {

inline constexpr const char* kDefaultCountsPerRotationText = "256";
inline constexpr const char* kDefaultGearheadRatioText = "250";
inline constexpr const char* kDefaultPitchText = "500";

// One mechanics field after acceptance: the text it now shows and the value
// read from that text. A field whose number is not understood (a comma that
// may separate thousands, see ReadNumber) is not accepted: it keeps its text,
// has no value, and must be refused with a message.
struct AcceptedField {
  std::string text;
  double value = 1;
  bool understood = true;
};

// Normalises the field's text; a field that holds no number, zero, or a
// number beyond the range of a double shows "1" and is used as 1.
AcceptedField AcceptMechanicsField(std::string_view text);

// The counts-per-rotation field: accepted like the others, then rounded to an
// integer (halves to even). The integer is held in a double, so every count
// the field can show is the count used (an encoder beyond 32 bits is not
// clamped to another number). A value that rounds to 0 is treated like an
// empty field: "1" and 1.
struct CountsPerRotationField {
  std::string text;
  double counts = 1;
  bool understood = true;  // as for AcceptedField
};
CountsPerRotationField AcceptCountsPerRotationField(std::string_view text);

// (counts per rotation x gearhead ratio) / pitch, the product first. Fields
// that are each sensible can still make a product that underflows to 0 or
// overflows to infinity (gearhead 1E-300 with pitch 1E+300, gearhead 1E+308);
// such a factor would send target 0 for any entry or show every position as
// 0.00, so it is treated like a field with no number: the factor is 1 (the
// axis works in counts), and the read-out field shows the 1 that is used.
double ComputeCountsPerMicron(double counts_per_rotation, double gearhead_ratio, double pitch_um);

// " En" for a factor of exactly 1 (the axis works in raw encoder counts),
// otherwise " um".
std::string UnitSuffixFor(double counts_per_micron);

// The position read-out: counts / factor as "########0.00" followed by the
// unit word.
std::string FormatPosition(std::int32_t position_counts, double counts_per_micron,
                           std::string_view unit_suffix);

// The ideal-position read-out: a plain decimal integer.
std::string FormatIdealPosition(std::int32_t ideal_position_counts);

// Why a target entry must be refused (the previous target stays).
enum class TargetRefusal : std::uint8_t {
  kNone,
  kNoNumber,       // the box holds no number: empty, blanks, letters, a sign alone
  kNotUnderstood,  // a comma that may separate thousands (see ReadNumber)
  kOutOfRange,     // beyond a double, or counts a command packet cannot carry
};

// Target entry: the box's text is normalised, its number times the factor is
// the target in counts (unrounded), and the box is re-shown as "########0.00".
struct TargetEntry {
  double target_counts = 0;
  std::string display_text;
  TargetRefusal refusal = TargetRefusal::kNone;
};
TargetEntry EnterTarget(std::string_view box_text, double counts_per_micron);

}  // namespace stage

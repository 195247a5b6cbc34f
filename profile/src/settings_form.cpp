#include "stage/profile/settings_form.h"

#include <cmath>
#include <cstdint>

#include "stage/axis/mechanics.h"
#include "stage/axis/number_text.h"
#include "stage/profile/admin_limits.h"
#include "stage/usb/packet_codec.h"

namespace stage::profile {
namespace {

constexpr double kMaxCountsPerRotation = 2147483647;

std::string InUnits(std::int64_t counts, double counts_per_micron) {
  return FormatFixed2(static_cast<double>(counts) / counts_per_micron);
}

// Quoted for a message, cut after 24 characters.
std::string Quoted(std::string_view typed) {
  constexpr std::size_t kMaxQuoted = 24;
  std::string text(typed.substr(0, kMaxQuoted));
  if (typed.size() > kMaxQuoted) text += "...";
  return "\"" + text + "\"";
}

class Reader {
 public:
  explicit Reader(std::string_view axis_label) : axis_(axis_label) {}

  bool Failed() const { return !refusal_.empty(); }
  const std::string& Refusal() const { return refusal_; }
  void Refuse(const std::string& what, std::string_view why) {
    if (refusal_.empty()) refusal_ = "Axis " + axis_ + ": " + what + " " + std::string(why) + " Nothing was applied.";
  }

  // A number as the project reads one: never a guess.
  std::optional<double> Number(std::string_view text, const std::string& what) {
    const NumberReading reading = ReadNumber(text);
    if (!reading.found) {
      Refuse(what + (text.find_first_not_of(" \t") == std::string_view::npos ? " is empty:" : " " + Quoted(text)),
             "needs a number.");
      return std::nullopt;
    }
    if (reading.ambiguous) {
      Refuse(what + " " + Quoted(text), "is not understood: a comma there could separate thousands or mark decimals. "
                                        "Type a point for decimals and no thousands separator.");
      return std::nullopt;
    }
    if (reading.out_of_range || !std::isfinite(reading.value)) {
      Refuse(what + " " + Quoted(text), "is out of range.");
      return std::nullopt;
    }
    return reading.value;
  }

  // A mechanics number: not 0; kept as the value its field then shows.
  std::optional<double> Mechanics(std::string_view text, const std::string& what) {
    const auto v = Number(text, what);
    if (!v) return std::nullopt;
    if (*v == 0) {
      Refuse(what + " " + Quoted(text), "must not be 0.");
      return std::nullopt;
    }
    return ReadNumber(CanonicalNumberText(*v)).value;
  }

  // A position in the axis's units, as whole counts the controller can take.
  std::optional<std::int64_t> Counts(std::string_view text, const std::string& what, double counts_per_micron,
                                     std::string_view unit) {
    const auto v = Number(text, what);
    if (!v) return std::nullopt;
    const std::optional<std::int64_t> counts = usb::EncodedTargetCounts(*v * counts_per_micron);
    if (!counts) {
      Refuse(what + " " + Quoted(text),
             "is out of range: the controller takes " + InUnits(usb::kMinEncodableCount, counts_per_micron) + " to " +
                 InUnits(usb::kMaxEncodableCount, counts_per_micron) + std::string(unit) + ".");
    }
    return counts;
  }

 private:
  std::string axis_;
  std::string refusal_;
};

}  // namespace

SettingsForm ShowSettings(const ControllerProfile& in_force) {
  const double factor = in_force.mechanics.CountsPerMicron();
  const auto limit = [factor](const std::optional<std::int64_t>& counts) {
    return counts ? InUnits(*counts, factor) : std::string();
  };
  SettingsForm form;
  form.counts_per_rotation = std::to_string(in_force.mechanics.counts_per_rotation);
  form.gearhead_ratio = CanonicalNumberText(in_force.mechanics.gearhead_ratio);
  form.pitch_um = CanonicalNumberText(in_force.mechanics.pitch_um);
  form.wiring = in_force.wiring;
  form.lower_limit = limit(in_force.limits.lower_counts);
  form.upper_limit = limit(in_force.limits.upper_counts);
  form.referencing_enabled = in_force.referencing.enabled;
  form.referencing_direction = in_force.referencing.direction;
  form.referencing_speed = std::to_string(in_force.referencing.speed);
  form.referencing_back_off = InUnits(in_force.referencing.back_off_counts, factor);
  form.referencing_at_start_up = in_force.referencing.at_start_up;
  return form;
}

SettingsReading ReadSettings(const ControllerProfile& in_force, const SettingsForm& shown, const SettingsForm& edited,
                             const TravelLimits& admin, std::string_view axis_label) {
  Reader reader(axis_label);
  ControllerProfile next = in_force;

  // Mechanics first: the positions below are in the units they give.
  if (edited.counts_per_rotation != shown.counts_per_rotation) {
    if (const auto v = reader.Mechanics(edited.counts_per_rotation, "the encoder counts per motor rotation")) {
      const double whole = std::nearbyint(*v);
      if (whole == 0 || std::abs(whole) > kMaxCountsPerRotation) {
        reader.Refuse("the encoder counts per motor rotation " + Quoted(edited.counts_per_rotation),
                      "must be a whole number other than 0, at most 2147483647 either way.");
      } else {
        next.mechanics.counts_per_rotation = static_cast<std::int64_t>(whole);
      }
    }
  }
  if (edited.gearhead_ratio != shown.gearhead_ratio) {
    if (const auto v = reader.Mechanics(edited.gearhead_ratio, "the gearhead ratio")) next.mechanics.gearhead_ratio = *v;
  }
  if (edited.pitch_um != shown.pitch_um) {
    if (const auto v = reader.Mechanics(edited.pitch_um, "the leadscrew pitch")) next.mechanics.pitch_um = *v;
  }
  if (reader.Failed()) return {std::nullopt, reader.Refusal()};
  const Mechanics& m = next.mechanics;
  const double product = static_cast<double>(m.counts_per_rotation) * m.gearhead_ratio / m.pitch_um;
  if (!std::isfinite(product) || product == 0) {
    reader.Refuse("these mechanics", "give no usable encoder counts per micron.");
    return {std::nullopt, reader.Refusal()};
  }
  const bool mechanics_changed = !(next.mechanics == in_force.mechanics);
  const double factor = in_force.mechanics.CountsPerMicron();
  const std::string unit = UnitSuffixFor(factor);

  next.wiring = edited.wiring;

  // A position typed now is read in the units in force.
  const auto position = [&](const std::string& edited_text, const std::string& shown_text, const std::string& what,
                            std::optional<std::int64_t>& counts, bool optional) {
    if (edited_text == shown_text) return;
    if (mechanics_changed) {
      reader.Refuse(what + " " + Quoted(edited_text),
                    "was typed together with new mechanics, and could be meant in either unit: apply the mechanics "
                    "first, then type it in the new unit.");
      return;
    }
    if (optional && edited_text.find_first_not_of(" \t") == std::string::npos) {
      counts.reset();
      return;
    }
    if (const auto v = reader.Counts(edited_text, what, factor, unit)) counts = *v;
  };
  position(edited.lower_limit, shown.lower_limit, "the lower travel limit", next.limits.lower_counts, true);
  position(edited.upper_limit, shown.upper_limit, "the upper travel limit", next.limits.upper_counts, true);

  next.referencing.enabled = edited.referencing_enabled;
  next.referencing.direction = edited.referencing_direction;
  next.referencing.at_start_up = edited.referencing_enabled && edited.referencing_at_start_up;
  if (edited.referencing_speed != shown.referencing_speed) {
    if (const auto v = reader.Number(edited.referencing_speed, "the referencing speed")) {
      if (*v != std::nearbyint(*v) || *v < 1 || *v > kMaxReferencingSpeed) {
        reader.Refuse("the referencing speed " + Quoted(edited.referencing_speed),
                      "must be a whole number from 1 to " + std::to_string(kMaxReferencingSpeed) + ".");
      } else {
        next.referencing.speed = static_cast<std::int32_t>(*v);
      }
    }
  }
  std::optional<std::int64_t> back_off = next.referencing.back_off_counts;
  position(edited.referencing_back_off, shown.referencing_back_off, "the back-off distance", back_off, false);
  if (back_off && *back_off < 0) {
    reader.Refuse("the back-off distance " + Quoted(edited.referencing_back_off), "must not be negative.");
  } else if (back_off) {
    next.referencing.back_off_counts = *back_off;
  }
  if (reader.Failed()) return {std::nullopt, reader.Refusal()};

  const std::string label(axis_label);
  const double next_factor = next.mechanics.CountsPerMicron();
  const std::string next_unit = UnitSuffixFor(next_factor);
  if (const auto refusal = CheckOperatorLimits(admin, next.limits, AxisUnits{label, next_factor, next_unit})) {
    return {std::nullopt, *refusal + " Nothing was applied."};
  }
  return {std::move(next), {}};
}

}  // namespace stage::profile

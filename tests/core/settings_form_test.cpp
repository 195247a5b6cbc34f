// Why: the Axis Settings window edits a live axis, so what it reads must be
// all or nothing; limits are kept in counts, so new mechanics show them in
// new units and never move them, and a limit typed with new mechanics is
// refused rather than read in a unit the operator may not have meant.
#include "stage/profile/settings_form.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace stage::profile {
namespace {

// 128 counts per micron, limits -10 um and 50 um, back-off 1 um.
ControllerProfile InForce() {
  ControllerProfile p;
  p.serial = "SimX";
  p.limits = {-1280, 6400};
  p.referencing.back_off_counts = 128;
  p.notes = "kept";
  return p;
}

TEST(SettingsForm, ShowsTheSettingsInForceInTheAxisUnits) {
  const SettingsForm form = ShowSettings(InForce());
  EXPECT_EQ(form.counts_per_rotation, "256");
  EXPECT_EQ(form.gearhead_ratio, "250");
  EXPECT_EQ(form.pitch_um, "500");
  EXPECT_EQ(form.lower_limit, "-10.00");
  EXPECT_EQ(form.upper_limit, "50.00");
  EXPECT_EQ(form.referencing_speed, "500");
  EXPECT_EQ(form.referencing_back_off, "1.00");
  // Nothing edited: the same settings, exactly.
  const SettingsReading reading = ReadSettings(InForce(), form, form, {}, "X");
  ASSERT_TRUE(reading.settings) << reading.refusal;
  EXPECT_EQ(*reading.settings, InForce());
}

TEST(SettingsForm, NewMechanicsKeepTheLimitsInCountsAndShowThemInTheNewUnit) {
  const SettingsForm shown = ShowSettings(InForce());
  SettingsForm edited = shown;
  edited.counts_per_rotation = "512";  // 256 counts per micron
  const SettingsReading reading = ReadSettings(InForce(), shown, edited, {}, "X");
  ASSERT_TRUE(reading.settings) << reading.refusal;
  EXPECT_EQ(reading.settings->mechanics.counts_per_rotation, 512);
  EXPECT_EQ(reading.settings->limits, InForce().limits);
  EXPECT_EQ(reading.settings->referencing.back_off_counts, 128);
  const SettingsForm again = ShowSettings(*reading.settings);
  EXPECT_EQ(again.lower_limit, "-5.00");
  EXPECT_EQ(again.upper_limit, "25.00");
  EXPECT_EQ(again.referencing_back_off, "0.50");
  // To counts: one count per micron.
  edited = again;
  edited.counts_per_rotation = "1";
  edited.gearhead_ratio = "1";
  edited.pitch_um = "1";
  const SettingsReading in_counts = ReadSettings(*reading.settings, again, edited, {}, "X");
  ASSERT_TRUE(in_counts.settings) << in_counts.refusal;
  EXPECT_EQ(ShowSettings(*in_counts.settings).upper_limit, "6400.00");
}

struct Edit {
  const char* name;
  std::function<void(SettingsForm&)> edit;
  const char* refusal;  // "" when taken
  std::function<bool(const ControllerProfile&)> check = [](const ControllerProfile&) { return true; };
};

class SettingsFormEdits : public ::testing::TestWithParam<Edit> {};

TEST_P(SettingsFormEdits, AreTakenWholeOrRefusedWhole) {
  const SettingsForm shown = ShowSettings(InForce());
  SettingsForm edited = shown;
  GetParam().edit(edited);
  const SettingsReading reading = ReadSettings(InForce(), shown, edited, TravelLimits{-2560, 12800}, "X");
  EXPECT_EQ(reading.refusal, GetParam().refusal);
  if (GetParam().refusal[0] == '\0') {
    ASSERT_TRUE(reading.settings);
    EXPECT_TRUE(GetParam().check(*reading.settings));
    EXPECT_EQ(reading.settings->notes, "kept");
  } else {
    EXPECT_FALSE(reading.settings);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsFormEdits,
    ::testing::Values(
        Edit{"limits_typed", [](SettingsForm& f) { f.lower_limit = "-20"; f.upper_limit = "100"; }, "",
             [](const ControllerProfile& p) { return p.limits == TravelLimits{-2560, 12800}; }},
        Edit{"limit_cleared_takes_none", [](SettingsForm& f) { f.upper_limit = " "; }, "",
             [](const ControllerProfile& p) { return !p.limits.upper_counts; }},
        Edit{"limit_rounds_half_to_even", [](SettingsForm& f) { f.upper_limit = "0.00390625"; }, "",
             [](const ControllerProfile& p) { return p.limits.upper_counts == 0; }},
        Edit{"wiring_and_referencing",
             [](SettingsForm& f) {
               f.wiring.reverse_limit_switch = true;
               f.referencing_enabled = true;
               f.referencing_direction = ReferenceDirection::kUpper;
               f.referencing_speed = "1200";
               f.referencing_back_off = "2";
               f.referencing_at_start_up = true;
             },
             "",
             [](const ControllerProfile& p) {
               return p.wiring.reverse_limit_switch && p.referencing ==
                   Referencing{true, ReferenceDirection::kUpper, 1200, 256, true};
             }},
        Edit{"start_up_needs_referencing", [](SettingsForm& f) { f.referencing_at_start_up = true; }, "",
             [](const ControllerProfile& p) { return !p.referencing.at_start_up; }},
        Edit{"lower_beyond_the_admin_bound", [](SettingsForm& f) { f.lower_limit = "-20.01"; },
             "The lower travel limit of axis X, -20.01 um (-2561 counts), is below the administrator's lower bound, "
             "-20.00 um (-2560 counts). Nothing was applied."},
        Edit{"upper_beyond_the_admin_bound_with_good_wiring",
             [](SettingsForm& f) { f.wiring.cancel_when_error = true; f.upper_limit = "101"; },
             "The upper travel limit of axis X, 101.00 um (12928 counts), is above the administrator's upper bound, "
             "100.00 um (12800 counts). Nothing was applied."},
        Edit{"crossed_limits", [](SettingsForm& f) { f.lower_limit = "50"; },
             "The lower travel limit of axis X, 50.00 um (6400 counts), is not below its upper travel limit, "
             "50.00 um (6400 counts). Nothing was applied."},
        Edit{"limit_not_a_number", [](SettingsForm& f) { f.upper_limit = "fifty"; },
             "Axis X: the upper travel limit \"fifty\" needs a number. Nothing was applied."},
        Edit{"limit_ambiguous", [](SettingsForm& f) { f.upper_limit = "1,000"; },
             "Axis X: the upper travel limit \"1,000\" is not understood: a comma there could separate thousands or "
             "mark decimals. Type a point for decimals and no thousands separator. Nothing was applied."},
        Edit{"limit_beyond_the_controller", [](SettingsForm& f) { f.upper_limit = "1E+7"; },
             "Axis X: the upper travel limit \"1E+7\" is out of range: the controller takes -8388608.00 to "
             "8388607.99 um. Nothing was applied."},
        Edit{"limit_typed_with_new_mechanics",
             [](SettingsForm& f) { f.pitch_um = "1000"; f.upper_limit = "40"; },
             "Axis X: the upper travel limit \"40\" was typed together with new mechanics, and could be meant in "
             "either unit: apply the mechanics first, then type it in the new unit. Nothing was applied."},
        Edit{"pitch_zero", [](SettingsForm& f) { f.pitch_um = "0"; },
             "Axis X: the leadscrew pitch \"0\" must not be 0. Nothing was applied."},
        Edit{"gearhead_empty", [](SettingsForm& f) { f.gearhead_ratio = ""; },
             "Axis X: the gearhead ratio is empty: needs a number. Nothing was applied."},
        Edit{"counts_per_rotation_too_large", [](SettingsForm& f) { f.counts_per_rotation = "3E+9"; },
             "Axis X: the encoder counts per motor rotation \"3E+9\" must be a whole number other than 0, at most "
             "2147483647 either way. Nothing was applied."},
        Edit{"mechanics_overflow", [](SettingsForm& f) { f.gearhead_ratio = "1E+300"; f.pitch_um = "1E-300"; },
             "Axis X: these mechanics give no usable encoder counts per micron. Nothing was applied."},
        Edit{"speed_fraction", [](SettingsForm& f) { f.referencing_speed = "2.5"; },
             "Axis X: the referencing speed \"2.5\" must be a whole number from 1 to 10000. Nothing was applied."},
        Edit{"back_off_negative", [](SettingsForm& f) { f.referencing_back_off = "-1"; },
             "Axis X: the back-off distance \"-1\" must not be negative. Nothing was applied."}),
    [](const ::testing::TestParamInfo<Edit>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace stage::profile

// Why: the administrator's bounds are the last word on how far an axis may go.
// A damaged bound file must be refused whole with a message that says where
// (never read in part, which could drop one controller's bounds), and an
// operator's limits may narrow a bound but never widen it, on either side,
// in either units.
#include "stage/profile/admin_limits.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace stage::profile {
namespace {

constexpr const char* kFile = "limits.toml";

TEST(AdminLimitsReading, ReadsEachControllersBoundsAndNamesNoOther) {
  const AdminReading reading = ReadAdminLimits(
      "# the lab's stages\n"
      "schema_version = 1\n"
      "[controllers.SimX]\nlower_counts = -1280\nupper_counts = 6400\n"
      "[controllers.\"KLV 07\"]\nupper_counts = 100\n",
      kFile);
  ASSERT_TRUE(reading.bounds) << reading.error;
  EXPECT_EQ(reading.bounds->For("SimX"), (TravelLimits{-1280, 6400}));
  EXPECT_EQ(reading.bounds->For("KLV 07"), (TravelLimits{std::nullopt, 100}));
  EXPECT_EQ(reading.bounds->For("SimY"), TravelLimits{});
  EXPECT_EQ(reading.bounds->For(""), TravelLimits{});
  // A file that names nobody bounds nobody.
  const AdminReading empty = ReadAdminLimits("schema_version = 1\n", kFile);
  ASSERT_TRUE(empty.bounds);
  EXPECT_TRUE(empty.bounds->by_serial.empty());
}

struct BadFile {
  const char* name;
  std::string text;
  const char* message;
};

class AdminLimitsRefused : public ::testing::TestWithParam<BadFile> {};

TEST_P(AdminLimitsRefused, WholeWithItsMessage) {
  const AdminReading reading = ReadAdminLimits(GetParam().text, kFile);
  EXPECT_FALSE(reading.bounds);
  EXPECT_EQ(reading.error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdminLimitsRefused,
    ::testing::Values(
        BadFile{"syntax", "schema_version = 1\n[controllers.SimX\n",
                "limits.toml line 2, column 18: Error while parsing table header: expected ']', saw '\\n'"},
        BadFile{"no_version", "[controllers.SimX]\nlower_counts = 1\n",
                "limits.toml: schema_version: missing (a bound file starts with schema_version = 1)"},
        BadFile{"newer_version", "schema_version = 2\n",
                "limits.toml line 1, column 18: schema_version: expected 1, the version this console reads"},
        BadFile{"wrong_type", "schema_version = 1\n[controllers.SimX]\nlower_counts = '-5'\n",
                "limits.toml line 3, column 16: controllers.SimX.lower_counts: expected a whole number"},
        BadFile{"fraction", "schema_version = 1\n[controllers.SimX]\nupper_counts = 5.5\n",
                "limits.toml line 3, column 16: controllers.SimX.upper_counts: expected a whole number"},
        BadFile{"out_of_range", "schema_version = 1\n[controllers.SimX]\nupper_counts = 1073741824\n",
                "limits.toml line 3, column 16: controllers.SimX.upper_counts: 1073741824 is out of range "
                "(-1073741824 to 1073741823)"},
        BadFile{"misspelt_field", "schema_version = 1\n[controllers.SimX]\nuper_counts = 5\n",
                "limits.toml line 3, column 1: controllers.SimX.uper_counts: unknown field"},
        BadFile{"unknown_section", "schema_version = 1\n[controller.SimX]\nupper_counts = 5\n",
                "limits.toml line 2, column 2: controller: unknown field"},
        BadFile{"crossed", "schema_version = 1\n[controllers.SimX]\nlower_counts = 10\nupper_counts = 10\n",
                "limits.toml line 2, column 1: controllers.SimX: lower_counts 10 is not below upper_counts 10"},
        BadFile{"controller_not_a_table", "schema_version = 1\ncontrollers.SimX = 5\n",
                "limits.toml line 2, column 20: controllers.SimX: expected a section of bounds"},
        BadFile{"zero_byte", std::string("schema_version = 1\n\0", 20),
                "limits.toml: not a text file (it holds a zero byte)"},
        BadFile{"huge", "schema_version = 1\n" + std::string(std::size_t{300} * 1024, '#'),
                "limits.toml: larger than 256 KiB, which no bound file is"}),
    [](const ::testing::TestParamInfo<BadFile>& param_info) { return param_info.param.name; });

TEST(AdminLimitsFile, MissingIsNoBoundsAndUnreadableIsRefused) {
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) /
                                       ("admin_limits_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const AdminReading missing = LoadAdminLimitsFile((folder / "none.toml").string());
  ASSERT_TRUE(missing.bounds);
  EXPECT_TRUE(missing.bounds->by_serial.empty());
  // A folder where the file should be cannot be read: refused, not ignored.
  const AdminReading folder_reading = LoadAdminLimitsFile(folder.string());
  EXPECT_FALSE(folder_reading.bounds);
  EXPECT_NE(folder_reading.error.find(folder.string()), std::string::npos) << folder_reading.error;
  const std::string bad = (folder / "bad.toml").string();
  std::ofstream(bad) << "schema_version = 1\n[controllers.SimX]\nlower_counts = true\n";
  const AdminReading refused = LoadAdminLimitsFile(bad);
  EXPECT_FALSE(refused.bounds);
  EXPECT_EQ(refused.error, bad + " line 3, column 16: controllers.SimX.lower_counts: expected a whole number");
  std::filesystem::remove_all(folder);
}

struct MergeCase {
  const char* name;
  TravelLimits admin;
  TravelLimits operator_limits;
  TravelLimits merged;
};

class AdminLimitsMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(AdminLimitsMerge, TakesTheNarrowerSide) {
  EXPECT_EQ(MergeLimits(GetParam().admin, GetParam().operator_limits), GetParam().merged);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdminLimitsMerge,
    ::testing::Values(MergeCase{"neither", {}, {}, {}},
                      MergeCase{"admin_only", {-100, 100}, {}, {-100, 100}},
                      MergeCase{"operator_only", {}, {-5, 5}, {-5, 5}},
                      MergeCase{"operator_narrower", {-100, 100}, {-5, 5}, {-5, 5}},
                      // A profile saved before the administrator narrowed the bound.
                      MergeCase{"operator_wider", {-100, 100}, {-500, 500}, {-100, 100}},
                      MergeCase{"one_side_each", {std::nullopt, 100}, {-5, std::nullopt}, {-5, 100}},
                      MergeCase{"on_the_bound", {-100, 100}, {-100, 100}, {-100, 100}}),
    [](const ::testing::TestParamInfo<MergeCase>& param_info) { return param_info.param.name; });

struct CheckCase {
  const char* name;
  TravelLimits operator_limits;
  double counts_per_micron;
  const char* suffix;
  const char* refusal;  // "" when taken
};

class AdminLimitsCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(AdminLimitsCheck, NarrowsButNeverWidens) {
  const TravelLimits admin{-1280, 6400};
  const CheckCase& c = GetParam();
  const auto refusal = CheckOperatorLimits(admin, c.operator_limits, AxisUnits{"X", c.counts_per_micron, c.suffix});
  EXPECT_EQ(refusal.value_or(""), c.refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdminLimitsCheck,
    ::testing::Values(
        CheckCase{"none", {}, 128, " um", ""},
        CheckCase{"on_both_bounds", {-1280, 6400}, 128, " um", ""},
        CheckCase{"inside", {0, 128}, 128, " um", ""},
        CheckCase{"lower_below", {-1281, std::nullopt}, 128, " um",
                  "The lower travel limit of axis X, -10.01 um (-1281 counts), is below the administrator's lower "
                  "bound, -10.00 um (-1280 counts)."},
        CheckCase{"upper_above_in_counts", {std::nullopt, 6401}, 1, " En",
                  "The upper travel limit of axis X, 6401.00 En (6401 counts), is above the administrator's upper "
                  "bound, 6400.00 En (6400 counts)."},
        // A lower limit beyond the upper bound widens nothing on its side but
        // leaves no travel the administrator allows.
        CheckCase{"lower_above_upper_bound", {6500, std::nullopt}, 128, " um",
                  "The lower travel limit of axis X, 50.78 um (6500 counts), is above the administrator's upper "
                  "bound, 50.00 um (6400 counts)."},
        CheckCase{"crossed", {100, 100}, 128, " um",
                  "The lower travel limit of axis X, 0.78 um (100 counts), is not below its upper travel limit, "
                  "0.78 um (100 counts)."}),
    [](const ::testing::TestParamInfo<CheckCase>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace stage::profile

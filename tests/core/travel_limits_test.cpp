// Why: a soft limit is the last thing between a mistyped target and the hard
// end of a stage. It must hold exactly at its edge, for absolute and relative
// moves alike, refuse a relative move whole rather than shorten it, and stay
// where it is in counts when the mechanics (and so the units) change.
#include "stage/axis/travel_limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "stage/axis/mechanics.h"

namespace stage {
namespace {

// 128 counts per micron (the default mechanics): the limits are -100 um and
// +100 um.
const TravelLimits kBoth{-12800, 12800};
constexpr AxisUnits kMicrons{"X", 128, " um"};

struct LimitCase {
  const char* name;
  TravelLimits limits;
  MoveRequest move;
  bool accepted;
  const char* names_limit;  // "lower", "upper", or "" when accepted
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class TravelLimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(TravelLimitTest, AcceptsInsideAndOnTheEdgesRefusesBeyond) {
  const LimitCase& c = GetParam();
  const LimitVerdict verdict = CheckTravelLimits(c.limits, c.move, kMicrons);
  EXPECT_EQ(verdict.accepted, c.accepted) << verdict.refusal;
  if (c.accepted) {
    EXPECT_TRUE(verdict.refusal.empty());
  } else {
    EXPECT_NE(verdict.refusal.find(std::string("the ") + c.names_limit + " travel limit of axis X"),
              std::string::npos)
        << verdict.refusal;
    EXPECT_NE(verdict.refusal.find("The previous target is kept."), std::string::npos);
  }
}

constexpr MoveRequest Absolute(double counts) { return {MoveKind::kAbsolute, counts, 0}; }
constexpr MoveRequest Relative(double distance, double base) { return {MoveKind::kRelative, distance, base}; }
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, TravelLimitTest,
    ::testing::Values(
        LimitCase{"inside", kBoth, Absolute(0), true, ""},
        LimitCase{"on_upper", kBoth, Absolute(12800), true, ""},
        LimitCase{"on_lower", kBoth, Absolute(-12800), true, ""},
        // The packet carries whole counts: 12800.5 goes out as 12800, 12800.6
        // and 12801.5 as 12801 and 12802.
        LimitCase{"half_rounds_onto_upper", kBoth, Absolute(12800.5), true, ""},
        LimitCase{"fraction_rounds_beyond_upper", kBoth, Absolute(12800.6), false, "upper"},
        LimitCase{"one_count_above", kBoth, Absolute(12801), false, "upper"},
        LimitCase{"one_count_below", kBoth, Absolute(-12801), false, "lower"},
        LimitCase{"far_beyond", kBoth, Absolute(1e9), false, "upper"},
        // Rel: the end is the base plus the distance.
        LimitCase{"rel_onto_upper", kBoth, Relative(800, 12000), true, ""},
        LimitCase{"rel_one_beyond_upper", kBoth, Relative(801, 12000), false, "upper"},
        LimitCase{"rel_back_inside_from_outside", kBoth, Relative(-200, 12900), true, ""},
        LimitCase{"rel_across_lower", kBoth, Relative(-20000, 0), false, "lower"},
        LimitCase{"rel_across_both_names_lower", kBoth, Relative(-30000, 12800), false, "lower"},
        LimitCase{"rel_zero_from_outside", kBoth, Relative(0, 13000), false, "upper"},
        // One side only: the other is the controller's full range.
        LimitCase{"only_lower_far_up", TravelLimits{-12800, std::nullopt}, Absolute(1e9), true, ""},
        LimitCase{"only_lower_below", TravelLimits{-12800, std::nullopt}, Absolute(-12801), false, "lower"},
        LimitCase{"only_upper_far_down", TravelLimits{std::nullopt, 12800}, Absolute(-1e9), true, ""},
        LimitCase{"only_upper_above", TravelLimits{std::nullopt, 12800}, Relative(1, 12800), false, "upper"},
        // No limits: nothing to refuse here (encodability is checked by target entry).
        LimitCase{"none", TravelLimits{}, Absolute(1e300), true, ""},
        LimitCase{"none_nan", TravelLimits{}, Absolute(kNaN), true, ""}),
    [](const ::testing::TestParamInfo<LimitCase>& row) { return std::string(row.param.name); });

TEST(TravelLimitTextTest, NamesTheLimitInTheAxisUnitsAndInCounts) {
  EXPECT_EQ(CheckTravelLimits(kBoth, Absolute(12928), kMicrons).refusal,
            "Target 101.00 um is beyond the upper travel limit of axis X, 100.00 um (12800 counts). "
            "The previous target is kept.");
  EXPECT_EQ(CheckTravelLimits(kBoth, Relative(-6400, -7680), kMicrons).refusal,
            "Rel -50.00 um from -60.00 um would end at -110.00 um, beyond the lower travel limit of axis X, "
            "-100.00 um (-12800 counts). The previous target is kept.");
}

TEST(TravelLimitTextTest, ATargetThatIsNoNumberIsRefusedWhenLimitsAreSet) {
  for (const MoveRequest move : {Absolute(kNaN), Relative(kNaN, 0), Relative(10, kNaN),
                                 Absolute(std::numeric_limits<double>::infinity())}) {
    const LimitVerdict verdict = CheckTravelLimits(kBoth, move, kMicrons);
    EXPECT_FALSE(verdict.accepted);
    EXPECT_NE(verdict.refusal.find("axis X"), std::string::npos) << verdict.refusal;
  }
}

// Typed targets in the axis's units, through target entry as the windows do
// it, across a change of mechanics: the limits stay in counts, so the same
// stage travel is allowed, and the refusal shows the limit in the new units.
TEST(TravelLimitTextTest, LimitsStayInCountsAcrossAChangeOfMechanics) {
  const auto check = [](const char* typed, double counts_per_micron) {
    const TargetEntry entry = EnterTarget(typed, counts_per_micron);
    const std::string unit = UnitSuffixFor(counts_per_micron);
    return CheckTravelLimits(kBoth, Absolute(entry.target_counts), AxisUnits{"X", counts_per_micron, unit});
  };
  // Default mechanics, 128 counts per micron: the edge is at 100 um.
  EXPECT_TRUE(check("100", 128).accepted);
  EXPECT_FALSE(check("100.01", 128).accepted);
  // Pitch 500 -> 1000: 64 counts per micron, the same edge is now 200 um.
  const double halved = ComputeCountsPerMicron(256, 250, 1000);
  ASSERT_EQ(halved, 64);
  EXPECT_TRUE(check("200", halved).accepted);
  const LimitVerdict beyond = check("200.02", halved);
  EXPECT_FALSE(beyond.accepted);
  EXPECT_NE(beyond.refusal.find("200.00 um (12800 counts)"), std::string::npos) << beyond.refusal;
  // All three fields 1: the axis works in counts, the edge is 12800 En.
  EXPECT_TRUE(check("12800", 1).accepted);
  const LimitVerdict in_counts = check("12801", 1);
  EXPECT_FALSE(in_counts.accepted);
  EXPECT_NE(in_counts.refusal.find("Target 12801.00 En is beyond the upper travel limit of axis X, 12800.00 En "
                                   "(12800 counts)"),
            std::string::npos)
      << in_counts.refusal;
}

}  // namespace
}  // namespace stage

// Why: autoscale that takes its own last range as input grows without end on
// a flat trace (the traces become flat lines at 10^33), and a redraw that
// hands every sample of 32 axes over 60 s to the plot holds the 10 ms poll
// back. The range must depend on the values alone, and the cut trace must
// keep each pixel column's extremes.
#include "stage/scope/plot_reduction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace stage::scope {
namespace {

struct RangeCase {
  const char* name;
  double low;
  double high;
  double min_half_span;
  double lower;
  double upper;
};

class AutoscaleTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(AutoscaleTest, GivesTheRangeWorkedOutByHand) {
  const RangeCase& c = GetParam();
  const ValueRange range = AutoscaleRange(c.low, c.high, c.min_half_span);
  EXPECT_DOUBLE_EQ(range.lower, c.lower);
  EXPECT_DOUBLE_EQ(range.upper, c.upper);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, AutoscaleTest,
    ::testing::Values(
        // A constant 1000 um with a least half span of 0.125 um (16 counts).
        RangeCase{"Constant", 1000, 1000, 0.125, 999.875, 1000.125},
        // A following error of exactly 0.
        RangeCase{"ConstantZero", 0, 0, 0.125, -0.125, 0.125},
        // 0 to 100: 5 % of the span either side.
        RangeCase{"Span", 0, 100, 0.125, -5, 105},
        RangeCase{"NegativeSpan", -300, -100, 1, -310, -90},
        // Narrower than the least span: that span round the middle.
        RangeCase{"NearlyFlat", 10, 10.1, 0.125, 9.925, 10.175},
        RangeCase{"NoValues", 1, 0, 2, -2, 2}),
    [](const ::testing::TestParamInfo<RangeCase>& row) { return row.param.name; });

TEST(Autoscale, AFlatTraceKeepsItsRangeRedrawAfterRedraw) {
  ValueRange range = AutoscaleRange(1000, 1000, 0.125);
  for (int redraw = 0; redraw < 1000; ++redraw) range = AutoscaleRange(1000, 1000, 0.125);
  EXPECT_DOUBLE_EQ(range.upper - range.lower, 0.25);
}

using Points = std::vector<std::pair<std::int64_t, double>>;

Points Decimate(std::int64_t from_us, std::int64_t to_us, int columns, const Points& samples) {
  Points kept;
  ColumnDecimator decimator(from_us, to_us, columns);
  auto keep = [&](std::int64_t t, double v) { kept.emplace_back(t, v); };
  for (const auto& [t, v] : samples) decimator.Add(t, v, keep);
  decimator.Finish(keep);
  return kept;
}

TEST(ColumnDecimator, KeepsEachColumnsLowestAndHighestInTimeOrder) {
  // 0 to 100 us over 2 columns of 50 us.
  const Points samples = {{0, 5}, {10, 9}, {20, 1}, {30, 4},     // column 0: high 9 at 10, low 1 at 20
                          {50, 3}, {60, 2}, {70, 8}, {90, 8},   // column 1: low 2 at 60, high 8 at 70
                          {100, 7}};                            // the end falls in the last column
  const Points want = {{10, 9}, {20, 1}, {60, 2}, {70, 8}};
  EXPECT_EQ(Decimate(0, 100, 2, samples), want);
}

TEST(ColumnDecimator, AColumnWithOneValueKeepsOnePoint) {
  const Points samples = {{0, 1}, {1, 1}, {2, 1}, {60, 4}};
  const Points want = {{0, 1}, {60, 4}};
  EXPECT_EQ(Decimate(0, 100, 2, samples), want);
}

TEST(ColumnDecimator, AFlatRunKeepsItsFirstAndLastColumn) {
  // Four columns of 10 us: 1, 1, 1, then 5; then flat to the end.
  const Points samples = {{0, 1}, {5, 1}, {10, 1}, {20, 1}, {25, 1}, {30, 5}, {35, 5}};
  const Points want = {{0, 1}, {20, 1}, {30, 5}};
  EXPECT_EQ(Decimate(0, 40, 4, samples), want);
  // The run at the end keeps its last column too.
  const Points ends_flat = {{0, 2}, {10, 1}, {20, 1}, {30, 1}};
  const Points want_end = {{0, 2}, {10, 1}, {30, 1}};
  EXPECT_EQ(Decimate(0, 40, 4, ends_flat), want_end);
}

TEST(ColumnDecimator, SixThousandSamplesOnAThousandColumnsKeepAtMostTwoEach) {
  Points samples;
  for (std::int64_t i = 0; i < 6000; ++i) samples.emplace_back(i * 10'000, static_cast<double>(i % 7));
  const Points kept = Decimate(0, 60'000'000, 1000, samples);
  EXPECT_LE(kept.size(), 2000U);
  EXPECT_GE(kept.size(), 1000U);
  EXPECT_EQ(kept.front().first, 0);
}

// The Scope draws the points kept so far and a copy's Finish points, and
// later draws again only from where that line could change: past the latest
// point kept, or past a flat run's pending column. Whatever comes next, the
// final cut must continue the points kept, level with the last of them up
// to the pending column.
TEST(ColumnDecimator, CutPieceByPieceTheLineUpToThePendingColumnStays) {
  // Columns of 10 us: flat runs, steps, a spike, and a column with two values.
  Points samples;
  const double values[] = {1, 1, 1, 1, 1, 1, 4, 4, 4, 2, 2, 2, 2, 9, 2, 2, 2, 2, 2, 2, 3, 5, 5, 5, 5, 5};
  std::int64_t t = 0;
  for (double v : values) {
    samples.emplace_back(t, v);
    samples.emplace_back(t + 4, v);
    t += 10;
  }
  const Points whole = Decimate(0, t, static_cast<int>(t / 10), samples);
  ColumnDecimator cut(0, t, static_cast<int>(t / 10));
  Points kept;
  for (const auto& [time_us, value] : samples) {
    cut.Add(time_us, value, [&](std::int64_t kt, double kv) { kept.emplace_back(kt, kv); });
    ASSERT_LE(kept.size(), whole.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), whole.begin())) << "at " << time_us;
    if (const std::optional<std::int64_t> pending = cut.PendingTimeUs()) {
      ASSERT_FALSE(kept.empty());
      ASSERT_LT(kept.size(), whole.size());
      EXPECT_EQ(whole[kept.size()].second, kept.back().second) << "at " << time_us;
      EXPECT_GE(whole[kept.size()].first, *pending) << "at " << time_us;
      EXPECT_LE(*pending, time_us);
    }
  }
}

}  // namespace
}  // namespace stage::scope

// Why: the step-response figures are what an operator tunes by; a wrong
// crossing, a missed overshoot or a move that "settles" while it still rings
// sends the tuning the wrong way. Synthetic moves with known shapes are fed
// at the 10 ms polling period, and each figure is checked against the shape
// itself, evaluated finely.
#include "stage/scope/step_response.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "stage/usb/packet_codec.h"

namespace stage::scope {
namespace {

constexpr std::int64_t kPeriodUs = 10'000;
constexpr std::int64_t kStartUs = 10'000;  // the GO goes out on the second exchange
constexpr std::uint8_t kActive = usb::kActiveBit;

// A position as a function of the time since the move's start (s). Plain
// functions, so the table holds no closures.
using Shape = double (*)(double);

double FirstOrder(double t) { return 10000 * (1 - std::exp(-t / 0.1)); }
double FirstOrderDownward(double t) { return -FirstOrder(t); }
// zeta 0.3, omega_n 20 rad/s.
double SecondOrder(double t) {
  constexpr double kZeta = 0.3;
  constexpr double kOmegaN = 20;
  const double omega_d = kOmegaN * std::sqrt(1 - kZeta * kZeta);
  return 10000 * (1 - std::exp(-kZeta * kOmegaN * t) *
                          (std::cos(omega_d * t) + kZeta / std::sqrt(1 - kZeta * kZeta) * std::sin(omega_d * t)));
}
double Swinging(double t) { return FirstOrder(t) + 100 * std::sin(2 * std::numbers::pi * 2 * t); }
double Ramp(double t) { return 10000 * t; }

struct MoveCase {
  std::string name;
  double step_counts;
  Shape shape;                             // position at time t, start at 0
  std::int64_t busy_until_us;              // busy from the start until then
  std::optional<std::int64_t> stop_at_us;  // STOP goes out then
  StepFigures::End end;
};

// The figures of a shape, worked out on a 10 us grid rather than from the
// 10 ms samples: the reference the tracker must come close to.
struct Reference {
  std::optional<double> rise_us;
  double overshoot_counts = 0;
  std::optional<double> last_outside_band_us;  // last time outside the band
};
Reference Evaluate(const MoveCase& c, std::int64_t until_us, std::int32_t band) {
  Reference r;
  std::optional<double> t10;
  std::optional<double> t90;
  const double direction = c.step_counts > 0 ? 1 : -1;
  for (std::int64_t t = 0; t <= until_us; t += 10) {
    const double x = c.shape(static_cast<double>(t) / 1e6);
    const double fraction = x / c.step_counts;
    if (!t10 && fraction >= 0.1) t10 = static_cast<double>(t);
    if (!t90 && fraction >= 0.9) t90 = static_cast<double>(t);
    r.overshoot_counts = std::max(r.overshoot_counts, (x - c.step_counts) * direction);
    if (std::abs(std::round(x) - c.step_counts) > band) r.last_outside_band_us = static_cast<double>(t);
  }
  if (t10 && t90) r.rise_us = *t90 - *t10;
  return r;
}

// Plays the move at the polling period: one exchange at rest, the GO with
// its target (held for three exchanges, then released), the replies from the
// shape. The ideal position jumps to the target at the start. Returns the
// figures of the first move that ends.
std::optional<StepFigures> Play(const MoveCase& c, const StepSettings& settings, std::int64_t limit_us = 10'000'000) {
  StepTracker tracker(settings);
  const auto target = static_cast<std::int32_t>(c.step_counts);
  StepSample rest;
  rest.control_byte = kActive;
  EXPECT_FALSE(tracker.Observe(rest));
  for (std::int64_t t = kStartUs; t < limit_us; t += kPeriodUs) {
    const std::int64_t since = t - kStartUs;
    StepSample s;
    s.time_us = t;
    s.control_byte = since < 3 * kPeriodUs ? kActive | usb::kGoBit : kActive | usb::kPositionModeBit;
    if (c.stop_at_us && since >= *c.stop_at_us) s.control_byte = kActive | usb::kStopBit;
    s.target_counts = target;
    s.position = static_cast<std::int32_t>(std::lround(c.shape(static_cast<double>(since) / 1e6)));
    s.ideal_position = target;
    s.flags = since < c.busy_until_us ? usb::kFlagBusy : 0;
    if (auto figures = tracker.Observe(s)) return figures;
  }
  return std::nullopt;
}

void PrintTo(const MoveCase& c, std::ostream* os) { *os << c.name; }

class StepShapeTest : public ::testing::TestWithParam<MoveCase> {};

TEST_P(StepShapeTest, FiguresMatchTheShape) {
  const MoveCase& c = GetParam();
  StepSettings settings;  // band 16 counts, hold 100 ms, give up after 2 s
  const std::optional<StepFigures> figures = Play(c, settings);
  ASSERT_TRUE(figures.has_value()) << "the move never ended";
  EXPECT_EQ(figures->end, c.end);
  EXPECT_EQ(figures->start_us, kStartUs);
  EXPECT_EQ(figures->start_counts, 0);
  EXPECT_EQ(figures->target_counts, static_cast<std::int32_t>(c.step_counts));

  const std::int64_t observed_us = c.stop_at_us ? *c.stop_at_us - kPeriodUs : figures->DurationUs();
  const Reference ref = Evaluate(c, observed_us, settings.band_counts);
  ASSERT_EQ(figures->rise_time_us.has_value(), ref.rise_us.has_value());
  if (ref.rise_us) {
    EXPECT_NEAR(*figures->rise_time_us, *ref.rise_us, 1500) << "rise time, us";
  }
  // Sampled every 10 ms, the peak can fall between two samples.
  EXPECT_NEAR(figures->overshoot_counts, ref.overshoot_counts, 0.003 * std::abs(c.step_counts) + 1);
  ASSERT_TRUE(figures->overshoot_percent.has_value());
  EXPECT_NEAR(*figures->overshoot_percent, ref.overshoot_counts / std::abs(c.step_counts) * 100, 0.31);

  // The ideal jumped to the target: the largest following error is the
  // whole step, at the start.
  EXPECT_EQ(figures->peak_following_error_counts, -static_cast<std::int32_t>(c.step_counts));
  const double last = c.shape(static_cast<double>(observed_us) / 1e6);
  EXPECT_NEAR(figures->steady_state_error_counts, last - c.step_counts, 1);

  if (c.end == StepFigures::End::kSettled) {
    ASSERT_TRUE(figures->settling_time_us.has_value());
    const double settled_from = ref.last_outside_band_us.value_or(0);
    EXPECT_GE(static_cast<double>(*figures->settling_time_us), settled_from - kPeriodUs);
    EXPECT_LE(static_cast<double>(*figures->settling_time_us), settled_from + kPeriodUs);
    EXPECT_LE(std::abs(figures->steady_state_error_counts), settings.band_counts);
    // It ends one hold time after it settled, busy out by then.
    EXPECT_GE(figures->DurationUs(), std::max(*figures->settling_time_us + settings.hold_us, c.busy_until_us));
  } else {
    EXPECT_FALSE(figures->settling_time_us.has_value());
  }
  if (c.end == StepFigures::End::kNotSettled) {
    // Given up the give-up time after busy went out.
    EXPECT_EQ(figures->DurationUs(), c.busy_until_us + settings.give_up_us);
  }
  if (c.end == StepFigures::End::kStopped) {
    EXPECT_EQ(figures->DurationUs(), *c.stop_at_us);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moves, StepShapeTest,
    ::testing::Values(
        // Rise time tau ln 9 = 220 ms, no overshoot, in the band after
        // tau ln(10000 / 16) = 644 ms.
        MoveCase{"FirstOrder", 10000, FirstOrder, 700'000, std::nullopt, StepFigures::End::kSettled},
        MoveCase{"FirstOrderDownward", -10000, FirstOrderDownward, 700'000, std::nullopt,
                 StepFigures::End::kSettled},
        // 37 % overshoot, ringing into the band after about 0.9 s.
        MoveCase{"SecondOrderOvershoot", 10000, SecondOrder, 400'000, std::nullopt, StepFigures::End::kSettled},
        // Keeps swinging 100 counts either side of the target.
        MoveCase{"NeverSettles", 10000, Swinging, 500'000, std::nullopt, StepFigures::End::kNotSettled},
        // A constant-speed move stopped half way: never reaches 90 %.
        MoveCase{"StoppedHalfWay", 10000, Ramp, 1'000'000, 500'000, StepFigures::End::kStopped}),
    [](const ::testing::TestParamInfo<MoveCase>& row) { return row.param.name; });

// The rows of a move as the console sends them, written out by hand.
StepSample Sample(std::int64_t t_ms, std::uint8_t control, std::int32_t target, std::int32_t position,
                  std::int32_t ideal, std::uint8_t flags) {
  return {t_ms * 1000, control, target, position, ideal, flags};
}

TEST(StepTracker, RelMovesFromTheIdealPositionByTheDistance) {
  StepTracker tracker;
  constexpr std::uint8_t kRel = kActive | usb::kRelMoveBit;
  tracker.Observe(Sample(0, kActive, 0, 5003, 5000, 0));
  tracker.Observe(Sample(10, kRel, -2000, 5003, 5000, usb::kFlagBusy));
  tracker.Observe(Sample(20, kRel, -2000, 4000, 4000, usb::kFlagBusy));  // held: no second move
  const std::optional<StepFigures> current = tracker.Current();
  ASSERT_TRUE(current.has_value());
  EXPECT_TRUE(current->relative);
  EXPECT_EQ(current->start_counts, 5003);
  EXPECT_EQ(current->target_counts, 3000);
  EXPECT_EQ(current->start_us, 10'000);
}

TEST(StepTracker, ANewTargetWhileMovingReplacesTheMove) {
  StepTracker tracker;
  constexpr std::uint8_t kGo = kActive | usb::kGoBit;
  tracker.Observe(Sample(0, kActive, 0, 0, 0, 0));
  EXPECT_FALSE(tracker.Observe(Sample(10, kGo, 1000, 0, 100, usb::kFlagBusy)));
  EXPECT_FALSE(tracker.Observe(Sample(20, kGo, 1000, 200, 300, usb::kFlagBusy)));  // GO held, same target
  const std::optional<StepFigures> replaced = tracker.Observe(Sample(30, kGo, -500, 400, 300, usb::kFlagBusy));
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(replaced->end, StepFigures::End::kReplaced);
  EXPECT_EQ(replaced->target_counts, 1000);
  EXPECT_EQ(replaced->peak_following_error_counts, -100);
  const std::optional<StepFigures> next = tracker.Current();
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->start_counts, 200);
  EXPECT_EQ(next->target_counts, -500);
}

TEST(StepTracker, AMoveToWhereTheAxisIsSettledWithoutRiseOrOvershoot) {
  StepTracker tracker(StepSettings{16, 20'000, 2'000'000});
  tracker.Observe(Sample(0, kActive, 0, 700, 700, 0));
  EXPECT_FALSE(tracker.Observe(Sample(10, kActive | usb::kGoBit, 700, 700, 700, 0)));
  EXPECT_FALSE(tracker.Observe(Sample(20, kActive, 700, 701, 700, 0)));
  const std::optional<StepFigures> figures = tracker.Observe(Sample(30, kActive, 700, 700, 700, 0));
  ASSERT_TRUE(figures.has_value());
  EXPECT_EQ(figures->end, StepFigures::End::kSettled);
  EXPECT_EQ(figures->settling_time_us, 0);
  EXPECT_FALSE(figures->rise_time_us.has_value());
  EXPECT_FALSE(figures->overshoot_percent.has_value());
  EXPECT_EQ(figures->peak_following_error_counts, 1);
}

TEST(StepTracker, ANewBandAppliesFromTheNextMove) {
  StepTracker tracker(StepSettings{16, 10'000, 2'000'000});
  tracker.Observe(Sample(0, kActive, 0, 0, 0, 0));
  tracker.Observe(Sample(10, kActive | usb::kGoBit, 100, 0, 100, usb::kFlagBusy));
  tracker.SetSettings(StepSettings{2, 10'000, 2'000'000});
  tracker.Observe(Sample(20, kActive, 100, 90, 100, 0));  // 10 off: inside the old band of 16
  const std::optional<StepFigures> first = tracker.Observe(Sample(30, kActive, 100, 90, 100, 0));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->end, StepFigures::End::kSettled);

  tracker.Observe(Sample(40, kActive | usb::kGoBit, 0, 90, 0, 0));
  tracker.Observe(Sample(50, kActive, 0, 10, 0, 0));  // outside the new band of 2
  EXPECT_FALSE(tracker.Observe(Sample(60, kActive, 0, 10, 0, 0)));
}

}  // namespace
}  // namespace stage::scope

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
    // The watchdog bit alternates, as the console sends it.
    if ((t / kPeriodUs) % 2 != 0) s.control_byte |= usb::kToggleBit;
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
  StepSettings settings;  // band 16 counts, hold 100 ms, at rest 100 ms, give up 2 s after the profile
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
  EXPECT_EQ(figures->band_counts, settings.band_counts);

  if (c.end == StepFigures::End::kSettled) {
    ASSERT_TRUE(figures->settling_time_us.has_value());
    const double settled_from = ref.last_outside_band_us.value_or(0);
    EXPECT_GE(static_cast<double>(*figures->settling_time_us), settled_from - kPeriodUs);
    EXPECT_LE(static_cast<double>(*figures->settling_time_us), settled_from + kPeriodUs);
    // r - y at rest: the mean of the last 100 ms, where the position moved by
    // at most a count.
    ASSERT_TRUE(figures->steady_state_error_counts.has_value());
    const double at_rest = c.shape(static_cast<double>(figures->DurationUs()) / 1e6);
    EXPECT_NEAR(*figures->steady_state_error_counts, c.step_counts - at_rest, 1);
    // It ends one hold time after it settled, busy out by then.
    EXPECT_GE(figures->DurationUs(), std::max(*figures->settling_time_us + settings.hold_us, c.busy_until_us));
  } else {
    EXPECT_FALSE(figures->settling_time_us.has_value());
  }
  if (c.end == StepFigures::End::kNotSettled) {
    // The ideal position is at the target from the start: the profile has
    // ended there, and the move is given up the give-up time later, busy or
    // not. Never at rest, it has no steady-state error.
    EXPECT_EQ(figures->DurationUs(), settings.give_up_us);
    EXPECT_FALSE(figures->steady_state_error_counts.has_value());
  }
  if (c.end == StepFigures::End::kStopped) {
    EXPECT_EQ(figures->DurationUs(), *c.stop_at_us);
    EXPECT_FALSE(figures->steady_state_error_counts.has_value());
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
        // Keeps swinging 100 counts either side of the target, busy out or on.
        MoveCase{"NeverSettles", 10000, Swinging, 500'000, std::nullopt, StepFigures::End::kNotSettled},
        MoveCase{"NeverSettlesBusyOn", 10000, Swinging, 100'000'000, std::nullopt, StepFigures::End::kNotSettled},
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
  StepTracker tracker(StepSettings{16, 20'000, 2'000'000, 1, 20'000});
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
  StepTracker tracker(StepSettings{16, 10'000, 2'000'000, 1, 10'000});
  tracker.Observe(Sample(0, kActive, 0, 0, 0, 0));
  tracker.Observe(Sample(10, kActive | usb::kGoBit, 100, 0, 100, usb::kFlagBusy));
  tracker.SetSettings(StepSettings{2, 10'000, 2'000'000, 1, 10'000});
  tracker.Observe(Sample(20, kActive, 100, 90, 100, 0));  // 10 off: inside the old band of 16
  const std::optional<StepFigures> first = tracker.Observe(Sample(30, kActive, 100, 90, 100, 0));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->end, StepFigures::End::kSettled);

  tracker.Observe(Sample(40, kActive | usb::kGoBit, 0, 90, 0, 0));
  tracker.Observe(Sample(50, kActive, 0, 10, 0, 0));  // outside the new band of 2
  EXPECT_FALSE(tracker.Observe(Sample(60, kActive, 0, 10, 0, 0)));
}

// Command sequences as the console sends them, one exchange every 10 ms with
// the watchdog bit alternating, each with the moves the controller makes of
// them worked out by hand. Band 4 counts, hold 20 ms, at rest within 1 count
// for 20 ms, give up 100 ms after the profile ends.
struct Exchange {
  std::uint8_t control;  // without the watchdog bit
  std::int32_t target;   // target field: a position for GO, a distance for Rel
  std::int32_t position;
  std::int32_t ideal;
  std::uint8_t flags;
};
struct ExpectedMove {
  StepFigures::End end;
  bool relative;
  std::int64_t start_ms;
  std::int64_t end_ms;
  std::int32_t start_counts;
  std::int32_t target_counts;
  std::optional<std::int64_t> settling_ms;
  std::optional<double> steady_state_error;  // r - y at rest
};
struct SequenceCase {
  std::string name;
  std::vector<Exchange> exchanges;
  std::vector<ExpectedMove> moves;  // in the order they end
  std::optional<ExpectedMove> in_progress;  // the snapshot after the last exchange
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

constexpr std::uint8_t kA = kActive;
constexpr std::uint8_t kGo = usb::kGoBit;
constexpr std::uint8_t kRel = usb::kRelMoveBit;
constexpr std::uint8_t kStop = usb::kStopBit;
constexpr std::uint8_t kZero = usb::kZeroBit;
constexpr std::uint8_t kBusy = usb::kFlagBusy;
constexpr std::uint8_t kError = usb::kFlagError;
using End = StepFigures::End;

class CommandSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(CommandSequenceTest, TheMovesAreTheControllers) {
  const SequenceCase& c = GetParam();
  StepTracker tracker(StepSettings{4, 20'000, 100'000, 1, 20'000});
  std::vector<StepFigures> ended;
  for (std::size_t i = 0; i < c.exchanges.size(); ++i) {
    const Exchange& e = c.exchanges[i];
    StepSample s;
    s.time_us = static_cast<std::int64_t>(i) * kPeriodUs;
    s.control_byte = static_cast<std::uint8_t>(e.control | (i % 2 != 0 ? usb::kToggleBit : 0));
    s.target_counts = e.target;
    s.position = e.position;
    s.ideal_position = e.ideal;
    s.flags = e.flags;
    if (auto figures = tracker.Observe(s)) ended.push_back(*figures);
  }
  auto check = [](const StepFigures& got, const ExpectedMove& want, const std::string& which) {
    SCOPED_TRACE(which);
    EXPECT_EQ(got.end, want.end);
    EXPECT_EQ(got.relative, want.relative);
    EXPECT_EQ(got.start_us, want.start_ms * 1000);
    EXPECT_EQ(got.end_us, want.end_ms * 1000);
    EXPECT_EQ(got.start_counts, want.start_counts);
    EXPECT_EQ(got.target_counts, want.target_counts);
    EXPECT_EQ(got.band_counts, 4);
    if (want.settling_ms) {
      EXPECT_EQ(got.settling_time_us, *want.settling_ms * 1000);
    } else {
      EXPECT_FALSE(got.settling_time_us.has_value());
    }
    ASSERT_EQ(got.steady_state_error_counts.has_value(), want.steady_state_error.has_value());
    if (want.steady_state_error) {
      EXPECT_NEAR(*got.steady_state_error_counts, *want.steady_state_error, 1e-9);
    }
  };
  ASSERT_EQ(ended.size(), c.moves.size());
  for (std::size_t k = 0; k < ended.size(); ++k) check(ended[k], c.moves[k], "move " + std::to_string(k));
  const std::optional<StepFigures> current = tracker.Current();
  ASSERT_EQ(current.has_value(), c.in_progress.has_value());
  if (current) check(*current, *c.in_progress, "in progress");
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, CommandSequenceTest,
    ::testing::Values(
        // Enter leaves GO set; the distance typed afterwards goes out with
        // Rel and stays in the target field once Rel is released: the
        // controller sees no new target there, so the only moves are the GO
        // and the Rel (by 200 from the GO's target, 1000).
        SequenceCase{"EnterThenRel",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 100, kBusy},
                      {kA | kGo, 1000, 500, 600, kBusy},
                      {kA | kGo, 1000, 1000, 1000, 0},
                      {kA | kGo, 1000, 1000, 1000, 0},
                      {kA | kGo, 1000, 1000, 1000, 0},
                      {kA | kGo | kRel, 200, 1000, 1000, kBusy},
                      {kA | kGo, 200, 1100, 1200, kBusy},
                      {kA | kGo, 200, 1200, 1200, 0},
                      {kA | kGo, 200, 1200, 1200, 0},
                      {kA | kGo, 200, 1200, 1200, 0},
                      {kA | kGo, 200, 1200, 1200, 0}},
                     {{End::kSettled, false, 10, 50, 0, 1000, 20, 0.0},
                      {End::kSettled, true, 60, 100, 1000, 1200, 20, 0.0}},
                     std::nullopt},
        // Rel while the GO to 1000 runs: the controller adds 500 to 1000,
        // not to the ideal position of 500 at the press.
        SequenceCase{"RelDuringAMove",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 100, kBusy},
                      {kA, 1000, 200, 300, kBusy},
                      {kA | kRel, 500, 400, 500, kBusy},
                      {kA, 500, 900, 1000, kBusy},
                      {kA, 500, 1500, 1500, 0},
                      {kA, 500, 1500, 1500, 0},
                      {kA, 500, 1500, 1500, 0}},
                     {{End::kReplaced, false, 10, 30, 0, 1000, std::nullopt, std::nullopt},
                      {End::kSettled, true, 30, 70, 200, 1500, 20, 0.0}},
                     std::nullopt},
        // Enter with a new target while GO is held replaces the move; the
        // next starts from the position read before its command, 300.
        SequenceCase{"GoReplaced",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 100, kBusy},
                      {kA | kGo, 1000, 300, 400, kBusy},
                      {kA | kGo, -500, 500, 400, kBusy},
                      {kA | kGo, -500, 0, -100, kBusy},
                      {kA | kGo, -500, -500, -500, 0},
                      {kA | kGo, -500, -500, -500, 0},
                      {kA | kGo, -500, -500, -500, 0}},
                     {{End::kReplaced, false, 10, 30, 0, 1000, std::nullopt, std::nullopt},
                      {End::kSettled, false, 30, 70, 300, -500, 20, 0.0}},
                     std::nullopt},
        // STOP ends the move at its sample; the GO still held after it does
        // not start one again.
        SequenceCase{"StopMidMove",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 100, kBusy},
                      {kA | kGo, 1000, 200, 300, kBusy},
                      {kA | kGo | kStop, 1000, 400, 450, kBusy},
                      {kA | kGo, 1000, 500, 500, kBusy},
                      {kA | kGo, 1000, 500, 500, 0}},
                     {{End::kStopped, false, 10, 30, 0, 1000, std::nullopt, std::nullopt}},
                     std::nullopt},
        // ZERO during a move ends it as stopped there, GO held or not.
        SequenceCase{"ZeroMidMove",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 100, kBusy},
                      {kA | kGo, 1000, 200, 300, kBusy},
                      {kA | kGo | kZero, 1000, 0, 0, kBusy},
                      {kA | kGo, 1000, 0, 0, 0},
                      {kA | kGo, 1000, 0, 0, 0}},
                     {{End::kStopped, false, 10, 30, 0, 1000, std::nullopt, std::nullopt}},
                     std::nullopt},
        // The servo switched off ends the move the same way.
        SequenceCase{"ServoOffMidMove",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 100, kBusy},
                      {kGo, 1000, 200, 200, 0},
                      {kA | kGo, 1000, 250, 250, 0}},
                     {{End::kStopped, false, 10, 20, 0, 1000, std::nullopt, std::nullopt}},
                     std::nullopt},
        // A following-error fault ends the move as a fault; GO is ignored
        // until STOP clears it, then starts the next move.
        SequenceCase{"Fault",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 100, kBusy},
                      {kA, 1000, 150, 600, kBusy},
                      {kA, 1000, 350, 350, kError},
                      {kA | kGo, 2000, 360, 360, kError},
                      {kA | kStop, 2000, 360, 360, 0},
                      {kA, 2000, 360, 360, 0},
                      {kA | kGo, 2000, 360, 400, kBusy}},
                     {{End::kFault, false, 10, 30, 0, 1000, std::nullopt, std::nullopt}},
                     ExpectedMove{End::kMoving, false, 70, 70, 360, 2000, std::nullopt, std::nullopt}},
        // Swinging round the target with busy on: given up 100 ms after the
        // profile reached the target at 10 ms; in progress until then.
        SequenceCase{"NeverSettles",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 100, 0, 100, kBusy},
                      {kA, 100, 120, 100, kBusy},
                      {kA, 100, 80, 100, kBusy},
                      {kA, 100, 120, 100, kBusy},
                      {kA, 100, 80, 100, kBusy},
                      {kA, 100, 120, 100, kBusy},
                      {kA, 100, 80, 100, kBusy},
                      {kA, 100, 120, 100, kBusy},
                      {kA, 100, 80, 100, kBusy},
                      {kA, 100, 120, 100, kBusy},
                      {kA, 100, 80, 100, kBusy}},
                     {{End::kNotSettled, false, 10, 110, 0, 100, std::nullopt, std::nullopt}},
                     std::nullopt},
        SequenceCase{"NeverSettlesInProgress",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 100, 0, 100, kBusy},
                      {kA, 100, 120, 100, kBusy},
                      {kA, 100, 80, 100, kBusy},
                      {kA, 100, 120, 100, kBusy}},
                     {},
                     ExpectedMove{End::kMoving, false, 10, 40, 0, 100, std::nullopt, std::nullopt}},
        // A step of 3 counts, inside the band from the start: settled at
        // once, at rest at 2 from 20 ms, so 1 count short.
        SequenceCase{"StepInsideTheBand",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 3, 0, 3, 0},
                      {kA, 3, 2, 3, 0},
                      {kA, 3, 2, 3, 0},
                      {kA, 3, 2, 3, 0}},
                     {{End::kSettled, false, 10, 40, 0, 3, 0, 1.0}},
                     std::nullopt},
        // The loop pulls in from 1004 to 1000 after busy went out: the error
        // is taken once the position has come to rest, not on entering the
        // band, and it is the target minus the position.
        SequenceCase{"PullsInBeforeRest",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 1000, kBusy},
                      {kA, 1000, 1004, 1000, kBusy},
                      {kA, 1000, 1003, 1000, 0},
                      {kA, 1000, 1002, 1000, 0},
                      {kA, 1000, 1001, 1000, 0},
                      {kA, 1000, 1000, 1000, 0},
                      {kA, 1000, 1000, 1000, 0},
                      {kA, 1000, 1000, 1000, 0}},
                     {{End::kSettled, false, 10, 80, 0, 1000, 10, 0.0}},
                     std::nullopt},
        SequenceCase{"RestsShort",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 1000, kBusy},
                      {kA, 1000, 998, 1000, 0},
                      {kA, 1000, 998, 1000, 0},
                      {kA, 1000, 998, 1000, 0}},
                     {{End::kSettled, false, 10, 40, 0, 1000, 10, 2.0}},
                     std::nullopt},
        // At rest 10 counts short, outside the band: not settled, with the
        // error it rests at.
        SequenceCase{"RestsOutsideTheBand",
                     {{kA, 0, 0, 0, 0},
                      {kA | kGo, 1000, 0, 1000, kBusy},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0},
                      {kA, 1000, 990, 1000, 0}},
                     {{End::kNotSettled, false, 10, 110, 0, 1000, std::nullopt, 10.0}},
                     std::nullopt}),
    [](const ::testing::TestParamInfo<SequenceCase>& row) { return row.param.name; });

// The toggle bit held for 100 ms trips the controller's watchdog: the move
// ends stopped and GO edges are ignored until the bit alternates again.
TEST(StepTracker, TheWatchdogStopsTheMoveAndIgnoresGoUntilTheBitAlternates) {
  StepTracker tracker;
  tracker.Observe(Sample(0, kActive, 0, 0, 0, 0));
  EXPECT_FALSE(tracker.Observe(Sample(10, kActive | usb::kGoBit, 1000, 0, 100, usb::kFlagBusy)));
  std::optional<StepFigures> stopped;
  for (std::int64_t t = 20; t <= 110 && !stopped; t += 10) {
    stopped = tracker.Observe(Sample(t, kActive, 1000, 100, 200, usb::kFlagBusy));
  }
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->end, StepFigures::End::kStopped);
  EXPECT_EQ(stopped->end_us, 100'000);  // 100 ms after the bit last changed, at 0 ms
  EXPECT_FALSE(tracker.Observe(Sample(120, kActive | usb::kGoBit, 3000, 150, 150, 0)));
  EXPECT_FALSE(tracker.Moving());
  tracker.Observe(Sample(130, kActive | usb::kToggleBit, 3000, 150, 150, 0));
  tracker.Observe(Sample(140, kActive | usb::kGoBit, 3000, 150, 150, 0));
  ASSERT_TRUE(tracker.Current().has_value());
  EXPECT_EQ(tracker.Current()->target_counts, 3000);
}

// A Rel whose reply was lost still moved the axis: the next GO edge replaces
// that move, and the Rel counted from the ideal position read before it.
TEST(StepTracker, ACommandWithoutAReplyStillStartsItsMove) {
  StepTracker tracker;
  tracker.Observe(Sample(0, kActive, 0, 10, 10, 0));
  StepSample rel = Sample(10, kActive | usb::kRelMoveBit | usb::kToggleBit, 40, 0, 0, 0);
  rel.replied = false;
  EXPECT_FALSE(tracker.Observe(rel));
  const std::optional<StepFigures> current = tracker.Current();
  ASSERT_TRUE(current.has_value());
  EXPECT_EQ(current->start_counts, 10);
  EXPECT_EQ(current->target_counts, 50);
  EXPECT_EQ(current->start_us, 10'000);
}

}  // namespace
}  // namespace stage::scope

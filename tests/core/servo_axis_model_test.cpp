// Why this exists: the servo model is the stage an operator learns the console
// on under --simulate; its profile, loop, faults, limits and watchdog must act
// the way docs/simulator.md promises, and deterministically, or what the
// windows show teaches the wrong thing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "stage/sim/servo_axis_model.h"
#include "stage/sim/simulated_controllers.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {
namespace {

using namespace std::chrono_literals;
using Servo = ServoAxisModel;

constexpr Nanoseconds kTick = 10ms;

// Talks to one model as the console's polling cycle does: a packet every
// 10 ms, the frames 144 and 96 alternating together with the toggle bit.
class Poller {
 public:
  explicit Poller(AxisModel& model) : model_(model) {}

  usb::TuningValues tuning{};  // the designed slider positions
  std::uint8_t config = 0;
  std::uint8_t bits = usb::kActiveBit;  // command bits but the toggle
  double target = 0;
  bool toggle_stuck = false;  // a broken host: the toggle bit stops alternating

  usb::StatusReading Tick() {
    if (!toggle_stuck) toggle_ = !toggle_;
    frame_a_ = !frame_a_;
    usb::CommandFields fields;
    fields.frame_marker = frame_a_ ? usb::kFrameA : usb::kFrameB;
    fields.control_byte = static_cast<std::uint8_t>(bits | (toggle_ ? usb::kToggleBit : 0));
    fields.config_bits = config;
    fields.tuning = tuning;
    fields.target_counts = target;
    model_.OnCommand(*usb::EncodeCommand(fields).packet, now_);
    const std::optional<usb::StatusReading> status = usb::DecodeStatus(model_.Status(now_));
    EXPECT_TRUE(status.has_value());
    now_ += kTick;
    last_ = status.value_or(usb::StatusReading{});
    return last_;
  }

  // Ticks for `duration`; every status, in order.
  std::vector<usb::StatusReading> Run(Nanoseconds duration) {
    std::vector<usb::StatusReading> statuses;
    for (Nanoseconds end = now_ + duration; now_ < end;) statuses.push_back(Tick());
    return statuses;
  }

  // A mouse click on a button: the bit goes out for three ticks, then one
  // tick with it released (and, for GO and Rel, the position mode bit that
  // comes with the click). The statuses of those four ticks.
  std::vector<usb::StatusReading> Click(std::uint8_t bit, double button_target) {
    target = button_target;
    bits |= bit;
    std::vector<usb::StatusReading> statuses = Run(3 * kTick);
    bits = static_cast<std::uint8_t>(bits & ~bit);
    if (bit == usb::kGoBit || bit == usb::kRelMoveBit) bits |= usb::kPositionModeBit;
    statuses.push_back(Tick());
    return statuses;
  }

  void Pause(Nanoseconds duration) { now_ += duration; }
  Nanoseconds Now() const { return now_; }
  const usb::StatusReading& Last() const { return last_; }

 private:
  AxisModel& model_;
  Nanoseconds now_{0};
  bool toggle_ = false;
  bool frame_a_ = false;
  usb::StatusReading last_{};
};

bool Busy(const usb::StatusReading& s) { return (s.flags & usb::kFlagBusy) != 0; }
bool Faulted(const usb::StatusReading& s) { return (s.flags & usb::kFlagError) != 0; }

// How far the axis went beyond `target`, coming from below it.
std::int32_t Overshoot(const std::vector<usb::StatusReading>& statuses, std::int32_t target) {
  std::int32_t worst = 0;
  for (const usb::StatusReading& s : statuses) worst = std::max(worst, s.position - target);
  return worst;
}

// The ideal trapezoid from rest to rest over `distance` (> 0), `t` after the
// move started.
double TrapezoidCounts(double t, double distance, double max_speed, double acc) {
  const double ramp = std::min(max_speed / acc, std::sqrt(distance / acc));  // time to peak
  const double peak = acc * ramp;
  const double cruise = (distance - peak * ramp) / peak;
  const double total = 2 * ramp + cruise;
  if (t <= 0) return 0;
  if (t >= total) return distance;
  if (t < ramp) return acc * t * t / 2;
  if (t < ramp + cruise) return peak * ramp / 2 + peak * (t - ramp);
  const double left = total - t;
  return distance - acc * left * left / 2;
}

class ServoTest : public ::testing::Test {
 protected:
  explicit ServoTest(ServoWiring wiring = {}) : model_(wiring), poller_(model_) {}

  // A click on GO with `target` in the box; the statuses from the packet that
  // carries the press on, one per tick, for `duration`.
  std::vector<usb::StatusReading> MoveTo(double target, Nanoseconds duration = 2s) {
    const Nanoseconds start = poller_.Now();
    std::vector<usb::StatusReading> statuses = poller_.Click(usb::kGoBit, target);
    const std::vector<usb::StatusReading> rest = poller_.Run(duration - (poller_.Now() - start));
    statuses.insert(statuses.end(), rest.begin(), rest.end());
    return statuses;
  }

  Servo model_;
  Poller poller_;
};

// --- The profile and the loop ----------------------------------------------

struct TrapezoidCase {
  const char* name;
  std::uint8_t max_speed;
  std::uint8_t acc;
  double distance;
  bool cruises;  // reaches Max Speed
  std::int32_t most_lag_counts;        // |ideal - actual| during the move
  std::int32_t most_overshoot_counts;
  friend void PrintTo(const TrapezoidCase& c, std::ostream* out) { *out << c.name; }
};

class TrapezoidTest : public ServoTest, public ::testing::WithParamInterface<TrapezoidCase> {};

// The ideal position follows the analytic trapezoid at every tick, the max
// speed flag shows exactly while cruising, and the actual position settles
// on the target without visible overshoot.
TEST_P(TrapezoidTest, IdealFollowsTheTrapezoidAndTheAxisSettles) {
  const TrapezoidCase& param = GetParam();
  poller_.tuning.max_speed = param.max_speed;
  poller_.tuning.acc = param.acc;
  poller_.Run(50ms);
  const double max_speed = param.max_speed * Servo::kCountsPerSecondPerMaxSpeed;
  const double acc = param.acc * Servo::kCountsPerSecond2PerAcc;

  // The move starts with the packet that carries the GO press.
  const Nanoseconds start = poller_.Now();
  const std::vector<usb::StatusReading> statuses = MoveTo(param.distance, 2500ms);
  bool cruised = false;
  for (std::size_t tick = 0; tick < statuses.size(); ++tick) {
    const double t = std::chrono::duration<double>(kTick * static_cast<std::int64_t>(tick)).count();
    const double expected = TrapezoidCounts(t, param.distance, max_speed, acc);
    const usb::StatusReading& s = statuses[tick];
    ASSERT_NEAR(s.ideal_position, expected, 1.0) << "at " << t << " s";
    // Following error during the move: a few counts at these gains.
    EXPECT_LE(std::abs(s.ideal_position - s.position), param.most_lag_counts) << "at " << t << " s";
    const bool at_max_speed = (s.flags & usb::kFlagMaxSpeed) != 0;
    cruised = cruised || at_max_speed;
    const double ramp = max_speed / acc;
    const double total = param.distance / max_speed + ramp;
    if (t < ramp - 0.011 || t > total - ramp + 0.011) {
      EXPECT_FALSE(at_max_speed) << "at " << t;
    }
    if (param.cruises && t > ramp + 0.011 && t < total - ramp - 0.011) {
      EXPECT_TRUE(at_max_speed) << "at " << t;
    }
    if (t < 0.2) {
      EXPECT_TRUE(Busy(s)) << "at " << t;
    }
  }
  EXPECT_EQ(cruised, param.cruises);
  EXPECT_LE(Overshoot(statuses, static_cast<std::int32_t>(param.distance)),
            param.most_overshoot_counts);
  const usb::StatusReading& end = statuses.back();
  EXPECT_FALSE(Busy(end));
  EXPECT_EQ(end.ideal_position, param.distance);
  EXPECT_NEAR(end.position, param.distance, 2);
  EXPECT_EQ(end.flags, 0);
  (void)start;
}

INSTANTIATE_TEST_SUITE_P(
    Moves, TrapezoidTest,
    ::testing::Values(
        // 3 mm at 128 counts per micron with the designed sliders: just under 1 s.
        TrapezoidCase{"Designed3mm", 80, 50, 384000, true, 15, 5},
        TrapezoidCase{"ShortTriangle", 80, 50, 32000, false, 15, 5},
        // Twice the acceleration: twice the lag, and it shows as overshoot.
        TrapezoidCase{"FastAndHard", 160, 100, 1000000, true, 25, 15},
        TrapezoidCase{"SlowAndSoft", 20, 10, 200000, true, 5, 2}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(ServoTest, TheDesignedMoveTakesAboutASecondAndBusyGoesOutSoonAfter) {
  const std::vector<usb::StatusReading> statuses = MoveTo(384000, 2s);
  const auto first_idle = std::find_if(statuses.begin(), statuses.end(),
                                       [](const usb::StatusReading& s) { return !Busy(s); });
  ASSERT_NE(first_idle, statuses.end());
  const auto idle_after = kTick * (first_idle - statuses.begin());
  EXPECT_GE(idle_after, 968ms);  // the profile alone takes 0.968 s
  EXPECT_LE(idle_after, 1100ms);
  EXPECT_TRUE(std::all_of(first_idle, statuses.end(), [](const auto& s) { return !Busy(s); }));
}

struct GainCase {
  std::uint8_t p;
  std::uint8_t d;
};

// Raising P and lowering D takes the loop from well damped to ringing: the
// overshoot of the same move grows at every row.
TEST_F(ServoTest, OvershootGrowsAsPRisesAndDFalls) {
  const std::vector<GainCase> gains = {{15, 5}, {100, 1}, {155, 1}, {155, 0}};
  std::vector<std::int32_t> overshoots;
  for (const GainCase& gain : gains) {
    Servo model;
    Poller poller(model);
    poller.tuning.p = gain.p;
    poller.tuning.d = gain.d;
    poller.tuning.f_error = 255;  // ringing, not a fault, is the subject here
    poller.Click(usb::kGoBit, 384000);
    overshoots.push_back(Overshoot(poller.Run(2s), 384000));
    EXPECT_FALSE(Faulted(poller.Last()));
  }
  EXPECT_LE(overshoots.front(), 5);
  for (std::size_t row = 1; row < overshoots.size(); ++row) {
    EXPECT_GT(overshoots[row], overshoots[row - 1] + 5)
        << "P " << int{gains[row].p} << " D " << int{gains[row].d};
  }
}

// --- Faults ------------------------------------------------------------------

TEST_F(ServoTest, TooLittleTorqueEndsInAFollowingErrorFaultThatStopClears) {
  poller_.tuning.torque = 20;  // a quarter of what Acc 50 needs
  std::vector<usb::StatusReading> statuses = MoveTo(384000, 1s);
  const auto fault = std::find_if(statuses.begin(), statuses.end(), Faulted);
  ASSERT_NE(fault, statuses.end());
  const double limit = 50 * Servo::kFollowingErrorCountsPerFError;
  // Each status before the fault was within the limit.
  for (auto s = statuses.begin(); s != fault; ++s) {
    EXPECT_LE(std::abs(s->ideal_position - s->position), limit);
  }
  // The servo is off: the axis coasts to rest far short of the target, the
  // error stays, nothing is busy and nothing moves any more.
  const usb::StatusReading& rest = statuses.back();
  EXPECT_TRUE(Faulted(rest));
  EXPECT_FALSE(Busy(rest));
  EXPECT_LT(rest.position, 50000);
  EXPECT_EQ(rest.ideal_position, rest.position);
  EXPECT_EQ(poller_.Run(1s).back().position, rest.position);

  // GO does nothing while the fault stands.
  poller_.tuning.torque = 200;
  MoveTo(0, 500ms);
  EXPECT_TRUE(Faulted(poller_.Last()));
  EXPECT_EQ(poller_.Last().position, rest.position);

  // STOP clears it; the axis then moves again.
  poller_.Click(usb::kStopBit, 0);
  EXPECT_FALSE(Faulted(poller_.Last()));
  const usb::StatusReading arrived = MoveTo(0, 1s).back();
  EXPECT_FALSE(Faulted(arrived));
  EXPECT_NEAR(arrived.position, 0, 2);
}

TEST_F(ServoTest, HoldingStopDoesNotClearAFaultAgainAndAgain) {
  // The console's cancel-on-error keeps STOP set while the error shows; a
  // fault that comes back under it stays until STOP is pressed anew.
  ServoWiring reversed;
  reversed.motor_reversed = true;
  Servo model(reversed);
  Poller poller(model);
  poller.Click(usb::kGoBit, 50000);
  poller.Run(300ms);
  ASSERT_TRUE(Faulted(poller.Last()));

  poller.bits |= usb::kStopBit;
  poller.Tick();
  EXPECT_FALSE(Faulted(poller.Last()));  // cleared by the press
  poller.bits = static_cast<std::uint8_t>(poller.bits & ~usb::kStopBit);
  poller.Click(usb::kGoBit, 50000);       // STOP released: runs away again
  poller.bits |= usb::kStopBit;           // held from now on
  const std::vector<usb::StatusReading> held = poller.Run(500ms);
  EXPECT_TRUE(Faulted(held.back()));
}

struct PolarityCase {
  const char* name;
  bool motor_reversed;
  bool reverse_polarity_ticked;
  bool runs_away;
  friend void PrintTo(const PolarityCase& c, std::ostream* out) { *out << c.name; }
};

class PolarityTest : public ::testing::TestWithParam<PolarityCase> {};

TEST_P(PolarityTest, OnlyAMatchingPolarityClosesTheLoop) {
  const PolarityCase& param = GetParam();
  ServoWiring wiring;
  wiring.motor_reversed = param.motor_reversed;
  Servo model(wiring);
  Poller poller(model);
  if (param.reverse_polarity_ticked) poller.config = usb::kRevPolarityBit;
  poller.Click(usb::kGoBit, 100000);
  const std::vector<usb::StatusReading> statuses = poller.Run(1500ms);
  const usb::StatusReading& end = statuses.back();

  EXPECT_EQ((end.flags & usb::kFlagReverse) != 0, param.reverse_polarity_ticked);
  if (param.runs_away) {
    // Driven away from the target until the following error trips.
    EXPECT_TRUE(Faulted(end));
    EXPECT_LT(end.position, 0);
    const auto fault = std::find_if(statuses.begin(), statuses.end(), Faulted);
    EXPECT_LT(fault - statuses.begin(), 10);  // within 100 ms
  } else {
    EXPECT_FALSE(Faulted(end));
    EXPECT_NEAR(end.position, 100000, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wiring, PolarityTest,
    ::testing::Values(PolarityCase{"NormalWiringUnticked", false, false, false},
                      PolarityCase{"ReversedWiringTicked", true, true, false},
                      PolarityCase{"ReversedWiringUnticked", true, false, true},
                      PolarityCase{"NormalWiringTicked", false, true, true}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// --- Limit switches --------------------------------------------------------

enum class Place { kNegativeEnd, kMiddle, kPositiveEnd };

struct LimitCase {
  Place place;
  bool active_high;
  bool reverse_limit;
  std::uint8_t limit_flags;
};

std::ostream& operator<<(std::ostream& out, const LimitCase& c) {
  const char* place = c.place == Place::kNegativeEnd ? "negative end"
                      : c.place == Place::kMiddle    ? "middle"
                                                     : "positive end";
  return out << place << (c.active_high ? ", active high" : "")
             << (c.reverse_limit ? ", reversed" : "");
}

class LimitTest : public ServoTest, public ::testing::WithParamInterface<LimitCase> {
 protected:
  LimitTest() : ServoTest(ShortTravelWiring()) {}
};

// The stage's switches are wired active low; flag 1 is the negative end's
// switch and flag 2 the positive end's, unless "Reverse Limit Switch" swaps
// them. A move past a switch stops just beyond it, without a fault.
TEST_P(LimitTest, FlagsShowTheSwitchesAsTheControllerReadsThem) {
  const LimitCase& param = GetParam();
  const double far = param.place == Place::kNegativeEnd   ? -1'000'000
                     : param.place == Place::kPositiveEnd ? 1'000'000
                                                          : 0;
  const usb::StatusReading rest = MoveTo(far, 1500ms).back();
  EXPECT_FALSE(Faulted(rest));
  EXPECT_FALSE(Busy(rest));
  const ServoWiring travel = ShortTravelWiring();
  if (param.place == Place::kPositiveEnd) {
    EXPECT_GE(rest.position, travel.positive_limit_counts);
    EXPECT_LT(rest.position, travel.positive_limit_counts + travel.overtravel_counts);
  } else if (param.place == Place::kNegativeEnd) {
    EXPECT_LE(rest.position, travel.negative_limit_counts);
    EXPECT_GT(rest.position, travel.negative_limit_counts - travel.overtravel_counts);
  }

  poller_.config = static_cast<std::uint8_t>((param.active_high ? usb::kLimitActiveHiBit : 0) |
                                             (param.reverse_limit ? usb::kRevLimitBit : 0));
  const usb::StatusReading read = poller_.Tick();
  EXPECT_EQ(read.flags & (usb::kFlagLimit1 | usb::kFlagLimit2), param.limit_flags);
  EXPECT_EQ((read.flags & usb::kFlagActiveHigh) != 0, param.active_high);
}

constexpr std::uint8_t k1 = usb::kFlagLimit1, k2 = usb::kFlagLimit2;

INSTANTIATE_TEST_SUITE_P(
    Switches, LimitTest,
    ::testing::Values(LimitCase{Place::kNegativeEnd, false, false, k1},
                      LimitCase{Place::kNegativeEnd, true, false, k2},
                      LimitCase{Place::kNegativeEnd, false, true, k2},
                      LimitCase{Place::kNegativeEnd, true, true, k1},
                      LimitCase{Place::kPositiveEnd, false, false, k2},
                      LimitCase{Place::kPositiveEnd, true, false, k1},
                      LimitCase{Place::kPositiveEnd, false, true, k1},
                      LimitCase{Place::kPositiveEnd, true, true, k2},
                      LimitCase{Place::kMiddle, false, false, 0},
                      LimitCase{Place::kMiddle, true, false, k1 | k2},
                      LimitCase{Place::kMiddle, false, true, 0},
                      LimitCase{Place::kMiddle, true, true, k1 | k2}));

class ShortTravelTest : public ServoTest {
 protected:
  ShortTravelTest() : ServoTest(ShortTravelWiring()) {}
};

TEST_F(ShortTravelTest, ASwitchBlocksOnlyItsOwnDirection) {
  const std::int32_t stopped = MoveTo(1'000'000, 1500ms).back().position;
  // Further on: refused where it stands.
  EXPECT_NEAR(MoveTo(2'000'000, 500ms).back().position, stopped, 2);
  poller_.bits |= usb::kSpeedModeBit;
  poller_.tuning.speed = 2000;
  EXPECT_NEAR(poller_.Run(500ms).back().position, stopped, 2);
  // Back: free.
  poller_.tuning.speed = -2000;
  EXPECT_LT(poller_.Run(500ms).back().position, stopped - 20000);
  poller_.bits = usb::kActiveBit;
  const usb::StatusReading back = MoveTo(0, 1500ms).back();
  EXPECT_NEAR(back.position, 0, 2);
  EXPECT_EQ(back.flags & (k1 | k2), 0);
}

// --- Command bits ----------------------------------------------------------

TEST_F(ServoTest, GoStartsOnItsRisingEdgeAndOnANewTargetWhileHeld) {
  // Enter in the target box: GO stays set on every packet from now on.
  poller_.bits |= usb::kGoBit;
  poller_.target = 100000;
  EXPECT_NEAR(poller_.Run(1s).back().position, 100000, 2);

  // STOP halts it; the held GO with the same target does not restart it.
  poller_.target = 300000;
  poller_.Run(200ms);
  poller_.bits |= usb::kStopBit;
  poller_.Run(300ms);
  poller_.bits = static_cast<std::uint8_t>(poller_.bits & ~usb::kStopBit);
  const std::int32_t halted = poller_.Run(500ms).back().position;
  EXPECT_GT(halted, 100000);
  EXPECT_LT(halted, 300000);

  // A new target while GO is still held moves the axis there.
  poller_.target = -50000;
  EXPECT_NEAR(poller_.Run(1500ms).back().position, -50000, 2);
}

TEST_F(ServoTest, RelMovesOncePerPressFromTheIdealPosition) {
  MoveTo(10000, 500ms);
  // Held for many packets: one move.
  poller_.bits |= usb::kRelMoveBit;
  poller_.target = 2560;
  poller_.Run(1s);
  EXPECT_NEAR(poller_.Last().position, 12560, 2);
  EXPECT_EQ(poller_.Last().ideal_position, 12560);
  poller_.bits = static_cast<std::uint8_t>(poller_.bits & ~usb::kRelMoveBit);
  poller_.Run(100ms);

  // Pressed twice during one move: the second adds to the first's target.
  poller_.Click(usb::kRelMoveBit, 100000);
  poller_.Click(usb::kRelMoveBit, -30000);
  const usb::StatusReading end = poller_.Run(1500ms).back();
  EXPECT_EQ(end.ideal_position, 82560);
  EXPECT_NEAR(end.position, 82560, 2);
}

TEST_F(ServoTest, StopDeceleratesAtAcc) {
  MoveTo(384000, 400ms);  // cruising at 500000 counts/s
  // STOP goes out with the next packet, 10 ms (5000 counts) further on.
  const std::int32_t at_stop = poller_.Last().ideal_position + 5000;
  poller_.bits |= usb::kStopBit;
  // From 500000 counts/s at 2.5e6 counts/s^2: 0.2 s and 50000 counts.
  const std::vector<usb::StatusReading> statuses = poller_.Run(1s);
  EXPECT_TRUE(Busy(statuses[15]));
  EXPECT_NEAR(statuses.back().ideal_position, at_stop + 50000, 1);
  EXPECT_NEAR(statuses.back().position, statuses.back().ideal_position, 2);
  EXPECT_FALSE(Busy(statuses.back()));
}

TEST_F(ServoTest, ZeroMakesActualAndIdealPositionZero) {
  MoveTo(200000, 1500ms);
  poller_.Click(usb::kZeroBit, 0);
  const usb::StatusReading zeroed = poller_.Run(200ms).back();
  EXPECT_NEAR(zeroed.position, 0, 2);
  EXPECT_EQ(zeroed.ideal_position, 0);
  EXPECT_FALSE(Busy(zeroed));
  // Later targets count from the new zero.
  EXPECT_NEAR(MoveTo(-1000, 500ms).back().position, -1000, 2);
}

struct SpeedCase {
  std::int32_t speed;
  double counts_per_s;  // expected velocity
  bool max_speed_flag;
};

class SpeedModeTest : public ServoTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedModeTest, RunsAtTheSpeedSetting) {
  const SpeedCase& param = GetParam();
  poller_.tuning.speed = param.speed;
  poller_.bits |= usb::kSpeedModeBit;  // a click on the Speed slider
  poller_.Run(500ms);                  // past the ramp
  const std::int32_t from = poller_.Last().position;
  poller_.Run(1s);
  const usb::StatusReading& s = poller_.Last();
  EXPECT_NEAR(s.position - from, param.counts_per_s, std::abs(param.counts_per_s) * 0.01 + 20);
  EXPECT_EQ((s.flags & usb::kFlagMaxSpeed) != 0, param.max_speed_flag);
  EXPECT_TRUE(Busy(s));

  // Leaving speed mode brings the axis to rest.
  poller_.bits = usb::kActiveBit;
  const std::int32_t leaving = poller_.Last().position;
  poller_.Run(1s);
  EXPECT_FALSE(Busy(poller_.Last()));
  const std::int32_t rest = poller_.Last().position;
  EXPECT_EQ(poller_.Run(100ms).back().position, rest);
  EXPECT_LE(std::abs(rest - leaving), std::abs(param.counts_per_s) * 0.2);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SpeedModeTest,
                         ::testing::Values(SpeedCase{4000, 200000, false},
                                           SpeedCase{-2000, -100000, false},
                                           // Beyond Max Speed 80: held to 500000 counts/s.
                                           SpeedCase{10000, 500000, true},
                                           SpeedCase{-10000, -500000, true}));

TEST_F(ServoTest, GoTakesOverFromSpeedModeUntilTheNextSpeedClick) {
  poller_.tuning.speed = 4000;
  poller_.bits |= usb::kSpeedModeBit;
  poller_.Run(300ms);
  // GO pressed while the speed mode bit still goes out with it.
  poller_.Click(usb::kGoBit, 0);
  EXPECT_NEAR(poller_.Run(1s).back().position, 0, 2);
  // Bit still 16 (no click on GO released it in this script): no running.
  EXPECT_NEAR(poller_.Run(300ms).back().position, 0, 2);
}

TEST_F(ServoTest, NothingMovesWithoutTheActiveBit) {
  poller_.bits = 0;
  poller_.Click(usb::kGoBit, 5000);
  poller_.Click(usb::kRelMoveBit, 5000);
  poller_.bits |= usb::kSpeedModeBit;
  poller_.tuning.speed = 5000;
  const usb::StatusReading still = poller_.Run(1s).back();
  EXPECT_EQ(still.position, 0);
  EXPECT_EQ(still.flags, 0);

  // Dropping it mid-move: the motor coasts to rest, without a fault.
  poller_.bits = usb::kActiveBit;
  poller_.tuning.speed = 0;
  MoveTo(384000, 400ms);
  const std::int32_t dropped_at = poller_.Last().position;
  poller_.bits = 0;
  const usb::StatusReading coasted = poller_.Run(3s).back();
  EXPECT_GT(coasted.position, dropped_at);
  EXPECT_EQ(coasted.ideal_position, coasted.position);
  EXPECT_EQ(coasted.flags, 0);
  // Back on, it holds where it is.
  poller_.bits = usb::kActiveBit;
  EXPECT_NEAR(poller_.Run(500ms).back().position, coasted.position, 1);
}

// --- Watchdog and time -----------------------------------------------------

TEST_F(ServoTest, AStuckToggleBitStopsTheAxis) {
  MoveTo(384000, 300ms);
  poller_.toggle_stuck = true;
  const std::vector<usb::StatusReading> stuck = poller_.Run(1500ms);
  const usb::StatusReading& rest = stuck.back();
  EXPECT_FALSE(Busy(rest));
  EXPECT_FALSE(Faulted(rest));
  // At 100000 when the toggle stuck; about 100 ms more at full speed, then
  // 0.2 s of braking: about 200000, far short of the target.
  EXPECT_LT(rest.position, 230000);
  EXPECT_GT(rest.position, 170000);

  // Alternating again: it stays put until a new command, then finishes.
  poller_.toggle_stuck = false;
  EXPECT_EQ(poller_.Run(300ms).back().position, rest.position);
  EXPECT_NEAR(MoveTo(384000, 1500ms).back().position, 384000, 2);
}

TEST_F(ServoTest, APauseOfTheHostDoesNotTripTheWatchdog) {
  MoveTo(384000, 300ms);
  poller_.Pause(150ms);  // no packets at all, then alternating as before
  EXPECT_NEAR(poller_.Run(1s).back().position, 384000, 2);
}

TEST_F(ServoTest, ALongPauseIsCaughtUpForOneSecondOnly) {
  poller_.Click(usb::kGoBit, 2'000'000);
  poller_.Pause(10s);
  const usb::StatusReading s = poller_.Tick();
  // Only the last second of the pause was simulated, on top of the 30 ms
  // the move had run at the last packet before the pause.
  const double expected = TrapezoidCounts(1.0 + 0.03, 2'000'000, 500000, 2.5e6);
  EXPECT_NEAR(s.ideal_position, expected, 2);
}

TEST_F(ServoTest, APacketThatDoesNotDecodeRaisesTheErrorFlagAndChangesNothing) {
  MoveTo(10000, 500ms);
  usb::CommandFields fields;
  fields.control_byte = usb::kActiveBit | usb::kGoBit;
  fields.target_counts = 90000;
  usb::Packet garbage = *usb::EncodeCommand(fields).packet;
  garbage[7] = 0x35;  // no frame marker
  model_.OnCommand(garbage, poller_.Now());
  const usb::StatusReading flagged = *usb::DecodeStatus(model_.Status(poller_.Now() + 500ms));
  EXPECT_TRUE(Faulted(flagged));
  EXPECT_NEAR(flagged.position, 10000, 2);
  poller_.Pause(500ms);
  EXPECT_FALSE(Faulted(poller_.Tick()));
}

// The same packets at the same times give the same replies, byte for byte,
// however often the status is asked for in between.
TEST(ServoDeterminismTest, TheSameInputsGiveTheSameStatuses) {
  const auto run = [](bool extra_polls) {
    Servo model;
    std::vector<usb::Packet> replies;
    bool toggle = false;
    Nanoseconds now{3'141'593};  // not a whole number of steps
    for (int tick = 0; tick < 300; ++tick) {
      toggle = !toggle;
      usb::CommandFields fields;
      fields.frame_marker = toggle ? usb::kFrameA : usb::kFrameB;
      fields.control_byte = static_cast<std::uint8_t>(
          usb::kActiveBit | (toggle ? usb::kToggleBit : 0) | (tick % 100 < 3 ? usb::kGoBit : 0));
      fields.target_counts = tick < 100 ? 123457 : tick < 200 ? -7777 : 40000;
      fields.tuning.p = static_cast<std::uint8_t>(15 + tick / 20);
      model.OnCommand(*usb::EncodeCommand(fields).packet, now);
      if (extra_polls) model.Status(now + 3333us);
      replies.push_back(model.Status(now + 4ms));
      now += 10ms + Nanoseconds(tick % 7 * 100'000);
    }
    return replies;
  };
  const std::vector<usb::Packet> first = run(false);
  EXPECT_EQ(run(false), first);
  EXPECT_EQ(run(true), first);
  EXPECT_NE(first[50], first[150]);  // the axis did move
}

// --- Through the simulated library -----------------------------------------

TEST(ServoSimulatorTest, TheSimulatorsDefaultModelIsTheServoWiredAsConfigured) {
  SimulatorConfig config;
  config.controller_count = 2;
  config.axis_wiring.resize(2);
  config.axis_wiring[1].motor_reversed = true;
  auto clock = std::make_shared<ManualClock>();
  SimulatedControllers sim(std::move(config), clock);
  std::vector<usb::Handle> handles(2);
  for (std::uint32_t device = 0; device < 2; ++device) {
    ASSERT_EQ(sim.Open(device, handles[device]), usb::SI_SUCCESS);
  }

  bool toggle = false;
  std::vector<usb::StatusReading> last(2);
  for (int tick = 0; tick < 150; ++tick) {
    toggle = !toggle;
    for (std::uint32_t device = 0; device < 2; ++device) {
      usb::CommandFields fields;
      fields.frame_marker = toggle ? usb::kFrameA : usb::kFrameB;
      fields.control_byte = static_cast<std::uint8_t>(usb::kActiveBit | (toggle ? usb::kToggleBit : 0) |
                                                      (tick < 3 ? usb::kGoBit : 0));
      fields.target_counts = 64000;
      const usb::Packet packet = *usb::EncodeCommand(fields).packet;
      std::uint32_t count = 0;
      ASSERT_EQ(sim.Write(handles[device], packet.data(), 12, count), usb::SI_SUCCESS);
      usb::Packet reply{};
      ASSERT_EQ(sim.Read(handles[device], reply.data(), 12, count), usb::SI_SUCCESS);
      last[device] = *usb::DecodeStatus(reply);
    }
    clock->Advance(kTick);
  }
  EXPECT_NEAR(last[0].position, 64000, 2);
  EXPECT_FALSE(Faulted(last[0]));
  EXPECT_TRUE(Faulted(last[1]));  // the reversed motor ran away
}

}  // namespace
}  // namespace stage::sim

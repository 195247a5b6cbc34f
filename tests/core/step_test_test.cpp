// Why: a step test moves a real stage on its own, many times; it must command
// exactly the planned targets, never leave the travel limits, and never
// command another move once STOP, a fault, or a move of someone else has
// come. The sequences run against the real recorder fed by the packets a
// small simulated controller answers, so the rows are the moves it made.
#include "stage/scope/step_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace stage::scope {
namespace {

constexpr std::int64_t kTickUs = 10'000;
constexpr std::int32_t kCountsPerTick = 40;  // the controller's profile: 4000 counts/s

// Something that happens to the axis during the test.
enum class Event { kNone, kStopWhileMoving, kStopWhileDwelling, kFaultWhileMoving, kOperatorGoWhileDwelling, kRefused };

// One axis: the console's packets through the recorder, and a controller
// that moves its ideal position to a GO's target at a constant speed, the
// actual position one tick behind.
class Bench {
 public:
  Bench() : recorder_(1, [this] { return std::chrono::microseconds(now_us_); }, Settings()) {}

  static StepSettings Settings() { return StepSettings{4, 20'000, 1'000'000, 1, 20'000}; }

  // One exchange with `control` bits (besides active and the toggle).
  void Exchange(std::uint8_t control = 0, double target = 0) {
    usb::CommandFields fields;
    toggle_ = !toggle_;
    fields.control_byte = static_cast<std::uint8_t>(usb::kActiveBit | control | (toggle_ ? usb::kToggleBit : 0));
    fields.frame_marker = toggle_ ? usb::kFrameA : usb::kFrameB;
    fields.tuning = tuning;
    fields.target_counts = target;
    const bool go_edge = (control & usb::kGoBit) != 0 && (last_control_ & usb::kGoBit) == 0;
    last_control_ = control;
    if ((control & usb::kStopBit) != 0) {
      target_ = ideal_;
    } else if (go_edge && !fault) {
      target_ = static_cast<std::int32_t>(target);
    }
    const std::int32_t previous_ideal = ideal_;
    if (!fault) {
      if (ideal_ < target_) ideal_ = std::min(target_, ideal_ + kCountsPerTick);
      if (ideal_ > target_) ideal_ = std::max(target_, ideal_ - kCountsPerTick);
    }
    position_ = previous_ideal;
    const bool busy = ideal_ != target_ || position_ != ideal_;
    poll::ExchangeResult result;
    result.reading = {position_, ideal_,
                      static_cast<std::uint8_t>((busy ? usb::kFlagBusy : 0) | (fault ? usb::kFlagError : 0))};
    recorder_.OnExchange(0, *usb::EncodeCommand(fields).packet, usb::Packet{}, result);
    now_us_ += kTickUs;
    // Every move the recorder finished goes to the test, as the Scope hands them on.
    if (recorder_.MoveCount() != moves_seen_) {
      moves_seen_ = recorder_.MoveCount();
      test.MoveEnded(recorder_.Moves(0).Newest());
    }
  }

  // The console's side: one poll of the test per tick.
  StepTest::Action Poll() { return test.Poll(now_us_, recorder_.InterruptionsOf(0), recorder_.Moving(0)); }

  std::string Start(const StepTestPlan& plan, const TravelLimits& limits = {}) {
    return test.Start(plan, ideal_, limits, AxisUnits{"X", 1, " En"}, now_us_, recorder_.InterruptionsOf(0));
  }

  std::int64_t NowUs() const { return now_us_; }
  bool Moving() const { return recorder_.Moving(0); }
  ScopeRecorder& Recorder() { return recorder_; }

  StepTest test;
  std::vector<double> commanded;
  bool fault = false;
  usb::TuningValues tuning{21, 3, 7, 40, 90, 180, 60, 0};

 private:
  std::int64_t now_us_ = 0;
  ScopeRecorder recorder_;
  std::uint64_t moves_seen_ = 0;
  bool toggle_ = false;
  std::uint8_t last_control_ = 0;
  std::int32_t target_ = 0, ideal_ = 0, position_ = 0;
};

struct Sequence {
  const char* name;
  StepTestPlan plan;
  TravelLimits limits;
  Event event;
  int event_at_move;  // 0-based
  std::string refusal;                      // the start refused with this text
  std::vector<double> expected_targets;     // commanded, in order
  std::vector<StepFigures::End> expected_ends;
  StepTest::State expected_state;
  std::string expected_reason;
};

class StepTestSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(StepTestSequence, CommandsThePlannedMovesUntilItEndsAndNothingAfter) {
  const Sequence& c = GetParam();
  Bench bench;
  for (int i = 0; i < 3; ++i) bench.Exchange();
  ASSERT_EQ(bench.Start(c.plan, c.limits), c.refusal);

  bool event_done = false;
  int ticks_after_end = -1;
  // 30 s of ticks at most: a test that never ends fails here, it never hangs.
  for (int tick = 0; tick < 3000 && ticks_after_end < 150; ++tick) {
    const StepTest::Action action = bench.Poll();
    std::uint8_t control = 0;
    double target = 0;
    if (action.kind == StepTest::Action::Kind::kMove) {
      if (c.event == Event::kRefused && action.move == c.event_at_move) {
        bench.test.Refused("Target 1.00 En is beyond the upper travel limit.");
        event_done = true;
      } else {
        control = usb::kGoBit;
        target = action.target_counts;
        bench.commanded.push_back(target);
      }
    }
    const int move = bench.test.NextMove();
    if (!event_done && move == c.event_at_move && bench.test.Running()) {
      const bool moving = bench.Moving() && bench.test.Status() == StepTest::State::kCommanded;
      const bool dwelling = bench.test.Status() == StepTest::State::kDwelling && !bench.Moving() && move > 0;
      if ((moving && c.event == Event::kStopWhileMoving) || (dwelling && c.event == Event::kStopWhileDwelling)) {
        control = usb::kStopBit, event_done = true;
      } else if (moving && c.event == Event::kFaultWhileMoving) {
        bench.fault = true, event_done = true;
      } else if (dwelling && c.event == Event::kOperatorGoWhileDwelling) {
        control = usb::kGoBit, target = 1234, event_done = true;
      }
    }
    bench.Exchange(control, target);
    if (!bench.test.Running() && bench.test.Status() != StepTest::State::kIdle && ticks_after_end < 0) {
      ticks_after_end = 0;
    }
    if (ticks_after_end >= 0) ++ticks_after_end;
  }

  EXPECT_EQ(bench.test.Status(), c.expected_state);
  EXPECT_EQ(bench.test.Reason(), c.expected_reason);
  EXPECT_EQ(bench.commanded, c.expected_targets) << "nothing may be commanded after the end";
  std::vector<StepFigures::End> ends;
  for (const StepTestRow& row : bench.test.Rows()) ends.push_back(row.figures.end);
  EXPECT_EQ(ends, c.expected_ends);
  // Each row is the move to its own target, with the gains the packets carried.
  for (std::size_t k = 0; k < bench.test.Rows().size(); ++k) {
    const StepTestRow& row = bench.test.Rows()[k];
    EXPECT_EQ(row.move, static_cast<int>(k));
    EXPECT_EQ(row.figures.target_counts, static_cast<std::int32_t>(c.expected_targets[k]));
    ASSERT_TRUE(row.figures.gains.has_value());
    EXPECT_EQ(*row.figures.gains, bench.tuning);
  }
  // The dwell lies between one move's end and the next one's command (the GO
  // goes out in the packet after the poll that commands it).
  for (std::size_t k = 1; k < bench.test.Rows().size(); ++k) {
    const StepFigures& before = bench.test.Rows()[k - 1].figures;
    const StepFigures& after = bench.test.Rows()[k].figures;
    EXPECT_GE(after.start_us - before.end_us, c.plan.dwell_us);
    EXPECT_LE(after.start_us - before.end_us, c.plan.dwell_us + 2 * kTickUs);
  }
}

using End = StepFigures::End;
using State = StepTest::State;
const std::string kStopped = "Stopped (STOP, Esc, ZERO or the servo off).";

INSTANTIATE_TEST_SUITE_P(
    Sequences, StepTestSequence,
    ::testing::Values(
        Sequence{"back_and_forth", {400, 50'000, 5, true}, {}, Event::kNone, 0, "", {400, 0, 400, 0, 400},
                 {End::kSettled, End::kSettled, End::kSettled, End::kSettled, End::kSettled}, State::kFinished, ""},
        Sequence{"one_way_backwards", {-300, 0, 3, false}, {}, Event::kNone, 0, "", {-300, -600, -900},
                 {End::kSettled, End::kSettled, End::kSettled}, State::kFinished, ""},
        // The third move would end at -900, beyond -800: refused before the first.
        Sequence{"refused_by_a_limit", {-300, 0, 3, false}, {-800, std::nullopt}, Event::kNone, 0,
                 "Move 3 of the step test: Target -900.00 En is beyond the lower travel limit of axis X, -800.00 En "
                 "(-800 counts). The previous target is kept.",
                 {}, {}, State::kIdle, ""},
        // Back and forth returns to the start: only the far end is checked against the upper limit.
        Sequence{"within_the_limits_exactly", {400, 0, 4, true}, {0, 400}, Event::kNone, 0, "", {400, 0, 400, 0},
                 {End::kSettled, End::kSettled, End::kSettled, End::kSettled}, State::kFinished, ""},
        Sequence{"stop_mid_move", {400, 50'000, 5, true}, {}, Event::kStopWhileMoving, 1, "", {400, 0},
                 {End::kSettled, End::kStopped}, State::kAborted, kStopped},
        Sequence{"stop_while_dwelling", {400, 200'000, 5, true}, {}, Event::kStopWhileDwelling, 2, "", {400, 0},
                 {End::kSettled, End::kSettled}, State::kAborted, kStopped},
        Sequence{"fault_mid_move", {400, 50'000, 5, true}, {}, Event::kFaultWhileMoving, 2, "", {400, 0, 400},
                 {End::kSettled, End::kSettled, End::kFault}, State::kAborted, "The controller reported a fault."},
        Sequence{"operator_go_while_dwelling", {400, 200'000, 5, true}, {}, Event::kOperatorGoWhileDwelling, 1, "",
                 {400}, {End::kSettled}, State::kAborted, "Another move was made on the axis."},
        Sequence{"refused_by_the_console", {400, 0, 5, true}, {}, Event::kRefused, 2, "", {400, 0},
                 {End::kSettled, End::kSettled}, State::kAborted, "Target 1.00 En is beyond the upper travel limit."}),
    [](const ::testing::TestParamInfo<Sequence>& row) { return std::string(row.param.name); });

TEST(StepTest, PlansItsTargetsFromTheStart) {
  EXPECT_EQ(StepTestTargets({250, 0, 4, true}, 1000), (std::vector<double>{1250, 1000, 1250, 1000}));
  EXPECT_EQ(StepTestTargets({-250, 0, 3, false}, 1000), (std::vector<double>{750, 500, 250}));
  const AxisUnits units{"X", 128, " um"};
  EXPECT_EQ(CheckStepTest({250, 0, 0, true}, 0, {}, units), "A step test makes 1 to 1000 moves.");
  EXPECT_EQ(CheckStepTest({0.5, 0, 2, true}, 0, {}, units), "The step test's distance is less than one count.");
  EXPECT_EQ(CheckStepTest({-1, -1, 2, true}, 0, {}, units), "The step test's dwell is negative.");
  // Beyond the encodable range with no limits at all.
  EXPECT_EQ(CheckStepTest({600'000'000, 0, 2, false}, 0, {}, units),
            "Move 2 of the step test: target 9375000.00 um is beyond what the controller accepts.");
}

TEST(StepTest, AbortFromOutsideSaysWhetherAMoveMayBeGoing) {
  Bench bench;
  bench.Exchange();
  ASSERT_EQ(bench.Start({400, 0, 3, true}), "");
  ASSERT_EQ(bench.Poll().kind, StepTest::Action::Kind::kMove);
  EXPECT_TRUE(bench.test.Abort("The Scope was closed."));
  EXPECT_EQ(bench.Poll().kind, StepTest::Action::Kind::kAborted);
  EXPECT_EQ(bench.Poll().kind, StepTest::Action::Kind::kNone) << "the end is told once";
  EXPECT_FALSE(bench.test.Abort("again"));
  EXPECT_EQ(bench.test.Reason(), "The Scope was closed.");
}

TEST(StepTest, AMoveTheControllerNeverStartsEndsTheTestWithinItsBound) {
  Bench bench;
  bench.Exchange();
  ASSERT_EQ(bench.Start({400, 0, 3, true}), "");
  ASSERT_EQ(bench.Poll().kind, StepTest::Action::Kind::kMove);
  // The GO never goes out.
  for (int tick = 0; tick < 120 && bench.test.Running(); ++tick) {
    bench.Exchange();
    bench.Poll();
  }
  EXPECT_EQ(bench.test.Status(), StepTest::State::kAborted);
  EXPECT_EQ(bench.test.Reason(), "The controller started no move.");
}

StepTestRow Row(std::int32_t start, std::int32_t target, std::optional<double> rise_us, double overshoot_counts,
                std::optional<std::int64_t> settling_us, std::int32_t following) {
  StepTestRow row;
  row.figures.start_counts = start;
  row.figures.target_counts = target;
  row.figures.rise_time_us = rise_us;
  row.figures.overshoot_counts = overshoot_counts;
  row.figures.overshoot_percent = overshoot_counts / std::abs(target - start) * 100;
  row.figures.settling_time_us = settling_us;
  row.figures.peak_following_error_counts = following;
  return row;
}

TEST(StepTest, SummaryGivesMeanAndSampleSpreadPerDirection) {
  // Out: rise 10, 12, 14 ms (mean 12, spread 2); back: 20 ms once.
  const std::vector<StepTestRow> rows = {Row(0, 400, 10'000, 4, 30'000, 8), Row(400, 0, 20'000, 0, std::nullopt, -6),
                                         Row(0, 400, 12'000, 8, 50'000, 10), Row(400, 0, std::nullopt, 2, 40'000, -2),
                                         Row(0, 400, 14'000, 12, 40'000, 12)};
  const StepTestSummary out = Summarize(rows, +1);
  EXPECT_EQ(out.moves, 3);
  EXPECT_EQ(out.rise_us.count, 3);
  EXPECT_DOUBLE_EQ(out.rise_us.mean, 12'000);
  EXPECT_DOUBLE_EQ(out.rise_us.spread, 2'000);
  EXPECT_DOUBLE_EQ(out.overshoot_counts.mean, 8);
  EXPECT_DOUBLE_EQ(out.overshoot_counts.spread, 4);
  EXPECT_DOUBLE_EQ(out.overshoot_percent.mean, 2);
  EXPECT_DOUBLE_EQ(out.settling_us.mean, 40'000);
  EXPECT_DOUBLE_EQ(out.settling_us.spread, 10'000);
  EXPECT_DOUBLE_EQ(out.peak_following_counts.mean, 10);

  const StepTestSummary back = Summarize(rows, -1);
  EXPECT_EQ(back.moves, 2);
  EXPECT_EQ(back.rise_us.count, 1);
  EXPECT_DOUBLE_EQ(back.rise_us.mean, 20'000);
  EXPECT_DOUBLE_EQ(back.rise_us.spread, 0);
  EXPECT_EQ(back.settling_us.count, 1);
  EXPECT_DOUBLE_EQ(back.peak_following_counts.mean, 4) << "sizes, whatever the direction";

  EXPECT_EQ(Summarize(rows).moves, 5);
  EXPECT_EQ(Summarize({}).rise_us.count, 0);
}

TEST(StepTest, MoveTraceIsTimedFromTheCommandAndPointsTheStepUpwards) {
  Ring<ScopeSample> samples(16);
  // A move down from 500 to 300, commanded at 30 ms, ended at 60 ms.
  const std::vector<ScopeSample> kept = {
      {0, 500, 500, 0},         {10'000, 500, 500, 0}, {20'000, 500, 500, 0}, {30'000, 500, 480, 16},
      {40'000, 470, 400, 16},   {50'000, 350, 300, 16}, {60'000, 300, 300, 0}, {70'000, 300, 300, 0}};
  for (const ScopeSample& s : kept) samples.Push(s);
  StepFigures move;
  move.start_us = 30'000;
  move.end_us = 60'000;
  move.start_counts = 500;
  move.target_counts = 300;
  const std::vector<TracePoint> trace = MoveTrace(samples, move, 10'000);
  ASSERT_EQ(trace.size(), 5U);
  EXPECT_DOUBLE_EQ(trace.front().time_us, -10'000);
  EXPECT_DOUBLE_EQ(trace.back().time_us, 30'000);
  EXPECT_DOUBLE_EQ(trace[2].progress_counts, 30);    // 500 - 470
  EXPECT_DOUBLE_EQ(trace[2].following_counts, -70);  // behind the ideal, in the step's direction
  EXPECT_DOUBLE_EQ(trace.back().progress_counts, 200);
  EXPECT_EQ(MoveTrace(samples, move, 0, 10'000).size(), 5U);
}

}  // namespace
}  // namespace stage::scope

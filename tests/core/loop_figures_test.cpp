// Why: the loop figures are what tells one set of gains from another when
// the profile is the same; a sample put in the wrong phase, or an
// in-position time counted from the command rather than from the end of the
// profile, would credit the gains with what the profile did. Small moves
// are played sample by sample through the step tracker and every figure is
// checked against an answer worked out by hand from the table.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "stage/scope/loop_figures.h"
#include "stage/scope/step_response.h"
#include "stage/usb/packet_codec.h"

namespace stage::scope {
namespace {

// One reply during the move: time (ms), ideal and actual position, busy.
struct Row {
  std::int64_t t_ms;
  std::int32_t ideal;
  std::int32_t position;
  bool busy = true;
  bool stop = false;  // STOP goes out with this exchange
};

struct LoopCase {
  std::string name;
  std::int32_t target;
  std::vector<Row> rows;      // from the GO on (at 10 ms); the axis rests at 0 at 0 ms
  std::int64_t rest_until_ms;  // then at the target, busy out, every 10 ms
  StepFigures::End end;
  std::int64_t end_ms;
  std::optional<std::int64_t> in_position_us;
  std::optional<PhaseError> accelerating, cruising, braking;
};

void PrintTo(const LoopCase& c, std::ostream* os) { *os << c.name; }

// Plays the case: GO (with position mode and the servo on) from 10 ms on,
// the toggle bit alternating on every exchange; returns the first move that ends.
std::optional<StepFigures> Play(const LoopCase& c) {
  StepSettings settings;
  settings.band_counts = 2;
  StepTracker tracker(settings);
  bool toggle = true;
  auto exchange = [&](std::int64_t t_ms, bool go, bool stop, std::int32_t ideal, std::int32_t position, bool busy) {
    StepSample s;
    s.time_us = t_ms * 1000;
    s.control_byte = static_cast<std::uint8_t>(usb::kActiveBit | (toggle ? usb::kToggleBit : 0) |
                                               (go ? usb::kGoBit | usb::kPositionModeBit : 0) |
                                               (stop ? usb::kStopBit : 0));
    toggle = !toggle;
    s.target_counts = go ? c.target : 0;
    s.ideal_position = ideal;
    s.position = position;
    s.flags = busy ? usb::kFlagBusy : 0;
    return tracker.Observe(s);
  };
  exchange(0, false, false, 0, 0, false);
  for (const Row& row : c.rows) {
    if (auto ended = exchange(row.t_ms, true, row.stop, row.ideal, row.position, row.busy)) return ended;
  }
  const std::int64_t after = c.rows.back().t_ms + 10;
  for (std::int64_t t = after; t <= c.rest_until_ms; t += 10) {
    if (auto ended = exchange(t, true, false, c.target, c.target, false)) return ended;
  }
  return std::nullopt;
}

void ExpectPhase(const char* phase, const std::optional<PhaseError>& got, const std::optional<PhaseError>& want) {
  SCOPED_TRACE(phase);
  ASSERT_EQ(got.has_value(), want.has_value());
  if (!want) return;
  EXPECT_EQ(got->samples, want->samples);
  EXPECT_EQ(got->peak_counts, want->peak_counts);
  EXPECT_NEAR(got->rms_counts, want->rms_counts, 1e-9);
}

class LoopFiguresTest : public ::testing::TestWithParam<LoopCase> {};

TEST_P(LoopFiguresTest, PhasesAndInPositionAsWorkedOutByHand) {
  const LoopCase& c = GetParam();
  const std::optional<StepFigures> figures = Play(c);
  ASSERT_TRUE(figures);
  EXPECT_EQ(figures->end, c.end);
  EXPECT_EQ(figures->end_us, c.end_ms * 1000);
  EXPECT_EQ(figures->loop.in_position_us, c.in_position_us);
  ExpectPhase("accelerating", figures->loop.accelerating, c.accelerating);
  ExpectPhase("cruising", figures->loop.cruising, c.cruising);
  ExpectPhase("braking", figures->loop.braking, c.braking);
}

// A trapezoid to 100: the ideal position travels 0 (the GO's own reply),
// 10, 20, 20, 20, 20, 10 counts per 10 ms. Top speed 20 counts a sample; at
// it are the stretches of 17 counts or more (95 % of 20, less 2): 30 to
// 60 ms. Following errors (actual - ideal): 0, -4 | -8, -6, -6, -2 | +3.
//   accelerating: 2 samples, peak -4, RMS sqrt((0 + 16) / 2) = sqrt(8)
//   cruising:     4 samples, peak -8, RMS sqrt((64 + 36 + 36 + 4) / 4) = sqrt(35)
//   braking:      1 sample,  peak +3, RMS 3
// The ideal position is at the target at 70 ms; the actual enters the band
// (+-2) for good at 90 ms (101): in position 20 ms after the profile. Busy
// goes out at 100 ms; in the band and at rest (within 1 count) since 90 ms,
// so settled at 190 ms.
const std::vector<Row> kTrapezoid = {{10, 0, 0},    {20, 10, 6},   {30, 30, 22},  {40, 50, 44}, {50, 70, 64},
                                     {60, 90, 88},  {70, 100, 103}, {80, 100, 104}, {90, 100, 101}};

// A triangle to 90: travel 0, 10, 20, 30, 20, 10; top 30, at it (26.5 or
// more) only 40 ms. Following errors 0, -2, -5 | -9 | -4, +1.
//   accelerating: 3, peak -5, RMS sqrt(29 / 3); cruising: 1, -9, 9;
//   braking: 2, peak -4, RMS sqrt(17 / 2)
// At the target at 60 ms already in the band (91): in position 0 ms.
// Busy out and at rest from 60 ms: settled at 160 ms.
const std::vector<Row> kTriangle = {{10, 0, 0},   {20, 10, 8},  {30, 30, 25},
                                    {40, 60, 51}, {50, 80, 76}, {60, 90, 91, false}};

// The trapezoid stopped at 50 ms while cruising: the stretches up to 40 ms
// count (travel 0, 10, 20, 20; top 20). accelerating 0, -4; cruising -8, -6
// (RMS sqrt(50)); no braking, and no in-position time for a stopped move.
const std::vector<Row> kStopped = {{10, 0, 0}, {20, 10, 6}, {30, 30, 22}, {40, 50, 44}, {50, 70, 64, true, true}};

// A GO to where the axis is: the ideal position never moves, so no phase;
// at the target from the start and in the band: in position 0 ms, settled
// when busy has been out for... at once, held and at rest 100 ms after 10 ms.
const std::vector<Row> kNoStep = {{10, 0, 0, false}};

// 3001 samples: the GO's reply (travel 0, error 0), 2999 at 10 counts a
// sample with error -5, and a last one of 5 counts with error +7 at the
// target 29995 (30 s). More samples than stretches: by the end each
// stretch holds 8 samples (512 filled at 1, 2, 4), the last one alone.
// The first stretch (the GO's reply and 7 more, 70 counts in 80 ms) is below
// 74 counts (95 % of 80 less 2): accelerating, 8 samples, peak -5, RMS
// sqrt(7 * 25 / 8). Cruising: the 374 stretches after it, 2992 samples of
// -5. Braking: the last sample, +7. In the band the sample after: 10 ms.
std::vector<Row> LongCruise() {
  std::vector<Row> rows = {{10, 0, 0}};
  for (std::int32_t k = 1; k <= 2999; ++k) rows.push_back({10 + 10 * k, 10 * k, 10 * k - 5});
  rows.push_back({10 + 10 * 3000, 29995, 30002});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Moves, LoopFiguresTest,
    ::testing::Values(
        LoopCase{"Trapezoid", 100, kTrapezoid, 400, StepFigures::End::kSettled, 190, 20'000,
                 PhaseError{2, -4, std::sqrt(8.0)}, PhaseError{4, -8, std::sqrt(35.0)}, PhaseError{1, 3, 3}},
        LoopCase{"Triangle", 90, kTriangle, 400, StepFigures::End::kSettled, 160, 0,
                 PhaseError{3, -5, std::sqrt(29.0 / 3)}, PhaseError{1, -9, 9}, PhaseError{2, -4, std::sqrt(8.5)}},
        LoopCase{"StoppedWhileCruising", 100, kStopped, 400, StepFigures::End::kStopped, 50, std::nullopt,
                 PhaseError{2, -4, std::sqrt(8.0)}, PhaseError{2, -8, std::sqrt(50.0)}, std::nullopt},
        LoopCase{"NoStep", 0, kNoStep, 400, StepFigures::End::kSettled, 110, 0, std::nullopt, std::nullopt,
                 std::nullopt},
        LoopCase{"LongCruise", 29995, LongCruise(), 31'000, StepFigures::End::kSettled, 30'120, 10'000,
                 PhaseError{8, -5, std::sqrt(175.0 / 8)}, PhaseError{2992, -5, 5}, PhaseError{1, 7, 7}}),
    [](const ::testing::TestParamInfo<LoopCase>& c) { return c.param.name; });

// The move in progress shows its phases so far, and no in-position time.
TEST(LoopFigures, AMoveInProgressShowsThePhasesSoFar) {
  StepSettings settings;
  settings.band_counts = 2;
  StepTracker tracker(settings);
  bool toggle = true;
  for (const Row& row : std::vector<Row>{{0, 0, 0, false}, {10, 0, 0}, {20, 10, 6}, {30, 30, 22}}) {
    StepSample s;
    s.time_us = row.t_ms * 1000;
    s.control_byte = static_cast<std::uint8_t>(usb::kActiveBit | (toggle ? usb::kToggleBit : 0) |
                                               (row.t_ms > 0 ? usb::kGoBit : 0));
    toggle = !toggle;
    s.target_counts = row.t_ms > 0 ? 100 : 0;
    s.ideal_position = row.ideal;
    s.position = row.position;
    s.flags = row.busy ? usb::kFlagBusy : 0;
    ASSERT_FALSE(tracker.Observe(s));
  }
  const std::optional<StepFigures> now = tracker.Current();
  ASSERT_TRUE(now);
  // Travel 0, 10, 20: top 20, at it only 30 ms so far.
  ExpectPhase("accelerating", now->loop.accelerating, PhaseError{2, -4, std::sqrt(8.0)});
  ExpectPhase("cruising", now->loop.cruising, PhaseError{1, -8, 8});
  ExpectPhase("braking", now->loop.braking, std::nullopt);
  EXPECT_FALSE(now->loop.in_position_us);
}

}  // namespace
}  // namespace stage::scope

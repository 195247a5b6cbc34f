// Why: a saved run is read back from a file anyone may have edited, cut
// short or made up; a value taken on trust could put a wrong reference
// beside the operator's next run, or a half-read file a partial one. Every
// fault must leave no run and a message naming it; a saved run must come
// back exactly.
#include "stage/scope/run_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>

namespace stage::scope {
namespace {

Run TwoAxes() {
  Run run;
  run.saved_utc = "2026-12-11T06:02:04Z";
  RunAxis x;
  x.axis = 0;
  x.name = "X \"front\"";
  x.unit = "um";
  x.counts_per_unit = 10;
  x.gains = usb::TuningValues{20, 6, 7, 60, 90, 210, 40, -500};
  x.samples = {{0, 0, 0, 0}, {10'000, 6, 10, usb::kFlagBusy}, {20'000, 22, 30, usb::kFlagBusy | usb::kFlagError}};
  StepFigures settled;
  settled.start_us = 10'000;
  settled.end_us = 190'000;
  settled.start_counts = 0;
  settled.target_counts = 100;
  settled.band_counts = 2;
  settled.rise_time_us = 41'250.5;
  settled.overshoot_counts = 4;
  settled.overshoot_percent = 4;
  settled.settling_time_us = 80'000;
  settled.steady_state_error_counts = -0.25;
  settled.peak_following_error_counts = -8;
  settled.loop.in_position_us = 20'000;
  settled.loop.accelerating = PhaseError{2, -4, std::sqrt(8.0)};
  settled.loop.cruising = PhaseError{4, -8, std::sqrt(35.0)};
  settled.loop.braking = PhaseError{1, 3, 3};
  StepFigures stopped;  // every optional figure empty
  stopped.end = StepFigures::End::kStopped;
  stopped.relative = true;
  stopped.start_us = 200'000;
  stopped.end_us = 250'000;
  stopped.target_counts = -1'073'741'824;
  x.moves = {settled, stopped};
  RunAxis y;
  y.axis = 5;
  y.name = "Y";
  y.unit = "En";
  y.counts_per_unit = 1;
  run.axes = {x, y};  // Y: no gains seen, no samples, no moves
  return run;
}

TEST(RunFile, ASavedRunComesBackExactly) {
  const stage::scope::Run run = TwoAxes();
  const std::string text = WriteRun(run);
  const RunRead read = ReadRun(text);
  ASSERT_TRUE(read.run) << read.error;
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(WriteRun(*read.run), text);
  const stage::scope::Run& back = *read.run;
  ASSERT_EQ(back.axes.size(), 2U);
  const RunAxis& x = back.axes[0];
  EXPECT_EQ(x.name, "X \"front\"");
  EXPECT_EQ(x.gains, (usb::TuningValues{20, 6, 7, 60, 90, 210, 40, -500}));
  ASSERT_EQ(x.samples.size(), 3U);
  EXPECT_EQ(x.samples[2].flags, usb::kFlagBusy | usb::kFlagError);
  EXPECT_EQ(x.samples[2].ideal_position, 30);
  ASSERT_EQ(x.moves.size(), 2U);
  EXPECT_EQ(x.moves[0].rise_time_us, 41'250.5);
  EXPECT_EQ(x.moves[0].loop.cruising, (PhaseError{4, -8, std::sqrt(35.0)}));
  EXPECT_EQ(x.moves[1].end, StepFigures::End::kStopped);
  EXPECT_TRUE(x.moves[1].relative);
  EXPECT_FALSE(x.moves[1].rise_time_us);
  EXPECT_FALSE(x.moves[1].loop.accelerating);
  EXPECT_EQ(x.moves[1].target_counts, -1'073'741'824);
  EXPECT_FALSE(back.axes[1].gains);
  EXPECT_EQ(back.axes[1].axis, 5);
}

// A run as docs/runs.md shows it, written by hand.
const std::string kValid = R"({"format":"stage-console run","version":1,"saved_utc":"2026-12-11T06:02:04Z",
"axes":[{"axis":0,"name":"X","unit":"um","counts_per_unit":10.0,
"gains":{"p":15,"i":5,"d":5,"acc":50,"max_speed":80,"torque":200,"f_error":50,"speed":0},
"samples":{"time_us":[0,10000],"position_counts":[0,6],"ideal_position_counts":[0,10],"flags":[0,16]},
"moves":[{"move":"GO","end":"settled","start_us":10000,"end_us":190000,"start_counts":0,"target_counts":100,
"band_counts":2,"rise_time_us":41250.5,"overshoot_counts":4.0,"overshoot_percent":4.0,"settling_time_us":80000,
"steady_state_error_counts":0.0,"peak_following_error_counts":-8,"in_position_us":20000,
"accelerating":{"samples":2,"peak_counts":-4,"rms_counts":2.8284271247461903},
"cruising":{"samples":4,"peak_counts":-8,"rms_counts":5.916079783099616},"braking":null}]}]})";

TEST(RunFile, TheDocumentedExampleLoads) {
  const RunRead read = ReadRun(kValid);
  ASSERT_TRUE(read.run) << read.error;
  EXPECT_EQ(read.run->axes[0].moves[0].loop.accelerating->peak_counts, -4);
  EXPECT_FALSE(read.run->axes[0].moves[0].loop.braking);
}

struct BadCase {
  std::string name;
  std::string find;     // in kValid; empty: `replace` is the whole file
  std::string replace;
  std::string error;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadRunFileTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadRunFileTest, IsRefusedWholeWithItsFault) {
  const BadCase& c = GetParam();
  std::string text = c.replace;
  if (!c.find.empty()) {
    text = kValid;
    const std::size_t at = text.find(c.find);
    ASSERT_NE(at, std::string::npos) << c.find;
    text.replace(at, c.find.size(), c.replace);
  }
  const RunRead read = ReadRun(text);
  EXPECT_FALSE(read.run);
  EXPECT_EQ(read.error, c.error);
}

std::string Nested(int depth) { return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']'); }

std::string ManySamples(std::size_t n) {
  std::string times;
  for (std::size_t k = 0; k < n; ++k) times += (k == 0 ? "" : ",") + std::to_string(k);
  return "\"time_us\":[" + times + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadRunFileTest,
    ::testing::Values(
        BadCase{"Empty", "", "", "the file is not valid JSON"},
        BadCase{"CutShort", "", kValid.substr(0, kValid.size() / 2), "the file is not valid JSON"},
        BadCase{"NestedAMillionDeep", "", Nested(1'000'000), "the file nests deeper than a run does"},
        BadCase{"TooLarge", "", std::string(kMostRunFileBytes + 1, ' '), "the file is larger than 64 MiB"},
        BadCase{"NotARun", "", R"({"format":"something else"})", "the file is not a stage-console run"},
        BadCase{"AnArray", "", "[1,2]", "the file is not a stage-console run"},
        BadCase{"LaterVersion", R"("version":1)", R"("version":2)", "the run's version is not 1"},
        BadCase{"UnknownKey", R"("version":1,)", R"("version":1,"extra":0,)", "the file has an unknown key \"extra\""},
        BadCase{"NoAxes", "\n\"axes\":", "\n\"axez\":", "the file has no \"axes\""},
        BadCase{"AxisIndexTooLarge", R"("axis":0)", R"("axis":64)", "axes[0].axis is out of range"},
        BadCase{"NegativeAxisIndex", R"("axis":0)", R"("axis":-1)", "axes[0].axis is out of range"},
        BadCase{"ControlCharacterInName", R"("name":"X")", R"("name":"X\u0007")",
                "axes[0].name holds a control character"},
        BadCase{"LongName", R"("name":"X")", "\"name\":\"" + std::string(65, 'n') + "\"",
                "axes[0].name is longer than 64 bytes"},
        BadCase{"ZeroCountsPerUnit", R"("counts_per_unit":10.0)", R"("counts_per_unit":0)",
                "axes[0].counts_per_unit is not above 0"},
        BadCase{"CountsPerUnitAsText", R"("counts_per_unit":10.0)", R"("counts_per_unit":"10")",
                "axes[0].counts_per_unit is not a number"},
        BadCase{"GainAboveAByte", R"("p":15)", R"("p":256)", "axes[0].gains.p is out of range"},
        BadCase{"GainMissing", R"("p":15,)", "", "axes[0].gains has no \"p\""},
        BadCase{"SpeedBeyondThePacket", R"("speed":0)", R"("speed":32769)", "axes[0].gains.speed is out of range"},
        BadCase{"ColumnsOfDifferentLengths", R"("flags":[0,16])", R"("flags":[0])",
                "axes[0].samples.flags has 1 values, time_us 2"},
        BadCase{"TimeGoingBack", R"("time_us":[0,10000])", R"("time_us":[10000,0])",
                "axes[0].samples.time_us[1] is out of range"},
        BadCase{"FractionalTime", R"("time_us":[0,10000])", R"("time_us":[0,10000.5])",
                "axes[0].samples.time_us[1] is not a whole number"},
        BadCase{"PositionBeyond32Bits", R"("position_counts":[0,6])", R"("position_counts":[0,2147483648])",
                "axes[0].samples.position_counts[1] is out of range"},
        BadCase{"HugeUnsigned", R"("position_counts":[0,6])", R"("position_counts":[0,18446744073709551615])",
                "axes[0].samples.position_counts[1] is out of range"},
        BadCase{"FlagsAboveAByte", R"("flags":[0,16])", R"("flags":[0,256])", "axes[0].samples.flags[1] is out of range"},
        BadCase{"TooManySamples", R"("time_us":[0,10000])", ManySamples(kMostRunSamples + 1),
                "axes[0].samples.time_us has more than 8192 entries"},
        BadCase{"UnknownEnding", R"("end":"settled")", R"("end":"exploded")",
                "axes[0].moves[0].end is not a known ending"},
        BadCase{"EndBeforeStart", R"("end_us":190000)", R"("end_us":9999)", "axes[0].moves[0].end_us is out of range"},
        BadCase{"NegativeRms", R"("rms_counts":2.8284271247461903)", R"("rms_counts":-1)",
                "axes[0].moves[0].accelerating.rms_counts is negative"},
        BadCase{"PhaseWithoutSamples", R"("samples":2,)", R"("samples":0,)",
                "axes[0].moves[0].accelerating.samples is out of range"},
        BadCase{"MoveOfAnotherKind", R"("move":"GO")", R"("move":"JOG")",
                "axes[0].moves[0].move is neither \"GO\" nor \"Rel\""},
        BadCase{"NotANumber", R"("overshoot_counts":4.0)", R"("overshoot_counts":NaN)", "the file is not valid JSON"}),
    [](const ::testing::TestParamInfo<BadCase>& c) { return c.param.name; });

TEST(RunFile, ARunWithoutAxesIsRefused) {
  const RunRead read = ReadRun(R"({"format":"stage-console run","version":1,"saved_utc":"","axes":[]})");
  EXPECT_FALSE(read.run);
  EXPECT_EQ(read.error, "the run has no axis");
}

}  // namespace
}  // namespace stage::scope

// Why this exists: the bridge's view of the stage decides what a facility's
// scans see (a move reported finished before it began, a limit switch shown
// as motion), and every byte of it comes from another program. These are
// the pure parts: lines off the socket, the console's answers read and
// checked, the state and status each axis shows, the pacing of change
// events, the command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stage/tango_bridge/command_line.h"
#include "stage/tango_bridge/event_throttle.h"
#include "stage/tango_bridge/line_splitter.h"
#include "stage/tango_bridge/stage_model.h"

namespace stage::tango_bridge {
namespace {

using nlohmann::json;

struct Split {
  std::vector<std::string> lines;
  int overlong = 0;
};

Split Feed(LineSplitter& splitter, const std::vector<std::string>& chunks) {
  Split out;
  for (const std::string& chunk : chunks)
    splitter.Feed(chunk, [&](std::string_view line) { out.lines.emplace_back(line); }, [&] { ++out.overlong; });
  return out;
}

TEST(LineSplitter, CutsLinesAcrossChunksDropsCarriageReturnsAndSkipsOverlongLinesWhole) {
  LineSplitter splitter(8);
  const Split split = Feed(splitter, {"ab", "c\r\nde\n", "0123456789", "abc\nok\n", "x"});
  EXPECT_EQ(split.lines, (std::vector<std::string>{"abc", "de", "ok"}));
  EXPECT_EQ(split.overlong, 1);
  // A line exactly at the bound is kept; the partial "x" waits for its end.
  const Split more = Feed(splitter, {"1234567\n"});
  EXPECT_EQ(more.lines, (std::vector<std::string>{"x1234567"}));
}

json Axes(json limits = json{{"lower", -100.0}, {"upper", nullptr}}) {
  return json{{"axes",
               {{{"index", 0}, {"name", "X   "}, {"serial", "A1"}, {"port", 1}, {"units", "um"},
                 {"counts_per_unit", 128}, {"limits", limits}},
                {{"index", 1}, {"name", "Y"}, {"serial", "A2"}, {"port", 2}, {"units", "En"},
                 {"counts_per_unit", 1}, {"limits", {{"lower", nullptr}, {"upper", nullptr}}}}}}};
}

TEST(StageModel, ReadsTheAxesWithTheirNamesTrimmedAndAbsentLimitsAsNone) {
  const auto axes = ParseAxes(Axes());
  ASSERT_TRUE(axes);
  ASSERT_EQ(axes->size(), 2u);
  EXPECT_EQ((*axes)[0].name, "X");
  EXPECT_EQ((*axes)[0].lower_limit, -100.0);
  EXPECT_FALSE((*axes)[0].upper_limit);
  EXPECT_EQ((*axes)[1].units, "En");
  EXPECT_EQ(FindAxis(*axes, "x"), 0u);
  EXPECT_EQ(FindAxis(*axes, "Y  "), 1u);
  EXPECT_EQ(FindAxis(*axes, "1"), 1u);
  EXPECT_FALSE(FindAxis(*axes, "2"));
  EXPECT_FALSE(FindAxis(*axes, "Z"));
  EXPECT_FALSE(FindAxis(*axes, ""));
}

TEST(StageModel, RefusesMalformedAnswersWhole) {
  json wrong_index = Axes();
  wrong_index["axes"][1]["index"] = 5;
  json no_units = Axes();
  no_units["axes"][0].erase("units");
  json text_limit = Axes(json{{"lower", "-100"}, {"upper", nullptr}});
  json too_many = json{{"axes", json::array()}};
  for (std::size_t i = 0; i <= kMaxAxes; ++i) too_many["axes"].push_back(Axes()["axes"][0]);
  for (const json& answer : {wrong_index, no_units, text_limit, too_many, json::array(), json("axes")})
    EXPECT_FALSE(ParseAxes(answer)) << answer.dump().substr(0, 200);
}

json Status(bool busy = false) {
  json axis = {{"index", 0}, {"name", "X"}, {"position", 12.5}, {"ideal_position", 12.0}, {"busy", busy},
               {"error", false}, {"limit", false}, {"target", busy ? json(100.0) : json(nullptr)}};
  return json{{"time", 1.0}, {"remote_moves_allowed", true},
              {"control", {{"held", true}, {"mine", true}, {"holder_pid", 7}}}, {"axes", {axis}}};
}

TEST(StageModel, ReadsAStatusAndRefusesOneOfAnotherAxisCountOrWithAFieldMissing) {
  const auto reading = ParseStatus(Status(true), 1);
  ASSERT_TRUE(reading);
  EXPECT_TRUE(reading->control_mine);
  EXPECT_DOUBLE_EQ(reading->axes[0].position, 12.5);
  EXPECT_EQ(reading->axes[0].target, 100.0);
  EXPECT_FALSE(ParseStatus(Status(), 2));
  json no_busy = Status();
  no_busy["axes"][0].erase("busy");
  EXPECT_FALSE(ParseStatus(no_busy, 1));
  json text_position = Status();
  text_position["axes"][0]["position"] = "12.5";
  EXPECT_FALSE(ParseStatus(text_position, 1));
}

struct StateCase {
  const char* name;
  bool connected, busy, error, limit, allowed, pending;
  AxisState expected;
  const char* status_has;
};

class AxisStates : public ::testing::TestWithParam<StateCase> {};

TEST_P(AxisStates, FollowTheirOrderOfPrecedence) {
  const StateCase& c = GetParam();
  const Link link{c.connected, "the console closed the connection"};
  AxisReading reading;
  reading.position = 5.0;
  reading.busy = c.busy;
  reading.error = c.error;
  reading.limit = c.limit;
  AxisInfo info;
  info.name = "X";
  info.units = "um";
  EXPECT_EQ(StateOf(link, &reading, c.allowed, c.pending), c.expected);
  EXPECT_NE(StatusOf(link, &info, &reading, c.allowed, c.pending).find(c.status_has), std::string::npos)
      << StatusOf(link, &info, &reading, c.allowed, c.pending);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AxisStates,
    ::testing::Values(
        StateCase{"at_rest", true, false, false, false, true, false, AxisState::kOn, "at rest"},
        StateCase{"busy", true, true, false, false, true, false, AxisState::kMoving, "moving"},
        // Written and accepted, busy not back yet: a scan must not see ON.
        StateCase{"pending", true, false, false, false, true, true, AxisState::kMoving, "moving"},
        StateCase{"limit", true, true, false, true, true, false, AxisState::kAlarm, "limit switch"},
        StateCase{"error", true, true, true, true, true, false, AxisState::kFault, "error"},
        StateCase{"refused", true, false, false, false, false, false, AxisState::kDisable, "refused by the operator"},
        StateCase{"refused_moving", true, true, false, false, false, false, AxisState::kMoving, "refused"},
        StateCase{"no_console", false, true, true, false, true, false, AxisState::kUnknown,
                  "No console: the console closed the connection"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(EventThrottle, PushesStateChangesAtOnceAndPositionsAtMostTenPerSecondEndingOnTheLast) {
  using namespace std::chrono_literals;
  EventThrottle throttle;
  const auto t0 = EventThrottle::Clock::time_point{} + 1h;
  auto d = throttle.Offer(AxisState::kOn, 0.0, t0);
  EXPECT_TRUE(d.push_state && d.push_position);
  d = throttle.Offer(AxisState::kMoving, 1.0, t0 + 10ms);
  EXPECT_TRUE(d.push_state && d.push_position);
  // A move polled every 10 ms for a second: ten positions at most.
  int positions = 0;
  for (int ms = 20; ms < 1010; ms += 10)
    positions += throttle.Offer(AxisState::kMoving, ms / 10.0, t0 + std::chrono::milliseconds(ms)).push_position;
  EXPECT_LE(positions, 10);
  EXPECT_GE(positions, 9);
  // The last position, held back, goes out when its interval has passed.
  d = throttle.Offer(AxisState::kMoving, 100.0, t0 + 1005ms);  // 95 ms after the last
  EXPECT_FALSE(d.push_position);
  d = throttle.Offer(AxisState::kMoving, 100.0, t0 + 1200ms);
  EXPECT_TRUE(d.push_position);
  d = throttle.Offer(AxisState::kMoving, 100.0, t0 + 1300ms);
  EXPECT_FALSE(d.push_position || d.push_state);
  // Unknown: the state goes out, no position.
  d = throttle.Offer(AxisState::kUnknown, std::nullopt, t0 + 1310ms);
  EXPECT_TRUE(d.push_state);
  EXPECT_FALSE(d.push_position);
}

TEST(CommandLine, TakesTheInstanceAndControlAndHandsTheRestToTango) {
  const auto parsed = ParseCommandLine({"prog", "lab1", "--control", "/tmp/c.sock", "-nodb", "-dlist", "a/b/c"}, "/d");
  ASSERT_TRUE(parsed.line) << parsed.error;
  EXPECT_EQ(parsed.line->instance, "lab1");
  EXPECT_EQ(parsed.line->control_path, "/tmp/c.sock");
  EXPECT_EQ(parsed.line->tango_args, (std::vector<std::string>{"prog", "lab1", "-nodb", "-dlist", "a/b/c"}));
  const auto defaulted = ParseCommandLine({"prog", "--control=/x", "lab1"}, "/d");
  ASSERT_TRUE(defaulted.line);
  EXPECT_EQ(defaulted.line->control_path, "/x");
  EXPECT_EQ(ParseCommandLine({"prog", "lab1"}, "/d").line->control_path, "/d");
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"prog"}, {"prog", "-nodb"}, {"prog", "lab1", "--control"},
        {"prog", "lab1", "--control", "/a", "--control", "/b"}, {"prog", "lab1", "--control="},
        {"prog", "lab1", "--control", std::string(200, 'x')}})
    EXPECT_FALSE(ParseCommandLine(bad, "/d").line) << bad.back();
  EXPECT_EQ(DefaultControlPath("/run/user/5", 5), "/run/user/5/stage-console/control.sock");
  EXPECT_EQ(DefaultControlPath(nullptr, 7), "/run/user/7/stage-console/control.sock");
}

}  // namespace
}  // namespace stage::tango_bridge

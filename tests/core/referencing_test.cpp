// Why: referencing drives an axis on its own, toward a hard end. Each table
// row is a scripted conversation with one controller (the replies it gives)
// and the bits and speed of the packet the console sends after each reply:
// the run must send exactly those, end with exactly that outcome, and leave
// nothing of its own set, whatever the controller says.
#include "stage/referencing/referencing.h"

#include "bench/allocation_count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace stage::referencing {
namespace {

using usb::kFlagBusy;
using usb::kFlagError;
using usb::kFlagLimit1;
using usb::kFlagLimit2;

constexpr std::uint8_t kStop = 2, kZero = 4, kSpeedMode = 16, kRel = 64;
constexpr std::uint8_t kWatched = kStop | kZero | kSpeedMode | kRel | usb::kGoBit;
constexpr std::uint8_t kL1 = kFlagLimit1, kL2 = kFlagLimit2, kBusy = kFlagBusy, kErr = kFlagError;

// One axis with its tables and latches, as the polling cycle drives them:
// the packet goes out, the latches hear it, the reply comes in.
struct Axis {
  Axis() : referencing(tables, latches) {
    tables.AllocateAxisTables(0);
    tables.ActiveBit[0] = usb::kActiveBit;  // the main window has been activated
    latches.Allocate();
    referencing.Allocate();
  }
  struct Sent {
    std::uint8_t bits = 0;
    std::int32_t speed = 0;
    double target = 0;
  };
  Sent Packet() {
    usb::TuningValues tuning;
    tuning.speed = slider_speed;
    referencing.ApplySpeed(0, tuning);
    const Sent sent{static_cast<std::uint8_t>(tables.ControlByte(0) & kWatched), tuning.speed, tables.TargetCounts[0]};
    latches.PacketSent(0);
    return sent;
  }
  // One tick: the packet, then the reply to it.
  Sent Exchange(const usb::StatusReading& reply) {
    const Sent sent = Packet();
    referencing.OnReply(0, &reply);
    return sent;
  }

  modKVT_USB tables;
  CommandLatches latches{tables};
  Referencing referencing;
  std::int32_t slider_speed = 0;
};

// A reply as the tables below write it: position, flags, ideal position.
usb::StatusReading R(std::int32_t position, std::uint8_t flags, std::int32_t ideal) { return {position, ideal, flags}; }

// A reply, and what the packet after it carries.
struct Step {
  std::int32_t position = 0;
  std::uint8_t flags = 0;
  std::int32_t ideal = 0;
  std::uint8_t next_bits = 0;   // of kStop, kZero, kSpeedMode, kRel, GO
  std::int32_t next_speed = 0;  // the Speed slider stays at 0
  int repeat = 1;               // the same reply this many times
};
struct Conversation {
  const char* name;
  Plan plan;
  std::vector<Step> steps;
  Outcome outcome;
  Phase ended_in = Phase::kIdle;
  const char* says = "";  // a phrase of Describe's line
};
void PrintTo(const Conversation& c, std::ostream* os) { *os << c.name; }

Plan Lower(std::int64_t back_off = 1000, std::int64_t max_seek = 100000) {
  return {Toward::kLower, 500, back_off, max_seek};
}
Plan Upper(std::int64_t back_off = 1000, std::int64_t max_seek = 100000) {
  return {Toward::kUpper, 500, back_off, max_seek};
}

class ConversationTest : public ::testing::TestWithParam<Conversation> {};

TEST_P(ConversationTest, SendsTheseBitsAndEndsSo) {
  const Conversation& c = GetParam();
  Axis axis;
  axis.tables.TargetCounts[0] = 1234;  // the target box's
  ASSERT_TRUE(axis.referencing.Start(0, c.plan));
  // Nothing goes out before the first reply has been looked at.
  EXPECT_EQ(axis.Packet().bits, 0);
  int reply = 0;
  for (const Step& step : c.steps) {
    for (int r = 0; r < step.repeat; ++r, ++reply) {
      const usb::StatusReading status{step.position, step.ideal, step.flags};
      axis.referencing.OnReply(0, &status);
      const Axis::Sent sent = axis.Packet();
      ASSERT_EQ(sent.bits, step.next_bits) << "after reply " << reply;
      ASSERT_EQ(sent.speed, step.next_speed) << "after reply " << reply;
      if ((sent.bits & kRel) != 0) {
        // To the back-off from the edge, from the ideal position at rest.
        const RunState& state = axis.referencing.State(0);
        const std::int64_t away = c.plan.toward == Toward::kLower ? 1 : -1;
        EXPECT_EQ(sent.target, static_cast<double>(state.edge_counts + away * c.plan.back_off_counts - step.ideal));
      }
    }
  }
  const RunState& state = axis.referencing.State(0);
  EXPECT_FALSE(axis.referencing.Running(0));
  EXPECT_EQ(state.outcome, c.outcome);
  EXPECT_EQ(state.ended_in, c.ended_in);
  // Nothing of the run is left: no bit, no speed, the box's target back.
  EXPECT_EQ(axis.Packet().bits, 0);
  EXPECT_EQ(axis.Packet().speed, 0);
  EXPECT_EQ(axis.tables.TargetCounts[0], 1234);
  if (c.outcome == Outcome::kDone) {
    // The reply before the ZERO: where the back-off ended.
    const Step& before_zero = c.steps[c.steps.size() - 2];
    EXPECT_EQ(state.zeroed_from_counts, before_zero.position);
  }
  EXPECT_NE(Describe(state, {"X", 128, " um"}).find(c.says), std::string::npos) << Describe(state, {"X", 128, " um"});
}

// At rest in the middle of the travel, position 0.
const std::vector<Step> kArm = {{0, 0, 0, kStop}};
// ...then the seek toward the lower switch starts with the packet that lets
// go of STOP.
std::vector<Step> ArmAndSeekLower() { return {{0, 0, 0, kStop}, {0, 0, 0, kSpeedMode, -500}}; }
std::vector<Step> ArmAndSeekUpper() { return {{0, 0, 0, kStop}, {0, 0, 0, kSpeedMode, 500}}; }
std::vector<Step> Then(std::vector<Step> steps, const std::vector<Step>& more) {
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Referencing, ConversationTest,
    ::testing::Values(
        // The whole run: seek, switch, STOP until at rest, off the switch
        // slowly (a fiftieth of the speed) to its edge, STOP, a Rel to the
        // back-off from the edge (the click's position mode follows), ZERO
        // for one packet, done.
        Conversation{"LowerSwitch",
                     Lower(),
                     Then(ArmAndSeekLower(),
                          {{-200, kBusy, -250, kSpeedMode, -500},
                           {-4000, kBusy, -4050, kSpeedMode, -500, 10},
                           {-5000, kBusy | kL1, -5050, kStop},
                           {-5100, kBusy | kL1, -5120, kStop},
                           {-5120, kL1, -5120, kSpeedMode, 10},
                           {-5110, kBusy | kL1, -5110, kSpeedMode, 10},
                           {-5100, kBusy, -5100, kStop},
                           {-5098, 0, -5098, kRel},
                           {-5000, kBusy, -4900, 0},
                           {-4300, kBusy, -4102, 0, 0, 5},
                           {-4101, 0, -4100, kZero},
                           {0, 0, 0, 0}}),
                     Outcome::kDone, Phase::kZeroing,
                     "zeroed 1000 counts (7.81 um) off the edge of the lower limit switch"},
        Conversation{"UpperSwitch",
                     Upper(),
                     Then(ArmAndSeekUpper(),
                          {{4000, kBusy, 4050, kSpeedMode, 500},
                           {5000, kBusy | kL2, 5050, kStop},
                           {5120, kL2, 5120, kSpeedMode, -10},
                           {5100, kBusy, 5100, kStop},
                           {5098, 0, 5098, kRel},
                           {5000, kBusy, 4900, 0},
                           {4101, 0, 4100, kZero},
                           {1, 0, 0, 0}}),
                     Outcome::kDone, Phase::kZeroing, "off the edge of the upper limit switch"},
        // No back-off: ZERO at the edge, after a Rel back over the overrun.
        Conversation{"NoBackOffZeroesAtTheEdge",
                     Lower(0),
                     Then(ArmAndSeekLower(), {{-5000, kBusy | kL1, -5050, kStop},
                                              {-5120, kL1, -5120, kSpeedMode, 10},
                                              {-5100, kBusy, -5100, kStop},
                                              {-5098, 0, -5098, kRel},
                                              {-5100, 0, -5100, kZero},
                                              {0, 0, 0, 0}}),
                     Outcome::kDone, Phase::kZeroing, "zeroed at the edge of the lower limit switch"},
        // Already on the switch: no seek at all.
        Conversation{"StartsOnTheSwitch",
                     Lower(),
                     {{-5120, kL1, -5120, kStop},
                      {-5120, kL1, -5120, kSpeedMode, 10},
                      {-5100, 0, -5100, kStop},
                      {-5100, 0, -5100, kRel},
                      {-4100, 0, -4100, kZero},
                      {0, 0, 0, 0}},
                     Outcome::kDone, Phase::kZeroing, "referenced"},
        // On the other switch at the start: the seek leaves it; it released
        // and came on again would be the wrong switch, but this is not.
        Conversation{"StartsOnTheOtherSwitch",
                     Lower(),
                     {{5120, kL2, 5120, kStop},
                      {5120, kL2, 5120, kSpeedMode, -500},
                      {5000, kBusy | kL2, 5000, kSpeedMode, -500},
                      {-100, kBusy | kL1, -100, kStop},
                      {-120, kL1, -120, kSpeedMode, 10},
                      {-100, kBusy, -100, kStop},
                      {-99, 0, -99, kRel},
                      {901, 0, 900, kZero},
                      {0, 0, 0, 0}},
                     Outcome::kDone, Phase::kZeroing, "referenced"},
        // A move in progress at the start comes to rest under STOP first.
        Conversation{"WaitsForRestBeforeTheSeek",
                     Lower(),
                     {{0, kBusy, 0, kStop},
                      {300, kBusy, 300, kStop, 0, 20},
                      {310, 0, 310, kSpeedMode, -500},
                      {100, kBusy | kL1, 100, kStop},
                      {90, kL1, 90, kSpeedMode, 10},
                      {110, kBusy, 110, kStop},
                      {112, 0, 112, kRel},
                      {1110, 0, 1110, kZero},
                      {0, 0, 0, 0}},
                     Outcome::kDone, Phase::kZeroing, "referenced"},

        // Faults. Every one but the error flag ends with one STOP packet.
        Conversation{"ErrorStandingAtStart", Lower(), {{0, kErr, 0, 0}}, Outcome::kErrorFlag, Phase::kArming,
                     "reported an error"},
        Conversation{"ErrorWhileSeeking", Lower(), Then(ArmAndSeekLower(), {{-500, kBusy | kErr, -500, 0}}),
                     Outcome::kErrorFlag, Phase::kSeeking, "The axis is stopped; it is not zeroed."},
        // A reversed motor runs the wrong way into a following-error fault:
        // said as the wrong way, which names the option to check.
        Conversation{"ReversedPolarityFaults", Lower(),
                     Then(ArmAndSeekLower(), {{200, kBusy, -250, kSpeedMode, -500}, {800, kErr, 800, 0}}),
                     Outcome::kWrongWay, Phase::kSeeking, "Reverse Motor Polarity"},
        Conversation{"ReversedPolarityRunsAway", Lower(),
                     Then(ArmAndSeekLower(),
                          {{200, kBusy, -250, kSpeedMode, -500}, {257, kBusy, -500, kStop}, {400, kBusy, -500, 0}}),
                     Outcome::kWrongWay, Phase::kSeeking, "moved away from the lower limit switch"},
        Conversation{"ReversedLimitWiring", Lower(),
                     Then(ArmAndSeekLower(), {{-5000, kBusy | kL2, -5000, kStop}, {-5100, kL2, -5100, 0}}),
                     Outcome::kWrongSwitch, Phase::kSeeking, "Reverse Limit Switch"},
        Conversation{"BothSwitchesAtStart", Lower(), {{0, kL1 | kL2, 0, kStop}, {0, kL1 | kL2, 0, 0}},
                     Outcome::kBothSwitches, Phase::kArming, "Limit Sw Active on HI"},
        // No switch within the bound: the seek gives up at it.
        Conversation{"TravelBound", Lower(1000, 100000),
                     Then(ArmAndSeekLower(), {{-50000, kBusy, -50000, kSpeedMode, -500},
                                              {-100000, kBusy, -100000, kSpeedMode, -500},
                                              {-100001, kBusy, -100001, kStop},
                                              {-100100, 0, -100100, 0}}),
                     Outcome::kTravelBound, Phase::kSeeking, "travel bound of 100000 counts (781.25 um)"},
        Conversation{"WatchdogWhileSeeking", Lower(),
                     Then(ArmAndSeekLower(), {{-7, kBusy, -7, kSpeedMode, -500, 200}, {-7, kBusy, -7, kStop}}),
                     Outcome::kNoProgress, Phase::kSeeking, "watchdog"},
        Conversation{"NeverAtRest", Lower(), {{0, kBusy, 0, kStop, 0, 501}, {0, kBusy, 0, kStop}, {0, kBusy, 0, 0}},
                     Outcome::kNotAtRest, Phase::kHolding, "did not come to rest"},
        Conversation{"SwitchLostWhileStopping", Lower(),
                     Then(ArmAndSeekLower(),
                          {{-5000, kBusy | kL1, -5000, kStop}, {-4900, 0, -4900, kStop}, {-4900, 0, -4900, 0}}),
                     Outcome::kSwitchLost, Phase::kHolding, "released while the axis stopped"},
        Conversation{"LeavingTheSwitchTheWrongWay", Lower(),
                     {{-5120, kL1, -5120, kStop},
                      {-5120, kL1, -5120, kSpeedMode, 10},
                      {-5400, kBusy | kL1, -5400, kStop},
                      {-5400, kL1, -5400, 0}},
                     Outcome::kWrongWay, Phase::kReleasing, "moved away"},
        Conversation{"StillOnTheSwitchAfterTheBackOff", Lower(1000),
                     {{-5120, kL1, -5120, kStop},
                      {-5120, kL1, -5120, kSpeedMode, 10},
                      {-5100, 0, -5100, kStop},
                      {-5100, 0, -5100, kRel},
                      {-4100, kL1, -4100, kStop},
                      {-4100, kL1, -4100, 0}},
                     Outcome::kStillOnSwitch, Phase::kBackingOff, "check the switch"},
        Conversation{"BackOffOvershoots", Lower(1000),
                     {{-5120, kL1, -5120, kStop},
                      {-5120, kL1, -5120, kSpeedMode, 10},
                      {-5100, 0, -5100, kStop},
                      {-5100, 0, -5100, kRel},
                      {-3843, kBusy, -3900, kStop},
                      {-3800, 0, -3800, 0}},
                     Outcome::kTravelBound, Phase::kBackingOff, "back-off went beyond 1256 counts"},
        Conversation{"BackOffTheWrongWay", Lower(1000),
                     {{-5120, kL1, -5120, kStop},
                      {-5120, kL1, -5120, kSpeedMode, 10},
                      {-5100, 0, -5100, kStop},
                      {-5100, 0, -5100, kRel},
                      {-5400, kBusy, -5400, kStop},
                      {-5400, 0, -5400, 0}},
                     Outcome::kWrongWay, Phase::kBackingOff, "moved away"},
        Conversation{"ZeroNeverShows", Lower(0),
                     {{-5120, kL1, -5120, kStop},
                      {-5120, kL1, -5120, kSpeedMode, 10},
                      {-5100, 0, -5100, kStop},
                      {-5100, 0, -5100, kZero},
                      {-5100, 0, -5100, 0, 0, 50},
                      {-5100, 0, -5100, kStop},
                      {-5100, 0, -5100, 0}},
                     Outcome::kNotZeroed, Phase::kZeroing, "(ZERO had been sent)"}),
    [](const ::testing::TestParamInfo<Conversation>& row) { return std::string(row.param.name); });

// A reply that never came ends the run like a fault.
TEST(ReferencingTest, ALostReplyEndsTheRunWithOneStop) {
  Axis axis;
  ASSERT_TRUE(axis.referencing.Start(0, Lower()));
  axis.Exchange(R(0, 0, 0));
  axis.Exchange(R(0, 0, 0));
  EXPECT_EQ(axis.Packet().bits, kSpeedMode);
  axis.referencing.OnReply(0, nullptr);
  EXPECT_EQ(axis.referencing.State(0).outcome, Outcome::kLostReply);
  EXPECT_EQ(axis.Packet().bits, kStop);
  EXPECT_EQ(axis.Packet().bits, 0);
}

// STOP, Esc and the operator's own commands end it at once: the run lets go
// of its bits, while the operator's STOP stays held by the operator.
struct Ending {
  const char* name;
  Outcome why;
  int replies_before;  // into the run: 1 holding, 3 seeking, 4 holding on the switch, 5 leaving it
};
// The run's STOP pressed on the switch has not gone out yet: like every
// press, it goes out once.
bool RunStopUnsent(const Ending& e) { return e.replies_before == 4; }
void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }
class EndingTest : public ::testing::TestWithParam<Ending> {};

TEST_P(EndingTest, LetsGoOfEverythingAtOnce) {
  const Ending& e = GetParam();
  Axis axis;
  ASSERT_TRUE(axis.referencing.Start(0, Lower()));
  const std::vector<usb::StatusReading> replies = {
      R(0, 0, 0), R(0, 0, 0), R(-300, kBusy, -300), R(-5000, kBusy | kL1, -5000), R(-5120, kL1, -5120),
      R(-5000, kBusy | kL1, -5000)};
  axis.Packet();
  for (int r = 0; r < e.replies_before; ++r) axis.Exchange(replies[static_cast<std::size_t>(r)]);
  ASSERT_TRUE(axis.referencing.Running(0));
  const bool operator_stop = e.why != Outcome::kInterrupted;
  if (operator_stop) {
    axis.latches.Press(0, LevelCommand::kStop,
                       e.why == Outcome::kEscape ? CommandHolder::kEscape : CommandHolder::kControl);
    axis.latches.SpeedModeOff(0);
  }
  axis.referencing.End(0, e.why);
  EXPECT_FALSE(axis.referencing.Running(0));
  EXPECT_EQ(axis.referencing.State(0).outcome, e.why);
  const Axis::Sent next = axis.Packet();
  EXPECT_EQ(next.speed, 0) << "the seek's speed is gone";
  EXPECT_EQ(next.bits & (kSpeedMode | kZero), 0);
  EXPECT_EQ(next.bits & kStop, operator_stop || RunStopUnsent(e) ? kStop : 0) << "the operator's STOP alone";
  if (operator_stop) {
    axis.latches.Release(0, LevelCommand::kStop,
                         e.why == Outcome::kEscape ? CommandHolder::kEscape : CommandHolder::kControl);
  }
  axis.Packet();
  EXPECT_EQ(axis.Packet().bits, 0) << "nothing of the run's is left held";
  axis.Exchange(R(-4000, kBusy, -4000));
  EXPECT_EQ(axis.Packet().bits, 0) << "later replies drive nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Referencing, EndingTest,
    ::testing::Values(Ending{"StopWhileHolding", Outcome::kStopped, 1},
                      Ending{"StopWhileSeeking", Outcome::kStopped, 3},
                      Ending{"EscWhileSeeking", Outcome::kEscape, 3}, Ending{"EscOnTheSwitch", Outcome::kEscape, 4},
                      Ending{"StopWhileLeavingTheSwitch", Outcome::kStopped, 5},
                      Ending{"OperatorCommandWhileSeeking", Outcome::kInterrupted, 3},
                      Ending{"OperatorCommandOnTheSwitch", Outcome::kInterrupted, 4}),
    [](const ::testing::TestParamInfo<Ending>& row) { return std::string(row.param.name); });

TEST(ReferencingTest, StartRefusesARunningAxisAPlanOutOfRangeAndAnUnknownAxis) {
  Axis axis;
  EXPECT_FALSE(axis.referencing.Start(1, Lower()));
  EXPECT_FALSE(axis.referencing.Start(-1, Lower()));
  Plan plan = Lower();
  plan.speed = 0;
  EXPECT_FALSE(axis.referencing.Start(0, plan));
  plan.speed = kMaxSpeed + 1;
  EXPECT_FALSE(axis.referencing.Start(0, plan));
  plan = Lower(-1);
  EXPECT_FALSE(axis.referencing.Start(0, plan));
  plan = Lower(0, 0);
  EXPECT_FALSE(axis.referencing.Start(0, plan));
  EXPECT_FALSE(axis.referencing.AnyRunning());
  ASSERT_TRUE(axis.referencing.Start(0, Lower()));
  EXPECT_FALSE(axis.referencing.Start(0, Upper())) << "one run at a time per axis";
  EXPECT_EQ(axis.referencing.State(0).plan.toward, Toward::kLower);
  EXPECT_TRUE(axis.referencing.AnyRunning());
}

// The operator's STOP held through the run's own STOP stays held when the
// run lets go of its own.
TEST(ReferencingTest, TheOperatorsHeldStopOutlivesTheRunsStop) {
  Axis axis;
  ASSERT_TRUE(axis.referencing.Start(0, Lower()));
  axis.Packet();
  axis.Exchange(R(0, kBusy, 0));  // the run holds STOP now
  axis.latches.Press(0, LevelCommand::kStop, CommandHolder::kControl);
  axis.referencing.End(0, Outcome::kStopped);
  EXPECT_EQ(axis.Packet().bits, kStop);
  EXPECT_EQ(axis.Packet().bits, kStop);
  axis.latches.Release(0, LevelCommand::kStop, CommandHolder::kControl);
  EXPECT_EQ(axis.Packet().bits, 0);
}

// Before the main window's first activation the servo is off and no speed
// mode edge would count: the run waits for ACTIVE (the watchdog's time at
// most), and only then holds STOP.
TEST(ReferencingTest, WaitsForTheServoToBeActive) {
  for (const bool comes : {true, false}) {
    Axis axis;
    axis.tables.ActiveBit[0] = 0;
    ASSERT_TRUE(axis.referencing.Start(0, Lower()));
    axis.Packet();
    for (std::uint32_t r = 0; r < kWatchdogReplies; ++r) EXPECT_EQ(axis.Exchange(R(0, 0, 0)).bits, 0);
    ASSERT_TRUE(axis.referencing.Running(0));
    if (comes) axis.tables.ActiveBit[0] = usb::kActiveBit;
    const usb::StatusReading at_rest = R(0, 0, 0);
    axis.referencing.OnReply(0, &at_rest);
    EXPECT_EQ(axis.Packet().bits & kStop, kStop);
    EXPECT_EQ(axis.referencing.Running(0), comes);
    if (!comes) {
      EXPECT_EQ(axis.referencing.State(0).outcome, Outcome::kNoProgress);
    }
  }
}

// The tick allocates nothing: a whole run, reply by reply, on an axis whose
// state Allocate sized.
TEST(ReferencingTest, AWholeRunAllocatesNothingOnTheTick) {
  Axis axis;
  ASSERT_TRUE(axis.referencing.Start(0, Lower()));
  const std::vector<usb::StatusReading> replies = {
      R(0, 0, 0),          R(0, 0, 0),           R(-3000, kBusy, -3000), R(-5000, kBusy | kL1, -5000),
      R(-5120, kL1, -5120), R(-5100, kBusy, -5100), R(-5098, 0, -5098),    R(-4500, kBusy, -4400),
      R(-4098, 0, -4098),   R(0, 0, 0)};
  const std::uint64_t before = bench::Allocations();
  for (const usb::StatusReading& reply : replies) axis.Exchange(reply);
  const std::uint64_t during = bench::Allocations() - before;
  EXPECT_EQ(axis.referencing.State(0).outcome, Outcome::kDone);
  EXPECT_EQ(during, 0U);
}

TEST(ReferencingTest, TheQuestionNamesTheAxisTheSwitchTheSpeedTheBackOffAndTheBound) {
  const std::string question = Question(Upper(2560, 12'800'000), {"Z", 128, " um"});
  EXPECT_NE(question.find("Reference axis Z?"), std::string::npos) << question;
  EXPECT_NE(question.find("the upper limit switch at speed 500"), std::string::npos) << question;
  EXPECT_NE(question.find("backs off 2560 counts (20.00 um)"), std::string::npos) << question;
  EXPECT_NE(question.find("12800000 counts (100000.00 um)"), std::string::npos) << question;
  // An axis in counts says it once.
  EXPECT_NE(Question(Lower(7), {"X", 1, " En"}).find("backs off 7 counts from the edge"), std::string::npos);
}

}  // namespace
}  // namespace stage::referencing

// Why: a press and release handled with no packet between them must still
// reach the controller (a quick click on STOP that never goes out leaves the
// axis running), and the packets must be those of a button held over one
// tick: the bit in one packet, the release and the click's mode in the next.
#include "stage/axis/command_latch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace stage {
namespace {

constexpr std::uint8_t kGo = 1, kStop = 2, kZero = 4, kSpeedMode = 16, kPositionMode = 32, kRelMove = 64;

// Two axes; packets are the control bytes the polling cycle would send.
struct Latched {
  Latched() : latches(tables) {
    tables.AllocateAxisTables(1);
    latches.Allocate();
  }
  // One packet of `axis`: what goes out, then the latch hears it went.
  std::uint8_t Packet(AxisIndex axis = 0) {
    const std::uint8_t sent = tables.ControlByte(axis);
    latches.PacketSent(axis);
    return sent;
  }
  modKVT_USB tables;
  CommandLatches latches;
};

struct Command {
  LevelCommand command;
  std::uint8_t bit;
  bool clicks;  // GO and Rel change the mode with their click
};

class QuickClickTest : public ::testing::TestWithParam<Command> {};

TEST_P(QuickClickTest, BackToBackPressAndReleaseGoOutInOnePacketAndClearInTheNext) {
  const Command c = GetParam();
  Latched held;  // held over one tick
  Latched quick;  // pressed and released between two packets
  for (Latched* l : {&held, &quick}) l->tables.SpeedModeBit[0] = kSpeedMode;

  std::vector<std::uint8_t> held_packets{held.Packet()};
  held.latches.Press(0, c.command, CommandHolder::kControl);
  held_packets.push_back(held.Packet());
  held.latches.Release(0, c.command, CommandHolder::kControl);
  if (c.clicks) held.latches.Click(0, c.command);
  held_packets.push_back(held.Packet());
  held_packets.push_back(held.Packet());

  std::vector<std::uint8_t> quick_packets{quick.Packet()};
  quick.latches.Press(0, c.command, CommandHolder::kControl);
  quick.latches.Release(0, c.command, CommandHolder::kControl);
  if (c.clicks) quick.latches.Click(0, c.command);
  EXPECT_TRUE(quick.latches.Waiting(0));
  quick_packets.push_back(quick.Packet());
  EXPECT_FALSE(quick.latches.Waiting(0));
  quick_packets.push_back(quick.Packet());
  quick_packets.push_back(quick.Packet());

  EXPECT_EQ(quick_packets, held_packets);
  EXPECT_EQ(quick_packets[1], c.bit | kSpeedMode) << "the command goes out with the mode of before";
  EXPECT_EQ(quick_packets[2], c.clicks ? kPositionMode : kSpeedMode);
  EXPECT_EQ(quick.tables.ControlByte(1), 0) << "the other axis";
}

INSTANTIATE_TEST_SUITE_P(EveryLevelCommand, QuickClickTest,
                         ::testing::Values(Command{LevelCommand::kGo, kGo, true},
                                           Command{LevelCommand::kStop, kStop, false},
                                           Command{LevelCommand::kZero, kZero, false},
                                           Command{LevelCommand::kRelMove, kRelMove, true}));

// Sequences of presses, releases and clicks between packets, with the exact
// control bytes they give (toggle and active bits aside). `P` is a packet.
struct Step {
  enum Op : std::uint8_t { kPacket, kPress, kRelease, kClick, kSpeedClick } op;
  LevelCommand command = LevelCommand::kGo;
};
struct Sequence {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::uint8_t> packets;
};
void PrintTo(const Sequence& sequence, std::ostream* os) { *os << sequence.name; }

class LatchSequenceTest : public ::testing::TestWithParam<Sequence> {};

TEST_P(LatchSequenceTest, GivesExactlyTheseControlBytes) {
  Latched l;
  l.tables.SpeedModeBit[0] = kSpeedMode;
  std::vector<std::uint8_t> packets;
  for (const Step& step : GetParam().steps) {
    switch (step.op) {
      case Step::kPacket:
        packets.push_back(l.Packet());
        break;
      case Step::kPress:
        l.latches.Press(0, step.command, CommandHolder::kControl);
        break;
      case Step::kRelease:
        l.latches.Release(0, step.command, CommandHolder::kControl);
        break;
      case Step::kClick:
        l.latches.Click(0, step.command);
        break;
      case Step::kSpeedClick:
        l.latches.SpeedModeClick(0);
        break;
    }
  }
  EXPECT_EQ(packets, GetParam().packets);
}

constexpr Step kP{Step::kPacket};
constexpr Step Press(LevelCommand c) { return {Step::kPress, c}; }
constexpr Step Release(LevelCommand c) { return {Step::kRelease, c}; }
constexpr Step Click(LevelCommand c) { return {Step::kClick, c}; }
constexpr LevelCommand kGoCommand = LevelCommand::kGo, kRel = LevelCommand::kRelMove;

INSTANTIATE_TEST_SUITE_P(
    Latch, LatchSequenceTest,
    ::testing::Values(
        // Rel held over a packet in speed mode; GO clicked, then Rel released
        // and clicked, all before the next packet: GO goes out with the speed
        // mode still set, and both clicks' mode follows in the packet after.
        Sequence{"QuickGoWhileARelClickWaits",
                 {kP, Press(kRel), kP, Press(kGoCommand), Release(kGoCommand), Click(kGoCommand), Release(kRel),
                  Click(kRel), kP, kP},
                 {0x10, 0x50, 0x11, 0x20}},
        // The same the other way round.
        Sequence{"QuickRelWhileAGoClickWaits",
                 {kP, Press(kGoCommand), kP, Press(kRel), Release(kRel), Click(kRel), Release(kGoCommand),
                  Click(kGoCommand), kP, kP},
                 {0x10, 0x11, 0x50, 0x20}},
        // GO clicked quickly while Rel stays held: Rel stays, the click's
        // mode waits for GO's packet.
        Sequence{"QuickGoWhileRelIsHeld",
                 {kP, Press(kRel), kP, Press(kGoCommand), Release(kGoCommand), Click(kGoCommand), kP, kP,
                  Release(kRel), Click(kRel), kP},
                 {0x10, 0x50, 0x51, 0x60, 0x20}},
        // A Speed-slider click after a quick GO click: after it, in order.
        Sequence{"SpeedClickAfterAQuickGo",
                 {kP, Press(kGoCommand), Release(kGoCommand), Click(kGoCommand), {Step::kSpeedClick}, kP, kP},
                 {0x10, 0x11, 0x30}}),
    [](const ::testing::TestParamInfo<Sequence>& param) { return std::string(param.param.name); });

TEST(CommandLatchTest, AReleaseAfterAPacketClearsAtOnce) {
  Latched l;
  l.latches.Press(0, LevelCommand::kZero, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(), kZero);
  l.latches.Release(0, LevelCommand::kZero, CommandHolder::kControl);
  EXPECT_EQ(l.tables.ZeroBit[0], 0);
  EXPECT_FALSE(l.latches.Waiting(0));
}

TEST(CommandLatchTest, OnlyThePressedAxisWaits) {
  Latched l;
  l.latches.Press(1, LevelCommand::kStop, CommandHolder::kControl);
  l.latches.Release(1, LevelCommand::kStop, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(0), 0);
  EXPECT_EQ(l.tables.StopBit[1], kStop) << "a packet of another axis carries nothing of axis 1";
  EXPECT_EQ(l.Packet(1), kStop);
  EXPECT_EQ(l.Packet(1), 0);
}

TEST(CommandLatchTest, AStopSetByCancelOnErrorReachesTheControllerDespiteARelease) {
  Latched l;
  // The reply reported an error: the cycle sets StopBit after that packet.
  l.latches.Press(0, LevelCommand::kStop, CommandHolder::kNone);
  // STOP released (a quick click) before the next packet.
  l.latches.Press(0, LevelCommand::kStop, CommandHolder::kControl);
  l.latches.Release(0, LevelCommand::kStop, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(), kStop);
  EXPECT_EQ(l.Packet(), 0);

  // Set by the cycle alone, a release by STOP clears it, after one packet.
  l.latches.Press(0, LevelCommand::kStop, CommandHolder::kNone);
  l.latches.Release(0, LevelCommand::kStop, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(), kStop);
  EXPECT_EQ(l.Packet(), 0);
}

TEST(CommandLatchTest, EscapeAndTheButtonBothHoldStop) {
  Latched l;
  l.latches.Press(0, LevelCommand::kStop, CommandHolder::kEscape);
  l.latches.Press(0, LevelCommand::kStop, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(), kStop);
  l.latches.Release(0, LevelCommand::kStop, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(), kStop) << "Esc still held";
  l.latches.Release(0, LevelCommand::kStop, CommandHolder::kEscape);
  EXPECT_EQ(l.Packet(), 0);
}

TEST(CommandLatchTest, PressedAgainBeforeThePacketStaysHeld) {
  Latched l;
  l.latches.Press(0, LevelCommand::kGo, CommandHolder::kControl);
  l.latches.Release(0, LevelCommand::kGo, CommandHolder::kControl);
  l.latches.Click(0, LevelCommand::kGo);
  l.latches.Press(0, LevelCommand::kGo, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(), kGo);
  // The first click's mode follows its packet; the second press holds GO.
  EXPECT_EQ(l.Packet(), kGo | kPositionMode);
  l.latches.Release(0, LevelCommand::kGo, CommandHolder::kControl);
  EXPECT_EQ(l.Packet(), kPositionMode);
}

TEST(CommandLatchTest, ASpeedSliderClickAfterAWaitingClickKeepsItsOrder) {
  Latched l;
  l.latches.Press(0, LevelCommand::kRelMove, CommandHolder::kControl);
  l.latches.Release(0, LevelCommand::kRelMove, CommandHolder::kControl);
  l.latches.Click(0, LevelCommand::kRelMove);
  l.latches.SpeedModeClick(0);
  EXPECT_EQ(l.Packet(), kRelMove);
  EXPECT_EQ(l.Packet(), kPositionMode | kSpeedMode);

  // STOP pressed after them drops the waiting speed click.
  l.latches.SpeedModeOff(0);
  l.latches.Press(0, LevelCommand::kGo, CommandHolder::kControl);
  l.latches.Release(0, LevelCommand::kGo, CommandHolder::kControl);
  l.latches.Click(0, LevelCommand::kGo);
  l.latches.SpeedModeClick(0);
  l.latches.SpeedModeOff(0);
  EXPECT_EQ(l.Packet(), kGo | kPositionMode);
  EXPECT_EQ(l.Packet(), kPositionMode);
}

TEST(CommandLatchTest, AKeyboardClickWithNothingWaitingChangesTheModeAtOnce) {
  Latched l;
  l.tables.SpeedModeBit[0] = kSpeedMode;
  l.latches.Click(0, LevelCommand::kGo);
  EXPECT_EQ(l.tables.ControlByte(0), kPositionMode);
  EXPECT_FALSE(l.latches.Waiting(0));
}

TEST(CommandLatchTest, AllocationNeedsTheTables) {
  modKVT_USB tables;
  CommandLatches latches(tables);
  EXPECT_THROW(latches.Allocate(), std::logic_error);
}

}  // namespace
}  // namespace stage

// Why: a press and release handled with no packet between them must still
// reach the controller (a quick click on STOP that never goes out leaves the
// axis running), and the packets must be those of a button held over one
// tick: the bit in one packet, the release and the click's mode in the next.
#include "stage/axis/command_latch.h"

#include <gtest/gtest.h>

#include <cstdint>
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

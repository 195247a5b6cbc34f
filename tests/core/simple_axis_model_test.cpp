// Why this exists: the simple motion model is what an operator sees move under
// --simulate and what the console's end-to-end tests rely on: GO, Rel, STOP,
// ZERO and the active bit must each do exactly what they say, in time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "stage/sim/axis_model.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kActive = usb::kActiveBit;

usb::Packet Command(std::uint8_t control, double target_counts,
                    std::uint8_t frame = usb::kFrameA, std::uint8_t byte0 = 80,
                    std::uint8_t config_bits = 0) {
  usb::CommandFields fields;
  fields.control_byte = control;
  fields.target_counts = target_counts;
  fields.frame_marker = frame;
  fields.config_bits = config_bits;
  fields.tuning.max_speed = byte0;  // travels in frame 144
  fields.tuning.acc = byte0;        // travels in frame 96
  return *usb::EncodeCommand(fields).packet;
}

class SimpleAxisModelTest : public ::testing::Test {
 protected:
  usb::StatusReading StatusAt(Nanoseconds now) {
    const std::optional<usb::StatusReading> reading = usb::DecodeStatus(model_.Status(now));
    EXPECT_TRUE(reading.has_value());
    return reading.value_or(usb::StatusReading{});
  }
  static bool Busy(const usb::StatusReading& status) { return status.flags & usb::kFlagBusy; }

  SimpleAxisModel model_;
};

// Max Speed 80 is 320000 counts per second.
struct MoveCase {
  const char* name;
  std::uint8_t max_speed;
  double target_counts;
  Nanoseconds halfway;  // when half the distance is covered
  friend void PrintTo(const MoveCase& c, std::ostream* out) { *out << c.name; }
};

class MoveTest : public SimpleAxisModelTest, public ::testing::WithParamInterface<MoveCase> {};

TEST_P(MoveTest, GoMovesAtMaxSpeedIsBusyAndArrives) {
  const MoveCase& param = GetParam();
  model_.OnCommand(Command(kActive | usb::kGoBit, param.target_counts, usb::kFrameA,
                           param.max_speed),
                   0ns);

  const usb::StatusReading middle = StatusAt(param.halfway);
  EXPECT_TRUE(Busy(middle));
  EXPECT_TRUE(middle.flags & usb::kFlagMaxSpeed);
  EXPECT_EQ(middle.position, param.target_counts / 2);
  EXPECT_EQ(middle.ideal_position, middle.position);

  const usb::StatusReading end = StatusAt(2 * param.halfway);
  EXPECT_FALSE(Busy(end));
  EXPECT_EQ(end.position, param.target_counts);
  EXPECT_EQ(StatusAt(10 * param.halfway).position, param.target_counts);  // stays there
}

INSTANTIATE_TEST_SUITE_P(
    Moves, MoveTest,
    ::testing::Values(MoveCase{"Default3mm", 80, 384000, 600ms},
                      MoveCase{"Backwards", 80, -32000, 50ms},
                      MoveCase{"Faster", 160, 640000, 500ms},
                      MoveCase{"Slowest", 1, 4000, 500ms}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(SimpleAxisModelTest, MaxSpeedZeroNeverArrives) {
  model_.OnCommand(Command(kActive | usb::kGoBit, 1000, usb::kFrameA, 0), 0ns);
  const usb::StatusReading later = StatusAt(60s);
  EXPECT_TRUE(Busy(later));
  EXPECT_EQ(later.position, 0);
}

TEST_F(SimpleAxisModelTest, MaxSpeedComesOnlyFromFrame144) {
  model_.OnCommand(Command(kActive | usb::kGoBit, 1000000, usb::kFrameA, 80), 0ns);
  // Byte 0 of a frame-96 packet is Acc, not Max Speed.
  model_.OnCommand(Command(kActive | usb::kGoBit, 1000000, usb::kFrameB, 10), 0ns);
  EXPECT_EQ(StatusAt(1s).position, 320000);
  // A new Max Speed applies from its packet on, not to the time before it.
  model_.OnCommand(Command(kActive | usb::kGoBit, 1000000, usb::kFrameA, 40), 1s);
  EXPECT_EQ(StatusAt(2s).position, 480000);
}

TEST_F(SimpleAxisModelTest, NothingMovesWithoutTheActiveBit) {
  model_.OnCommand(Command(usb::kGoBit, 5000), 0ns);
  model_.OnCommand(Command(usb::kRelMoveBit, 5000), 10ms);
  const usb::StatusReading status = StatusAt(5s);
  EXPECT_EQ(status.position, 0);
  EXPECT_FALSE(Busy(status));

  // Dropping the active bit mid-move stops the axis where it is.
  model_.OnCommand(Command(kActive | usb::kGoBit, 320000), 5s);
  model_.OnCommand(Command(0, 320000), 5s + 500ms);
  const usb::StatusReading stopped = StatusAt(10s);
  EXPECT_EQ(stopped.position, 160000);
  EXPECT_FALSE(Busy(stopped));
}

TEST_F(SimpleAxisModelTest, RelMovesOncePerPress) {
  Nanoseconds now = 0ns;
  // Held for five packets, with time to finish each move in between.
  for (int packet = 0; packet < 5; ++packet, now += 1s) {
    model_.OnCommand(Command(kActive | usb::kRelMoveBit, 1000), now);
  }
  EXPECT_EQ(StatusAt(now).position, 1000);

  model_.OnCommand(Command(kActive, 1000), now);  // released
  now += 1s;
  model_.OnCommand(Command(kActive | usb::kRelMoveBit, -3000), now);  // pressed again
  now += 1s;
  const usb::StatusReading status = StatusAt(now);
  EXPECT_EQ(status.position, -2000);
  EXPECT_FALSE(Busy(status));
}

TEST_F(SimpleAxisModelTest, RelIsMeasuredFromWhereTheAxisIs) {
  model_.OnCommand(Command(kActive | usb::kGoBit, 320000), 0ns);
  model_.OnCommand(Command(kActive | usb::kRelMoveBit, 1000), 500ms);  // at 160000
  EXPECT_EQ(StatusAt(2s).position, 161000);
}

TEST_F(SimpleAxisModelTest, RelBeyondTheEncodableRangeStopsAtItsEnd) {
  model_.OnCommand(Command(kActive | usb::kRelMoveBit, usb::kMaxEncodableCount - 10), 0ns);
  model_.OnCommand(Command(kActive, 0), 10ms);
  model_.OnCommand(Command(kActive | usb::kRelMoveBit, usb::kMaxEncodableCount), 1h);
  const usb::StatusReading status = StatusAt(2h);
  EXPECT_EQ(status.position, usb::kMaxEncodableCount);
  EXPECT_FALSE(Busy(status));
}

TEST_F(SimpleAxisModelTest, StopHaltsAMoveWhereItIs) {
  model_.OnCommand(Command(kActive | usb::kGoBit, 320000), 0ns);
  // GO still held: STOP wins.
  model_.OnCommand(Command(kActive | usb::kGoBit | usb::kStopBit, 320000), 250ms);
  const usb::StatusReading stopped = StatusAt(1s);
  EXPECT_EQ(stopped.position, 80000);
  EXPECT_FALSE(Busy(stopped));
}

TEST_F(SimpleAxisModelTest, ZeroMakesThePositionZero) {
  model_.OnCommand(Command(kActive | usb::kGoBit, 5000), 0ns);
  model_.OnCommand(Command(kActive, 5000), 1s);
  ASSERT_EQ(StatusAt(1s).position, 5000);

  model_.OnCommand(Command(kActive | usb::kZeroBit, 5000), 1s);
  const usb::StatusReading zeroed = StatusAt(2s);
  EXPECT_EQ(zeroed.position, 0);
  EXPECT_EQ(zeroed.ideal_position, 0);
  EXPECT_FALSE(Busy(zeroed));

  // Later moves count from the new zero.
  model_.OnCommand(Command(kActive | usb::kRelMoveBit, 700), 2s);
  EXPECT_EQ(StatusAt(3s).position, 700);
}

TEST_F(SimpleAxisModelTest, ReportsTheConfiguredPolarityAndLimitLevel) {
  model_.OnCommand(Command(kActive, 0, usb::kFrameB, 50,
                           usb::kRevPolarityBit | usb::kLimitActiveHiBit | usb::kRevLimitBit),
                   0ns);
  EXPECT_EQ(StatusAt(0ns).flags, usb::kFlagReverse | usb::kFlagActiveHigh);
  model_.OnCommand(Command(kActive, 0, usb::kFrameA, 80, 0), 10ms);
  EXPECT_EQ(StatusAt(10ms).flags, 0);
}

TEST_F(SimpleAxisModelTest, APacketThatDoesNotDecodeRaisesTheErrorFlagAndChangesNothing) {
  model_.OnCommand(Command(kActive | usb::kGoBit, 3200), 0ns);
  usb::Packet garbage = Command(kActive | usb::kGoBit, -3200);
  garbage[7] = 0x35;  // no frame marker
  model_.OnCommand(garbage, 0ns);
  const usb::StatusReading flagged = StatusAt(1s);
  EXPECT_TRUE(flagged.flags & usb::kFlagError);
  EXPECT_EQ(flagged.position, 3200);

  model_.OnCommand(Command(kActive, 0), 1s);
  EXPECT_FALSE(StatusAt(1s).flags & usb::kFlagError);
}

}  // namespace
}  // namespace stage::sim

// Proves the 12-byte command and status packets byte for byte, including the
// targets, speeds and replies that cannot travel.
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stage/usb/device_library.h"
#include "stage/usb/packet_codec.h"

namespace stage::usb {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// An axis as the console starts it: default sliders, active, nothing else set.
CommandFields ActiveAxis(std::uint8_t marker) {
  CommandFields fields;
  fields.frame_marker = marker;
  fields.control_byte = static_cast<std::uint8_t>(kActiveBit + (marker == kFrameA ? kToggleBit : 0));
  return fields;
}

CommandFields WithSpeed(std::int32_t speed) {
  CommandFields fields = ActiveAxis(kFrameA);
  fields.tuning.speed = speed;
  return fields;
}

CommandFields WithTarget(double target_counts) {
  CommandFields fields = ActiveAxis(kFrameA);
  fields.target_counts = target_counts;
  return fields;
}

CommandFields WithAllConfig(std::uint8_t marker) {
  CommandFields fields = ActiveAxis(marker);
  fields.config_bits = kLimitActiveHiBit + kRevLimitBit + kRevPolarityBit + kCancelOnErrorBit;
  return fields;
}

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& case_info) {
  return case_info.param.name;
}

std::vector<std::uint8_t> Bytes(const Packet& packet, std::size_t offset, std::size_t count) {
  return {packet.begin() + static_cast<std::ptrdiff_t>(offset),
          packet.begin() + static_cast<std::ptrdiff_t>(offset + count)};
}

// --- Encoding: the bytes an axis sends -----------------------------------

struct EncodeCase {
  std::string name;
  CommandFields fields;
  std::size_t offset;  // where the expected bytes start
  std::vector<std::uint8_t> expected;
};

class EncodeCommandTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeCommandTest, SendsTheseBytes) {
  const EncodeCase& c = GetParam();
  const EncodeResult result = EncodeCommand(c.fields);
  ASSERT_TRUE(result.packet.has_value());
  EXPECT_FALSE(result.error.has_value());
  EXPECT_EQ(Bytes(*result.packet, c.offset, c.expected.size()), c.expected);
  EXPECT_TRUE(IsEncodableTarget(c.fields.target_counts));
}

INSTANTIATE_TEST_SUITE_P(
    Packets, EncodeCommandTest,
    testing::Values(
        EncodeCase{"Speed0", WithSpeed(0), 4, {0xFF, 0x7F}},
        EncodeCase{"SpeedMinus10000", WithSpeed(-10000), 4, {0xEF, 0x58}},
        EncodeCase{"Speed10000", WithSpeed(10000), 4, {0x0F, 0xA7}},
        EncodeCase{"SpeedLowestEncodable", WithSpeed(-32767), 4, {0x00, 0x00}},
        EncodeCase{"SpeedHighestEncodable", WithSpeed(32768), 4, {0xFF, 0xFF}},
        EncodeCase{"Target0", WithTarget(0), 8, {0x00, 0x00, 0x00, 0x40}},
        EncodeCase{"TargetMinus5", WithTarget(-5), 8, {0xFB, 0xFF, 0xFF, 0x3F}},
        EncodeCase{"TargetLowest", WithTarget(-1073741824), 8, {0x00, 0x00, 0x00, 0x00}},
        EncodeCase{"TargetHighest", WithTarget(1073741823), 8, {0xFF, 0xFF, 0xFF, 0x7F}},
        EncodeCase{"TargetHalfRoundsDownToEven", WithTarget(1234.5), 8, {0xD2, 0x04, 0x00, 0x40}},
        EncodeCase{"TargetHalfRoundsUpToEven", WithTarget(1233.5), 8, {0xD2, 0x04, 0x00, 0x40}},
        EncodeCase{"TargetNegativeHalfToEven", WithTarget(-4.5), 8, {0xFC, 0xFF, 0xFF, 0x3F}},
        EncodeCase{"TargetJustBelowTop", WithTarget(1073741823.4), 8, {0xFF, 0xFF, 0xFF, 0x7F}},
        EncodeCase{"TargetHalfBelowBottomRoundsIn", WithTarget(-1073741824.5), 8,
                   {0x00, 0x00, 0x00, 0x00}},
        EncodeCase{"DefaultAxisFrame144", ActiveAxis(kFrameA), 0,
                   {0x50, 0x0F, 0x05, 0x88, 0xFF, 0x7F, 0x05, 0x90, 0x00, 0x00, 0x00, 0x40}},
        EncodeCase{"DefaultAxisFrame96", ActiveAxis(kFrameB), 0,
                   {0x32, 0xC8, 0x32, 0x08, 0xFF, 0x7F, 0x05, 0x60, 0x00, 0x00, 0x00, 0x40}},
        EncodeCase{"AllConfigFrame144", WithAllConfig(kFrameA), 7, {0x9F}},
        EncodeCase{"AllConfigFrame96", WithAllConfig(kFrameB), 7, {0x6F}}),
    CaseName<EncodeCase>);

// --- Encoding refused ----------------------------------------------------

struct RefusedCase {
  std::string name;
  CommandFields fields;
  EncodeError error;
};

class RefusedCommandTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedCommandTest, ReportsTheErrorAndNoPacket) {
  const RefusedCase& c = GetParam();
  const EncodeResult result = EncodeCommand(c.fields);
  EXPECT_FALSE(result.packet.has_value());
  ASSERT_TRUE(result.error.has_value());
  EXPECT_EQ(*result.error, c.error);
  if (c.error == EncodeError::kTargetOutOfRange) {
    EXPECT_FALSE(IsEncodableTarget(c.fields.target_counts));
  }
}

CommandFields WithFrame(std::uint8_t marker, std::uint8_t config_bits) {
  CommandFields fields = ActiveAxis(kFrameA);
  fields.frame_marker = marker;
  fields.config_bits = config_bits;
  return fields;
}

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, RefusedCommandTest,
    testing::Values(
        RefusedCase{"TargetOneAboveTop", WithTarget(1073741824), EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetOneBelowBottom", WithTarget(-1073741825),
                    EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetHalfAboveTopRoundsOut", WithTarget(1073741823.5),
                    EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetHalfBelowRoundsOutToEven", WithTarget(-1073741825.5),
                    EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetWouldWrapTo0", WithTarget(3221225472.0),
                    EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetHuge", WithTarget(1e300), EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetNaN", WithTarget(kNaN), EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetPlusInfinity", WithTarget(kInf), EncodeError::kTargetOutOfRange},
        RefusedCase{"TargetMinusInfinity", WithTarget(-kInf), EncodeError::kTargetOutOfRange},
        RefusedCase{"SpeedBelowRange", WithSpeed(-32768), EncodeError::kSpeedOutOfRange},
        RefusedCase{"SpeedAboveRange", WithSpeed(32769), EncodeError::kSpeedOutOfRange},
        RefusedCase{"MarkerZero", WithFrame(0, 0), EncodeError::kBadFrameMarker},
        RefusedCase{"MarkerWithConfigFolded", WithFrame(145, 0), EncodeError::kBadFrameMarker},
        RefusedCase{"ConfigBitsAbove15", WithFrame(kFrameB, 16), EncodeError::kBadFrameMarker}),
    CaseName<RefusedCase>);

// --- Decoding replies ----------------------------------------------------

struct DecodeCase {
  std::string name;
  Packet reply;
  std::optional<StatusReading> expected;
};

class DecodeStatusTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeStatusTest, ReadsPositionFlagsAndIdeal) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(DecodeStatus(c.reply), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DecodeStatusTest,
    testing::Values(
        DecodeCase{"BusyAt10000",
                   {0x10, 0x27, 0x00, 0x40, 0x10, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x40},
                   StatusReading{10000, 10000, kFlagBusy}},
        DecodeCase{"Origin", {0x00, 0x00, 0x00, 0x40, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40},
                   StatusReading{0, 0, 0}},
        DecodeCase{"Extremes",
                   {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x00, 0x00},
                   StatusReading{1073741823, -1073741824, 0xFF}},
        DecodeCase{"Byte3Is0x80", {0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x40}, std::nullopt},
        DecodeCase{"Byte3Is0xFF", {0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0x40}, std::nullopt},
        DecodeCase{"Byte11Is0x80", {0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x80}, std::nullopt},
        DecodeCase{"Byte11Is0xFF", {0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xFF}, std::nullopt}),
    CaseName<DecodeCase>);

// --- The simulator's directions ------------------------------------------

TEST(StatusRoundTrip, DecodesWhatWasEncoded) {
  for (const StatusReading& reading :
       {StatusReading{0, 0, 0}, StatusReading{10000, -10000, kFlagBusy | kFlagError},
        StatusReading{1073741823, -1073741824, 0xFF}, StatusReading{-1, 1, kFlagLimit2}}) {
    const Packet packet = EncodeStatus(reading);
    EXPECT_EQ(Bytes(packet, 5, 3), (std::vector<std::uint8_t>{0, 0, 0}));
    EXPECT_EQ(DecodeStatus(packet), reading);
  }
}

TEST(StatusRoundTrip, ClampsPositionsBeyondTheRange) {
  const Packet packet = EncodeStatus({std::numeric_limits<std::int32_t>::max(),
                                      std::numeric_limits<std::int32_t>::min(), 0});
  EXPECT_EQ(DecodeStatus(packet), (StatusReading{1073741823, -1073741824, 0}));
}

TEST(CommandRoundTrip, DecodesTheFrameFieldsThatWereEncoded) {
  CommandFields a = ActiveAxis(kFrameA);
  a.control_byte = 0xFF;
  a.config_bits = 0x0F;
  a.tuning.max_speed = 255;
  a.tuning.p = 0;
  a.tuning.i = 77;
  a.tuning.d = 200;
  a.tuning.speed = -32767;
  a.target_counts = -1073741824;
  CommandFields b = ActiveAxis(kFrameB);
  b.config_bits = kRevPolarityBit;
  b.tuning.acc = 1;
  b.tuning.torque = 2;
  b.tuning.f_error = 3;
  b.tuning.speed = 32768;
  b.target_counts = 1073741823;
  for (const CommandFields& fields : {a, b, ActiveAxis(kFrameA), ActiveAxis(kFrameB)}) {
    const EncodeResult encoded = EncodeCommand(fields);
    ASSERT_TRUE(encoded.packet.has_value());
    EXPECT_EQ(DecodeCommand(*encoded.packet), fields);
  }
}

TEST(CommandRoundTrip, LeavesTheOtherFramesValuesAtTheirDefaults) {
  CommandFields fields = ActiveAxis(kFrameB);
  fields.tuning.p = 99;  // not carried by frame 96
  fields.tuning.acc = 7;
  const std::optional<CommandFields> decoded = DecodeCommand(*EncodeCommand(fields).packet);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->tuning.p, TuningValues{}.p);
  EXPECT_EQ(decoded->tuning.acc, 7);
}

TEST(CommandRoundTrip, RefusesAPacketWithNoFrameMarkerOrAnImpossibleTarget) {
  Packet packet = *EncodeCommand(ActiveAxis(kFrameA)).packet;
  for (const std::uint8_t byte7 : std::initializer_list<std::uint8_t>{0x00, 0x0F, 0x50, 0xA0, 0xF0}) {
    packet[7] = byte7;
    EXPECT_FALSE(DecodeCommand(packet).has_value()) << "byte 7 = " << int{byte7};
  }
  packet[7] = kFrameA;
  packet[11] = 0x80;
  EXPECT_FALSE(DecodeCommand(packet).has_value());
}

TEST(UsbStatusName, NamesVendorStatusesAndShowsOthersInHex) {
  EXPECT_EQ(UsbStatusName(SI_SUCCESS), "SI_SUCCESS");
  EXPECT_EQ(UsbStatusName(SI_READ_TIMED_OUT), "SI_READ_TIMED_OUT");
  EXPECT_EQ(UsbStatusName(SI_WRITE_TIMED_OUT), "SI_WRITE_TIMED_OUT");
  EXPECT_EQ(UsbStatusName(SI_DEVICE_NOT_FOUND), "SI_DEVICE_NOT_FOUND");
  EXPECT_EQ(UsbStatusName(0x03), "0x3");
  EXPECT_EQ(UsbStatusName(0x1234), "0x1234");
}

}  // namespace
}  // namespace stage::usb

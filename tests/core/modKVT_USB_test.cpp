// Why: every window and the polling cycle share these tables; their sizes,
// the command and configuration sums, the status width and the product-string
// buffer handling must hold exactly.
#include "stage/axis/modKVT_USB.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace stage {
namespace {

// Every per-axis table's size, so a table forgotten in the allocation shows.
std::vector<std::size_t> TableSizes(const modKVT_USB& m) {
  return {m.DeviceHandle.size(),   m.AxisName.size(),         m.CountsPerMicron.size(),
          m.UnitSuffix.size(),     m.TargetCounts.size(),     m.GoBit.size(),
          m.StopBit.size(),        m.ZeroBit.size(),          m.ActiveBit.size(),
          m.SpeedModeBit.size(),   m.PositionModeBit.size(),  m.RelMoveBit.size(),
          m.ToggleBit.size(),      m.LimitActiveHiBit.size(), m.RevLimitBit.size(),
          m.RevPolarityBit.size(), m.CancelOnErrorBit.size(), m.ParamFrameMarker.size(),
          m.ProductString.size(),  m.DevicePort.size()};
}

TEST(AllocateAxisTablesTest, OneControllerGivesOneElementEverywhere) {
  modKVT_USB m;
  EXPECT_FALSE(m.TablesAllocated());
  m.AllocateAxisTables(0);
  EXPECT_TRUE(m.TablesAllocated());
  EXPECT_EQ(TableSizes(m), std::vector<std::size_t>(20, 1));
  EXPECT_EQ(m.AxisName[0], "    ");
  EXPECT_EQ(m.DeviceHandle[0], 0u);
  EXPECT_EQ(m.CountsPerMicron[0], 0.0);
  EXPECT_EQ(m.ControlByte(0), 0);
  EXPECT_EQ(m.ConfigBits(0), 0);
}

TEST(AllocateAxisTablesTest, ThreeControllersGiveThreeElementsEverywhere) {
  modKVT_USB m;
  m.AllocateAxisTables(2);
  EXPECT_EQ(TableSizes(m), std::vector<std::size_t>(20, 3));
}

TEST(AllocateAxisTablesTest, SecondAllocationAndNegativeCountThrow) {
  modKVT_USB m;
  m.AllocateAxisTables(2);
  m.GoBit[1] = 1;
  EXPECT_THROW(m.AllocateAxisTables(2), std::logic_error);
  EXPECT_EQ(m.GoBit.size(), 3u);
  EXPECT_EQ(m.GoBit[1], 1) << "a refused allocation must not clear the tables";

  modKVT_USB fresh;
  EXPECT_THROW(fresh.AllocateAxisTables(-1), std::logic_error);
  EXPECT_FALSE(fresh.TablesAllocated());
}

TEST(CommandSumsTest, AllValuesSetGiveFullBytes) {
  modKVT_USB m;
  m.AllocateAxisTables(1);
  m.GoBit[1] = 1;
  m.StopBit[1] = 2;
  m.ZeroBit[1] = 4;
  m.ActiveBit[1] = 8;
  m.SpeedModeBit[1] = 16;
  m.PositionModeBit[1] = 32;
  m.RelMoveBit[1] = 64;
  m.ToggleBit[1] = 128;
  m.LimitActiveHiBit[1] = 1;
  m.RevLimitBit[1] = 2;
  m.RevPolarityBit[1] = 4;
  m.CancelOnErrorBit[1] = 8;
  EXPECT_EQ(m.ControlByte(1), 255);
  EXPECT_EQ(m.ConfigBits(1), 15);
  // Axis 0 is untouched.
  EXPECT_EQ(m.ControlByte(0), 0);
  EXPECT_EQ(m.ConfigBits(0), 0);

  m.StopBit[1] = 0;
  m.RevLimitBit[1] = 0;
  EXPECT_EQ(m.ControlByte(1), 253);
  EXPECT_EQ(m.ConfigBits(1), 13);
}

TEST(CommandSumsTest, AxisOutsideTheTablesThrows) {
  modKVT_USB m;
  m.AllocateAxisTables(0);
  EXPECT_THROW(m.ControlByte(1), std::out_of_range);
  EXPECT_THROW(m.ConfigBits(-1), std::out_of_range);
}

class StoreStatusTest : public ::testing::TestWithParam<std::pair<int, std::int16_t>> {};

TEST_P(StoreStatusTest, KeepsTheLow16BitsSigned) {
  modKVT_USB m;
  const auto [status, kept] = GetParam();
  EXPECT_EQ(m.StoreStatus(status), kept);
  EXPECT_EQ(m.LastUsbStatus, kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreStatusTest,
                         ::testing::Values(std::pair{0, std::int16_t{0}},
                                           std::pair{0x0D, std::int16_t{13}},
                                           std::pair{0xFF, std::int16_t{255}},
                                           std::pair{0x7FFF, std::int16_t{32767}},
                                           std::pair{0x8000, std::int16_t{-32768}},
                                           std::pair{0xFFFF, std::int16_t{-1}},
                                           std::pair{0x1FFFF, std::int16_t{-1}},
                                           std::pair{0x10000, std::int16_t{0}},
                                           std::pair{0x10002, std::int16_t{2}},
                                           std::pair{-1, std::int16_t{-1}}));

TEST(FillBytesTest, SetsTheFirstNAndClampsN) {
  std::array<std::uint8_t, 17> buffer{};
  buffer.fill(7);
  FillBytes(buffer, 0, 16);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(buffer[i], 0) << i;
  EXPECT_EQ(buffer[16], 7) << "byte 16 is outside the count";

  FillBytes(buffer, 9, 1000);
  for (const auto b : buffer) EXPECT_EQ(b, 9);
  FillBytes(buffer, 1, -5);
  FillBytes(buffer, 1, 0);
  for (const auto b : buffer) EXPECT_EQ(b, 9);
}

TEST(BufferToStringTest, TakesTheBytesBeforeTheFirstZero) {
  std::array<std::uint8_t, 257> buffer{};
  EXPECT_EQ(BufferToString(buffer), "");

  const std::string serial = "SimX0001";
  std::copy(serial.begin(), serial.end(), buffer.begin());
  buffer[serial.size() + 1] = 'Z';  // after the terminator: ignored
  EXPECT_EQ(BufferToString(buffer), serial);
}

TEST(BufferToStringTest, FullBufferWithoutTerminatorGives256Characters) {
  std::array<std::uint8_t, 257> buffer{};
  buffer.fill('A');
  buffer[256] = 'B';  // byte 256 is never taken
  EXPECT_EQ(BufferToString(buffer), std::string(256, 'A'));
}

TEST(BufferToStringTest, HighBytesStaySingleBytesAndShortBuffersAreSafe) {
  const std::array<std::uint8_t, 4> latin1 = {0xC4, 0xFF, 0x80, 0x41};  // "Ä", "ÿ", 0x80, "A"
  EXPECT_EQ(BufferToString(latin1), std::string("\xC4\xFF\x80" "A"));
  EXPECT_EQ(BufferToString(latin1).size(), 4u);
  EXPECT_EQ(BufferToString(std::span<const std::uint8_t>{}), "");
}

class AxisNameTest : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(AxisNameTest, FourthCharacterAndThreeBlanks) {
  EXPECT_EQ(AxisNameFromProductString(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Cases, AxisNameTest,
                         ::testing::Values(std::pair{std::string(""), std::string("    ")},
                                           std::pair{std::string("ab"), std::string("    ")},
                                           std::pair{std::string("abc"), std::string("    ")},
                                           std::pair{std::string("SimX"), std::string("X   ")},
                                           std::pair{std::string("ABCWxyz"), std::string("W   ")},
                                           std::pair{std::string(256, 'Q'), std::string("Q   ")}));

}  // namespace
}  // namespace stage

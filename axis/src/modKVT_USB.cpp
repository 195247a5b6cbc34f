#include "stage/axis/modKVT_USB.h"

#include <algorithm>
#include <stdexcept>

namespace stage {
namespace {

constexpr std::size_t kMaxProductStringChars = 256;
constexpr std::size_t kAxisNameChars = 4;

}  // namespace

void modKVT_USB::AllocateAxisTables(AxisIndex axis_count) {
  if (allocated_) throw std::logic_error("the axis tables are allocated once per run");
  if (axis_count < 0) throw std::logic_error("the highest axis index cannot be negative");
  const auto size = static_cast<std::size_t>(axis_count) + 1;

  DeviceHandle.assign(size, 0);
  AxisName.assign(size, std::string(kAxisNameChars, ' '));
  CountsPerMicron.assign(size, 0.0);
  UnitSuffix.assign(size, std::string());
  TargetCounts.assign(size, 0.0);
  ProductString.assign(size, std::string());
  DevicePort.assign(size, std::string());

  for (auto* table : {&GoBit, &StopBit, &ZeroBit, &ActiveBit, &SpeedModeBit, &PositionModeBit,
                      &RelMoveBit, &ToggleBit, &LimitActiveHiBit, &RevLimitBit, &RevPolarityBit,
                      &CancelOnErrorBit, &ParamFrameMarker}) {
    table->assign(size, 0);
  }
  allocated_ = true;
}

std::uint8_t modKVT_USB::ControlByte(AxisIndex axis) const {
  const auto k = static_cast<std::size_t>(axis);
  const int sum = GoBit.at(k) + StopBit.at(k) + ZeroBit.at(k) + ActiveBit.at(k) +
                  SpeedModeBit.at(k) + PositionModeBit.at(k) + RelMoveBit.at(k) + ToggleBit.at(k);
  return static_cast<std::uint8_t>(sum);
}

std::uint8_t modKVT_USB::ConfigBits(AxisIndex axis) const {
  const auto k = static_cast<std::size_t>(axis);
  const int sum =
      LimitActiveHiBit.at(k) + RevLimitBit.at(k) + RevPolarityBit.at(k) + CancelOnErrorBit.at(k);
  return static_cast<std::uint8_t>(sum);
}

std::int16_t modKVT_USB::StoreStatus(int status) {
  // Only the low 16 bits are kept, as a signed value: 0xFFFF is -1 and
  // 0x10000 becomes 0 (success), which is what a 16-bit status holds.
  LastUsbStatus = static_cast<std::int16_t>(static_cast<std::uint16_t>(status & 0xFFFF));
  return LastUsbStatus;
}

void FillBytes(std::span<std::uint8_t> bytes, std::uint8_t value, std::int32_t n) {
  const auto count = static_cast<std::size_t>(std::max<std::int32_t>(n, 0));
  std::fill_n(bytes.begin(), std::min(count, bytes.size()), value);
}

std::string BufferToString(std::span<const std::uint8_t> bytes) {
  std::string text;
  const std::size_t limit = std::min(bytes.size(), kMaxProductStringChars);
  for (std::size_t i = 0; i < limit && bytes[i] != 0; ++i) {
    text.push_back(static_cast<char>(bytes[i]));
  }
  return text;
}

std::string AxisNameFromProductString(const std::string& product_string) {
  std::string padded = product_string.substr(0, kAxisNameChars);
  padded.resize(kAxisNameChars, ' ');
  std::string name(kAxisNameChars, ' ');
  name[0] = padded[kAxisNameChars - 1];
  return name;
}

}  // namespace stage

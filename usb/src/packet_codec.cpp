#include "stage/usb/packet_codec.h"

#include <algorithm>
#include <cmath>

namespace stage::usb {
namespace {

// Nearest integer, an exact half going to the even neighbour. Done by hand
// rather than with std::nearbyint so the result does not depend on the
// floating-point rounding mode in force. x - floor(x) is exact for any
// double, so the half test is exact too.
double RoundHalfToEven(double value) {
  const double below = std::floor(value);
  const double fraction = value - below;
  if (fraction < 0.5) return below;
  if (fraction > 0.5) return below + 1.0;
  return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

// The target rounded to whole counts, or empty when it cannot travel.
// Rounding the target itself and then adding 2^30 gives exactly the nearest
// integer to target + 2^30 (2^30 is even), without the extra rounding a
// floating-point addition of 2^30 would bring to targets with long fractions.
std::optional<std::int64_t> RoundedTarget(double target_counts) {
  if (!std::isfinite(target_counts)) return std::nullopt;
  const double rounded = RoundHalfToEven(target_counts);
  if (rounded < static_cast<double>(kMinEncodableCount) ||
      rounded > static_cast<double>(kMaxEncodableCount)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(rounded);
}

void PutLittleEndian32(Packet& packet, std::size_t offset, std::uint32_t value) {
  for (std::size_t k = 0; k < 4; ++k) {
    packet[offset + k] = static_cast<std::uint8_t>(value >> (8 * k));
  }
}

std::uint32_t GetLittleEndian32(std::span<const std::uint8_t, kPacketSize> bytes,
                                std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t k = 4; k-- > 0;) value = (value << 8) | bytes[offset + k];
  return value;
}

// An offset position occupies 31 bits: its top byte is below 128.
bool TopBitClear(std::span<const std::uint8_t, kPacketSize> bytes, std::size_t offset) {
  return bytes[offset + 3] < 128;
}

std::uint32_t OffsetPosition(std::int64_t counts) {
  return static_cast<std::uint32_t>(counts + kPositionOffset);
}

}  // namespace

bool IsEncodableTarget(double target_counts) {
  return RoundedTarget(target_counts).has_value();
}

std::optional<std::int64_t> EncodedTargetCounts(double target_counts) { return RoundedTarget(target_counts); }

EncodeResult EncodeCommand(const CommandFields& fields) {
  if ((fields.frame_marker != kFrameA && fields.frame_marker != kFrameB) ||
      fields.config_bits > 15) {
    return {std::nullopt, EncodeError::kBadFrameMarker};
  }
  if (fields.tuning.speed < kMinEncodableSpeed || fields.tuning.speed > kMaxEncodableSpeed) {
    return {std::nullopt, EncodeError::kSpeedOutOfRange};
  }
  const std::optional<std::int64_t> target = RoundedTarget(fields.target_counts);
  if (!target) return {std::nullopt, EncodeError::kTargetOutOfRange};

  const TuningValues& tuning = fields.tuning;
  const bool frame_a = fields.frame_marker == kFrameA;
  Packet packet{};
  packet[0] = frame_a ? tuning.max_speed : tuning.acc;
  packet[1] = frame_a ? tuning.p : tuning.torque;
  packet[2] = frame_a ? tuning.i : tuning.f_error;
  packet[3] = fields.control_byte;
  const auto speed = static_cast<std::uint16_t>(tuning.speed + kSpeedOffset);
  packet[4] = static_cast<std::uint8_t>(speed & 0xFF);
  packet[5] = static_cast<std::uint8_t>(speed >> 8);
  packet[6] = tuning.d;
  packet[7] = static_cast<std::uint8_t>(fields.frame_marker + fields.config_bits);
  PutLittleEndian32(packet, 8, OffsetPosition(*target));
  return {packet, std::nullopt};
}

std::optional<StatusReading> DecodeStatus(std::span<const std::uint8_t, kPacketSize> bytes) {
  if (!TopBitClear(bytes, 0) || !TopBitClear(bytes, 8)) return std::nullopt;
  StatusReading reading;
  reading.position = static_cast<std::int32_t>(GetLittleEndian32(bytes, 0) - kPositionOffset);
  reading.flags = bytes[4];
  reading.ideal_position =
      static_cast<std::int32_t>(GetLittleEndian32(bytes, 8) - kPositionOffset);
  return reading;
}

Packet EncodeStatus(const StatusReading& status) {
  const auto clamp = [](std::int32_t counts) {
    return std::clamp<std::int64_t>(counts, kMinEncodableCount, kMaxEncodableCount);
  };
  Packet packet{};
  PutLittleEndian32(packet, 0, OffsetPosition(clamp(status.position)));
  packet[4] = status.flags;
  PutLittleEndian32(packet, 8, OffsetPosition(clamp(status.ideal_position)));
  return packet;
}

std::optional<CommandFields> DecodeCommand(std::span<const std::uint8_t, kPacketSize> bytes) {
  const std::uint8_t marker = bytes[7] & 0xF0;
  if (marker != kFrameA && marker != kFrameB) return std::nullopt;
  if (!TopBitClear(bytes, 8)) return std::nullopt;

  CommandFields fields;
  fields.frame_marker = marker;
  fields.config_bits = static_cast<std::uint8_t>(bytes[7] & 0x0F);
  fields.control_byte = bytes[3];
  TuningValues& tuning = fields.tuning;
  if (marker == kFrameA) {
    tuning.max_speed = bytes[0];
    tuning.p = bytes[1];
    tuning.i = bytes[2];
  } else {
    tuning.acc = bytes[0];
    tuning.torque = bytes[1];
    tuning.f_error = bytes[2];
  }
  tuning.d = bytes[6];
  tuning.speed = (bytes[4] | (bytes[5] << 8)) - kSpeedOffset;
  fields.target_counts = static_cast<double>(
      static_cast<std::int64_t>(GetLittleEndian32(bytes, 8)) - kPositionOffset);
  return fields;
}

}  // namespace stage::usb

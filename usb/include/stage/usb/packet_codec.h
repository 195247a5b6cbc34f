// The two 12-byte messages exchanged with a controller on every tick, as pure
// functions: no tables, no device, no state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace stage::usb {

inline constexpr std::size_t kPacketSize = 12;
using Packet = std::array<std::uint8_t, kPacketSize>;

// Positions and targets travel as count + 2^30 in 31 bits.
inline constexpr std::int64_t kPositionOffset = 1073741824;  // 2^30
inline constexpr std::int64_t kMinEncodableCount = -1073741824;
inline constexpr std::int64_t kMaxEncodableCount = 1073741823;
// The speed travels as speed + 32767 in 16 bits.
inline constexpr std::int32_t kSpeedOffset = 32767;
inline constexpr std::int32_t kMinEncodableSpeed = -32767;
inline constexpr std::int32_t kMaxEncodableSpeed = 32768;

// The two parameter frames; the marker is the high nibble of byte 7.
inline constexpr std::uint8_t kFrameA = 144;  // Max Speed, P, I
inline constexpr std::uint8_t kFrameB = 96;   // Acc, Torque, F Error

// Command bit values (byte 3) and configuration bit values (low nibble of byte 7).
inline constexpr std::uint8_t kGoBit = 1, kStopBit = 2, kZeroBit = 4, kActiveBit = 8,
                              kSpeedModeBit = 16, kPositionModeBit = 32, kRelMoveBit = 64,
                              kToggleBit = 128;
inline constexpr std::uint8_t kLimitActiveHiBit = 1, kRevLimitBit = 2, kRevPolarityBit = 4,
                              kCancelOnErrorBit = 8;

// Status flags (byte 4 of a reply).
inline constexpr std::uint8_t kFlagLimit1 = 1, kFlagLimit2 = 2, kFlagReverse = 4,
                              kFlagMaxSpeed = 8, kFlagBusy = 16, kFlagActiveHigh = 32,
                              kFlagError = 64;

// The eight slider values of an axis.
struct TuningValues {
  std::uint8_t p = 15;
  std::uint8_t i = 5;
  std::uint8_t d = 5;
  std::uint8_t acc = 50;
  std::uint8_t max_speed = 80;
  std::uint8_t torque = 200;
  std::uint8_t f_error = 50;
  std::int32_t speed = 0;

  friend bool operator==(const TuningValues&, const TuningValues&) = default;
};

// Everything one command packet carries.
struct CommandFields {
  std::uint8_t control_byte = 0;  // sum of the eight command values, toggle included
  std::uint8_t config_bits = 0;   // sum of the four configuration values (0..15)
  std::uint8_t frame_marker = kFrameA;  // 144 or 96
  TuningValues tuning;
  double target_counts = 0;  // rounded half-to-even when encoded

  friend bool operator==(const CommandFields&, const CommandFields&) = default;
};

enum class EncodeError {
  kTargetOutOfRange,  // rounded target outside -2^30 .. 2^30-1, or not a number
  kSpeedOutOfRange,   // speed outside -32767 .. 32768
  kBadFrameMarker,    // marker neither 144 nor 96, or config bits above 15
};

struct EncodeResult {
  std::optional<Packet> packet;
  std::optional<EncodeError> error;  // set exactly when packet is empty
};

// Byte 7 is frame_marker + config_bits; bytes 0, 1, 2 carry the frame's own
// three tuning values (144: Max Speed, P, I; 96: Acc, Torque, F Error) and
// byte 6 carries D in both. The target is rounded to whole counts, an exact
// half to the even neighbour (1233.5 and 1234.5 both travel as 1234). A value
// that cannot travel is reported, never wrapped.
EncodeResult EncodeCommand(const CommandFields& fields);

// Whether a target in counts survives encoding: exactly EncodeCommand's own
// test (finite, and inside the encodable range after the half-to-even
// rounding, so 1073741823.5 is out and -1073741824.5 is in).
bool IsEncodableTarget(double target_counts);

// The whole counts a target travels as (the half-to-even rounding above), or
// empty when it cannot travel.
std::optional<std::int64_t> EncodedTargetCounts(double target_counts);

// A decoded reply.
struct StatusReading {
  std::int32_t position = 0;
  std::int32_t ideal_position = 0;
  std::uint8_t flags = 0;

  friend bool operator==(const StatusReading&, const StatusReading&) = default;
};

// Empty when byte 3 or byte 11 is 128 or more: such a reply has no valid
// decoding.
std::optional<StatusReading> DecodeStatus(std::span<const std::uint8_t, kPacketSize> bytes);

// The reverse directions, used by the simulated controllers and by tests.

// Bytes 5 to 7 are zero. A position outside the encodable range is clamped to
// its nearer end, so a simulated axis driven past the range still sends a
// reply the console can decode.
Packet EncodeStatus(const StatusReading& status);

// Empty when the marker (high nibble of byte 7) is neither 9 (frame 144) nor 6
// (frame 96), or when byte 11 is 128 or more (no command carries such a
// target). Only the frame's own tuning values, D and Speed come from the
// bytes; the three values of the other frame keep TuningValues' defaults.
std::optional<CommandFields> DecodeCommand(std::span<const std::uint8_t, kPacketSize> bytes);

}  // namespace stage::usb

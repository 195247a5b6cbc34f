#include <algorithm>
#include <cstdint>
#include <optional>

#include "stage/sim/axis_model.h"

namespace stage::sim {
namespace {

constexpr std::int64_t kNanoPerUnit = 1'000'000'000;

std::int64_t ToNanocounts(std::int64_t counts) { return counts * kNanoPerUnit; }

// Nearest whole count, halves away from zero.
std::int64_t ToCounts(std::int64_t nanocounts) {
  return nanocounts >= 0 ? (nanocounts + kNanoPerUnit / 2) / kNanoPerUnit
                         : -((-nanocounts + kNanoPerUnit / 2) / kNanoPerUnit);
}

std::int64_t LimitCounts(std::int64_t counts) {
  return std::clamp(counts, usb::kMinEncodableCount, usb::kMaxEncodableCount);
}

}  // namespace

void SimpleAxisModel::AdvanceTo(Nanoseconds now) {
  if (!started_ || now < last_) {
    started_ = true;
    last_ = now;
    return;
  }
  const std::int64_t elapsed_ns = (now - last_).count();
  last_ = now;
  const std::int64_t speed_counts_per_s = max_speed_ * kCountsPerSecondPerMaxSpeed;
  const std::int64_t remaining = target_nanocounts_ - position_nanocounts_;
  // No need to test the active bit: without it the target is where the axis is.
  if (speed_counts_per_s == 0 || remaining == 0) return;

  // Compared as times so that a long wait cannot overflow the product.
  const std::int64_t distance = remaining > 0 ? remaining : -remaining;
  const std::int64_t needed_ns = (distance + speed_counts_per_s - 1) / speed_counts_per_s;
  if (elapsed_ns >= needed_ns) {
    position_nanocounts_ = target_nanocounts_;
  } else {
    const std::int64_t step = speed_counts_per_s * elapsed_ns;  // below distance
    position_nanocounts_ += remaining > 0 ? step : -step;
  }
}

void SimpleAxisModel::OnCommand(const usb::Packet& command, Nanoseconds now) {
  AdvanceTo(now);
  const std::optional<usb::CommandFields> fields = usb::DecodeCommand(command);
  bad_packet_ = !fields.has_value();
  if (!fields) return;

  config_bits_ = fields->config_bits;
  if (fields->frame_marker == usb::kFrameA) max_speed_ = fields->tuning.max_speed;

  const std::uint8_t control = fields->control_byte;
  const bool rel_set = (control & usb::kRelMoveBit) != 0;
  const bool rel_pressed = rel_set && !rel_was_set_;
  rel_was_set_ = rel_set;
  active_ = (control & usb::kActiveBit) != 0;

  if (control & usb::kZeroBit) {
    position_nanocounts_ = 0;
    target_nanocounts_ = 0;
  }
  // A decoded target is a whole number of counts within the encodable range.
  const auto packet_counts = static_cast<std::int64_t>(fields->target_counts);
  if (!active_ || (control & usb::kStopBit)) {
    target_nanocounts_ = position_nanocounts_;
  } else if (rel_pressed) {
    // From where the axis is now, not from where an earlier move was going.
    target_nanocounts_ = ToNanocounts(LimitCounts(ToCounts(position_nanocounts_) + packet_counts));
  } else if (control & usb::kGoBit) {
    target_nanocounts_ = ToNanocounts(packet_counts);
  }
}

usb::Packet SimpleAxisModel::Status(Nanoseconds now) {
  AdvanceTo(now);
  std::uint8_t flags = 0;
  if (position_nanocounts_ != target_nanocounts_) flags |= usb::kFlagBusy | usb::kFlagMaxSpeed;
  if (config_bits_ & usb::kRevPolarityBit) flags |= usb::kFlagReverse;
  if (config_bits_ & usb::kLimitActiveHiBit) flags |= usb::kFlagActiveHigh;
  if (bad_packet_) flags |= usb::kFlagError;

  usb::StatusReading reading;
  reading.position = static_cast<std::int32_t>(ToCounts(position_nanocounts_));
  reading.ideal_position = reading.position;
  reading.flags = flags;
  return usb::EncodeStatus(reading);
}

}  // namespace stage::sim

#include "stage/scope/scope_recorder.h"

#include <span>
#include <utility>

namespace stage::scope {

ExchangeClock SteadyExchangeClock() {
  return [] { return std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch()); };
}

ScopeRecorder::ScopeRecorder(std::size_t axis_count, ExchangeClock clock, StepSettings settings)
    : clock_(std::move(clock)), settings_(settings) {
  samples_.reserve(axis_count);
  moves_.reserve(axis_count);
  trackers_.reserve(axis_count);
  gains_.resize(axis_count);
  for (std::size_t i = 0; i < axis_count; ++i) {
    samples_.emplace_back(kSamplesPerAxis);
    moves_.emplace_back(kMovesPerAxis);
    trackers_.emplace_back(settings);
  }
  interruptions_.resize(axis_count);
}

void ScopeRecorder::OnExchange(AxisIndex axis, const usb::Packet& command, const usb::Packet& /*reply*/,
                               const poll::ExchangeResult& result) {
  const auto k = static_cast<std::size_t>(axis);
  using Outcome = poll::ExchangeResult::Outcome;
  // A command the controller received counts for the moves even when its
  // reply was lost; only a reply is drawn.
  const bool replied = result.outcome == Outcome::kOk;
  const bool received = replied || result.outcome == Outcome::kReadFailed || result.outcome == Outcome::kInvalidReply;
  if (!received || k >= samples_.size()) return;
  const std::chrono::nanoseconds now = clock_();
  if (!origin_) origin_ = now;
  const std::int64_t time_us = std::chrono::duration_cast<std::chrono::microseconds>(now - *origin_).count();

  const usb::StatusReading& reading = result.reading;
  if (replied) {
    samples_[k].Push({time_us, reading.position, reading.ideal_position, reading.flags});
    ++sample_count_;
    latest_time_us_ = time_us;
  }

  // What was sent decides when a move starts; a packet the console wrote
  // always decodes.
  const auto fields = usb::DecodeCommand(std::span<const std::uint8_t, usb::kPacketSize>(command));
  if (!fields) return;
  Gains& gains = gains_[k];
  if (fields->frame_marker == usb::kFrameA) {
    gains.values.max_speed = fields->tuning.max_speed;
    gains.values.p = fields->tuning.p;
    gains.values.i = fields->tuning.i;
    gains.frames |= 1;
  } else {
    gains.values.acc = fields->tuning.acc;
    gains.values.torque = fields->tuning.torque;
    gains.values.f_error = fields->tuning.f_error;
    gains.frames |= 2;
  }
  gains.values.d = fields->tuning.d;
  gains.values.speed = fields->tuning.speed;
  const bool cut = (fields->control_byte & (usb::kStopBit | usb::kZeroBit)) != 0 ||
                   (fields->control_byte & usb::kActiveBit) == 0;
  if (cut) ++interruptions_[k].cuts;
  if (replied && (reading.flags & usb::kFlagError) != 0) ++interruptions_[k].faults;
  StepSample sample;
  if (gains.frames == kBothFrames) sample.tuning = gains.values;
  sample.time_us = time_us;
  sample.control_byte = fields->control_byte;
  sample.target_counts = static_cast<std::int32_t>(fields->target_counts);
  sample.replied = replied;
  sample.position = reading.position;
  sample.ideal_position = reading.ideal_position;
  sample.flags = reading.flags;
  if (auto figures = trackers_[k].Observe(sample)) {
    moves_[k].Push(*figures);
    ++move_count_;
  }
}

void ScopeRecorder::SetStepSettings(const StepSettings& settings) {
  settings_ = settings;
  for (StepTracker& tracker : trackers_) tracker.SetSettings(settings);
}

}  // namespace stage::scope

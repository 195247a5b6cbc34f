#include "stage/scope/step_response.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "stage/usb/packet_codec.h"

namespace stage::scope {
namespace {

std::int32_t ClampToInt32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

// Where the position crossed `level` (a fraction of the step) between two
// samples, by straight-line interpolation.
double CrossingTime(double level, double t0, double f0, double t1, double f1) {
  if (f1 == f0) return t1;
  return t0 + (level - f0) / (f1 - f0) * (t1 - t0);
}

}  // namespace

std::optional<StepFigures> StepTracker::Observe(const StepSample& sample) {
  const std::uint8_t now = sample.control_byte;
  const std::uint8_t before = have_previous_ ? previous_.control_byte : 0;
  // STOP beats GO and Rel in the same packet; ZERO moves the position itself.
  const bool cut = (now & (usb::kStopBit | usb::kZeroBit)) != 0;
  const bool rel_pressed = (now & usb::kRelMoveBit) != 0 && (before & usb::kRelMoveBit) == 0;
  // While Rel is held the target field is a distance, so GO starts nothing.
  const bool go_held = (now & usb::kGoBit) != 0 && (now & usb::kRelMoveBit) == 0;
  const bool go_started =
      go_held && ((before & usb::kGoBit) == 0 || (before & usb::kRelMoveBit) != 0 ||
                  sample.target_counts != previous_.target_counts);

  std::optional<StepFigures> ended;
  if (cut) {
    if (moving_) {
      ended = Finish(StepFigures::End::kStopped, sample.time_us);
      moving_ = false;
    }
  } else if (go_started || rel_pressed) {
    if (moving_) ended = Finish(StepFigures::End::kReplaced, sample.time_us);
    Start(sample, rel_pressed);
    Track(sample);
  } else if (moving_) {
    Track(sample);
  }

  if (moving_ && !ended) {
    const bool busy_out = busy_out_since_us_.has_value();
    if (busy_out && in_band_since_us_ && sample.time_us - *in_band_since_us_ >= move_settings_.hold_us) {
      ended = Finish(StepFigures::End::kSettled, sample.time_us);
      moving_ = false;
    } else if (busy_out && sample.time_us - *busy_out_since_us_ >= move_settings_.give_up_us) {
      ended = Finish(StepFigures::End::kNotSettled, sample.time_us);
      moving_ = false;
    }
  }

  previous_ = sample;
  have_previous_ = true;
  return ended;
}

std::optional<StepFigures> StepTracker::Current() const {
  if (!moving_) return std::nullopt;
  return Finish(StepFigures::End::kMoving, previous_.time_us);
}

void StepTracker::Start(const StepSample& sample, bool relative) {
  moving_ = true;
  move_settings_ = settings_;
  figures_ = StepFigures{};
  figures_.relative = relative;
  figures_.start_us = sample.time_us;
  // The position before the move is the last one read before its command.
  const StepSample& from = have_previous_ ? previous_ : sample;
  figures_.start_counts = from.position;
  figures_.target_counts = relative ? ClampToInt32(std::int64_t{from.ideal_position} + sample.target_counts)
                                    : sample.target_counts;
  step_counts_ = static_cast<double>(figures_.target_counts) - figures_.start_counts;
  t10_us_.reset();
  t90_us_.reset();
  peak_progress_counts_ = 0;
  in_band_since_us_.reset();
  busy_out_since_us_.reset();
  last_position_ = from.position;
  last_time_us_ = sample.time_us;
  last_fraction_ = 0;
}

void StepTracker::Track(const StepSample& sample) {
  const std::int32_t position = sample.position;
  const auto t = static_cast<double>(sample.time_us);

  if (step_counts_ != 0) {
    const double fraction = (position - static_cast<double>(figures_.start_counts)) / step_counts_;
    const auto last_t = static_cast<double>(last_time_us_);
    if (!t10_us_ && fraction >= 0.1) t10_us_ = CrossingTime(0.1, last_t, last_fraction_, t, fraction);
    if (!t90_us_ && fraction >= 0.9) t90_us_ = CrossingTime(0.9, last_t, last_fraction_, t, fraction);
    last_fraction_ = fraction;
    // Past the target, in the direction of the step.
    const double beyond = (position - static_cast<double>(figures_.target_counts)) * (step_counts_ > 0 ? 1 : -1);
    peak_progress_counts_ = std::max(peak_progress_counts_, beyond);
  }
  last_time_us_ = sample.time_us;

  const std::int32_t following = ClampToInt32(std::int64_t{position} - sample.ideal_position);
  if (std::llabs(following) > std::llabs(figures_.peak_following_error_counts)) {
    figures_.peak_following_error_counts = following;
  }

  const std::int64_t off_target = std::int64_t{position} - figures_.target_counts;
  if (std::llabs(off_target) <= move_settings_.band_counts) {
    if (!in_band_since_us_) in_band_since_us_ = sample.time_us;
  } else {
    in_band_since_us_.reset();
  }
  if ((sample.flags & usb::kFlagBusy) != 0) {
    busy_out_since_us_.reset();
  } else if (!busy_out_since_us_) {
    busy_out_since_us_ = sample.time_us;
  }
  last_position_ = position;
}

StepFigures StepTracker::Finish(StepFigures::End end, std::int64_t end_us) const {
  StepFigures figures = figures_;
  figures.end = end;
  figures.end_us = end_us;
  if (t10_us_ && t90_us_) figures.rise_time_us = *t90_us_ - *t10_us_;
  figures.overshoot_counts = peak_progress_counts_;
  if (step_counts_ != 0) figures.overshoot_percent = peak_progress_counts_ / std::abs(step_counts_) * 100;
  if (end == StepFigures::End::kSettled && in_band_since_us_) {
    figures.settling_time_us = *in_band_since_us_ - figures.start_us;
  }
  figures.steady_state_error_counts = ClampToInt32(std::int64_t{last_position_} - figures.target_counts);
  return figures;
}

}  // namespace stage::scope

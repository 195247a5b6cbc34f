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

// The controller holds targets and Rel end points within what a packet carries.
std::int32_t ClampToEncodable(std::int64_t counts) {
  return static_cast<std::int32_t>(std::clamp(counts, usb::kMinEncodableCount, usb::kMaxEncodableCount));
}

// Where the position crossed `level` (a fraction of the step) between two
// samples, by straight-line interpolation.
double CrossingTime(double level, double t0, double f0, double t1, double f1) {
  if (f1 == f0) return t1;
  return t0 + (level - f0) / (f1 - f0) * (t1 - t0);
}

}  // namespace

std::optional<StepFigures> StepTracker::Observe(const StepSample& sample) {
  const Command command = Decode(sample);

  std::optional<StepFigures> ended;
  switch (command) {
    case Command::kCut:
      if (moving_) ended = Finish(StepFigures::End::kStopped, sample.time_us);
      moving_ = false;
      break;
    case Command::kRun:
      if (moving_) ended = Finish(StepFigures::End::kReplaced, sample.time_us);
      moving_ = false;
      break;
    case Command::kRel:
    case Command::kGo:
      if (moving_) ended = Finish(StepFigures::End::kReplaced, sample.time_us);
      Start(sample, command == Command::kRel, *controller_target_);
      break;
    case Command::kNone:
      break;
  }

  if (moving_ && sample.replied) {
    Track(sample);
    if (!ended) ended = Judge(sample);
  }
  if (sample.replied) {
    last_reply_ = sample;
    have_reply_ = true;
  }
  return ended;
}

StepTracker::Command StepTracker::Decode(const StepSample& sample) {
  const std::uint8_t now = sample.control_byte;
  const bool first = !have_previous_;
  const std::uint8_t before = first ? 0 : previous_control_;
  const auto rising = static_cast<std::uint8_t>(now & ~before);
  const bool target_changed = !first && sample.target_counts != previous_target_;
  previous_control_ = now;
  previous_target_ = sample.target_counts;
  have_previous_ = true;

  // The watchdog: packets that keep coming with the toggle bit unchanged.
  bool cut = false;
  if (first || ((now ^ before) & usb::kToggleBit) != 0) {
    toggle_changed_us_ = sample.time_us;
    watchdog_tripped_ = false;
  } else if (!watchdog_tripped_ && sample.time_us - toggle_changed_us_ >= kWatchdogUs) {
    watchdog_tripped_ = true;
    cut = true;
  }
  // ZERO, the servo off and STOP end whatever moves; their edges are used up.
  if ((now & (usb::kZeroBit | usb::kStopBit)) != 0 || (now & usb::kActiveBit) == 0) cut = true;
  if (cut) {
    controller_target_.reset();
    return Command::kCut;
  }
  const bool fault = have_reply_ && (last_reply_.flags & usb::kFlagError) != 0;
  if (fault || watchdog_tripped_) return Command::kNone;

  if ((rising & usb::kRelMoveBit) != 0) {
    // From the target of the move in progress, otherwise from the ideal position.
    const std::int64_t from = controller_target_ ? *controller_target_ : (have_reply_ ? last_reply_.ideal_position : 0);
    controller_target_ = ClampToEncodable(from + sample.target_counts);
    return Command::kRel;
  }
  if ((now & usb::kGoBit) != 0 && (now & usb::kRelMoveBit) == 0 && ((rising & usb::kGoBit) != 0 || target_changed)) {
    controller_target_ = ClampToEncodable(sample.target_counts);
    return Command::kGo;
  }
  if ((rising & usb::kSpeedModeBit) != 0) {
    controller_target_.reset();
    return Command::kRun;
  }
  return Command::kNone;
}

std::optional<StepFigures> StepTracker::Current() const {
  if (!moving_) return std::nullopt;
  return Finish(StepFigures::End::kMoving, last_time_us_);
}

void StepTracker::Start(const StepSample& sample, bool relative, std::int32_t target) {
  moving_ = true;
  move_settings_ = settings_;
  figures_ = StepFigures{};
  figures_.relative = relative;
  figures_.start_us = sample.time_us;
  // The position before the move is the last one read before its command.
  const std::int32_t from = have_reply_ ? last_reply_.position : sample.position;
  figures_.start_counts = from;
  figures_.target_counts = target;
  figures_.band_counts = move_settings_.band_counts;
  figures_.gains = sample.tuning;
  step_counts_ = static_cast<double>(target) - from;
  // The profile's phases count from the ideal position read before the command.
  const std::int64_t ideal_time = have_reply_ ? last_reply_.time_us : sample.time_us;
  const std::int32_t ideal = have_reply_ ? last_reply_.ideal_position : sample.ideal_position;
  phases_.Start(ideal_time, ideal, target > ideal ? 1 : (target < ideal ? -1 : 0));
  t10_us_.reset();
  t90_us_.reset();
  peak_progress_counts_ = 0;
  in_band_since_us_.reset();
  busy_out_since_us_.reset();
  profile_end_us_.reset();
  rest_since_us_.reset();
  last_time_us_ = sample.time_us;
  last_fraction_ = 0;
}

void StepTracker::Track(const StepSample& sample) {
  const std::int32_t position = sample.position;
  const std::int64_t time_us = sample.time_us;
  const auto t = static_cast<double>(time_us);

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
  last_time_us_ = time_us;
  if (sample.tuning != figures_.gains) figures_.gains_changed = true;

  const std::int32_t following = ClampToInt32(std::int64_t{position} - sample.ideal_position);
  if (std::llabs(following) > std::llabs(figures_.peak_following_error_counts)) {
    figures_.peak_following_error_counts = following;
  }

  const std::int64_t off_target = std::int64_t{position} - figures_.target_counts;
  if (std::llabs(off_target) <= move_settings_.band_counts) {
    if (!in_band_since_us_) in_band_since_us_ = time_us;
  } else {
    in_band_since_us_.reset();
  }
  if ((sample.flags & usb::kFlagBusy) != 0) {
    busy_out_since_us_.reset();
  } else if (!busy_out_since_us_) {
    busy_out_since_us_ = time_us;
  }
  if (!profile_end_us_) {
    phases_.Add(time_us, sample.ideal_position, following);
    if (sample.ideal_position == figures_.target_counts) profile_end_us_ = time_us;
  }

  // A new stay at rest begins when this position widens the spread too far.
  const std::int32_t low = std::min(rest_min_, position);
  const std::int32_t high = std::max(rest_max_, position);
  if (!rest_since_us_ || std::int64_t{high} - low > move_settings_.rest_spread_counts) {
    rest_since_us_ = time_us;
    rest_min_ = position;
    rest_max_ = position;
    rest_sum_ = position;
    rest_samples_ = 1;
  } else {
    rest_min_ = low;
    rest_max_ = high;
    rest_sum_ += position;
    ++rest_samples_;
  }
}

std::optional<StepFigures> StepTracker::Judge(const StepSample& sample) {
  const std::int64_t t = sample.time_us;
  std::optional<StepFigures::End> end;
  if ((sample.flags & usb::kFlagError) != 0) {
    end = StepFigures::End::kFault;
    controller_target_.reset();
  } else {
    const bool at_rest = rest_since_us_ && t - *rest_since_us_ >= move_settings_.rest_us;
    const bool held = in_band_since_us_ && t - *in_band_since_us_ >= move_settings_.hold_us;
    // The give-up time counts from the end of the profile, or from busy going
    // out if that comes first (a move stopped short of its target by a switch).
    std::optional<std::int64_t> done_since = profile_end_us_;
    if (busy_out_since_us_ && (!done_since || *busy_out_since_us_ < *done_since)) done_since = busy_out_since_us_;
    if (busy_out_since_us_ && held && at_rest) {
      end = StepFigures::End::kSettled;
    } else if (done_since && t - *done_since >= move_settings_.give_up_us) {
      end = StepFigures::End::kNotSettled;
    }
  }
  if (!end) return std::nullopt;
  moving_ = false;
  return Finish(*end, t);
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
    if (profile_end_us_) figures.loop.in_position_us = std::max<std::int64_t>(0, *in_band_since_us_ - *profile_end_us_);
  }
  phases_.Classify(figures.loop);
  // r - y(inf), only where the axis came to rest at the end of the move.
  const bool judged = end == StepFigures::End::kSettled || end == StepFigures::End::kNotSettled;
  if (judged && rest_since_us_ && end_us - *rest_since_us_ >= move_settings_.rest_us && rest_samples_ > 0) {
    figures.steady_state_error_counts =
        static_cast<double>(figures.target_counts) - rest_sum_ / static_cast<double>(rest_samples_);
  }
  return figures;
}

}  // namespace stage::scope

// Step-response figures of one axis's moves, worked out sample by sample as
// the exchanges arrive: no history is kept, nothing is allocated. A move
// starts on the exchange whose command starts it (GO with a new target, or
// the press of Rel) and ends when busy has gone out and the position has
// stayed inside the band round the target for the hold time, when it has not
// done so within the give-up time after busy went out, or when STOP, ZERO,
// the servo going off or the next move cuts it short.
#pragma once

#include <cstdint>
#include <optional>

namespace stage::scope {

// One exchange as the figures see it: what went out and what came back.
struct StepSample {
  std::int64_t time_us = 0;
  std::uint8_t control_byte = 0;  // command bits sent (toggle included)
  std::int32_t target_counts = 0; // target field sent: a position for GO, a distance for Rel
  std::int32_t position = 0;      // reply: actual position, counts
  std::int32_t ideal_position = 0;
  std::uint8_t flags = 0;
};

struct StepSettings {
  std::int32_t band_counts = 16;        // settled: |position - target| <= band
  std::int64_t hold_us = 100'000;       // ... for this long, busy out
  std::int64_t give_up_us = 2'000'000;  // busy out this long without settling
};

struct StepFigures {
  enum class End : std::uint8_t {
    kSettled,     // busy out and inside the band for the hold time
    kNotSettled,  // busy out for the give-up time, never held inside the band
    kStopped,     // STOP, ZERO or the servo going off cut the move short
    kReplaced,    // the next move started first
    kMoving,      // still going: a snapshot from StepTracker::Current
  };
  End end = End::kSettled;
  bool relative = false;          // started by Rel
  std::int64_t start_us = 0;      // time of the exchange that started the move
  std::int64_t end_us = 0;        // time of the sample that ended it
  std::int32_t start_counts = 0;  // position before the move
  std::int32_t target_counts = 0; // where the move goes (Rel: ideal at the start + distance)
  // 10 % to 90 % of the step, crossings interpolated between samples; empty
  // when the step is zero or the position never got to 90 %.
  std::optional<double> rise_time_us;
  // How far the position went past the target, in counts (0 when it never
  // did) and in % of the step (empty for a zero step).
  double overshoot_counts = 0;
  std::optional<double> overshoot_percent;
  // From the start to the first sample of the last stay inside the band;
  // empty unless the move settled.
  std::optional<std::int64_t> settling_time_us;
  std::int32_t steady_state_error_counts = 0;  // position - target at the end
  std::int32_t peak_following_error_counts = 0;  // actual - ideal of largest size

  std::int64_t DurationUs() const { return end_us - start_us; }
};

class StepTracker {
 public:
  explicit StepTracker(StepSettings settings = {}) : settings_(settings) {}

  // From the next move on: the move in progress keeps the band it began with.
  void SetSettings(const StepSettings& settings) { settings_ = settings; }
  const StepSettings& Settings() const { return settings_; }

  // Takes the next exchange of the axis; returns the figures of the move
  // that this sample ends, if any. A sample may end one move and start the
  // next; the figures returned are then the ended move's.
  std::optional<StepFigures> Observe(const StepSample& sample);

  bool Moving() const { return moving_; }
  // The figures of the move in progress, as far as they go (a snapshot).
  std::optional<StepFigures> Current() const;

 private:
  void Start(const StepSample& sample, bool relative);
  void Track(const StepSample& sample);
  StepFigures Finish(StepFigures::End end, std::int64_t end_us) const;

  StepSettings settings_;
  StepSettings move_settings_;  // the settings of the move in progress

  // The previous exchange.
  bool have_previous_ = false;
  StepSample previous_{};

  // The move in progress.
  bool moving_ = false;
  StepFigures figures_{};
  double step_counts_ = 0;  // target - start
  std::optional<double> t10_us_;
  std::optional<double> t90_us_;
  double peak_progress_counts_ = 0;  // largest (position - start) * direction
  std::optional<std::int64_t> in_band_since_us_;
  std::optional<std::int64_t> busy_out_since_us_;
  std::int32_t last_position_ = 0;
  std::int64_t last_time_us_ = 0;
  double last_fraction_ = 0;  // (position - start) / step at last_time_us_
};

}  // namespace stage::scope

// Step-response figures of one axis's moves, worked out sample by sample as
// the exchanges arrive: no history is kept, nothing is allocated.
//
// A move starts only where the controller starts one, so the tracker follows
// the command bits as the controller reads them: a Rel edge moves by the
// distance from the target of the move in progress (otherwise from the ideal
// position); GO starts a move on its edge or when the target changes while it
// stays set, never while Rel is set; nothing starts while STOP is set, with
// the servo off, during a following-error fault or after the watchdog
// tripped. A move ends settled when busy has gone out, the position has
// stayed inside the band round the target for the hold time and has come to
// rest; not settled when it has not done so within the give-up time after the
// end of its profile; stopped when STOP, ZERO, the servo going off or the
// watchdog cut it short; replaced when the next move or a run starts first;
// and in a fault when the controller reports one.
#pragma once

#include <cstdint>
#include <optional>

#include "stage/scope/loop_figures.h"
#include "stage/usb/packet_codec.h"

namespace stage::scope {

// One exchange as the figures see it: what went out and what came back.
struct StepSample {
  std::int64_t time_us = 0;
  std::uint8_t control_byte = 0;  // command bits sent (toggle included)
  std::int32_t target_counts = 0; // target field sent: a position for GO, a distance for Rel
  std::int32_t position = 0;      // reply: actual position, counts
  std::int32_t ideal_position = 0;
  std::uint8_t flags = 0;
  bool replied = true;  // false: the command went out but no reply came back (the fields above are unset)
  // The eight tuning values the controller holds, as the packets so far set
  // them: empty until both parameter frames have gone out.
  std::optional<usb::TuningValues> tuning{};
};

struct StepSettings {
  std::int32_t band_counts = 16;        // settled: |position - target| <= band
  std::int64_t hold_us = 100'000;       // ... for this long, busy out
  std::int64_t give_up_us = 2'000'000;  // after the end of the profile (or busy out) without settling
  // At rest: the position has stayed within this spread for rest_us; the
  // steady-state error is taken from the mean position over that time.
  std::int32_t rest_spread_counts = 1;
  std::int64_t rest_us = 100'000;
};

// The controller's watchdog: packets with the toggle bit unchanged for this
// long stop the axis and make it ignore GO and Rel.
inline constexpr std::int64_t kWatchdogUs = 100'000;

struct StepFigures {
  enum class End : std::uint8_t {
    kSettled,     // busy out, inside the band for the hold time, at rest
    kNotSettled,  // the give-up time after the profile ended, never settled
    kStopped,     // STOP, ZERO, the servo going off or the watchdog cut the move short
    kReplaced,    // the next move or a run started first
    kFault,       // the controller reported a fault (following error)
    kMoving,      // still going: a snapshot from StepTracker::Current
  };
  End end = End::kSettled;
  bool relative = false;          // started by Rel
  std::int64_t start_us = 0;      // time of the exchange that started the move
  std::int64_t end_us = 0;        // time of the sample that ended it
  std::int32_t start_counts = 0;  // position before the move
  std::int32_t target_counts = 0; // where the controller moves to (Rel: its target before + distance)
  std::int32_t band_counts = 0;   // the band the move was judged by
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
  // target - position at rest (r - y(inf)); empty unless the move ended
  // settled or not settled with the axis at rest.
  std::optional<double> steady_state_error_counts;
  std::int32_t peak_following_error_counts = 0;  // actual - ideal of largest size
  // In position after the profile, and the following error by phase.
  LoopFigures loop;
  // The gains the move ran with: the tuning values in force at its start
  // (empty when not yet known), and whether any changed before it ended.
  std::optional<usb::TuningValues> gains{};
  bool gains_changed = false;

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
  enum class Command : std::uint8_t { kNone, kCut, kRel, kGo, kRun };
  Command Decode(const StepSample& sample);
  void Start(const StepSample& sample, bool relative, std::int32_t target);
  void Track(const StepSample& sample);
  std::optional<StepFigures> Judge(const StepSample& sample);
  StepFigures Finish(StepFigures::End end, std::int64_t end_us) const;

  StepSettings settings_;
  StepSettings move_settings_;  // the settings of the move in progress

  // The previous command, and the previous reply (kept across exchanges
  // that got none).
  bool have_previous_ = false;
  std::uint8_t previous_control_ = 0;
  std::int32_t previous_target_ = 0;
  bool have_reply_ = false;
  StepSample last_reply_{};

  // What the controller is doing, as far as the commands and replies tell.
  std::int64_t toggle_changed_us_ = 0;
  bool watchdog_tripped_ = false;
  std::optional<std::int32_t> controller_target_;  // of the controller's move in progress

  // The move in progress.
  bool moving_ = false;
  StepFigures figures_{};
  double step_counts_ = 0;  // target - start
  std::optional<double> t10_us_;
  std::optional<double> t90_us_;
  double peak_progress_counts_ = 0;  // largest (position - target) * direction
  ProfilePhases phases_;             // until the ideal position reaches the target
  std::optional<std::int64_t> in_band_since_us_;
  std::optional<std::int64_t> busy_out_since_us_;
  std::optional<std::int64_t> profile_end_us_;  // the ideal position reached the target
  std::int64_t last_time_us_ = 0;
  double last_fraction_ = 0;  // (position - start) / step at last_time_us_
  // The current stay at rest: since when, the spread and the sum of positions.
  std::optional<std::int64_t> rest_since_us_;
  std::int32_t rest_min_ = 0;
  std::int32_t rest_max_ = 0;
  double rest_sum_ = 0;
  std::int64_t rest_samples_ = 0;
};

}  // namespace stage::scope

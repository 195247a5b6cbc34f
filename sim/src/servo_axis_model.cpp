#include "stage/sim/servo_axis_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>

namespace stage::sim {
namespace {

constexpr double kStepSeconds = std::chrono::duration<double>(ServoAxisModel::kStep).count();
constexpr std::int64_t kSettleSteps = ServoAxisModel::kSettleTime / ServoAxisModel::kStep;
constexpr double kPeakEffort = 255 * ServoAxisModel::kEffortPerTorque;
// A move closer than this to its target, nearly at rest, has arrived.
constexpr double kArrivedCounts = 0.5;

double Sign(double value) { return value < 0 ? -1.0 : 1.0; }

double ClampToEncodable(double counts) {
  return std::clamp(counts, static_cast<double>(usb::kMinEncodableCount),
                    static_cast<double>(usb::kMaxEncodableCount));
}

}  // namespace

ServoWiring ShortTravelWiring() {
  ServoWiring wiring;
  wiring.negative_limit_counts = -128'000;
  wiring.positive_limit_counts = 128'000;
  wiring.overtravel_counts = 64'000;
  return wiring;
}

ServoAxisModel::ServoAxisModel(ServoWiring wiring) : wiring_(wiring) {}

// --- Time ------------------------------------------------------------------

void ServoAxisModel::AdvanceTo(Nanoseconds now) {
  if (!started_) {
    started_ = true;
    simulated_until_ = now;
    return;
  }
  if (now <= simulated_until_) return;
  if (now - simulated_until_ > kMaxCatchUp) simulated_until_ = now - kMaxCatchUp;
  while (now - simulated_until_ >= kStep) {
    Step();
    simulated_until_ += kStep;
  }
}

// --- Packets ---------------------------------------------------------------

void ServoAxisModel::OnCommand(const usb::Packet& command, Nanoseconds now) {
  AdvanceTo(now);
  const std::optional<usb::CommandFields> fields = usb::DecodeCommand(command);
  bad_packet_ = !fields.has_value();
  if (!fields) return;

  // Each frame carries three of the six frame values; D and Speed travel in both.
  const usb::TuningValues& sent = fields->tuning;
  if (fields->frame_marker == usb::kFrameA) {
    tuning_.max_speed = sent.max_speed;
    tuning_.p = sent.p;
    tuning_.i = sent.i;
  } else {
    tuning_.acc = sent.acc;
    tuning_.torque = sent.torque;
    tuning_.f_error = sent.f_error;
  }
  tuning_.d = sent.d;
  tuning_.speed = sent.speed;
  config_bits_ = fields->config_bits;

  const std::uint8_t control = fields->control_byte;
  const double target_counts = fields->target_counts;
  const auto rising = static_cast<std::uint8_t>(control & ~previous_control_);
  const auto falling = static_cast<std::uint8_t>(~control & previous_control_);
  const bool target_changed = seen_command_ && target_counts != previous_target_counts_;

  // The watchdog looks only at packets that arrive: a host that pauses and
  // then goes on alternating has not lost control of the axis.
  const bool toggled = !seen_command_ || ((control ^ previous_control_) & usb::kToggleBit) != 0;
  if (toggled) {
    last_toggle_change_ = now;
    watchdog_tripped_ = false;
  } else if (!watchdog_tripped_ && now - last_toggle_change_ >= kWatchdogTimeout) {
    watchdog_tripped_ = true;
    StopProfile();
  }
  previous_control_ = control;
  previous_target_counts_ = target_counts;
  seen_command_ = true;

  if (control & usb::kZeroBit) {
    // The encoder reading where the axis stands becomes 0, and so does the
    // ideal position; a move or a run in progress ends in a stop from there.
    zero_offset_counts_ = std::round(physical_counts_);
    if (active_ && !fault_) {
      TakeOver();
    } else {
      ideal_counts_ = 0;
    }
  }

  const bool was_active = active_;
  active_ = (control & usb::kActiveBit) != 0;
  if (!active_) return;  // the servo is off; Step lets the ideal follow the motor
  if (!was_active && !fault_) TakeOver();

  if (control & usb::kStopBit) {
    if ((rising & usb::kStopBit) && fault_) {
      fault_ = false;
      TakeOver();
    }
    if (!fault_) StopProfile();
    return;
  }
  if (fault_ || watchdog_tripped_) return;

  if (rising & usb::kRelMoveBit) {
    // While REL is held the target field is a distance, never a position.
    const double from = mode_ == Mode::kMove ? move_target_counts_ : ideal_counts_;
    StartMove(from + target_counts);
  } else if ((control & usb::kGoBit) && !(control & usb::kRelMoveBit) &&
             ((rising & usb::kGoBit) || target_changed)) {
    StartMove(target_counts);
  } else if (rising & usb::kSpeedModeBit) {
    mode_ = Mode::kRun;
    limit_stop_ = false;
  } else if ((falling & usb::kSpeedModeBit) && mode_ == Mode::kRun) {
    StopProfile();
  }
}

usb::Packet ServoAxisModel::Status(Nanoseconds now) {
  AdvanceTo(now);
  usb::StatusReading reading;
  reading.position = static_cast<std::int32_t>(
      ClampToEncodable(MeasuredCounts()));
  reading.ideal_position = static_cast<std::int32_t>(ClampToEncodable(std::round(ideal_counts_)));
  reading.flags = Flags();
  return usb::EncodeStatus(reading);
}

// --- Commands --------------------------------------------------------------

void ServoAxisModel::TakeOver() {
  // The profile starts from where the motor is and how fast it goes, so
  // switching the loop on never jerks the load.
  ideal_counts_ = MeasuredCounts();
  ideal_counts_per_s_ = velocity_counts_per_s_;
  mode_ = ideal_counts_per_s_ == 0 ? Mode::kHold : Mode::kStop;
  limit_stop_ = false;
  integral_effort_ = 0;
  previous_error_counts_ = 0;
  settled_steps_ = ideal_counts_per_s_ == 0 ? kSettleSteps : 0;
}

void ServoAxisModel::StartMove(double target_counts) {
  move_target_counts_ = ClampToEncodable(target_counts);
  mode_ = Mode::kMove;
  limit_stop_ = false;
  settled_steps_ = 0;
}

void ServoAxisModel::StopProfile() {
  if (mode_ == Mode::kHold) return;
  if (ideal_counts_per_s_ == 0) {
    mode_ = Mode::kHold;
    return;
  }
  if (mode_ != Mode::kStop) limit_stop_ = false;
  mode_ = Mode::kStop;
}

// --- One step of controller and mechanics ----------------------------------

double ServoAxisModel::MeasuredCounts() const {
  return std::round(physical_counts_) - zero_offset_counts_;
}

bool ServoAxisModel::NegativeSwitchPressed() const {
  return physical_counts_ <= static_cast<double>(wiring_.negative_limit_counts);
}

bool ServoAxisModel::PositiveSwitchPressed() const {
  return physical_counts_ >= static_cast<double>(wiring_.positive_limit_counts);
}

void ServoAxisModel::Step() {
  double effort = 0;
  if (active_ && !fault_) {
    const double error = ideal_counts_ - MeasuredCounts();
    const double error_limit = tuning_.f_error * kFollowingErrorCountsPerFError;
    if (std::abs(error) > error_limit) {
      fault_ = true;  // the servo is off from this step on
    } else {
      effort = PidEffort(error);
    }
  }
  // "Reverse Motor Polarity" inverts the controller's output; swapped motor
  // leads invert it again. Only when the two agree does the loop close.
  const bool inverted = ((config_bits_ & usb::kRevPolarityBit) != 0) != wiring_.motor_reversed;
  RunMechanics(inverted ? -effort : effort);

  if (active_ && !fault_) {
    // The profile moves on after the motor, so that the ideal and the actual
    // position in a status always describe the same instant.
    AdvanceProfile();
  } else {
    // Servo off: the profile follows the motor, so that no following error
    // builds up behind it.
    ideal_counts_ = MeasuredCounts();
    ideal_counts_per_s_ = 0;
    mode_ = Mode::kHold;
    integral_effort_ = 0;
    previous_error_counts_ = 0;
    settled_steps_ = 0;
  }
}

double ServoAxisModel::PidEffort(double error) {
  const double limit = tuning_.torque * kEffortPerTorque;
  const double derivative = (error - previous_error_counts_) / kStepSeconds;
  previous_error_counts_ = error;
  const double pd =
      tuning_.p * kProportionalPerP * error + tuning_.d * kDerivativePerD * derivative;
  // No winding up: the integral stops growing while the output is saturated
  // in the direction it would grow.
  const double integral_step = tuning_.i * kIntegralPerI * error * kStepSeconds;
  const double unclamped = pd + integral_effort_;
  if (!(unclamped >= limit && integral_step > 0) && !(unclamped <= -limit && integral_step < 0)) {
    integral_effort_ = std::clamp(integral_effort_ + integral_step, -limit, limit);
  }

  const bool at_rest = mode_ != Mode::kMove && ideal_counts_per_s_ == 0;
  settled_steps_ = at_rest && std::abs(error) <= kSettleWindowCounts
                       ? std::min(settled_steps_ + 1, kSettleSteps)
                       : 0;
  return std::clamp(pd + integral_effort_, -limit, limit);
}

void ServoAxisModel::AdvanceProfile() {
  const double acc = std::max<double>(tuning_.acc, 1) * kCountsPerSecond2PerAcc;
  const double max_speed = std::max<double>(tuning_.max_speed, 1) * kCountsPerSecondPerMaxSpeed;
  const double limit_acc = std::max(acc, kLimitStopShareOfPeak * kPeakEffort);
  const bool negative_blocked = NegativeSwitchPressed();
  const bool positive_blocked = PositiveSwitchPressed();
  const auto into_switch = [&](double velocity) {
    return (velocity < 0 && negative_blocked) || (velocity > 0 && positive_blocked);
  };
  const double v = ideal_counts_per_s_;

  if (mode_ == Mode::kMove) {
    const double remaining = move_target_counts_ - ideal_counts_;
    const double direction = Sign(remaining);
    const double distance = std::abs(remaining);
    const double toward = v * direction;  // speed toward the target (negative: away)
    const double dv = acc * kStepSeconds;
    if (distance <= kArrivedCounts && std::abs(toward) <= dv) {
      ideal_counts_ = move_target_counts_;
      ideal_counts_per_s_ = 0;
      mode_ = Mode::kHold;
      return;
    }
    // The fastest speed at the end of this step from which the rest of the
    // way can still be stopped at Acc (exact for the stepwise ramp).
    const double room = std::max(0.0, distance - toward * kStepSeconds / 2);
    const double reachable = (-dv + std::sqrt(dv * dv + 8 * acc * room)) / 2;
    const double next = std::clamp(std::min(max_speed, reachable), toward - dv, toward + dv);
    if (into_switch(next * direction)) {
      limit_stop_ = true;
      mode_ = v == 0 ? Mode::kHold : Mode::kStop;
      if (mode_ == Mode::kHold) return;
    } else {
      const double position = ideal_counts_ + direction * (toward + next) / 2 * kStepSeconds;
      if ((move_target_counts_ - position) * direction <= 0 && next <= dv) {
        ideal_counts_ = move_target_counts_;  // arrived within this step
        ideal_counts_per_s_ = 0;
        mode_ = Mode::kHold;
      } else {
        ideal_counts_ = position;
        ideal_counts_per_s_ = direction * next;
      }
      return;
    }
  }

  double wanted = 0;
  double rate = limit_stop_ ? limit_acc : acc;
  if (mode_ == Mode::kRun) {
    wanted = std::clamp(tuning_.speed * kCountsPerSecondPerSpeed, -max_speed, max_speed);
    if (into_switch(wanted)) wanted = 0;
    rate = into_switch(v) ? limit_acc : acc;
  } else if (mode_ == Mode::kHold) {
    return;
  }
  // Clamping the wanted speed itself lands on it exactly once it is in reach.
  const double next = std::clamp(wanted, v - rate * kStepSeconds, v + rate * kStepSeconds);
  ideal_counts_ += (v + next) / 2 * kStepSeconds;
  ideal_counts_per_s_ = next;
  if (mode_ == Mode::kStop && next == 0) {
    mode_ = Mode::kHold;
    limit_stop_ = false;
  }
}

void ServoAxisModel::RunMechanics(double effort) {
  const double v = velocity_counts_per_s_;
  double drive = effort;
  if (drive * v > 0) {
    const double available = kPeakEffort * std::max(0.0, 1 - std::abs(v) / kNoLoadCountsPerSecond);
    drive = std::clamp(drive, -available, available);
  }
  const double net = drive - kViscousFrictionPerSecond * v;
  double acceleration = 0;
  if (v != 0) {
    acceleration = net - Sign(v) * kCoulombFriction;
  } else if (std::abs(net) > kCoulombFriction) {
    acceleration = net - Sign(net) * kCoulombFriction;  // breaks away
  }
  double next = v + acceleration * kStepSeconds;
  // Friction brings the load to rest; it never drives it backwards.
  if (v != 0 && (next > 0) != (v > 0)) next = 0;
  double position = physical_counts_ + (v + next) / 2 * kStepSeconds;

  const double lowest = static_cast<double>(wiring_.negative_limit_counts - wiring_.overtravel_counts);
  const double highest = static_cast<double>(wiring_.positive_limit_counts + wiring_.overtravel_counts);
  if (position <= lowest || position >= highest) {
    position = std::clamp(position, lowest, highest);  // the hard end stops it dead
    next = 0;
  }
  physical_counts_ = position;
  velocity_counts_per_s_ = next;
}

// --- Status ----------------------------------------------------------------

std::uint8_t ServoAxisModel::Flags() const {
  std::uint8_t flags = 0;
  // The switches are wired active low: a pressed switch pulls its line low.
  // "Limit Sw Active on HI" makes the controller read a high line as pressed.
  const bool active_high = (config_bits_ & usb::kLimitActiveHiBit) != 0;
  bool first = NegativeSwitchPressed() != active_high;
  bool second = PositiveSwitchPressed() != active_high;
  if (config_bits_ & usb::kRevLimitBit) std::swap(first, second);
  if (first) flags |= usb::kFlagLimit1;
  if (second) flags |= usb::kFlagLimit2;
  if (config_bits_ & usb::kRevPolarityBit) flags |= usb::kFlagReverse;
  if (active_high) flags |= usb::kFlagActiveHigh;

  if (active_ && !fault_) {
    const double max_speed = std::max<double>(tuning_.max_speed, 1) * kCountsPerSecondPerMaxSpeed;
    if (std::abs(ideal_counts_per_s_) >= max_speed) flags |= usb::kFlagMaxSpeed;
    const bool moving = mode_ == Mode::kMove || ideal_counts_per_s_ != 0;
    if (moving || settled_steps_ < kSettleSteps) flags |= usb::kFlagBusy;
  }
  if (fault_ || bad_packet_) flags |= usb::kFlagError;
  return flags;
}

}  // namespace stage::sim

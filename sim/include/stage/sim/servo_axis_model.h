// A servo axis as a real stage has it: a trapezoidal profile generator makes
// the ideal position, a PID position loop drives a motor with inertia and
// friction, the effort limited by Torque, and the actual position is whatever
// the loop achieves. Limit switches at both ends of the travel, a following-
// error fault, a watchdog on the toggle bit. docs/simulator.md describes every
// bit, value and constant for operators; the constants below are the same.
//
// Time is cut into fixed steps of kStep (4 kHz) counted from the first call.
// Each call catches up on the whole steps up to its time; a packet acts from
// the step boundary at or before its arrival. So the replies depend only on
// the packets and their times, never on how often the status is read in
// between. After a pause longer than kMaxCatchUp (a debugger stop, a stalled
// host) only the last kMaxCatchUp is simulated: the controller behaves as if
// it had been frozen for the rest.
#pragma once

#include <cstdint>

#include "stage/sim/axis_model.h"
#include "stage/sim/sim_clock.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {

// How one simulated stage is built and wired: what an operator cannot see or
// change from the console. Positions are encoder counts from where the stage
// stands at power-up (the middle of its travel by default).
struct ServoWiring {
  // The motor leads are swapped: the console's "Reverse Motor Polarity" must
  // be ticked for the loop to close; otherwise the servo runs away.
  bool motor_reversed = false;
  // The limit switches trip at and beyond these positions (25 mm each way at
  // 128 counts per micron).
  std::int64_t negative_limit_counts = -3'200'000;
  std::int64_t positive_limit_counts = 3'200'000;
  // The hard mechanical ends, this far beyond each switch (1 mm).
  std::int64_t overtravel_counts = 128'000;

  friend bool operator==(const ServoWiring&, const ServoWiring&) = default;
};

// The travel an operator meets with the "limits" scenario: switches 1 mm
// either side of the power-up position, hard ends 0.5 mm beyond them.
ServoWiring ShortTravelWiring();

class ServoAxisModel final : public AxisModel {
 public:
  // --- Time.
  static constexpr Nanoseconds kStep{250'000};  // 4 kHz servo and mechanics
  static constexpr Nanoseconds kMaxCatchUp{1'000'000'000};

  // --- What the slider values mean (per unit of the slider).
  static constexpr double kCountsPerSecondPerMaxSpeed = 6250;      // 80 -> 500000 counts/s
  static constexpr double kCountsPerSecond2PerAcc = 50000;         // 50 -> 2.5e6 counts/s^2
  static constexpr double kCountsPerSecondPerSpeed = 50;           // 10000 -> 500000 counts/s
  static constexpr double kProportionalPerP = 16000;               // 1/s^2
  static constexpr double kIntegralPerI = 200000;                  // 1/s^3
  static constexpr double kDerivativePerD = 200;                   // 1/s
  static constexpr double kEffortPerTorque = 40000;                // counts/s^2 of drive
  static constexpr double kFollowingErrorCountsPerFError = 20;     // 50 -> 1000 counts

  // --- The mechanics (accelerations in counts/s^2 of the moving load).
  static constexpr double kCoulombFriction = 200000;
  static constexpr double kViscousFrictionPerSecond = 0.5;         // times velocity
  // The amplifier's voltage limit: drive in the direction of motion fades
  // from Torque 255 at rest to nothing at this speed (25 mm/s).
  static constexpr double kNoLoadCountsPerSecond = 3'200'000;

  // --- Watchdog, settling, limit stop.
  static constexpr Nanoseconds kWatchdogTimeout{100'000'000};
  static constexpr double kSettleWindowCounts = 16;
  static constexpr Nanoseconds kSettleTime{20'000'000};
  // Fraction of Torque 255 used as the deceleration of a stop at a limit
  // switch (never gentler than Acc).
  static constexpr double kLimitStopShareOfPeak = 0.5;

  explicit ServoAxisModel(ServoWiring wiring = {});

  void OnCommand(const usb::Packet& command, Nanoseconds now) override;
  usb::Packet Status(Nanoseconds now) override;

 private:
  enum class Mode : std::uint8_t {
    kHold,  // the profile rests at the ideal position
    kMove,  // a trapezoidal move to move_target_counts_
    kRun,   // speed mode: the Speed slider's velocity
    kStop,  // decelerating to rest at Acc
  };

  void AdvanceTo(Nanoseconds now);
  void Step();
  double PidEffort(double error_counts);
  void AdvanceProfile();
  void RunMechanics(double effort);
  void TakeOver();
  void StartMove(double target_counts);
  void StopProfile();
  double MeasuredCounts() const;
  bool NegativeSwitchPressed() const;
  bool PositiveSwitchPressed() const;
  std::uint8_t Flags() const;

  ServoWiring wiring_;

  // Mechanics, in counts from the power-up position.
  double physical_counts_ = 0;
  double velocity_counts_per_s_ = 0;

  // The controller's reading of the encoder is rounded physical position
  // minus this offset (ZERO moves the offset).
  double zero_offset_counts_ = 0;

  // Profile generator, in the controller's counts.
  Mode mode_ = Mode::kHold;
  double ideal_counts_ = 0;
  double ideal_counts_per_s_ = 0;
  double move_target_counts_ = 0;
  bool limit_stop_ = false;  // a stop at a limit switch brakes harder than Acc

  // Position loop.
  double integral_effort_ = 0;
  double previous_error_counts_ = 0;
  std::int64_t settled_steps_ = 0;

  // What the packets said.
  usb::TuningValues tuning_{};
  std::uint8_t config_bits_ = 0;
  std::uint8_t previous_control_ = 0;
  double previous_target_counts_ = 0;
  bool seen_command_ = false;
  bool bad_packet_ = false;
  bool active_ = false;
  bool fault_ = false;
  bool watchdog_tripped_ = false;
  Nanoseconds last_toggle_change_{0};

  bool started_ = false;
  Nanoseconds simulated_until_{0};
};

}  // namespace stage::sim

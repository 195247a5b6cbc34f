// Referencing (homing) of the axes: toward a limit switch in speed mode, stop
// on it, leave it slowly (at a fiftieth of the speed) to find where it
// releases, then a Rel to the back-off distance from that edge, ZERO there.
// The edge, not where the axis came to rest on the switch, is the
// reference: how far an axis overruns a switch depends on its speed, where
// the switch releases does not. A state machine per axis,
// driven once per tick by the axis's latest reply, that writes the axis tables
// through the same command latches as the operator's buttons (as a holder of
// its own), so that every bit it sets reaches the controller in at least one
// packet and an operator holding the same bit keeps it.
//
// It ends at once, leaving the axis stopped, on STOP, Esc, the operator's own
// command on the axis, and every fault: the error flag, a lost reply, the
// wrong switch, both switches at once, a move the wrong way, the travel bound
// and the watchdog (no progress, or no rest, within its number of replies).
// A wrong polarity or limit wiring can therefore never drive an axis further
// than the travel bound (or the wrong-way tolerance) before it is stopped.
//
// Plain C++, no Qt. Nothing on the per-tick path allocates once Allocate has
// sized the per-axis state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stage/axis/command_latch.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/usb/packet_codec.h"

namespace stage::referencing {

enum class Toward : std::uint8_t { kLower, kUpper };

// What the operator's profile asks for.
struct Plan {
  Toward toward = Toward::kLower;
  std::int32_t speed = 500;          // Speed slider units, 1..kMaxSpeed; the direction gives the sign
  std::int64_t back_off_counts = 0;  // 0..kMaxEncodableCount, away from the switch
  // The travel bound: the seek gives up once the axis is this far from where
  // it started seeking, switch or no switch.
  std::int64_t max_seek_counts = 12'800'000;
};

inline constexpr std::int32_t kMaxSpeed = 10000;

// The bounds every run keeps, in replies of the axis (one per 10 ms tick) and
// encoder counts.
inline constexpr std::int64_t kWrongWayCounts = 256;      // a move against the commanded direction
inline constexpr std::int64_t kMinProgressCounts = 8;     // what counts as moving on
inline constexpr std::uint32_t kWatchdogReplies = 200;    // 2 s without that progress
inline constexpr std::uint32_t kRestReplies = 500;        // 5 s to come to rest after STOP or a Rel
inline constexpr std::int64_t kArrivalCounts = 16;        // the back-off's ideal position at its end
inline constexpr std::uint32_t kZeroReplies = 50;         // 0.5 s for the ZERO to show
// The switch is left at the seek's speed divided by this (at least 1): the
// edge is then known to within that speed times one tick.
inline constexpr std::int32_t kReleaseSpeedDivisor = 50;

enum class Phase : std::uint8_t {
  kIdle,        // not running (see Outcome for how the latest run ended)
  kArming,      // started; the next reply is checked before anything moves
  kHolding,     // STOP held until the axis is at rest (before the seek, on the switch, off its edge)
  kSeeking,     // speed mode toward the switch
  kReleasing,   // speed mode away from the switch, slowly, until it releases
  kBackingOff,  // a Rel away from the switch
  kZeroing,     // ZERO sent; waiting for the reply that shows 0
};

enum class Outcome : std::uint8_t {
  kNone,         // never run on this axis
  kRunning,
  kDone,         // zeroed at the back-off position
  kStopped,      // STOP
  kEscape,       // Esc
  kInterrupted,  // the operator's own GO, Rel, Enter, ZERO or speed mode on the axis
  kErrorFlag,    // the controller reported an error
  kLostReply,    // no usable reply
  kWrongSwitch,  // the other switch came on
  kBothSwitches,   // both switches report pressed at once
  kWrongWay,       // the axis moved against the commanded direction
  kTravelBound,    // the seek went max_seek_counts without the switch, or the back-off overshot
  kNoProgress,     // watchdog: the axis stopped moving on
  kNotAtRest,      // watchdog: the axis did not come to rest
  kSwitchLost,     // the switch released while the axis stopped on it, or came on again off its edge
  kStillOnSwitch,  // backed off, yet still on the switch
  kNotZeroed,      // the reply never showed the position 0
};

// Everything the operator is told about one axis's run.
struct RunState {
  Phase phase = Phase::kIdle;
  Outcome outcome = Outcome::kNone;
  Phase ended_in = Phase::kIdle;  // the phase the latest run ended in
  bool on_switch = false;         // the sought switch has been reached
  bool released = false;          // ...and left again: its edge is known
  std::int64_t edge_counts = 0;   // the first position off the switch
  Plan plan;
  std::int64_t seek_start_counts = 0;   // where the seek started
  std::int64_t last_position_counts = 0;  // the latest reply's position
  // Where the axis stood, on the scale before the ZERO, when it was zeroed.
  std::int64_t zeroed_from_counts = 0;
  bool zero_sent = false;  // a ZERO went to the controller (even if the run then ended otherwise)
  // Goes up on every change of phase or outcome: the windows redraw on a
  // change only.
  std::uint32_t changes = 0;
};

class Referencing {
 public:
  Referencing(modKVT_USB& tables, CommandLatches& latches) : tables_(tables), latches_(latches) {}

  // One state per axis of the allocated tables.
  void Allocate();

  // Starts a run; false (and nothing changes) when the axis already runs,
  // does not exist, or the plan is out of its ranges. Nothing goes out
  // before the next reply has been checked.
  bool Start(AxisIndex axis, const Plan& plan);
  bool Running(AxisIndex axis) const;
  bool AnyRunning() const;
  const RunState& State(AxisIndex axis) const { return axes_.at(static_cast<std::size_t>(axis)).state; }

  // Before the axis's packet is built: during the seek the packet carries
  // the plan's speed instead of the Speed slider's.
  void ApplySpeed(AxisIndex axis, usb::TuningValues& tuning) const;
  // After the axis's exchange (once the latches heard the packet went): the
  // reply, or nullptr when the exchange gave none.
  void OnReply(AxisIndex axis, const usb::StatusReading* reply);

  // STOP or Esc (already pressed by the operator), or the operator's own
  // command on the axis: the run ends at once and lets go of every bit it
  // holds. kStopped, kEscape and kInterrupted only.
  void End(AxisIndex axis, Outcome why);

 private:
  struct Axis {
    RunState state;
    std::int32_t direction = -1;  // -1 toward the lower switch, +1 toward the upper
    std::uint8_t sought_flag = 0;
    std::uint8_t other_flag = 0;
    bool other_was_clear = false;  // the other switch has been seen released since the start
    bool holds_stop = false;
    bool holds_rel = false;
    bool speed_mode = false;       // the run's speed mode is on
    std::int32_t run_speed = 0;    // signed, Speed slider units
    std::uint32_t phase_replies = 0;
    std::int64_t watch_position = 0;  // progress watchdog
    std::uint32_t watch_replies = 0;
    std::int64_t run_start = 0;      // where the release run started
    std::int64_t back_off_start = 0;
    std::int32_t back_off_along = 1;  // the Rel's direction
    std::int64_t back_off_length = 0;
    std::int64_t back_off_end = 0;  // the ideal position the Rel ends at
    double saved_target = 0;
  };

  Axis& At(AxisIndex axis) { return axes_.at(static_cast<std::size_t>(axis)); }
  void Enter(Axis& a, Phase phase);
  void Finish(AxisIndex axis, Axis& a, Outcome outcome);
  void Fail(AxisIndex axis, Axis& a, Outcome outcome, bool stop_pulse);
  void LetGo(AxisIndex axis, Axis& a);
  void HoldStop(AxisIndex axis, Axis& a);
  void StartBackOff(AxisIndex axis, Axis& a, const usb::StatusReading& reply);
  void Zero(AxisIndex axis, Axis& a);
  bool Watchdog(Axis& a, std::int64_t position, std::int32_t toward);

  void OnArming(AxisIndex axis, Axis& a, const usb::StatusReading& reply);
  void OnHolding(AxisIndex axis, Axis& a, const usb::StatusReading& reply);
  void OnSeeking(AxisIndex axis, Axis& a, const usb::StatusReading& reply);
  void OnReleasing(AxisIndex axis, Axis& a, const usb::StatusReading& reply);
  void StartRun(AxisIndex axis, Axis& a, const usb::StatusReading& reply, std::int32_t speed, Phase phase);
  void OnBackingOff(AxisIndex axis, Axis& a, const usb::StatusReading& reply);
  void OnZeroing(AxisIndex axis, Axis& a, const usb::StatusReading& reply);

  modKVT_USB& tables_;
  CommandLatches& latches_;
  std::vector<Axis> axes_;
};

// How the axis's positions are shown, for the texts below.
struct AxisWords {
  std::string_view axis_label;  // "X"
  double counts_per_micron = 1;
  std::string_view unit_suffix = " En";
};

// The question before a run: the axis, the switch, the speed, the back-off.
std::string Question(const Plan& plan, const AxisWords& words);
// One line for the operator: what the run is doing, or how it ended and what
// to check. Built on a change only, never on every tick.
std::string Describe(const RunState& state, const AxisWords& words);

}  // namespace stage::referencing

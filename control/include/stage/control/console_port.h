// What the control API sees of the console: its axes, their state as the
// latest replies left it, and the commands a client may give. The console's
// main window implements it; the protocol tests implement it with a fake, so
// that the protocol is tested without Qt or controllers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "stage/axis/travel_limits.h"
#include "stage/usb/packet_codec.h"

namespace stage::control {

// An axis as list_axes names it. Texts are UTF-8.
struct AxisInfo {
  std::string name;    // the four-character name, trailing blanks removed
  std::string serial;  // the controller's product (serial-number) string
  std::string port;    // where it is plugged in; empty when unknown
  double counts_per_unit = 1;  // encoder counts per native unit
  bool counts_are_units = true;  // the axis works in counts ("En"), else in µm
  TravelLimits limits;
};

// An axis as the latest reply showed it.
struct AxisState {
  bool valid = false;  // false until the first reply
  std::int32_t position = 0;
  std::int32_t ideal_position = 0;
  std::uint8_t flags = 0;
  // A command of the axis has not gone out in a packet yet.
  bool command_waiting = false;
  // Where the move in force ends, in counts; none when no move is in force.
  std::optional<double> target_counts;
  // Counts every STOP of the axis (any source, Esc, cancel-on-error), so that
  // a waiting client can tell a stopped move from a settled one.
  std::uint64_t stops = 0;

  bool operator==(const AxisState&) const = default;
};

// What became of a move or zero asked for.
enum class CommandOutcome : std::uint8_t {
  kAccepted,
  kBeyondLimit,  // a travel limit refuses it; message is the limit's line
  kOutOfRange,   // the controller cannot carry the target; message says so
  kNotNow,       // a command of the axis has not gone out yet: ask after the next tick
  kEnding,       // the console is ending
};

struct CommandResult {
  CommandOutcome outcome = CommandOutcome::kAccepted;
  std::string message;
  double target_counts = 0;  // kAccepted moves: where the move ends
};

class ConsolePort {
 public:
  virtual ~ConsolePort() = default;

  // Axes 0..AxisCount()-1; 0 before the console runs.
  virtual int AxisCount() const = 0;
  virtual AxisInfo Axis(int axis) const = 0;
  virtual AxisState State(int axis) const = 0;

  // What the operator's GO (kAbsolute) or Rel (kRelative) does with the
  // value typed into the axis's target box, in counts.
  virtual CommandResult Move(int axis, MoveKind kind, double value_counts) = 0;
  virtual void Stop(int axis) = 0;
  virtual void StopAll() = 0;
  virtual CommandResult Zero(int axis) = 0;
  virtual usb::TuningValues Tuning(int axis) const = 0;
  // The values are within the sliders' ranges (checked by the caller).
  virtual void SetTuning(int axis, const usb::TuningValues& values) = 0;

  // Seconds on a steady clock.
  virtual double Now() const = 0;
};

}  // namespace stage::control

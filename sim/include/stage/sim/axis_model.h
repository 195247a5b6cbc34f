// What a simulated controller does with the packets it receives: the
// controller's own behaviour, behind a small interface so that models can be
// swapped (a simple mover, a servo with PID and inertia).
#pragma once

#include "stage/sim/sim_clock.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {

class AxisModel {
 public:
  virtual ~AxisModel() = default;
  // A command packet arrives at time `now`.
  virtual void OnCommand(const usb::Packet& command, Nanoseconds now) = 0;
  // The status packet the controller answers with at time `now`.
  virtual usb::Packet Status(Nanoseconds now) = 0;
};

// Moves the position toward the commanded target at a speed taken from Max
// Speed; busy while moving; ZERO makes the current position 0.
class SimpleAxisModel final : public AxisModel {
 public:
  void OnCommand(const usb::Packet& command, Nanoseconds now) override;
  usb::Packet Status(Nanoseconds now) override;

 private:
  void AdvanceTo(Nanoseconds now);

  double position_counts_ = 0;
  double target_counts_ = 0;
  double counts_per_second_ = 0;
  bool moving_ = false;
  Nanoseconds last_{0};
  bool started_ = false;
};

}  // namespace stage::sim

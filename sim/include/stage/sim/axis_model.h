// What a simulated controller does with the packets it receives: the
// controller's own behaviour, behind a small interface so that models can be
// swapped (a simple mover, a servo with PID and inertia).
#pragma once

#include <cstdint>

#include "stage/sim/sim_clock.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {

// A model sees only packets and times. Times never go backwards; a model
// catches up on the time that passed since its last call, however long.
class AxisModel {
 public:
  virtual ~AxisModel() = default;
  // A command packet arrives at time `now`. The bytes are raw: a model
  // decides itself what to do with a packet that does not decode.
  virtual void OnCommand(const usb::Packet& command, Nanoseconds now) = 0;
  // The status packet the controller answers with at time `now`.
  virtual usb::Packet Status(Nanoseconds now) = 0;
};

// Moves the position straight toward the target at a constant speed taken
// from Max Speed: no acceleration, no overshoot, ideal position = position.
//
//  - Max Speed (frame 144, byte 0) v gives v * kCountsPerSecondPerMaxSpeed
//    counts per second: the default 80 is 320000 counts/s, 2.5 mm/s at 128
//    counts per micron, so a 3 mm move takes 1.2 s. Max Speed 0 never
//    arrives (busy until STOP). Before the first frame-144 packet the speed
//    is that of Max Speed 80.
//  - ACTIVE (8) is the servo: without it nothing moves, and clearing it
//    stops a move where it is.
//  - GO (1) is a level: while it is set with ACTIVE, every packet's target
//    (bytes 8 to 11) becomes the target.
//  - REL (64) is an edge: the packet on which the bit goes from 0 to 1 (with
//    ACTIVE) moves by the distance in bytes 8 to 11 from the current
//    position; holding REL does not repeat the move.
//  - STOP (2) stops where the axis is, and beats GO and REL in the same
//    packet.
//  - ZERO (4) makes the position 0 and stops (target 0), with or without
//    ACTIVE; it is handled before the other bits of the packet.
//  - Targets are limited to the encodable range of counts.
//  - SPEED MODE, POSITION MODE and the toggle bit are not modelled.
//
// Flags: busy (16) and max speed (8) while moving; reverse (4) and active
// high (32) mirror the "Reverse Motor Polarity" and "Limit Sw Active on HI"
// bits of the latest configuration byte. A packet that does not decode (byte
// 7 marks no frame, or byte 11 is 128 or more) changes nothing and raises
// the error flag (64) until the next packet that decodes.
class SimpleAxisModel final : public AxisModel {
 public:
  static constexpr std::int64_t kCountsPerSecondPerMaxSpeed = 4000;

  void OnCommand(const usb::Packet& command, Nanoseconds now) override;
  usb::Packet Status(Nanoseconds now) override;

 private:
  void AdvanceTo(Nanoseconds now);

  // Positions are held in billionths of a count: a move then covers exactly
  // counts-per-second x nanoseconds in integer arithmetic and lands exactly
  // on its target, however the time is sliced.
  std::int64_t position_nanocounts_ = 0;
  std::int64_t target_nanocounts_ = 0;
  std::uint8_t max_speed_ = usb::TuningValues{}.max_speed;
  std::uint8_t config_bits_ = 0;
  bool active_ = false;
  bool rel_was_set_ = false;
  bool bad_packet_ = false;
  bool started_ = false;
  Nanoseconds last_{0};
};

}  // namespace stage::sim

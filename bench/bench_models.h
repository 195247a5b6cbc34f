// Scripted controllers for the benchmarks: replies at rest, moving back and
// forth, or with every flag flickering, whatever the console commands. Plain
// C++, so that the timestamping device library can use them too.
#pragma once

#include <cstdint>
#include <memory>

#include "stage/sim/axis_model.h"
#include "stage/sim/simulated_controllers.h"
#include "stage/usb/packet_codec.h"

namespace stage::bench {

using sim::Nanoseconds;

// Answers every read with the same status: nothing on screen changes.
class RestingModel final : public sim::AxisModel {
 public:
  void OnCommand(const usb::Packet& /*command*/, Nanoseconds /*now*/) override {}
  usb::Packet Status(Nanoseconds /*now*/) override { return usb::EncodeStatus({1000, 1000, 0}); }
};

// A new position and ideal position on every read, as during a move (busy
// lit), back and forth over 20000 reads; with `flicker`, also every flag that
// has a lamp or an indicator switching on and off on every read.
class MovingModel final : public sim::AxisModel {
 public:
  explicit MovingModel(bool flicker) : flicker_(flicker) {}
  void OnCommand(const usb::Packet& /*command*/, Nanoseconds /*now*/) override {}
  usb::Packet Status(Nanoseconds /*now*/) override {
    ++reads_;
    std::uint8_t flags = usb::kFlagBusy;
    if (flicker_) flags = static_cast<std::uint8_t>((reads_ % 2 == 0) ? 0x3F : 0x00);
    const std::int32_t phase = reads_ % 40000;
    const std::int32_t step = phase < 20000 ? phase : 40000 - phase;
    return usb::EncodeStatus({1000 + 7 * step, 1000 + 5 * step, flags});
  }

 private:
  bool flicker_;
  std::int32_t reads_ = 0;
};

// kOneMoving: controller 0 moves, the others rest.
enum class Replies { kResting, kMoving, kFlickering, kOneMoving };

inline std::unique_ptr<sim::AxisModel> MakeModel(Replies replies, std::uint32_t device) {
  if (replies == Replies::kResting || (replies == Replies::kOneMoving && device != 0)) {
    return std::make_unique<RestingModel>();
  }
  return std::make_unique<MovingModel>(replies == Replies::kFlickering);
}

// `axes` simulated controllers that answer as `replies` says and keep no
// history (a long run must not grow).
inline sim::SimulatorConfig ScriptedControllers(int axes, Replies replies) {
  sim::SimulatorConfig config;
  config.controller_count = static_cast<std::uint32_t>(axes);
  config.record_history = false;
  config.model_factory = [replies](std::uint32_t device) { return MakeModel(replies, device); };
  return config;
}

}  // namespace stage::bench

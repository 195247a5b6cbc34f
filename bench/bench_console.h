// What the benchmarks share: controllers that answer at rest, moving, or with
// every flag flickering, and the main window opened on N of them as the
// opening step leaves it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "stage/axis/mechanics.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/sim/axis_model.h"
#include "stage/sim/sim_clock.h"
#include "stage/sim/simulated_controllers.h"
#include "ui/common/console_context.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"

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

enum class Replies { kResting, kMoving, kFlickering };

// The main window on `axes` simulated controllers, opened, shown, and with
// Timer1 still running.
struct BenchConsole {
  BenchConsole(int axes, Replies replies, std::shared_ptr<sim::SimClock> clock)
      : devices(Config(axes, replies), std::move(clock)) {
    tables.DeviceCount = static_cast<std::uint32_t>(axes);
    tables.AxisCount = static_cast<AxisIndex>(axes - 1);
    tables.AllocateAxisTables(tables.AxisCount);
    devices.SetTimeouts(10000, 10000);
    for (int i = 0; i < axes; ++i) {
      const auto k = static_cast<std::size_t>(i);
      tables.AxisName[k] = std::string(1, static_cast<char>('A' + i)) + "   ";
      tables.CountsPerMicron[k] = ComputeCountsPerMicron(256, 250, 500);
      if (devices.Open(static_cast<std::uint32_t>(i), tables.DeviceHandle[k]) != 0) {
        std::fprintf(stderr, "bench: cannot open simulated controller %d\n", i);
        std::exit(1);
      }
    }
    main = std::make_unique<ui::frmMain>(ui::ConsoleContext{tables, devices, exit});
    main->show();
  }

  static sim::SimulatorConfig Config(int axes, Replies replies) {
    sim::SimulatorConfig config;
    config.controller_count = static_cast<std::uint32_t>(axes);
    config.record_history = false;  // a long run keeps no history
    config.model_factory = [replies](std::uint32_t) -> std::unique_ptr<sim::AxisModel> {
      if (replies == Replies::kResting) return std::make_unique<RestingModel>();
      return std::make_unique<MovingModel>(replies == Replies::kFlickering);
    };
    return config;
  }

  // Ends the benchmark if the console has shown a fatal message.
  void CheckRunning(const char* program) const {
    if (exit.FatalMessages().isEmpty()) return;
    std::fprintf(stderr, "%s: the console ended: %s\n", program, qPrintable(exit.FatalMessages().front()));
    std::exit(1);
  }

  modKVT_USB tables;
  sim::SimulatedControllers devices;
  ui::RecordingExit exit;
  std::unique_ptr<ui::frmMain> main;
};

}  // namespace stage::bench

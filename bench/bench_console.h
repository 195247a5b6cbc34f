// What the benchmarks share: controllers that answer at rest, moving, or with
// every flag flickering, and the main window opened on N of them as the
// opening step leaves it.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "stage/axis/mechanics.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/sim/axis_model.h"
#include "stage/sim/sim_clock.h"
#include "stage/sim/simulated_controllers.h"
#include "ui/common/console_context.h"
#include "ui/common/offscreen_screen.h"
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

// Unless QT_QPA_PLATFORM names another platform: offscreen, on a screen that
// holds both windows at their designed size. Made before the QApplication.
inline std::unique_ptr<ui::OffscreenScreen> LargeOffscreenScreen() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (!platform.isEmpty() && platform != "offscreen") return nullptr;
  return std::make_unique<ui::OffscreenScreen>(ui::kLargeScreenPx, ui::kLargeScreenPx);
}

// Forwards every call to `inner` and keeps the time of each write to the
// first controller: one per tick, so their differences are the tick periods.
// Room is reserved up front; writes beyond it are not timed.
class TimestampingDevices final : public usb::DeviceLibrary {
 public:
  TimestampingDevices(usb::DeviceLibrary& inner, std::size_t capacity) : inner_(inner) { writes_.reserve(capacity); }

  int GetNumDevices(std::uint32_t& count) override { return inner_.GetNumDevices(count); }
  int GetProductString(std::uint32_t device, std::span<std::uint8_t, usb::kProductStringBufferSize> buffer,
                       std::uint32_t option) override {
    return inner_.GetProductString(device, buffer, option);
  }
  int SetTimeouts(std::uint32_t read_ms, std::uint32_t write_ms) override { return inner_.SetTimeouts(read_ms, write_ms); }
  int Open(std::uint32_t device, usb::Handle& handle) override {
    const int status = inner_.Open(device, handle);
    if (device == 0) first_ = handle;
    return status;
  }
  int Close(usb::Handle handle) override { return inner_.Close(handle); }
  int Write(usb::Handle handle, const std::uint8_t* buffer, std::uint32_t to_write, std::uint32_t& written) override {
    if (handle == first_ && writes_.size() < writes_.capacity()) writes_.push_back(std::chrono::steady_clock::now());
    return inner_.Write(handle, buffer, to_write, written);
  }
  int Read(usb::Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read) override {
    return inner_.Read(handle, buffer, to_read, read);
  }

  const std::vector<std::chrono::steady_clock::time_point>& Writes() const { return writes_; }

 private:
  usb::DeviceLibrary& inner_;
  usb::Handle first_ = 0;
  std::vector<std::chrono::steady_clock::time_point> writes_;
};

// The main window on `axes` simulated controllers, opened, shown, and with
// Timer1 still running.
struct BenchConsole {
  // `timed_ticks`: how many tick starts TimestampingDevices keeps.
  BenchConsole(int axes, Replies replies, std::shared_ptr<sim::SimClock> clock, std::size_t timed_ticks = 0)
      : devices(Config(axes, replies), std::move(clock)), timed(devices, timed_ticks) {
    tables.DeviceCount = axes;
    tables.AxisCount = static_cast<AxisIndex>(axes - 1);
    tables.AllocateAxisTables(tables.AxisCount);
    timed.SetTimeouts(10000, 10000);
    for (int i = 0; i < axes; ++i) {
      const auto k = static_cast<std::size_t>(i);
      tables.AxisName[k] = std::string(1, static_cast<char>('A' + i)) + "   ";
      tables.CountsPerMicron[k] = ComputeCountsPerMicron(256, 250, 500);
      if (timed.Open(static_cast<std::uint32_t>(i), tables.DeviceHandle[k]) != 0) {
        std::fprintf(stderr, "bench: cannot open simulated controller %d\n", i);
        std::exit(1);
      }
    }
    main = std::make_unique<ui::frmMain>(ui::ConsoleContext{tables, timed, exit});
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
  TimestampingDevices timed;
  ui::RecordingExit exit;
  std::unique_ptr<ui::frmMain> main;
};

}  // namespace stage::bench

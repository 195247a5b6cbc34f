// What the benchmarks share: the main window opened on N controllers (see
// bench_models.h) as the opening step leaves it.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_models.h"
#include "stage/axis/mechanics.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/sim/sim_clock.h"
#include "stage/sim/simulated_controllers.h"
#include "ui/common/console_context.h"
#include "ui/common/offscreen_screen.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"

namespace stage::bench {

// Unless QT_QPA_PLATFORM names another platform: offscreen, on a screen that
// holds both windows at their designed size. Made before the QApplication.
inline std::unique_ptr<ui::OffscreenScreen> LargeOffscreenScreen() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (!platform.isEmpty() && platform != "offscreen") return nullptr;
  return std::make_unique<ui::OffscreenScreen>(ui::kLargeScreenPx, ui::kLargeScreenPx);
}

// Forwards every call to `inner` and keeps the time of each write to the
// first controller: one per tick, so their differences are the tick periods.
// Room is made up front and touched, so that the log is resident from the
// start and a long run's resident size shows the console's growth, not the
// log's (8 bytes a tick, 47 kB a minute); writes beyond it are not timed.
class TimestampingDevices final : public usb::DeviceLibrary {
 public:
  TimestampingDevices(usb::DeviceLibrary& inner, std::size_t capacity) : inner_(inner) {
    writes_.resize(capacity);
    writes_.clear();
  }

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

// The main window on `axes` controllers, opened, shown, and with Timer1 still
// running: simulated in this process, or those of another backend (a device
// library loaded from a file).
struct BenchConsole {
  // `timed_ticks`: how many tick starts TimestampingDevices keeps.
  BenchConsole(int axes, Replies replies, std::shared_ptr<sim::SimClock> clock, std::size_t timed_ticks = 0)
      : simulated(std::make_unique<sim::SimulatedControllers>(ScriptedControllers(axes, replies), std::move(clock))),
        timed(*simulated, timed_ticks) {
    Open(axes);
  }
  // `remote`: the control API the main window serves after each tick.
  BenchConsole(int axes, usb::DeviceLibrary& backend, std::size_t timed_ticks = 0,
               ui::RemoteHooks* remote_hooks = nullptr)
      : timed(backend, timed_ticks), remote(remote_hooks) {
    Open(axes);
  }
  BenchConsole(const BenchConsole&) = delete;
  BenchConsole& operator=(const BenchConsole&) = delete;
  ~BenchConsole() = default;  // the main window, destroyed first, closes the controllers

  void Open(int axes) {
    tables.DeviceCount = axes;
    tables.AxisCount = static_cast<AxisIndex>(axes - 1);
    tables.AllocateAxisTables(tables.AxisCount);
    timed.SetTimeouts(10000, 10000);
    for (int i = 0; i < axes; ++i) {
      const auto k = static_cast<std::size_t>(i);
      tables.AxisName[k] = std::string(1, static_cast<char>('A' + i)) + "   ";
      tables.CountsPerMicron[k] = ComputeCountsPerMicron(256, 250, 500);
      if (timed.Open(static_cast<std::uint32_t>(i), tables.DeviceHandle[k]) != 0) {
        std::fprintf(stderr, "bench: cannot open controller %d\n", i);
        std::exit(1);
      }
    }
    main = std::make_unique<ui::frmMain>(ui::ConsoleContext{tables, timed, exit, nullptr, nullptr, nullptr, remote});
    main->show();
  }

  // Ends the benchmark if the console has shown a fatal message.
  void CheckRunning(const char* program) const {
    if (exit.FatalMessages().isEmpty()) return;
    std::fprintf(stderr, "%s: the console ended: %s\n", program, qPrintable(exit.FatalMessages().front()));
    std::exit(1);
  }

  modKVT_USB tables;
  std::unique_ptr<sim::SimulatedControllers> simulated;  // empty on another backend
  TimestampingDevices timed;
  ui::RemoteHooks* remote = nullptr;
  ui::RecordingExit exit;
  std::unique_ptr<ui::frmMain> main;
};

}  // namespace stage::bench

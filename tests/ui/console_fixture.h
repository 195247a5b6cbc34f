// A console as the opening step leaves it for the main window: fresh axis
// tables for N axes with names, factors and handles, a device library that
// records closes, and an exit seam that records the end.
#pragma once

#include <QTest>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/usb/device_library.h"
#include "ui/common/console_context.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"
#include "ui/tuning/frmXCtrl0.h"

namespace stage::ui::testing {

// Only Close is expected from the windows built so far; the rest fails loudly.
class RecordingDevices final : public usb::DeviceLibrary {
 public:
  int GetNumDevices(std::uint32_t& count) override {
    count = 0;
    return usb::SI_DEVICE_IO_FAILED;
  }
  int GetProductString(std::uint32_t, std::span<std::uint8_t, usb::kProductStringBufferSize>,
                       std::uint32_t) override {
    return usb::SI_DEVICE_IO_FAILED;
  }
  int SetTimeouts(std::uint32_t, std::uint32_t) override { return usb::SI_DEVICE_IO_FAILED; }
  int Open(std::uint32_t, usb::Handle& handle) override {
    handle = 0;
    return usb::SI_DEVICE_IO_FAILED;
  }
  int Close(usb::Handle handle) override {
    closed.push_back(handle);
    return close_status;
  }
  int Write(usb::Handle, const std::uint8_t*, std::uint32_t, std::uint32_t& written) override {
    written = 0;
    ++transfers;
    return usb::SI_WRITE_ERROR;
  }
  int Read(usb::Handle, std::uint8_t*, std::uint32_t, std::uint32_t& read) override {
    read = 0;
    ++transfers;
    return usb::SI_READ_ERROR;
  }

  std::vector<usb::Handle> closed;
  int close_status = usb::SI_SUCCESS;
  int transfers = 0;
};

struct AxisSetup {
  std::string name;  // exactly 4 characters, as the start-up window stores it
  double counts_per_micron = 1;
};

// Axes named "A   ", "B   ", ... with 85.3333333333333 counts per micron.
inline std::vector<AxisSetup> LetteredAxes(int count) {
  std::vector<AxisSetup> axes;
  axes.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    axes.push_back({std::string(1, static_cast<char>('A' + i % 26)) + "   ", 85.3333333333333});
  }
  return axes;
}

// Handles deliberately neither 0-based nor consecutive.
inline usb::Handle HandleOf(AxisIndex axis) { return 0x5000 + 7 * static_cast<usb::Handle>(axis); }

class Console {
 public:
  explicit Console(const std::vector<AxisSetup>& axes) {
    const auto axis_count = static_cast<AxisIndex>(axes.size()) - 1;
    tables.DeviceCount = static_cast<std::int32_t>(axes.size());
    tables.AxisCount = axis_count;
    tables.AllocateAxisTables(axis_count);
    for (std::size_t i = 0; i < axes.size(); ++i) {
      tables.AxisName[i] = axes[i].name;
      tables.CountsPerMicron[i] = axes[i].counts_per_micron;
      tables.DeviceHandle[i] = HandleOf(static_cast<AxisIndex>(i));
    }
    main = std::make_unique<frmMain>(ConsoleContext{tables, devices, exit});
  }
  explicit Console(int axis_count) : Console(LetteredAxes(axis_count)) {}

  // What the opening step does: show the main window (its first showing
  // builds it), then the test waits until it is on screen. The polling timer
  // is stopped before any tick: these devices answer no transfer, and the
  // tests that poll call the tick themselves.
  frmMain& ShowMain() {
    main->show();
    polling_started = main->Timer1().isActive();
    main->Timer1().stop();
    if (!QTest::qWaitForWindowExposed(main.get())) qWarning("main window not exposed");
    return *main;
  }
  frmXCtrl0& Panel() { return main->TuningPanel(); }

  modKVT_USB tables;
  RecordingDevices devices;
  RecordingExit exit;
  std::unique_ptr<frmMain> main;
  bool polling_started = false;  // Timer1 was running when the first showing returned
};

}  // namespace stage::ui::testing

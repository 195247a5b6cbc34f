// The start-up window on N simulated controllers running on the real clock,
// shown, with the program's own main window behind OK and an exit that
// records. The polling timer of a main window that OK opened is stopped when
// the fixture goes.
#pragma once

#include <QTest>
#include <cstdint>

#include "stage/axis/modKVT_USB.h"
#include "stage/sim/simulated_controllers.h"
#include "ui/common/console_context.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"
#include "ui/select/frmSelect.h"

namespace stage::ui::testing {

inline sim::SimulatorConfig SimulatedControllerCount(std::uint32_t count) {
  sim::SimulatorConfig config;
  config.controller_count = count;
  return config;
}

struct StartUpWindow {
  explicit StartUpWindow(std::uint32_t controllers)
      : devices(SimulatedControllerCount(controllers)), window(ConsoleContext{tables, devices, exit}) {
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) qWarning("start-up window not exposed");
  }
  ~StartUpWindow() {
    if (frmMain* main = Main()) main->Timer1().stop();
  }
  StartUpWindow(const StartUpWindow&) = delete;
  StartUpWindow& operator=(const StartUpWindow&) = delete;

  frmMain* Main() const { return qobject_cast<frmMain*>(window.MainWindow()); }

  modKVT_USB tables;
  sim::SimulatedControllers devices;
  RecordingExit exit;
  frmSelect window;
};

}  // namespace stage::ui::testing

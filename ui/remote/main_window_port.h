// The console as the control API sees it: the main window's axis tables,
// replies and commands. Until the main window is built (the start-up window
// is still up) there are no axes.
#pragma once

#include <functional>

#include "stage/axis/modKVT_USB.h"
#include "stage/control/console_port.h"

namespace stage::ui {

class frmMain;

class MainWindowPort final : public control::ConsolePort {
 public:
  // `main_window` gives the main window once it exists (else nullptr).
  MainWindowPort(const modKVT_USB& tables, std::function<frmMain*()> main_window)
      : tables_(tables), main_window_(std::move(main_window)) {}

  int AxisCount() const override;
  control::AxisInfo Axis(int axis) const override;
  control::AxisState State(int axis) const override;
  control::CommandResult Move(int axis, MoveKind kind, double value_counts) override;
  void Stop(int axis) override;
  void StopAll() override;
  control::CommandResult Zero(int axis) override;
  usb::TuningValues Tuning(int axis) const override;
  void SetTuning(int axis, const usb::TuningValues& values) override;
  double Now() const override;

 private:
  frmMain* Main() const;

  const modKVT_USB& tables_;
  std::function<frmMain*()> main_window_;
};

}  // namespace stage::ui

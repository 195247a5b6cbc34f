// A console started the way an operator starts it, on simulated controllers
// that run on a manual clock: the start-up window with its fields and check
// boxes, OK clicked with the mouse, then the main window and the tuning panel
// as OK leaves them. Timer1 is stopped straight after OK, before any tick: a
// test runs the polling cycle itself, one Tick() per 10 ms of the clock.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/sim/axis_model.h"
#include "stage/sim/sim_clock.h"
#include "stage/sim/simulated_controllers.h"
#include "stage/usb/packet_codec.h"
#include "ui/common/command_button.h"
#include "ui/common/console_context.h"
#include "ui/common/control_family.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"
#include "ui/select/frmSelect.h"
#include "ui/tuning/frmXCtrl0.h"

namespace stage::ui::testing {

using Call = sim::CallRecord::Call;
using Packet = usb::Packet;

inline constexpr std::chrono::milliseconds kTickPeriod{10};

// What the operator sets on the start-up window before OK.
struct StartUp {
  std::uint32_t axes = 3;
  // Check boxes ticked, as (family, axis): {"Check4", 0} is "Cancel When
  // Error" of axis 0.
  std::vector<std::pair<const char*, int>> ticked{};
  // Mechanics typed per axis (counts per rotation, gearhead ratio, pitch);
  // axes without an entry keep the defaults, 128 counts per micron.
  struct Mechanics {
    int axis = 0;
    const char* counts_per_rotation = "256";
    const char* gearhead_ratio = "250";
    const char* pitch_um = "500";
  };
  std::vector<Mechanics> mechanics{};
  std::vector<sim::TransferFault> faults{};
  // The simple constant-speed mover answers predictably (no following
  // error, no watchdog); false leaves the simulator's default model.
  bool simple_model = true;
  // Sees every exchange of the polling cycle (the Scope's recorder).
  poll::ExchangeObserver* observer = nullptr;
  // The controllers' profiles (none: as with --no-profile).
  ProfileSession* profiles = nullptr;
  // The event log and the control API (none: as with --no-control).
  control::EventLog* events = nullptr;
  RemoteHooks* remote = nullptr;
};

// The exit seam as the program's: Ended() before the message box. While the
// box is "up", while_box_is_up runs, as the box's own event loop would run
// timer ticks.
class BoxedExit final : public ProgramExit {
 public:
  void Fatal(QWidget* parent, const QString& message) override {
    ended_ = true;
    if (while_box_is_up) while_box_is_up();
    recording.Fatal(parent, message);
  }
  void End(int status) override {
    ended_ = true;
    recording.End(status);
  }
  bool Ended() const override { return ended_; }

  RecordingExit recording;
  std::function<void()> while_box_is_up;

 private:
  bool ended_ = false;
};

class LiveConsole {
 public:
  explicit LiveConsole(const StartUp& start_up = {}) : clock(std::make_shared<sim::ManualClock>()) {
    sim::SimulatorConfig config;
    config.controller_count = start_up.axes;
    config.transfer_faults = start_up.faults;
    if (start_up.simple_model) {
      config.model_factory = [](std::uint32_t) { return std::make_unique<sim::SimpleAxisModel>(); };
    }
    devices = std::make_unique<sim::SimulatedControllers>(std::move(config), clock);

    select = std::make_unique<frmSelect>(ConsoleContext{tables, *devices, exit, start_up.observer, start_up.profiles,
                                                        start_up.events, start_up.remote});
    select->show();
    if (!QTest::qWaitForWindowActive(select.get())) qWarning("start-up window not active");
    for (const StartUp::Mechanics& m : start_up.mechanics) {
      Type(SelectField("Text2", m.axis), QString::fromLatin1(m.counts_per_rotation));
      Type(SelectField("Text3", m.axis), QString::fromLatin1(m.gearhead_ratio));
      Type(SelectField("Text4", m.axis), QString::fromLatin1(m.pitch_um));
    }
    for (const auto& [family, axis] : start_up.ticked) {
      auto* box = FindElement<QCheckBox>(select.get(), QString::fromLatin1(family), axis);
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }

    QTest::mouseClick(select->findChild<CommandButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
    main = dynamic_cast<frmMain*>(select->MainWindow());
    if (main == nullptr) qFatal("OK did not open the main window");
    polling_started = main->Timer1().isActive();
    main->Timer1().stop();
    if (!QTest::qWaitForWindowExposed(main)) qWarning("main window not exposed");
  }

  frmMain& Main() { return *main; }
  frmXCtrl0& Panel() { return main->TuningPanel(); }

  // One polling cycle, then the clock moves on by one timer period.
  void Tick(int ticks = 1) {
    for (int t = 0; t < ticks; ++t) {
      main->Tick();
      clock->Advance(kTickPeriod);
    }
  }

  const std::vector<Packet>& Sent(std::uint32_t device) const { return devices->CommandsReceived(device); }
  Packet LastSent(std::uint32_t device) const { return Sent(device).back(); }
  std::uint8_t LastControlByte(std::uint32_t device) const { return LastSent(device)[3]; }

  std::vector<std::uint32_t> DevicesOf(Call call) const {
    std::vector<std::uint32_t> devices_called;
    for (const sim::CallRecord& record : devices->Calls()) {
      if (record.call == call) devices_called.push_back(record.device);
    }
    return devices_called;
  }

  // Replaces a box's text the way an operator does: click, select all, type.
  static void Type(QLineEdit* box, const QString& text) {
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty()) {
      QTest::keyClick(box, Qt::Key_Backspace);
    } else {
      QTest::keyClicks(box, text);
    }
  }
  void TypeTarget(AxisIndex axis, const QString& text) { Type(main->Text2(axis), text); }

  // A click on the axis's Speed slider, as an operator sets the speed mode.
  void ClickSpeedSlider(AxisIndex axis) {
    TuningSlider* slider = Panel().Slider1(axis);
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() / 4, slider->height() / 2));
  }

  std::shared_ptr<sim::ManualClock> clock;
  std::unique_ptr<sim::SimulatedControllers> devices;
  modKVT_USB tables;
  BoxedExit exit;
  std::unique_ptr<frmSelect> select;
  frmMain* main = nullptr;  // owned by the start-up window
  bool polling_started = false;

 private:
  QLineEdit* SelectField(const char* family, int axis) const {
    return FindElement<QLineEdit>(select.get(), QString::fromLatin1(family), axis);
  }
};

// The text a read-out shows once it is on screen. The ideal-position boxes
// are hidden, and a hidden box gets the latest reply only when it is shown:
// this shows it, reads it and hides it again.
inline QString ShownText(QLineEdit* box) {
  const bool hidden = box->isHidden();
  box->show();
  QString text = box->text();
  if (hidden) box->hide();
  return text;
}

// A reply: position, flags, ideal position.
inline Packet Reply(std::int32_t position, std::uint8_t flags, std::int32_t ideal_position) {
  return usb::EncodeStatus({position, ideal_position, flags});
}

}  // namespace stage::ui::testing

// The polling cycle: Timer1 keeps the ticks on a fixed 10 ms grid, and every
// tick exchanges one packet pair with each controller in axis order and shows
// the reply on the axis's rows of both windows. Only what changed since the
// last reply is written to a control.
#include <QLabel>
#include <QLineEdit>
#include <chrono>
#include <span>
#include <thread>

#include "stage/axis/mechanics.h"
#include "stage/poll/poll_exchange.h"
#include "ui/common/accessible_names.h"
#include "ui/common/controller_names.h"
#include "ui/main/frmMain.h"
#include "ui/main/event_recorder.h"
#include "ui/main/referencing_runner.h"
#include "ui/tuning/frmXCtrl0.h"

namespace stage::ui {
namespace {

using poll::ExchangeResult;

// Ends every failure message: the program stops right after it.
constexpr const char* kAborting = "Application is aborting. Reset hardware and try again.";

// A non-negative number as the message shows it: behind a sign blank.
QString SignBlank(std::uint32_t value) { return QLatin1Char(' ') + QString::number(value); }

// A transfer failure as the designed message has it ("Error writing to USB.
// Wrote  0 of  12 bytes."); ControllerMessage names the controller.
QString TransferFailure(const char* opening, std::uint32_t count) {
  return QLatin1String(opening) + SignBlank(count) + QStringLiteral(" of ") + SignBlank(poll::kTransferLength) +
         QStringLiteral(" bytes.");
}

// A failure's own sentences, then the controller's, then the designed end.
QString ControllerMessage(const modKVT_USB& tables, AxisIndex axis, const QString& failure) {
  return failure + QLatin1Char(' ') + ControllerSentence(tables, axis) + QLatin1Char(' ') + QLatin1String(kAborting);
}

// Ticks never nest: the guard is down whatever way the cycle ends.
class CycleGuard {
 public:
  explicit CycleGuard(bool& running) : running_(running) { running_ = true; }
  ~CycleGuard() { running_ = false; }
  CycleGuard(const CycleGuard&) = delete;
  CycleGuard& operator=(const CycleGuard&) = delete;

 private:
  bool& running_;
};

using std::chrono::milliseconds;

}  // namespace

tick::DeadlineScheduler::TimePoint frmMain::PollNow() {
  return std::chrono::time_point_cast<tick::DeadlineScheduler::Duration>(std::chrono::steady_clock::now());
}

void frmMain::Timer1Fired() {
  // Inside a tick (a nested event loop) the running tick re-arms the timer
  // when it ends; once the program is ending nothing re-arms it.
  if (!constructed_ || ticking_ || context_.exit.Ended()) return;
  if (!schedule_.Due(PollNow())) {
    // Qt's timers count whole milliseconds: the timer is armed for the whole
    // milliseconds to the deadline, and the fraction left is slept here, so
    // that every tick starts on its deadline rather than up to a millisecond
    // either side of it.
    if (schedule_.TimeToDeadline(PollNow()) >= milliseconds(1)) {
      ArmTimer1();
      return;
    }
    std::this_thread::sleep_until(schedule_.NextDeadline());
    if (!schedule_.Due(PollNow())) {
      ArmTimer1();
      return;
    }
  }
  Tick();
  // What the tick recorded for the event log is written now, off the tick.
  recorder_->WriteOut();
  if (context_.exit.Ended()) return;
  schedule_.Finished(PollNow());
  ArmTimer1();
  // The control API's turn comes after the tick, never inside it.
  if (context_.remote != nullptr) context_.remote->AfterTick();
}

void frmMain::ArmTimer1() {
  const auto whole_ms = std::chrono::floor<milliseconds>(schedule_.TimeToDeadline(PollNow()));
  timer1_.start(static_cast<int>(whole_ms.count()));
}

void frmMain::Tick() {
  // A fatal message box runs its own event loop, and Timer1 keeps firing:
  // nothing may reach a controller once the program has been asked to end.
  if (!constructed_ || ticking_ || context_.exit.Ended()) return;
  const CycleGuard guard(ticking_);
  const AxisIndex last_axis = context_.tables.AxisCount;
  exchange_.Resize(static_cast<std::size_t>(last_axis) + 1);
  for (AxisIndex i = 0; i <= last_axis; ++i) {
    usb::TuningValues& tuning = exchange_.tuning[static_cast<std::size_t>(i)];
    tuning = SliderTuning(i);
    referencing_->ApplySpeed(i, tuning);
  }
  const std::span<const ExchangeResult> results = poll::ExchangeAllAxes(context_.tables, exchange_, context_.devices, context_.observer);
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (!ShowResult(static_cast<AxisIndex>(i), results[i])) return;
    referencing_->OnReply(static_cast<AxisIndex>(i), &results[i].reading);
  }
  referencing_->AfterTick();
}

QString frmMain::AxisLabel(AxisIndex axis) const { return ui::AxisLabel(context_.tables, axis); }

usb::TuningValues frmMain::SliderTuning(AxisIndex axis) const {
  const frmXCtrl0& panel = *panel_;
  // The slider ranges keep every tuning value within its byte.
  usb::TuningValues tuning;
  tuning.speed = panel.Slider1(axis)->value();
  tuning.p = static_cast<std::uint8_t>(panel.Slider3(axis)->value());
  tuning.i = static_cast<std::uint8_t>(panel.Slider4(axis)->value());
  tuning.d = static_cast<std::uint8_t>(panel.Slider5(axis)->value());
  tuning.max_speed = static_cast<std::uint8_t>(panel.Slider2(axis)->value());
  tuning.acc = static_cast<std::uint8_t>(panel.Slider6(axis)->value());
  tuning.f_error = static_cast<std::uint8_t>(panel.Slider8(axis)->value());
  tuning.torque = static_cast<std::uint8_t>(panel.Slider7(axis)->value());
  return tuning;
}

void frmMain::WriteIdealPosition(AxisIndex axis) {
  ShownStatus& shown = shown_[static_cast<std::size_t>(axis)];
  if (!shown.ideal_pending) return;
  shown.ideal_pending = false;
  text3_[axis]->setText(QString::fromStdString(FormatIdealPosition(shown.ideal_position)));
}

bool frmMain::ShowResult(AxisIndex axis, const ExchangeResult& result) {
  switch (result.outcome) {
    case ExchangeResult::Outcome::kOk:
      // That packet carried the axis's command bits: releases that waited
      // for it take effect before the reply can set anything again.
      latches_.PacketSent(axis);
      replies_[static_cast<std::size_t>(axis)] =
          AxisReply{true, result.reading.position, result.reading.ideal_position, result.reading.flags};
      ShowStatus(axis, result.reading.position, result.reading.ideal_position, result.reading.flags);
      return true;
    case ExchangeResult::Outcome::kWriteFailed:
      FatalFault(ControllerMessage(context_.tables, axis,
                                                  TransferFailure("Error writing to USB. Wrote ", result.count)));
      return false;
    case ExchangeResult::Outcome::kReadFailed:
      FatalFault(ControllerMessage(context_.tables, axis,
                                                  TransferFailure("Error reading from USB. Read ", result.count)));
      return false;
    case ExchangeResult::Outcome::kInvalidReply:
      // A position that no count can have: the controller is not talking
      // sense, and nothing it says can be shown.
      FatalFault(ControllerMessage(context_.tables, axis,
                                                  QStringLiteral("Invalid reply from USB device ") + AxisLabel(axis) +
                                                      QStringLiteral(": position out of range.")));
      return false;
    case ExchangeResult::Outcome::kNotEncodable:
      // Target entry refuses what cannot travel and the sliders keep their
      // values in range, so this means the tables were corrupted.
      FatalFault(ControllerMessage(context_.tables, axis,
                                                  QStringLiteral("Cannot send to USB device ") + AxisLabel(axis) +
                                                      QStringLiteral(": target or speed out of range.")));
      return false;
  }
  return false;
}

void frmMain::ShowStatus(AxisIndex axis, std::int32_t position, std::int32_t ideal_position,
                         std::uint8_t flags) {
  modKVT_USB& tables = context_.tables;
  const auto k = static_cast<std::size_t>(axis);
  ShownStatus& shown = shown_[k];

  if (!shown.position_valid || shown.position != position) {
    text1_[axis]->setText(
        QString::fromStdString(FormatPosition(position, tables.CountsPerMicron[k], tables.UnitSuffix[k])));
    // The sign and leading digits of a number wider than the box stay in view.
    text1_[axis]->setCursorPosition(0);
    shown.position = position;
    shown.position_valid = true;
  }
  if (!shown.ideal_valid || shown.ideal_position != ideal_position) {
    shown.ideal_position = ideal_position;
    shown.ideal_valid = true;
    shown.ideal_pending = true;
    // Laying out text for a box nobody sees cost as much as the position
    // read-out's: a hidden box is written when it is shown (eventFilter).
    if (!text3_[axis]->isHidden()) WriteIdealPosition(axis);
  }

  const bool error = (flags & usb::kFlagError) != 0;
  recorder_->SawFlags(axis, flags);
  // A fault or a limit switch ends the move in force: a Rel then counts from
  // the ideal position.
  if (error || (flags & (usb::kFlagLimit1 | usb::kFlagLimit2)) != 0) moves_[k].valid = false;
  const bool cancel_on_error = tables.CancelOnErrorBit[k] == usb::kCancelOnErrorBit;
  if (!shown.flags_valid || shown.flags != flags) {
    frmXCtrl0& panel = *panel_;
    panel.Shape3(axis)->SetFillColor((flags & usb::kFlagLimit1) != 0 ? red_ : green_);
    panel.Shape4(axis)->SetFillColor((flags & usb::kFlagLimit2) != 0 ? red_ : green_);
    const bool reverse = (flags & usb::kFlagReverse) != 0;
    panel.Command6(axis)->SetBackColor(reverse ? yellow_ : button_face_);
    panel.Command6(axis)->setAccessibleDescription(reverse ? indicator_on_ : indicator_off_);
    panel.Slider2(axis)->SetBorderStyle((flags & usb::kFlagMaxSpeed) != 0 ? TuningSlider::kBorderFixedSingle
                                                                           : TuningSlider::kBorderNone);
    const bool busy = (flags & usb::kFlagBusy) != 0;
    shape2_[axis]->SetFillColor(busy ? red_ : button_face_);
    label4_[axis]->setVisible(busy);
    const bool active_high = (flags & usb::kFlagActiveHigh) != 0;
    panel.Command3(axis)->SetBackColor(active_high ? yellow_ : button_face_);
    panel.Command3(axis)->setAccessibleDescription(active_high ? indicator_on_ : indicator_off_);
    if (error) {
      shape5_[axis]->SetFillColor(red_);
      label8_[axis]->setVisible(true);
    } else if (!cancel_on_error) {
      shape5_[axis]->SetFillColor(button_face_);
      label8_[axis]->setVisible(false);
    }
    // On a cancel-on-error axis the lit error lamp and caption stay until
    // STOP, which forgets these flags.
    shown.flags = flags;
    shown.flags_valid = true;
  }

  // Repeated on every reply that reports the error: releasing STOP clears
  // StopBit only until the next reply.
  if (error && cancel_on_error) {
    latches_.Press(axis, LevelCommand::kStop, CommandHolder::kNone);
    latches_.SpeedModeOff(axis);
    panel_->Slider1(axis)->setValue(0);
  }
}

}  // namespace stage::ui

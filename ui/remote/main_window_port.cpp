#include "ui/remote/main_window_port.h"

#include <QString>
#include <chrono>

#include "ui/main/frmMain.h"

namespace stage::ui {
namespace {

// The tables' texts are one byte per character (Latin-1); the API's are UTF-8.
std::string Utf8(const std::string& latin1) { return QString::fromLatin1(latin1).toStdString(); }

control::CommandResult Verdict(const frmMain::MoveVerdict& verdict) {
  using Refusal = frmMain::MoveVerdict::Refusal;
  control::CommandResult result;
  result.message = verdict.text.toStdString();
  result.target_counts = verdict.target_counts;
  switch (verdict.refusal) {
    case Refusal::kNone:
      result.outcome = control::CommandOutcome::kAccepted;
      break;
    case Refusal::kOutOfRange:
      result.outcome = control::CommandOutcome::kOutOfRange;
      break;
    case Refusal::kTravelLimit:
      result.outcome = control::CommandOutcome::kBeyondLimit;
      break;
    case Refusal::kCommandWaiting:
      result.outcome = control::CommandOutcome::kNotNow;
      break;
    case Refusal::kNotRunning:
      result.outcome = control::CommandOutcome::kEnding;
      break;
  }
  return result;
}

}  // namespace

frmMain* MainWindowPort::Main() const {
  frmMain* main = main_window_ ? main_window_() : nullptr;
  return main != nullptr && main->Constructed() ? main : nullptr;
}

int MainWindowPort::AxisCount() const {
  if (Main() == nullptr || !tables_.TablesAllocated()) return 0;
  return tables_.AxisCount + 1;
}

control::AxisInfo MainWindowPort::Axis(int axis) const {
  const auto k = static_cast<std::size_t>(axis);
  control::AxisInfo info;
  std::string name = tables_.AxisName.at(k);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  info.name = Utf8(name);
  info.serial = Utf8(tables_.ProductString.at(k));
  info.port = Utf8(tables_.DevicePort.at(k));
  info.counts_per_unit = tables_.CountsPerMicron.at(k);
  info.counts_are_units = tables_.UnitSuffix.at(k) == " En";
  if (const frmMain* main = Main()) info.limits = main->Limits(axis);
  return info;
}

control::AxisState MainWindowPort::State(int axis) const {
  control::AxisState state;
  const frmMain* main = Main();
  if (main == nullptr) return state;
  const frmMain::AxisReply reply = main->LastReply(axis);
  state.valid = reply.valid;
  state.position = reply.position;
  state.ideal_position = reply.ideal_position;
  state.flags = reply.flags;
  state.command_waiting = main->CommandWaiting(axis);
  state.target_counts = main->MoveEnd(axis);
  state.stops = main->StopCount(axis);
  return state;
}

control::CommandResult MainWindowPort::Move(int axis, MoveKind kind, double value_counts) {
  frmMain* main = Main();
  if (main == nullptr) return {control::CommandOutcome::kEnding, "The console is not running.", 0};
  return Verdict(main->RequestMove(axis, kind, value_counts));
}

void MainWindowPort::Stop(int axis) {
  if (frmMain* main = Main()) main->RequestStop(axis);
}

void MainWindowPort::StopAll() {
  frmMain* main = Main();
  if (main == nullptr) return;
  for (int axis = 0; axis < AxisCount(); ++axis) main->RequestStop(axis);
}

control::CommandResult MainWindowPort::Zero(int axis) {
  frmMain* main = Main();
  if (main == nullptr) return {control::CommandOutcome::kEnding, "The console is not running.", 0};
  return Verdict(main->RequestZero(axis));
}

usb::TuningValues MainWindowPort::Tuning(int axis) const {
  const frmMain* main = Main();
  return main == nullptr ? usb::TuningValues{} : main->SliderTuning(axis);
}

void MainWindowPort::SetTuning(int axis, const usb::TuningValues& values) {
  if (frmMain* main = Main()) main->RequestTuning(axis, values);
}

double MainWindowPort::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace stage::ui

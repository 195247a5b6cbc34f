// The operator's commands on the rows (GO, Rel, STOP, ZERO, Enter in the
// target box), activation, More Controls and shutdown. None of them talks to
// a controller: they set command bits and targets in the axis tables, which
// the axis's next packet carries.
#include <QCloseEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QWindow>
#include <cmath>
#include <string>

#include "stage/axis/mechanics.h"
#include "stage/axis/number_text.h"
#include "stage/control/event_log.h"
#include "stage/usb/packet_codec.h"
#include "ui/common/control_family.h"
#include "ui/common/number_refusal.h"
#include "ui/common/outside_window.h"
#include "ui/main/frmMain.h"
#include "ui/main/event_recorder.h"
#include "ui/main/referencing_runner.h"
#include "ui/tuning/frmXCtrl0.h"

namespace stage::ui {
namespace {

// Names the axis, the range the controller accepts in counts and in the
// axis's unit, and what happens now.
QString OutOfRangeMessage(const QString& typed, const QString& axis, double counts_per_micron, const QString& unit) {
  const auto in_unit = [counts_per_micron](std::int64_t counts) {
    return QString::fromStdString(FormatFixed2(static_cast<double>(counts) / counts_per_micron));
  };
  return QStringLiteral("Target %1 is out of range for axis %2: the controller accepts %3 to %4 counts "
                        "(%5 to %6%7). The previous target is kept.")
      .arg(QuotedEntry(typed), axis, QString::number(usb::kMinEncodableCount), QString::number(usb::kMaxEncodableCount),
           in_unit(usb::kMinEncodableCount), in_unit(usb::kMaxEncodableCount), unit);
}

// Why the entry was refused, in the axis's terms.
QString RefusalMessage(TargetRefusal refusal, const QString& typed, const QString& axis, double counts_per_micron,
                       const QString& unit) {
  switch (refusal) {
    case TargetRefusal::kNoNumber:
      if (typed.trimmed().isEmpty()) {
        return QStringLiteral("No target for axis %1: the box is empty. The previous target is kept.").arg(axis);
      }
      return QStringLiteral("Target %1 for axis %2 is not a number. The previous target is kept.")
          .arg(QuotedEntry(typed), axis);
    case TargetRefusal::kNotUnderstood:
      return QStringLiteral("Target %1 for axis %2 is not understood: %3 The previous target is kept.")
          .arg(QuotedEntry(typed), axis, AmbiguousCommaAdvice());
    case TargetRefusal::kOutOfRange:
    case TargetRefusal::kNone:
      break;
  }
  return OutOfRangeMessage(typed, axis, counts_per_micron, unit);
}

// As the command packet carries a position (the encoder's rounding).
double WholeCounts(double counts) {
  const std::optional<std::int64_t> whole = usb::EncodedTargetCounts(counts);
  return whole ? static_cast<double>(*whole) : counts;
}

bool IsEnterKey(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter; }

}  // namespace

void frmMain::ConnectRow(AxisIndex axis) {
  // Every level bit goes through the latches: a release handled before the
  // axis's next packet waits for it, so a quick click still reaches the
  // controller.
  constexpr CommandHolder kButton = CommandHolder::kControl;

  // STOP and ZERO: press and release of any mouse button; no click, no key.
  connect(command1_[axis], &CommandButton::mouseDown, this, [this, axis] {
    StopPressed(axis, kButton);
    LogOperator(QStringLiteral("STOP axis ") + AxisLabel(axis));
  });
  connect(command1_[axis], &CommandButton::mouseUp, this,
          [this, axis] { latches_.Release(axis, LevelCommand::kStop, kButton); });
  connect(command2_[axis], &CommandButton::mouseDown, this,
          [this, axis] {
            referencing_->OperatorCommand(axis);
            latches_.Press(axis, LevelCommand::kZero, kButton);
            EndMoveInForce(axis);
            LogOperator(QStringLiteral("ZERO axis ") + AxisLabel(axis));
          });
  connect(command2_[axis], &CommandButton::mouseUp, this,
          [this, axis] { latches_.Release(axis, LevelCommand::kZero, kButton); });

  // GO: the press enters the target and commands the move while held; the
  // click (left button or keyboard) switches to position mode. A refused
  // target commands nothing, so its press raises no click either.
  CommandButton* go = cmd_go_[axis];
  connect(go, &CommandButton::mouseDown, this, [this, go, axis](Qt::MouseButton) {
    if (EnterTarget(axis, MoveKind::kAbsolute)) {
      latches_.Press(axis, LevelCommand::kGo, kButton);
      LogOperator(QStringLiteral("GO axis %1 to %2").arg(AxisLabel(axis), text2_[axis]->text()));
    } else {
      go->CancelClick();
    }
  });
  connect(go, &CommandButton::mouseUp, this, [this, axis] { latches_.Release(axis, LevelCommand::kGo, kButton); });
  connect(go, &CommandButton::clicked, this, [this, axis] { latches_.Click(axis, LevelCommand::kGo); });

  // Rel: the same with RelMoveBit, and Space works like the mouse. Every
  // automatic repeat of Space held here enters the target again from the
  // box, and only that: a held key commands one relative move.
  CommandButton* rel = command7_[axis];
  const auto rel_down = [this, rel, axis](bool key_repeat) {
    if (EnterTarget(axis, MoveKind::kRelative, key_repeat)) {
      latches_.Press(axis, LevelCommand::kRelMove, kButton);
      LogOperator(QStringLiteral("Rel axis %1 by %2").arg(AxisLabel(axis), text2_[axis]->text()));
    } else {
      rel->CancelClick();
    }
  };
  connect(rel, &CommandButton::mouseDown, this, [rel_down](Qt::MouseButton) { rel_down(false); });
  connect(rel, &CommandButton::mouseUp, this,
          [this, axis] { latches_.Release(axis, LevelCommand::kRelMove, kButton); });
  connect(rel, &CommandButton::keyDown, this, [this, rel, rel_down, axis](int key, bool auto_repeat) {
    if (key != Qt::Key_Space) return;
    if (!auto_repeat) {
      rel_down(false);
    } else if (rel->SpaceHeld()) {
      EnterTarget(axis, MoveKind::kRelative, true);
    }
  });
  connect(rel, &CommandButton::keyUp, this, [this, axis](int key) {
    if (key == Qt::Key_Space) latches_.Release(axis, LevelCommand::kRelMove, kButton);
  });
  connect(rel, &CommandButton::clicked, this, [this, axis] { latches_.Click(axis, LevelCommand::kRelMove); });

  // The operator's tuning, for the event log once each slider settles.
  recorder_->Resize(static_cast<std::size_t>(axis) + 1);
  recorder_->WatchSlider(panel_->Slider1(axis), axis, "Speed");
  recorder_->WatchSlider(panel_->Slider2(axis), axis, "Max Speed");
  recorder_->WatchSlider(panel_->Slider3(axis), axis, "P gain");
  recorder_->WatchSlider(panel_->Slider4(axis), axis, "I gain");
  recorder_->WatchSlider(panel_->Slider5(axis), axis, "D gain");
  recorder_->WatchSlider(panel_->Slider6(axis), axis, "Acc");
  recorder_->WatchSlider(panel_->Slider7(axis), axis, "Torque");
  recorder_->WatchSlider(panel_->Slider8(axis), axis, "F Error");

  // A click on the Speed slider sets the speed mode, after a GO or Rel click
  // that still waits for its packet.
  connect(panel_->Slider1(axis), &TuningSlider::sliderClick, this, [this, axis] {
    referencing_->OperatorCommand(axis);
    latches_.SpeedModeClick(axis);
    EndMoveInForce(axis);
  });

  // Enter in the target box, and the ideal-position box being shown: see
  // eventFilter.
  text2_[axis]->installEventFilter(this);
  text3_[axis]->installEventFilter(this);

  // Text typed into a read-out stays only until the next reply.
  const auto k = static_cast<std::size_t>(axis);
  // The box shows the starting target, which is in force until an entry is
  // taken.
  if (targets_.size() <= k) targets_.resize(k + 1);
  if (limits_.size() <= k) limits_.resize(k + 1);
  if (moves_.size() <= k) moves_.resize(k + 1);
  if (replies_.size() <= k) replies_.resize(k + 1);
  if (stops_.size() <= k) stops_.resize(k + 1);
  targets_[k] = TargetInForce{text2_[axis]->text(), false};
  connect(text1_[axis], &QLineEdit::textEdited, this, [this, k] { shown_[k].position_valid = false; });
  connect(text3_[axis], &QLineEdit::textEdited, this, [this, k] { shown_[k].ideal_valid = false; });
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  // Sent before the box is first drawn: it shows the latest reply.
  if (event->type() == QEvent::Show && watched->objectName() == QLatin1String("Text3")) {
    WriteIdealPosition(watched->property(kIndexProperty).toInt());
  }
  if (event->type() == QEvent::KeyPress && IsEnterKey(static_cast<QKeyEvent*>(event)->key())) {
    auto* box = qobject_cast<QLineEdit*>(watched);
    if (box != nullptr && box->objectName() == QLatin1String("Text2")) {
      const AxisIndex axis = box->property(kIndexProperty).toInt();
      // GoBit stays set until a mouse release on GO: Enter has no release.
      // An automatic repeat only enters the target again: it never sets a
      // GoBit that a release on GO cleared while Enter was held.
      const bool repeat = static_cast<QKeyEvent*>(event)->isAutoRepeat();
      if (EnterTarget(axis, MoveKind::kAbsolute, repeat) && !repeat) {
        latches_.Press(axis, LevelCommand::kGo, CommandHolder::kNone);
        LogOperator(QStringLiteral("Enter: axis %1 to %2").arg(AxisLabel(axis), box->text()));
      }
    }
  }
  // The key goes on to the box as usual.
  return QWidget::eventFilter(watched, event);
}

bool frmMain::EnterTarget(AxisIndex axis, MoveKind kind, bool key_repeat) {
  modKVT_USB& tables = context_.tables;
  const auto k = static_cast<std::size_t>(axis);
  // The repeats of a key held since a refusal enter nothing: they would find
  // the target in force back in the box and command it.
  if (key_repeat && targets_.at(k).refused) return false;
  const QString typed = text2_[axis]->text();
  const TargetEntry entry = stage::EnterTarget(typed.toStdString(), tables.CountsPerMicron[k]);
  if (entry.refusal != TargetRefusal::kNone) {
    RefuseTarget(axis, RefusalMessage(entry.refusal, typed, AxisLabel(axis), tables.CountsPerMicron[k],
                                      QString::fromStdString(tables.UnitSuffix[k])));
    return false;
  }
  return TakeTarget(axis, kind, entry.target_counts, entry.display_text, key_repeat).isEmpty();
}

QString frmMain::TakeTarget(AxisIndex axis, MoveKind kind, double value_counts, const std::string& display,
                            bool key_repeat) {
  modKVT_USB& tables = context_.tables;
  const auto k = static_cast<std::size_t>(axis);
  MoveInForce& move = moves_.at(k);
  // A Rel counts from the end of the move in force, else from the ideal
  // position; a key repeat of a held Rel from where its press counted.
  double base = 0;
  if (kind == MoveKind::kRelative) {
    base = key_repeat ? move.rel_base_counts
                      : (move.valid ? move.end_counts : static_cast<double>(shown_[k].ideal_position));
  }
  if (limits_.at(k).Any()) {
    const std::string label = AxisLabel(axis).toStdString();
    const LimitVerdict verdict =
        CheckTravelLimits(limits_[k], MoveRequest{kind, value_counts, base},
                          AxisUnits{label, tables.CountsPerMicron[k], tables.UnitSuffix[k]});
    if (!verdict.accepted) {
      QString refusal = QString::fromStdString(verdict.refusal);
      RefuseTarget(axis, refusal);
      return refusal;
    }
  }
  tables.TargetCounts[k] = value_counts;
  if (!key_repeat || kind == MoveKind::kAbsolute) {
    // The controller adds the whole-count distance to its whole-count base.
    const double end =
        kind == MoveKind::kRelative ? WholeCounts(base) + WholeCounts(value_counts) : value_counts;
    move = MoveInForce{true, end, base};
  }
  QLineEdit* box = text2_[axis];
  box->setText(QString::fromStdString(display));
  // setText leaves the cursor at the end, and a number wider than the box
  // would show without its sign and leading digits.
  box->setCursorPosition(0);
  targets_.at(k) = TargetInForce{box->text(), false};
  if (!lbl_message_->text().isEmpty()) lbl_message_->clear();
  // A GO, Rel or Enter of the operator's own takes the axis over from a
  // referencing run (a script's moves are refused while one runs).
  referencing_->OperatorCommand(axis);
  return {};
}

void frmMain::RefuseTarget(AxisIndex axis, const QString& refusal) {
  // Refused: the previous target stays and the box shows it again, while
  // the line beside it says what was refused and why. The polling goes on.
  TargetInForce& in_force = targets_.at(static_cast<std::size_t>(axis));
  QLineEdit* box = text2_[axis];
  lbl_message_->setText(refusal);
  box->setText(in_force.shown);
  box->setCursorPosition(0);
  in_force.refused = true;
  if (context_.events != nullptr) context_.events->Log(("target refused: " + refusal).toStdString());
}

std::optional<frmMain::MoveVerdict> frmMain::RefusedNow(AxisIndex axis) const {
  using Refusal = MoveVerdict::Refusal;
  if (!constructed_ || context_.exit.Ended() || axis < 0 || axis > context_.tables.AxisCount) {
    return MoveVerdict{Refusal::kNotRunning, QStringLiteral("The console is not running."), 0};
  }
  if (latches_.Waiting(axis)) {
    return MoveVerdict{Refusal::kCommandWaiting,
                       QStringLiteral("A command of axis %1 has not gone out yet.").arg(AxisLabel(axis)), 0};
  }
  // Referencing is the operator's: nothing but a stop may interrupt it.
  if (referencing_->Core().Running(axis)) {
    return MoveVerdict{Refusal::kCommandWaiting,
                       QStringLiteral("Axis %1 is being referenced by the operator.").arg(AxisLabel(axis)), 0};
  }
  return std::nullopt;
}

frmMain::MoveVerdict frmMain::RequestMove(AxisIndex axis, MoveKind kind, double value_counts) {
  using Refusal = MoveVerdict::Refusal;
  if (std::optional<MoveVerdict> refused = RefusedNow(axis)) return *refused;
  const auto k = static_cast<std::size_t>(axis);
  modKVT_USB& tables = context_.tables;
  // The range a typed entry is held to: what a command packet can carry.
  if (!std::isfinite(value_counts) || !usb::EncodedTargetCounts(value_counts)) {
    const QString typed = QString::fromStdString(FormatFixed2(value_counts / tables.CountsPerMicron[k]));
    const QString refusal = OutOfRangeMessage(typed, AxisLabel(axis), tables.CountsPerMicron[k],
                                              QString::fromStdString(tables.UnitSuffix[k]));
    RefuseTarget(axis, refusal);
    return MoveVerdict{Refusal::kOutOfRange, refusal, 0};
  }
  const QString refusal = TakeTarget(axis, kind, value_counts,
                                     FormatFixed2(value_counts / tables.CountsPerMicron[k]), false);
  if (!refusal.isEmpty()) return MoveVerdict{Refusal::kTravelLimit, refusal, 0};
  // A click on GO or Rel, pressed and released between two packets: the
  // latch sends the bit in one packet, then position mode.
  const LevelCommand command = kind == MoveKind::kAbsolute ? LevelCommand::kGo : LevelCommand::kRelMove;
  latches_.Press(axis, command, CommandHolder::kRemote);
  latches_.Release(axis, command, CommandHolder::kRemote);
  latches_.Click(axis, command);
  return MoveVerdict{Refusal::kNone, {}, moves_[k].end_counts};
}

frmMain::MoveVerdict frmMain::RequestZero(AxisIndex axis) {
  if (std::optional<MoveVerdict> refused = RefusedNow(axis)) return *refused;
  latches_.Press(axis, LevelCommand::kZero, CommandHolder::kRemote);
  EndMoveInForce(axis);
  latches_.Release(axis, LevelCommand::kZero, CommandHolder::kRemote);
  return {};
}

void frmMain::RequestStop(AxisIndex axis) {
  if (!constructed_ || context_.exit.Ended() || axis < 0 || axis > context_.tables.AxisCount) return;
  StopPressed(axis, CommandHolder::kRemote);
  latches_.Release(axis, LevelCommand::kStop, CommandHolder::kRemote);
}

void frmMain::RequestTuning(AxisIndex axis, const usb::TuningValues& values) {
  if (!constructed_ || context_.exit.Ended() || axis < 0 || axis > context_.tables.AxisCount) return;
  frmXCtrl0& panel = *panel_;
  panel.Slider1(axis)->setValue(values.speed);
  panel.Slider2(axis)->setValue(values.max_speed);
  panel.Slider3(axis)->setValue(values.p);
  panel.Slider4(axis)->setValue(values.i);
  panel.Slider5(axis)->setValue(values.d);
  panel.Slider6(axis)->setValue(values.acc);
  panel.Slider7(axis)->setValue(values.torque);
  panel.Slider8(axis)->setValue(values.f_error);
}

frmMain::AxisReply frmMain::LastReply(AxisIndex axis) const {
  const auto k = static_cast<std::size_t>(axis);
  return k < replies_.size() ? replies_[k] : AxisReply{};
}

std::optional<double> frmMain::MoveEnd(AxisIndex axis) const {
  const auto k = static_cast<std::size_t>(axis);
  if (k >= moves_.size() || !moves_[k].valid) return std::nullopt;
  return moves_[k].end_counts;
}

std::uint64_t frmMain::StopCount(AxisIndex axis) const {
  const auto k = static_cast<std::size_t>(axis);
  return k < stops_.size() ? stops_[k] : 0;
}

void frmMain::LogOperator(const QString& text) const { recorder_->Operator(text); }

void frmMain::FatalFault(const QString& message) {
  // Not the steady state: the program ends here.
  if (context_.events != nullptr) context_.events->Log(("fault: " + message).toStdString());
  context_.exit.Fatal(this, message);
}

void frmMain::SetTravelLimits(AxisIndex axis, const TravelLimits& limits) {
  const auto k = static_cast<std::size_t>(axis);
  if (k < limits_.size()) limits_[k] = limits;
}

void frmMain::EndMoveInForce(AxisIndex axis) {
  const auto k = static_cast<std::size_t>(axis);
  if (k < moves_.size()) moves_[k].valid = false;
}

void frmMain::StopPressed(AxisIndex axis, CommandHolder holder) {
  const auto k = static_cast<std::size_t>(axis);
  latches_.Press(axis, LevelCommand::kStop, holder);
  if (k < stops_.size()) ++stops_[k];
  referencing_->Stopped(axis, holder);
  EndMoveInForce(axis);
  latches_.SpeedModeOff(axis);
  panel_->Slider1(axis)->setValue(0);
  // The error display starts afresh; the next reply shows it again if the
  // controller still reports the error.
  shape5_[axis]->SetFillColor(button_face_);
  label8_[axis]->setVisible(false);
  shown_[k].flags_valid = false;
}

void frmMain::EscapePressed() {
  if (context_.exit.Ended()) return;
  for (AxisIndex i = 0; i <= context_.tables.AxisCount; ++i) StopPressed(i, CommandHolder::kEscape);
  LogOperator(QStringLiteral("Esc: every axis stopped"));
  // Scripts lose control and their moves are refused until the operator
  // allows them again.
  if (context_.remote != nullptr) context_.remote->EscapePressed();
}

void frmMain::EscapeReleased() {
  if (context_.exit.Ended()) return;
  for (AxisIndex i = 0; i <= context_.tables.AxisCount; ++i) {
    latches_.Release(i, LevelCommand::kStop, CommandHolder::kEscape);
  }
}

void frmMain::Activate() {
  modKVT_USB& tables = context_.tables;
  const QString zero = QStringLiteral("0");
  for (AxisIndex i = 0; i <= tables.AxisCount; ++i) {
    const auto k = static_cast<std::size_t>(i);
    tables.ActiveBit[k] = usb::kActiveBit;
    EndMoveInForce(i);
    text1_[i]->setText(zero);
    text2_[i]->setText(zero);
    text3_[i]->setText(zero);
    shown_[k].position_valid = false;
    shown_[k].ideal_valid = false;
    shown_[k].ideal_pending = false;
  }
}

void frmMain::FocusWindowChanged(QWindow* now) {
  // A plain pointer: nothing below can delete the window it points to.
  QWindow* const before = focus_window_;
  focus_window_ = now;
  if (now == nullptr || now != windowHandle() || !constructed_ || context_.exit.Ended()) return;
  // Coming from another application, the program had no focus window in
  // between (or the window it last had is gone). Popups and tooltips are
  // part of the window they belong to.
  if (before == nullptr || before == now) return;
  if (before->type() == Qt::Popup || before->type() == Qt::ToolTip) return;
  // The Scope watches the console and must not change it.
  if (IsOutsideWindow(*before)) return;
  Activate();
}

void frmMain::ShowTuningPanel() {
  frmXCtrl0& panel = TuningPanel();
  panel.show();
  panel.raise();
  panel.activateWindow();
}

void frmMain::Shutdown() {
  if (context_.exit.Ended()) return;
  CloseControllers();
  context_.exit.End(0);
}

void frmMain::CloseControllers() {
  timer1_.stop();
  modKVT_USB& tables = context_.tables;
  for (AxisIndex i = 0; i <= tables.AxisCount; ++i) {
    // A failing close is ignored: every controller gets its close, once.
    usb::Handle& handle = tables.DeviceHandle.at(static_cast<std::size_t>(i));
    context_.devices.Close(handle);
    handle = 0;
  }
}

void frmMain::closeEvent(QCloseEvent* event) {
  Shutdown();
  event->accept();
}

}  // namespace stage::ui

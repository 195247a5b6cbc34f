// Referencing in the console: the operator's confirmation, the run on the
// polling cycle, and what the operator is told. A thin Qt adapter over
// referencing/ (the state machine); the main window calls it from its tick
// and from the operator's STOP, Esc and commands, and nothing else starts a
// run: only the operator does, after a question that names the axis.
//
// One run at a time: a second request while one runs is refused on the main
// window's message line. At start-up the axes whose profile asks for it are
// offered once, in one question, and run one after the other.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "stage/axis/command_latch.h"
#include "stage/profile/controller_profile.h"
#include "stage/referencing/referencing.h"
#include "ui/common/console_context.h"

class QLabel;
class QWidget;

namespace stage::ui {

class ReferencingRunner : public QObject {
 public:
  // `window` parents the questions; `line` is where the state is shown;
  // `end_move` forgets the move in force of an axis (the run moves it).
  ReferencingRunner(QWidget& window, QLabel& line, ConsoleContext context, CommandLatches& latches,
                    std::function<void(AxisIndex)> end_move);

  // Once the axis tables are allocated.
  void Allocate();

  // Where an axis's referencing settings come from: by default its profile
  // (none without one, or with --no-profile).
  using SettingsSource = std::function<std::optional<profile::Referencing>(AxisIndex)>;
  void SetSettingsSource(SettingsSource source) { settings_ = std::move(source); }

  // The operator asks for an axis: a question naming the axis and the
  // switch; Yes starts the run. Refused on the message line when the axis
  // has no referencing enabled or a run is going on.
  void Ask(AxisIndex axis);
  // After Motor Settings' OK: once per run, one question listing every axis
  // whose profile asks for referencing at start-up; Yes runs them in order.
  void OfferAtStartUp();

  // The polling cycle: the seek's speed before the packet, the reply after,
  // and the message line once the tick is done.
  void ApplySpeed(AxisIndex axis, usb::TuningValues& tuning) const { core_.ApplySpeed(axis, tuning); }
  void OnReply(AxisIndex axis, const usb::StatusReading* reply) { core_.OnReply(axis, reply); }
  void AfterTick() { Refresh(); }

  // The operator's STOP (holder kControl) or Esc (kEscape) on the axis.
  void Stopped(AxisIndex axis, CommandHolder holder);
  // The operator's own GO, Rel, Enter, ZERO or speed mode on the axis.
  void OperatorCommand(AxisIndex axis);

  const referencing::Referencing& Core() const { return core_; }
  // The question on screen, if any (for the tests).
  QMessageBox* Question() const { return question_; }

 private:
  std::optional<referencing::Plan> PlanFor(AxisIndex axis) const;
  referencing::AxisWords Words(AxisIndex axis, std::string& label) const;
  QMessageBox* OpenQuestion(const QString& text, std::function<void()> on_yes);
  void Begin(AxisIndex axis);
  void Refresh();
  void Say(const QString& text);

  QWidget& window_;
  QLabel& line_;
  ConsoleContext context_;
  referencing::Referencing core_;
  std::function<void(AxisIndex)> end_move_;
  SettingsSource settings_;
  std::vector<std::uint32_t> shown_changes_;  // per axis: the state the line shows
  std::vector<AxisIndex> queue_;              // start-up runs still to come
  QPointer<QMessageBox> question_;
  bool offered_at_start_up_ = false;
};

}  // namespace stage::ui

// The main window "KLV-330": one row per axis with the position read-out, the
// axis name, the target entry with GO and Rel, STOP and ZERO, and the busy
// and error lamps. Row 0 is designed; the rest of the window is built on its
// first showing, before it is drawn: the tuning panel is created hidden, the
// window sized for the axis count, rows 1..AxisCount added as copies of row 0
// (on both windows), and the starting values written into the axis tables.
// Later showings change nothing.
//
// From then on Timer1 drives the polling cycle (Tick), the row buttons and
// the target boxes turn the operator's presses into command bits and targets
// in the axis tables, each return from the tuning panel re-activates every
// axis, and Exit or the close box closes every controller and ends the run.
#pragma once

#include <QColor>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "stage/axis/command_latch.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/axis/travel_limits.h"
#include "stage/tick/deadline_scheduler.h"
#include "stage/poll/poll_exchange.h"
#include "ui/common/command_button.h"
#include "ui/common/console_context.h"
#include "ui/common/control_family.h"
#include "ui/common/lamp.h"

class QFrame;
class QLabel;
class QLineEdit;
class QWindow;

namespace stage::ui {

class frmAxisSettings;
class frmXCtrl0;
class HeldKey;
class ReferencingRunner;
class PanelCacheStyle;
class WindowFit;

// NOLINTNEXTLINE(readability-identifier-naming): the window's established name
class frmMain : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmMain)

 public:
  explicit frmMain(ConsoleContext context, QWidget* parent = nullptr);
  ~frmMain() override;

  // The tuning panel; created hidden (designed row only) if construction has
  // not created it yet. It lives as long as this window.
  frmXCtrl0& TuningPanel();

  // True once the first showing has built the window.
  bool Constructed() const { return constructed_; }
  // Rows built (AxisCount + 1 after construction, 1 before).
  AxisIndex RowCount() const { return static_cast<AxisIndex>(text1_.size()); }

  // Row families, by axis index.
  QLineEdit* Text1(AxisIndex axis) const { return text1_[axis]; }  // position read-out
  QLabel* Label10(AxisIndex axis) const { return label10_[axis]; }  // axis name
  QLineEdit* Text2(AxisIndex axis) const { return text2_[axis]; }  // target entry
  CommandButton* cmdGo(AxisIndex axis) const { return cmd_go_[axis]; }  // "GO"
  CommandButton* Command7(AxisIndex axis) const { return command7_[axis]; }  // "Rel"
  CommandButton* Command1(AxisIndex axis) const { return command1_[axis]; }  // "STOP"
  CommandButton* Command2(AxisIndex axis) const { return command2_[axis]; }  // "ZERO"
  Lamp* Shape2(AxisIndex axis) const { return shape2_[axis]; }  // busy lamp
  QLabel* Label4(AxisIndex axis) const { return label4_[axis]; }  // "Busy"
  Lamp* Shape5(AxisIndex axis) const { return shape5_[axis]; }  // error lamp
  QLabel* Label8(AxisIndex axis) const { return label8_[axis]; }  // "Error"
  QLineEdit* Text3(AxisIndex axis) const { return text3_[axis]; }  // ideal-position read-out

  // Controls that exist once.
  QFrame* Picture1() const { return picture1_; }
  QLabel* Label11() const { return label11_; }  // credit line
  CommandButton* cmdExit() const { return cmd_exit_; }
  QLabel* Label12() const { return label12_; }
  QLabel* Label9() const { return label9_; }
  QLabel* Label13() const { return label13_; }
  CommandButton* cmdMoreControls() const { return cmd_more_controls_; }
  // A precise single-shot timer, re-armed after each tick for the next
  // deadline of the polling schedule (every 10 ms from the window's building).
  QTimer& Timer1() { return timer1_; }
  // The polling schedule: ticks run, late and skipped.
  const tick::DeadlineScheduler& PollSchedule() const { return schedule_; }
  // The refusal of a target (no number, not understood, out of range): empty
  // until a target is refused, cleared by the next target that is accepted.
  // Never blocks the operator.
  QLabel* lblMessage() const { return lbl_message_; }

  // The eight tuning sliders of an axis, as the next packet carries them
  // (also what the axis's profile keeps at the end).
  usb::TuningValues SliderTuning(AxisIndex axis) const;
  // The soft travel limits of an axis, in counts, from its profile; every
  // target and Rel entered afterwards is checked against them. Without a
  // call (no profile, --no-profile) an axis has none.
  void SetTravelLimits(AxisIndex axis, const TravelLimits& limits);
  const TravelLimits& TravelLimitsOf(AxisIndex axis) const { return limits_.at(static_cast<std::size_t>(axis)); }

  // Referencing (homing) of an axis toward a limit switch, as its profile
  // sets it up: a question naming the axis and the switch, then the run,
  // its state on lblMessage. Only the operator starts one.
  void StartReferencing(AxisIndex axis);
  // After Motor Settings' OK: the axes whose profiles ask for referencing at
  // start-up, offered once per run in one question.
  void OfferReferencingAtStartUp();
  ReferencingRunner& Referencing() { return *referencing_; }
  // The Axis Settings window (F2 once constructed); created hidden on first
  // use. It lives as long as this window.
  frmAxisSettings& AxisSettings();
  // The axis's CountsPerMicron and UnitSuffix have changed: the read-outs
  // show the new unit from the next reply, the target box at once.
  void MechanicsChanged(AxisIndex axis, double previous_counts_per_micron);

  // Set by construction.
  std::int16_t RowPitch() const { return row_pitch_; }
  std::int16_t PanelRowPitch() const { return panel_row_pitch_; }

  void setVisible(bool visible) override;

  // Commands from sources other than the operator's own controls (the
  // control API's clients, the Scope's step test). Each does exactly what
  // the operator's button does: RequestMove what GO (kAbsolute) or Rel
  // (kRelative) does with `value_counts` typed into the axis's target box
  // (the same range check, travel limits, refusal line, move in force and
  // target box), RequestStop a click on STOP, RequestZero a click on ZERO.
  // At most one command per axis goes out per tick: while a command of the
  // axis still waits for its packet, moves and zero are refused with
  // kCommandWaiting (ask again after the next tick).
  struct MoveVerdict {
    enum class Refusal : std::uint8_t { kNone, kOutOfRange, kTravelLimit, kCommandWaiting, kNotRunning };
    Refusal refusal = Refusal::kNone;
    QString text;  // the refusal line; empty when accepted
    double target_counts = 0;  // accepted moves: where the move ends
    bool accepted() const { return refusal == Refusal::kNone; }
  };
  MoveVerdict RequestMove(AxisIndex axis, MoveKind kind, double value_counts);
  MoveVerdict RequestZero(AxisIndex axis);
  void RequestStop(AxisIndex axis);
  // Values within the sliders' ranges: the sliders are set, the next packets
  // carry them.
  void RequestTuning(AxisIndex axis, const usb::TuningValues& values);

  // What the control API reads of an axis.
  struct AxisReply {
    bool valid = false;  // a reply has come
    std::int32_t position = 0;
    std::int32_t ideal_position = 0;
    std::uint8_t flags = 0;
  };
  AxisReply LastReply(AxisIndex axis) const;
  // Where the move in force ends, in counts (none: no move in force).
  std::optional<double> MoveEnd(AxisIndex axis) const;
  // STOPs of the axis from any source.
  std::uint64_t StopCount(AxisIndex axis) const;
  bool CommandWaiting(AxisIndex axis) const { return latches_.Waiting(axis); }
  const modKVT_USB& Tables() const { return context_.tables; }
  TravelLimits Limits(AxisIndex axis) const {
    const auto k = static_cast<std::size_t>(axis);
    return k < limits_.size() ? limits_[k] : TravelLimits{};
  }

  // One polling cycle, Timer1's handler: one exchange per axis, 0..AxisCount
  // in order, each shown on its rows. Does nothing before construction, while
  // a cycle runs, or once the program has been asked to end. A failed
  // exchange ends the program with its message; no further axis is visited.
  void Tick();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // What the read-outs of an axis show now, so that a cycle whose reply
  // matches rewrites nothing. Anything else that writes those controls
  // (activation, STOP, the operator typing into a read-out) forgets it.
  struct ShownStatus {
    bool position_valid = false;
    std::int32_t position = 0;
    bool ideal_valid = false;
    std::int32_t ideal_position = 0;
    // The ideal-position box is hidden (as designed, on every row): it gets
    // ideal_position written when it is shown, not on every reply.
    bool ideal_pending = false;
    bool flags_valid = false;
    std::uint8_t flags = 0;
  };

  void BuildDesignedControls();
  void CentreMoreControls();
  void Construct();
  void ConnectRow(AxisIndex axis);
  void NameRow(AxisIndex axis);

  // Polling cycle.
  // Timer1's handler: runs the tick whose deadline has come, then arms the
  // timer for the next one.
  void Timer1Fired();
  void ArmTimer1();
  // Shows one axis's reply, or ends the program with the failure's message
  // (false).
  bool ShowResult(AxisIndex axis, const poll::ExchangeResult& result);
  void ShowStatus(AxisIndex axis, std::int32_t position, std::int32_t ideal_position, std::uint8_t flags);
  void WriteIdealPosition(AxisIndex axis);
  QString AxisLabel(AxisIndex axis) const;

  // Operator commands.
  // Reads the target box into the axis's target, or refuses it (false): the
  // refusal line says why and the box shows the target in force again.
  // A Rel entry (kRelative) is a distance; every entry, target or distance,
  // that would take the axis beyond its travel limits is refused whole.
  bool EnterTarget(AxisIndex axis, MoveKind kind, bool key_repeat = false);
  // The part of it after the box's text is read: `value_counts` checked
  // against the travel limits and taken, `display` shown in the box.
  // Returns the refusal line, empty when taken.
  QString TakeTarget(AxisIndex axis, MoveKind kind, double value_counts, const std::string& display,
                     bool key_repeat);
  void RefuseTarget(AxisIndex axis, const QString& refusal);
  // A line of the event log, for the operator's commands.
  void LogOperator(const QString& text) const;
  void EndMoveInForce(AxisIndex axis);
  void StopPressed(AxisIndex axis, CommandHolder holder);
  void EscapePressed();
  void EscapeReleased();

  // Activation and shutdown.
  void Activate();
  void FocusWindowChanged(QWindow* now);
  void ShowTuningPanel();
  void Shutdown();
  // Why a move or ZERO from another source cannot be taken now (the window
  // not running, a command of the axis still waiting for its packet, the
  // operator referencing it), or nothing.
  std::optional<MoveVerdict> RefusedNow(AxisIndex axis) const;
  void CloseControllers();

  ConsoleContext context_;
  CommandLatches latches_;
  std::unique_ptr<ReferencingRunner> referencing_;
  // The text boxes' style (their panels drawn from a cache). Gone before the
  // boxes are: a box whose style is gone draws with the application's.
  std::unique_ptr<PanelCacheStyle> panel_style_;
  bool constructed_ = false;
  std::int16_t row_pitch_ = 0;
  std::int16_t panel_row_pitch_ = 0;
  std::unique_ptr<frmXCtrl0> panel_;
  std::unique_ptr<frmAxisSettings> settings_;

  ControlFamily<QLineEdit> text1_;
  ControlFamily<QLabel> label10_;
  ControlFamily<QLineEdit> text2_;
  ControlFamily<CommandButton> cmd_go_;
  ControlFamily<CommandButton> command7_;
  ControlFamily<CommandButton> command1_;
  ControlFamily<CommandButton> command2_;
  ControlFamily<Lamp> shape2_;
  ControlFamily<QLabel> label4_;
  ControlFamily<Lamp> shape5_;
  ControlFamily<QLabel> label8_;
  ControlFamily<QLineEdit> text3_;

  QFrame* picture1_ = nullptr;
  QLabel* label11_ = nullptr;
  CommandButton* cmd_exit_ = nullptr;
  QLabel* label12_ = nullptr;
  QLabel* label9_ = nullptr;
  QLabel* label13_ = nullptr;
  CommandButton* cmd_more_controls_ = nullptr;
  QLabel* lbl_message_ = nullptr;
  QTimer timer1_;
  tick::DeadlineScheduler schedule_;
  static tick::DeadlineScheduler::TimePoint PollNow();

  // The designed outer height, kept once the window manager frames the window.
  WindowFit* fit_ = nullptr;
  // Esc held anywhere in the program: STOP held on every axis.
  HeldKey* escape_ = nullptr;

  bool ticking_ = false;
  poll::AllAxesExchange exchange_;
  std::vector<ShownStatus> shown_;
  // Per axis: the target box's text for the target in force (what the last
  // accepted entry showed), and whether the latest entry was refused.
  struct TargetInForce {
    QString shown;
    bool refused = false;
  };
  std::vector<TargetInForce> targets_;
  // Per axis: the soft travel limits from the controller's profile (none
  // without one), and where the move the console last commanded ends, which
  // is where the controller counts a Rel from until STOP, ZERO, the speed
  // mode, activation or a fault ends that move (then: the ideal position).
  struct MoveInForce {
    bool valid = false;
    double end_counts = 0;
    double rel_base_counts = 0;  // the base of the latest Rel, for its key repeats
  };
  std::vector<TravelLimits> limits_;
  std::vector<MoveInForce> moves_;
  // Per axis: the latest reply, and the STOPs so far.
  std::vector<AxisReply> replies_;
  std::vector<std::uint64_t> stops_;
  // The program's focus window as last reported: where the operator comes
  // from when the main window gets the focus.
  QPointer<QWindow> focus_window_;

  // Indicator colours, made once rather than on every cycle.
  QColor red_;
  QColor green_;
  QColor yellow_;
  QColor button_face_;
  // What the indicator buttons tell assistive technology.
  QString indicator_on_ = QStringLiteral("on");
  QString indicator_off_ = QStringLiteral("off");
};

}  // namespace stage::ui

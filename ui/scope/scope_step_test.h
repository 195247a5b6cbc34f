// The Scope's step test and its before/after overlay. The operator picks an
// axis, a distance, a dwell, how many moves and whether they go back and
// forth; Start plans the whole test (refused, with the reason, when a move
// would leave the axis's travel limits) and commands each move through the
// main window as the operator's GO is, one at a time, after the previous one
// has ended and the dwell is over. STOP, Esc, a fault, any other move on the
// axis, Stop here or closing the Scope end it at once.
//
// Each test is a run: its moves are rows of the table, with the gains each
// ran with, and each run has mean and spread rows per direction. The
// overlay draws every move of the runs ticked in the list, aligned on its
// GO (time from the command) and turned so that the step goes upwards; a run
// pinned as the reference is drawn in black under the others, and the
// legend names each run's gains.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/scope/step_test.h"

class QCheckBox;
class QComboBox;
class QCustomPlot;
class QCPAxisRect;
class QDoubleSpinBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace stage::ui {

class frmMain;
class PlotCursors;

class ScopeStepTest : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ScopeStepTest)

 public:
  // The runs table's columns.
  enum Column { kRunColumn, kMoveColumn, kTargetColumn, kRiseColumn, kOvershootPercentColumn, kOvershootColumn,
                kSettlingColumn, kSteadyStateColumn, kFollowingColumn, kEndColumn, kPColumn, kIColumn, kDColumn,
                kAccColumn, kMaxSpeedColumn, kTorqueColumn, kFErrorColumn, kSpeedColumn, kColumnCount };
  static constexpr int kPollMs = 10;
  // How much of each move's trace before its GO the overlay draws.
  static constexpr std::int64_t kOverlayBeforeUs = 50'000;

  ScopeStepTest(const modKVT_USB& tables, scope::ScopeRecorder& recorder, QWidget* parent = nullptr);
  ~ScopeStepTest() override;

  // Ends a running test (the Scope closed); the axis is stopped when a move
  // of the test may be going.
  void AbortTest(const QString& reason);
  // The poll timer's handler: hands the test what the recorder saw and
  // commands its next move.
  void Poll();
  bool Running() const { return test_.Running(); }

  struct Run {
    int number = 0;
    std::size_t axis = 0;
    scope::StepTestPlan plan;
    std::vector<scope::StepTestRow> rows;
    std::vector<std::vector<scope::TracePoint>> traces;  // one per row
    QString reason;  // why it ended early
    bool finished = false;
  };
  const std::vector<Run>& Runs() const { return runs_; }
  // The reference run's index, if one is pinned.
  std::optional<std::size_t> Reference() const { return reference_; }
  // The legend's text for a run, naming its gains.
  QString RunLabel(const Run& run) const;

  QComboBox* cmbAxis() const { return cmb_axis_; }
  QDoubleSpinBox* spnDistance() const { return spn_distance_; }
  QSpinBox* spnDwell() const { return spn_dwell_; }
  QSpinBox* spnMoves() const { return spn_moves_; }
  QComboBox* cmbDirection() const { return cmb_direction_; }
  QPushButton* cmdStart() const { return cmd_start_; }
  QPushButton* cmdStop() const { return cmd_stop_; }
  QPushButton* cmdPin() const { return cmd_pin_; }
  QLabel* lblStatus() const { return lbl_status_; }
  QListWidget* lstRuns() const { return lst_runs_; }
  QTableWidget* tblRuns() const { return tbl_runs_; }
  QCustomPlot* Overlay() const { return plot_; }
  PlotCursors& Cursors() const { return *cursors_; }
  QTimer& PollTimer() { return poll_; }

 private:
  void Start();
  void StopPressed();
  void Ended();
  void TakeNewMoves();
  void FillTable();
  void DrawOverlay();
  void PinSelected();
  void AxisChanged();
  frmMain* MainWindow() const;
  double CountsPerUnit(std::size_t axis) const;
  QString Units(double counts, std::size_t axis) const;
  QString AxisName(std::size_t axis) const;

  const modKVT_USB& tables_;
  scope::ScopeRecorder& recorder_;
  scope::StepTest test_;
  std::vector<Run> runs_;
  std::optional<std::size_t> reference_;
  // The newest finished move of the axis already handed on.
  std::int64_t seen_end_us_ = -1;
  std::int64_t seen_start_us_ = -1;
  QTimer poll_;

  QComboBox* cmb_axis_ = nullptr;
  QDoubleSpinBox* spn_distance_ = nullptr;
  QSpinBox* spn_dwell_ = nullptr;
  QSpinBox* spn_moves_ = nullptr;
  QComboBox* cmb_direction_ = nullptr;
  QPushButton* cmd_start_ = nullptr;
  QPushButton* cmd_stop_ = nullptr;
  QPushButton* cmd_pin_ = nullptr;
  QLabel* lbl_status_ = nullptr;
  QListWidget* lst_runs_ = nullptr;
  QTableWidget* tbl_runs_ = nullptr;
  QCustomPlot* plot_ = nullptr;
  QCPAxisRect* step_rect_ = nullptr;
  QCPAxisRect* following_rect_ = nullptr;
  QLabel* lbl_cursors_ = nullptr;
  PlotCursors* cursors_ = nullptr;
};

// The eight tuning values as a row names them.
QString GainsText(const usb::TuningValues& gains);
// P, I and D alone ("15 5 5"), for the live figures table's narrow column;
// the cell's tooltip has all eight.
QString LoopGainsText(const usb::TuningValues& gains);

}  // namespace stage::ui

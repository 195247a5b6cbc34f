// The Scope "Scope": live traces of the axes an operator picks (actual and
// ideal position in the axis's units, the following error, busy and error as
// steps) over the last 2 to 60 s, and beside them the step-response figures
// of each axis's latest moves. Everything it draws comes from the recorder,
// which the polling exchange feeds; it reads no control of the console's
// windows and writes nothing anyone else reads. The plot is redrawn at most
// kRefreshMs apart while the window is visible and something new came in.
//
// Not one of the console's own windows: coming back from it to the main
// window counts as coming back from another application, and closing it only
// hides it.
#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/scope/scope_recorder.h"

class QCheckBox;
class QCustomPlot;
class QCPAxisRect;
class QCPGraph;
class QDoubleSpinBox;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace stage::ui {

// NOLINTNEXTLINE(readability-identifier-naming): named like the console's windows
class frmScope : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmScope)

 public:
  static constexpr int kRefreshMs = 33;  // about 30 redraws a second
  static constexpr int kMinWindowS = 2;
  static constexpr int kMaxWindowS = 60;
  // The figures table: one row per move kept, newest first.
  enum Column { kAxisColumn, kMoveColumn, kStepColumn, kRiseColumn, kOvershootPercentColumn,
                kOvershootColumn, kSettlingColumn, kSteadyStateColumn, kFollowingColumn, kEndColumn,
                kColumnCount };

  frmScope(const modKVT_USB& tables, scope::ScopeRecorder& recorder, QWidget* parent = nullptr);
  ~frmScope() override;

  // Shows the window in front (the keyboard shortcut, --scope).
  void ShowScope();

  // The traces of the shown axes over the time window, one row per reply.
  bool ExportCsv(const QString& path) const;
  bool ExportPng(const QString& path);

  // Redraws now if anything changed (the refresh timer's handler).
  void Refresh();

  QListWidget* lstAxes() const { return lst_axes_; }
  QSpinBox* spnWindow() const { return spn_window_; }
  QPushButton* cmdPause() const { return cmd_pause_; }
  QCheckBox* chkAutoscale() const { return chk_autoscale_; }
  QDoubleSpinBox* spnPositionMin() const { return spn_position_min_; }
  QDoubleSpinBox* spnPositionMax() const { return spn_position_max_; }
  QDoubleSpinBox* spnErrorMax() const { return spn_error_max_; }
  QSpinBox* spnBand() const { return spn_band_; }
  QTableWidget* tblMoves() const { return tbl_moves_; }
  QCustomPlot* Plot() const { return plot_; }
  QTimer& RefreshTimer() { return refresh_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct AxisGraphs {
    QCPGraph* position = nullptr;
    QCPGraph* ideal = nullptr;
    QCPGraph* following = nullptr;
    QCPGraph* busy = nullptr;
    QCPGraph* error = nullptr;
  };

  void BuildPlot();
  void SelectionChanged();
  void LabelValueAxes(const std::vector<std::size_t>& shown);
  void FillGraphs();
  void FillMoves();
  double CountsPerUnit(std::size_t axis) const;
  QString Units(double counts, std::size_t axis) const;
  QString AxisName(std::size_t axis) const;
  std::vector<std::size_t> ShownAxes() const;

  const modKVT_USB& tables_;
  scope::ScopeRecorder& recorder_;

  QListWidget* lst_axes_ = nullptr;
  QSpinBox* spn_window_ = nullptr;
  QPushButton* cmd_pause_ = nullptr;
  QCheckBox* chk_autoscale_ = nullptr;
  QDoubleSpinBox* spn_position_min_ = nullptr;
  QDoubleSpinBox* spn_position_max_ = nullptr;
  QDoubleSpinBox* spn_error_max_ = nullptr;
  QSpinBox* spn_band_ = nullptr;
  QPushButton* cmd_export_csv_ = nullptr;
  QPushButton* cmd_export_png_ = nullptr;
  QCustomPlot* plot_ = nullptr;
  QCPAxisRect* position_rect_ = nullptr;
  QCPAxisRect* following_rect_ = nullptr;
  QCPAxisRect* flags_rect_ = nullptr;
  QTableWidget* tbl_moves_ = nullptr;
  QTimer refresh_;

  std::vector<AxisGraphs> graphs_;
  // What the plot and the table show, so an unchanged recorder costs nothing.
  std::uint64_t drawn_samples_ = UINT64_MAX;
  std::uint64_t drawn_moves_ = UINT64_MAX;
};

// Opens the Scope on F9 from any window of the program (none of the console's
// controls uses F9); not while a modal message is up.
class ScopeShortcut : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ScopeShortcut)

 public:
  static constexpr Qt::Key kKey = Qt::Key_F9;
  explicit ScopeShortcut(frmScope& scope, QObject* parent = nullptr);
  ~ScopeShortcut() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  frmScope& scope_;
};

}  // namespace stage::ui

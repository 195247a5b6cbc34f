// The Scope "Scope": live traces of the axes an operator picks (actual and
// ideal position in the axis's units, the following error, busy and error as
// steps) over the last 2 to 60 s, and beside them the step-response figures
// of each axis's latest moves. Everything it draws comes from the recorder,
// which the polling exchange feeds; it reads no control of the console's
// windows and writes nothing anyone else reads. The traces are drawn by a
// thread of their own into a picture (TraceRenderer), at most kRefreshMs
// apart while the window is visible and something new came in, and no
// faster than they move by a column; the GUI thread, which polls the
// controllers, only hands over the new replies and shows the finished
// picture with the axes, just after a poll rather than in the way of the
// next one. Exports are written by a thread of their own, from the drawing
// thread's copy of the samples, through a temporary file renamed into place
// only when whole.
//
// Not one of the console's own windows: coming back from it to the main
// window counts as coming back from another application, and closing it only
// hides it.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/scope/run_file.h"
#include "stage/scope/scope_recorder.h"
#include "ui/scope/trace_renderer.h"

class QCheckBox;
class QLabel;
class QTabWidget;
class QCustomPlot;
class QCPAxisRect;
class QCPGraph;
class QCPAxis;
class QDoubleSpinBox;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QVBoxLayout;
class QHBoxLayout;
class QFormLayout;
class QSplitter;

namespace stage::ui {

class PlotCursors;
class ScopeStepTest;

// NOLINTNEXTLINE(readability-identifier-naming): named like the console's windows
class frmScope : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmScope)

 public:
  static constexpr int kRefreshMs = 33;  // about 30 redraws a second
  static constexpr int kMinWindowS = 2;
  static constexpr int kMaxWindowS = 60;
  // The figures table: one row per move kept, newest first.
  enum Column { kAxisColumn, kMoveColumn, kStartColumn, kStepColumn, kRiseColumn, kOvershootPercentColumn,
                kOvershootColumn, kSettlingColumn, kSteadyStateColumn, kFollowingColumn, kInPositionColumn,
                kAcceleratingPeakColumn, kAcceleratingRmsColumn, kCruisingPeakColumn, kCruisingRmsColumn,
                kBrakingPeakColumn, kBrakingRmsColumn, kBandColumn, kEndColumn, kGainsColumn, kColumnCount };
  // The least span autoscale gives a value axis, either side of a flat trace.
  static constexpr double kLeastHalfSpanCounts = 16;

  frmScope(const modKVT_USB& tables, scope::ScopeRecorder& recorder, QWidget* parent = nullptr);
  ~frmScope() override;

  // Shows the window in front (the keyboard shortcut, --scope). The first
  // time, it is placed clear of the program's other windows where the
  // screen has room, and moved clear of a window that opens later (the main
  // window after OK) until the operator moves it.
  void ShowScope();
  // --scope: opened with the start-up window, clear of it and without taking
  // the keyboard from it; minimised when the screen has no room beside it.
  void OpenAtStart();

  // The traces of the shown axes over the time window, one row per reply;
  // the plot as a picture. Written here and now; false with `error` set when
  // the file could not be written whole (no file is left then).
  bool ExportCsv(const QString& path, QString* error = nullptr) const;
  bool ExportPng(const QString& path, QString* error = nullptr);
  // The same on the export thread, as the buttons do: ExportFinished tells
  // the outcome, and a failure is shown in a message box.
  void StartExportCsv(const QString& path);
  void StartExportPng(const QString& path);
  bool Exporting() const { return exporting_; }

  // Runs (frmScope_runs.cpp): the shown axes' traces over the window, the
  // figures of their moves and the gains last sent, saved to a file
  // (docs/runs.md) on the export thread; a saved run loaded back, read and
  // checked on the export thread and shown beside the live one (its figures
  // in the table, its traces against the time axis above the plot) or, when
  // anything in it is wrong, not at all with a message; the figures table
  // as CSV. Failures are shown in a message box.
  void StartSaveRun(const QString& path);
  void StartLoadRun(const QString& path);
  void StartExportFigures(const QString& path);
  // The run loaded, if any: the file's name and its axes.
  const scope::Run* LoadedRun() const { return loaded_ ? &loaded_->run : nullptr; }
  QPushButton* cmdSaveRun() const { return cmd_save_run_; }
  QPushButton* cmdLoadRun() const { return cmd_load_run_; }
  QPushButton* cmdExportFigures() const { return cmd_export_figures_; }

  // Redraws now if anything changed and waits for the drawing thread (at
  // most a few seconds); the refresh timer asks without waiting.
  void Refresh();
  // The newest actual position the plot draws for `axis`, in its unit; NaN
  // when the axis is not drawn.
  double NewestDrawn(std::size_t axis) const;
  // What the latest frame cost: the drawing thread's CPU time, and the time
  // from showing it to the end of the plot's repaint on the GUI thread.
  std::int64_t RenderCostUs() const { return render_cost_us_; }
  std::int64_t ShowCostUs() const { return show_cost_us_; }

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
  // The traces as last drawn by the drawing thread, without axes or grid.
  QImage TraceImage() const;
  QTimer& RefreshTimer() { return refresh_; }
  // Capture on GO: the plot holds the window from the pre-trigger before
  // the latest move's command, its time axis counted from that command.
  QCheckBox* chkCapture() const { return chk_capture_; }
  QSpinBox* spnPreTrigger() const { return spn_pretrigger_; }
  // The command the captured window is counted from (time since the first
  // exchange); empty while not captured.
  std::optional<std::int64_t> CaptureOriginUs() const { return capture_origin_us_; }
  PlotCursors& Cursors() const { return *cursors_; }
  QLabel* lblCursors() const { return lbl_cursors_; }
  QTabWidget* Tabs() const { return tabs_; }
  ScopeStepTest& StepTest() const { return *step_test_; }
  // The value axes of the position and the following error for the k-th unit
  // among the shown axes (one pair per unit), empty past the last.
  QCPAxis* PositionAxis(std::size_t unit) const;
  QCPAxis* FollowingAxis(std::size_t unit) const;

 signals:
  void ExportFinished(bool ok, const QString& message);
  void RunLoaded(bool ok, const QString& message);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct AxisGraphs {
    QCPGraph* position = nullptr;
    QCPGraph* ideal = nullptr;
    QCPGraph* following = nullptr;
    QCPGraph* busy = nullptr;
    QCPGraph* error = nullptr;
  };

  struct UnitAxes {
    QString unit;
    QCPAxis* position = nullptr;
    QCPAxis* following = nullptr;
    double least_half_span = 1;
    double position_low = 0, position_high = 0, following_low = 0, following_high = 0;
    bool any = false;
  };
  struct CsvAxis {
    std::size_t axis = 0;
    QString name;
    QString unit;
    double per_unit = 1;
    std::vector<scope::ScopeSample> samples;
  };
  // What a CSV export writes, settled on the GUI thread; the samples are
  // copied where it runs.
  struct CsvPlan {
    std::vector<CsvAxis> axes;
    double lower_s = 0;
    double upper_s = 0;
  };

  void BuildPlot();
  // The step test, capture on GO and the cursors (frmScope_tuning.cpp).
  void BuildTuning(QFormLayout& form, QSplitter& live, QHBoxLayout& layout);
  // Where the frame under way starts and ends when captured on GO or held
  // by the operator's zoom or pan.
  void ViewWindow(const std::vector<std::size_t>& shown, std::int64_t& from_us, std::int64_t& to_us);
  std::optional<std::int64_t> LatestCommandUs(const std::vector<std::size_t>& shown) const;
  void SetTimeOrigin(std::optional<std::int64_t> origin_us);
  void SelectionChanged();
  void AssignValueAxes(const std::vector<std::size_t>& shown);
  // Everything drawn again from the start (a setting changed).
  void RedrawAll() { drawn_samples_ = UINT64_MAX; }
  // Asks for a frame where something changed, takes the moves; `wait` for
  // the frame and show it now.
  void Update(bool wait);
  void RequestFrame(bool wait);
  // A frame is finished: shown just after a poll.
  void FrameReady();
  void ShowFrame();
  bool InTheWayOfThePoll(std::int64_t cost_us) const;
  void WaitForThePoll();
  void FillMoves();
  bool Place();
  void MinimiseForRoom();
  bool WherePlaced() const;
  std::vector<QRect> OtherWindows() const;
  void KeepClear();
  void SettleClear();
  CsvPlan PlanCsv() const;
  static std::vector<CsvAxis> CsvSnapshot(TraceRenderer& renderer, CsvPlan plan);
  static bool WriteCsv(const std::vector<CsvAxis>& axes, const QString& path, QString* error, bool paced);
  static bool WritePng(const QImage& image, const QString& path, QString* error);
  void RunExport(std::function<bool(QString*)> job, const QString& path);
  void ExportDone(bool ok, const QString& path, const QString& error);
  // Runs and the figures table (frmScope_runs.cpp).
  struct RunShown {
    QString file;
    scope::Run run;
    std::vector<QCPGraph*> graphs;
  };
  void BuildRunControls(QVBoxLayout* controls);
  scope::Run RunSnapshot() const;
  void LoadDone(std::optional<scope::Run> run, const QString& path, const QString& error);
  void ShowLoadedTraces();
  void FillLoadedMoves(int first_row);
  void SetFiguresRow(int row, const QString& axis_name, const scope::StepFigures& f, double per_unit,
                     const QString& suffix);
  QString UnitOf(std::size_t axis) const;
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
  class TraceLayer* trace_layer_ = nullptr;
  QTimer refresh_;
  QCheckBox* chk_capture_ = nullptr;
  QSpinBox* spn_pretrigger_ = nullptr;
  QLabel* lbl_cursors_ = nullptr;
  PlotCursors* cursors_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  ScopeStepTest* step_test_ = nullptr;
  std::optional<std::int64_t> capture_origin_us_;

  std::vector<AxisGraphs> graphs_;
  std::vector<UnitAxes> units_;                    // of the shown axes, in order
  std::vector<QCPAxis*> position_axes_;            // made so far: left, right, then more
  std::vector<QCPAxis*> following_axes_;
  std::vector<std::size_t> unit_of_shown_;         // index into units_, per shown axis
  QStringList drawn_units_;
  std::unique_ptr<TraceRenderer> renderer_;
  std::int64_t drawn_to_us_ = 0;                   // the end of the time axis asked for last
  std::vector<double> newest_drawn_;               // per axis, as the latest frame shown draws it
  int deferred_ = 0;                               // times a frame waited for the next poll
  std::int64_t render_cost_us_ = 0;                // the drawing thread's CPU time for the latest frame
  std::int64_t show_cost_us_ = 0;                  // showing it, to the end of the repaint
  std::int64_t column_us_ = 0;                     // the time a column of its traces covers
  bool handing_over_ = false;                      // the rest of a long hide's replies queued
  std::int64_t paused_at_us_ = INT64_MAX;          // the latest reply when paused
  std::size_t shown_in_progress_ = 0;              // moves in progress the table shows
  QElapsedTimer moves_age_;                        // since the table was last filled
  std::uint64_t sized_for_moves_ = UINT64_MAX;     // the columns fit the rows of then
  bool placed_ = false;
  QRect auto_geometry_;                            // where the Scope placed itself
  bool recheck_queued_ = false;
  // For a while after a window appears the window manager may still place,
  // frame or centre it: the Scope looks again every few hundred ms.
  QTimer settle_timer_;
  int settle_checks_left_ = 0;
  QPointer<QWidget> hand_keyboard_back_to_;        // --scope: the start-up window
  bool minimised_for_room_ = false;                // no room beside the others when placed
  bool exporting_ = false;
  QPushButton* cmd_save_run_ = nullptr;
  QPushButton* cmd_load_run_ = nullptr;
  QPushButton* cmd_export_figures_ = nullptr;
  std::optional<RunShown> loaded_;
  std::thread export_thread_;
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

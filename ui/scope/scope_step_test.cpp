#include "ui/scope/scope_step_test.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <qcustomplot.h>

#include "ui/common/accessible_names.h"
#include "ui/main/frmMain.h"
#include "ui/scope/plot_cursors.h"
#include "ui/scope/scope_text.h"

namespace stage::ui {
namespace {

using scope::StepFigures;
using scope::StepTest;
using scope::StepTestRow;

const std::array<QColor, 6> kRunColors = {QColor(31, 119, 180), QColor(214, 39, 40), QColor(44, 160, 44),
                                          QColor(255, 127, 14), QColor(148, 103, 189), QColor(23, 190, 207)};

QString Ms(double us) { return QString::number(us / 1000, 'f', 1); }

}  // namespace

QString GainsText(const usb::TuningValues& gains) {
  return QStringLiteral("P %1  I %2  D %3  Acc %4  Max speed %5  Torque %6  F error %7  Speed %8")
      .arg(gains.p)
      .arg(gains.i)
      .arg(gains.d)
      .arg(gains.acc)
      .arg(gains.max_speed)
      .arg(gains.torque)
      .arg(gains.f_error)
      .arg(gains.speed);
}

QString LoopGainsText(const usb::TuningValues& gains) {
  return QStringLiteral("%1 %2 %3").arg(gains.p).arg(gains.i).arg(gains.d);
}

ScopeStepTest::ScopeStepTest(const modKVT_USB& tables, scope::ScopeRecorder& recorder, QWidget* parent)
    : QWidget(parent), tables_(tables), recorder_(recorder) {
  setObjectName(QStringLiteral("stepTest"));
  cmb_axis_ = new QComboBox(this);
  cmb_axis_->setObjectName(QStringLiteral("cmbStepAxis"));
  for (std::size_t i = 0; i < recorder_.AxisCount(); ++i) cmb_axis_->addItem(AxisName(i));
  spn_distance_ = new QDoubleSpinBox(this);
  spn_distance_->setObjectName(QStringLiteral("spnStepDistance"));
  spn_distance_->setRange(-1e9, 1e9);
  spn_distance_->setDecimals(3);
  spn_distance_->setValue(100);
  spn_dwell_ = new QSpinBox(this);
  spn_dwell_->setObjectName(QStringLiteral("spnStepDwell"));
  spn_dwell_->setRange(0, 60'000);
  spn_dwell_->setValue(500);
  spn_dwell_->setSuffix(QStringLiteral(" ms"));
  spn_moves_ = new QSpinBox(this);
  spn_moves_->setObjectName(QStringLiteral("spnStepMoves"));
  spn_moves_->setRange(1, scope::kMostStepTestMoves);
  spn_moves_->setValue(4);
  cmb_direction_ = new QComboBox(this);
  cmb_direction_->setObjectName(QStringLiteral("cmbStepDirection"));
  cmb_direction_->addItems({QStringLiteral("Back and forth"), QStringLiteral("One way")});
  cmd_start_ = new QPushButton(QStringLiteral("Start"), this);
  cmd_start_->setObjectName(QStringLiteral("cmdStepStart"));
  cmd_stop_ = new QPushButton(QStringLiteral("Stop"), this);
  cmd_stop_->setObjectName(QStringLiteral("cmdStepStop"));
  cmd_stop_->setEnabled(false);
  lbl_status_ = new QLabel(this);
  lbl_status_->setObjectName(QStringLiteral("lblStepStatus"));
  lbl_status_->setTextFormat(Qt::PlainText);  // refusals quote the operator's numbers
  lbl_status_->setWordWrap(true);

  auto* settings = new QHBoxLayout;
  auto labelled = [&](const QString& caption, QWidget* widget) {
    auto* label = new QLabel(caption, this);
    label->setBuddy(widget);
    settings->addWidget(label);
    settings->addWidget(widget);
  };
  labelled(QStringLiteral("&Axis"), cmb_axis_);
  labelled(QStringLiteral("&Distance"), spn_distance_);
  labelled(QStringLiteral("D&well"), spn_dwell_);
  labelled(QStringLiteral("&Moves"), spn_moves_);
  settings->addWidget(cmb_direction_);
  settings->addWidget(cmd_start_);
  settings->addWidget(cmd_stop_);
  settings->addStretch(1);

  plot_ = new QCustomPlot(this);
  plot_->setObjectName(QStringLiteral("overlay"));
  plot_->setMinimumSize(300, 200);
  plot_->setAutoAddPlottableToLegend(false);
  plot_->plotLayout()->clear();
  auto* margins = new QCPMarginGroup(plot_);
  auto rect = [&](int row, const QString& label) {
    auto* r = new QCPAxisRect(plot_);
    plot_->plotLayout()->addElement(row, 0, r);
    r->setMarginGroup(QCP::msLeft | QCP::msRight, margins);
    r->axis(QCPAxis::atLeft)->setLabel(label);
    r->axis(QCPAxis::atBottom)->setLabel(QStringLiteral("Time from GO (ms)"));
    return r;
  };
  step_rect_ = rect(0, QStringLiteral("Step"));
  following_rect_ = rect(1, QStringLiteral("Following error"));
  plot_->plotLayout()->setRowStretchFactor(0, 3);
  plot_->plotLayout()->setRowStretchFactor(1, 2);
  plot_->legend = new QCPLegend;
  step_rect_->insetLayout()->addElement(plot_->legend, Qt::AlignBottom | Qt::AlignRight);
  plot_->legend->setLayer(QStringLiteral("legend"));
  plot_->legend->setVisible(true);
  lbl_cursors_ = new QLabel(this);
  lbl_cursors_->setObjectName(QStringLiteral("lblOverlayCursors"));
  cursors_ = new PlotCursors(*plot_, *lbl_cursors_, 1, QStringLiteral("ms"),
                             [this](const QCPAxisRect*) {
                               const int axis = cmb_axis_->currentIndex();
                               return axis < 0 ? QString() : QString::fromStdString(tables_.UnitSuffix.empty() ? std::string() : tables_.UnitSuffix[static_cast<std::size_t>(axis)]).trimmed();
                             },
                             this);
  cursors_->SetRects({step_rect_, following_rect_});
  connect(cursors_, &PlotCursors::ViewReset, this, [this] { DrawOverlay(); });

  lst_runs_ = new QListWidget(this);
  lst_runs_->setObjectName(QStringLiteral("lstRuns"));
  lst_runs_->setAccessibleName(QStringLiteral("Runs overlaid"));
  cmd_pin_ = new QPushButton(QStringLiteral("Pin as reference"), this);
  cmd_pin_->setObjectName(QStringLiteral("cmdPinReference"));
  tbl_runs_ = new QTableWidget(0, kColumnCount, this);
  tbl_runs_->setObjectName(QStringLiteral("tblRuns"));
  tbl_runs_->setHorizontalHeaderLabels(
      {QStringLiteral("Run"), QStringLiteral("Move"), QStringLiteral("Target"), QStringLiteral("Rise\n10-90 %\n(ms)"),
       QStringLiteral("Over-\nshoot\n(%)"), QStringLiteral("Over-\nshoot"), QStringLiteral("Settling\n(ms)"),
       QStringLiteral("Steady-\nstate\nerror"), QStringLiteral("Peak\nfollowing\nerror"), QStringLiteral("End"),
       QStringLiteral("P"), QStringLiteral("I"), QStringLiteral("D"), QStringLiteral("Acc"), QStringLiteral("Max\nspeed"),
       QStringLiteral("Torque"), QStringLiteral("F\nerror"), QStringLiteral("Speed")});
  tbl_runs_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tbl_runs_->verticalHeader()->setVisible(false);

  auto* runs_box = new QWidget(this);
  auto* runs_layout = new QVBoxLayout(runs_box);
  runs_layout->setContentsMargins(0, 0, 0, 0);
  runs_layout->addWidget(new QLabel(QStringLiteral("Runs"), runs_box));
  runs_layout->addWidget(lst_runs_, 1);
  runs_layout->addWidget(cmd_pin_);
  auto* lower = new QSplitter(Qt::Horizontal, this);
  lower->addWidget(runs_box);
  lower->addWidget(tbl_runs_);
  lower->setStretchFactor(1, 3);
  auto* plot_box = new QWidget(this);
  auto* plot_layout = new QVBoxLayout(plot_box);
  plot_layout->setContentsMargins(0, 0, 0, 0);
  plot_layout->addWidget(plot_, 1);
  plot_layout->addWidget(lbl_cursors_);
  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->addWidget(plot_box);
  splitter->addWidget(lower);
  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 2);
  splitter->setChildrenCollapsible(false);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(settings);
  layout->addWidget(lbl_status_);
  layout->addWidget(splitter, 1);

  poll_.setInterval(kPollMs);
  poll_.setTimerType(Qt::PreciseTimer);
  connect(&poll_, &QTimer::timeout, this, &ScopeStepTest::Poll);
  connect(cmd_start_, &QPushButton::clicked, this, &ScopeStepTest::Start);
  connect(cmd_stop_, &QPushButton::clicked, this, &ScopeStepTest::StopPressed);
  connect(cmd_pin_, &QPushButton::clicked, this, &ScopeStepTest::PinSelected);
  connect(lst_runs_, &QListWidget::itemChanged, this, [this] { DrawOverlay(); });
  connect(cmb_axis_, &QComboBox::currentIndexChanged, this, &ScopeStepTest::AxisChanged);
  AxisChanged();
}

ScopeStepTest::~ScopeStepTest() = default;

frmMain* ScopeStepTest::MainWindow() const {
  // The main window opens after the Scope, on the start-up window's OK: it
  // is looked for when a test starts rather than handed over.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* main = qobject_cast<frmMain*>(window); main != nullptr && main->Constructed()) return main;
  }
  return nullptr;
}

double ScopeStepTest::CountsPerUnit(std::size_t axis) const { return CountsPerUnitOf(tables_, axis); }

QString ScopeStepTest::Units(double counts, std::size_t axis) const { return CountsInUnits(tables_, counts, axis); }

QString ScopeStepTest::AxisName(std::size_t axis) const { return ScopeAxisName(tables_, axis); }

void ScopeStepTest::AxisChanged() {
  const int axis = cmb_axis_->currentIndex();
  if (axis < 0) return;
  const auto k = static_cast<std::size_t>(axis);
  // The names and units are settled on the start-up window's OK, after the
  // Scope was made.
  for (int i = 0; i < cmb_axis_->count(); ++i) cmb_axis_->setItemText(i, AxisName(static_cast<std::size_t>(i)));
  spn_distance_->setSuffix(k < tables_.UnitSuffix.size() ? QString::fromStdString(tables_.UnitSuffix[k]) : QString());
}

void ScopeStepTest::Start() {
  if (test_.Running()) return;
  AxisChanged();
  const auto axis = static_cast<std::size_t>(std::max(0, cmb_axis_->currentIndex()));
  frmMain* main = MainWindow();
  QString refusal;
  if (main == nullptr) {
    refusal = QStringLiteral("The step test moves the axis through the main window, which is not open.");
  } else if (axis >= recorder_.AxisCount() || recorder_.Samples(axis).Size() == 0) {
    refusal = QStringLiteral("No reply from axis %1 yet.").arg(AxisName(axis));
  } else if (recorder_.Moving(axis)) {
    refusal = QStringLiteral("Axis %1 is moving: a step test starts with the axis at rest.").arg(AxisName(axis));
  }
  if (refusal.isEmpty()) {
    scope::StepTestPlan plan;
    plan.distance_counts = spn_distance_->value() * CountsPerUnit(axis);
    plan.dwell_us = std::int64_t{spn_dwell_->value()} * 1000;
    plan.moves = spn_moves_->value();
    plan.back_and_forth = cmb_direction_->currentIndex() == 0;
    const auto index = static_cast<AxisIndex>(axis);
    const std::string label = AxisLabel(tables_, index).toStdString();
    const AxisUnits units{label, CountsPerUnit(axis), tables_.UnitSuffix.at(axis)};
    const std::string refused =
        test_.Start(plan, recorder_.Samples(axis).Newest().ideal_position, main->TravelLimitsOf(index), units,
                    recorder_.NowUs(), recorder_.InterruptionsOf(axis));
    refusal = QString::fromStdString(refused);
  }
  if (!refusal.isEmpty()) {
    lbl_status_->setText(QStringLiteral("Not started: ") + refusal);
    return;
  }
  // Moves that ended before the start are none of the test's.
  const scope::Ring<StepFigures>& moves = recorder_.Moves(axis);
  seen_end_us_ = moves.Size() > 0 ? moves.Newest().end_us : -1;
  seen_start_us_ = moves.Size() > 0 ? moves.Newest().start_us : -1;
  Run run;
  run.number = static_cast<int>(runs_.size()) + 1;
  run.axis = axis;
  run.plan = test_.Plan();
  runs_.push_back(run);
  auto* item = new QListWidgetItem(RunLabel(runs_.back()));
  item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  item->setCheckState(Qt::Checked);
  {
    const QSignalBlocker quiet(lst_runs_);
    lst_runs_->addItem(item);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{cmb_axis_, spn_distance_, spn_dwell_, spn_moves_, cmb_direction_,
                                                    cmd_start_}) {
    w->setEnabled(false);
  }
  cmd_stop_->setEnabled(true);
  lbl_status_->setText(QStringLiteral("Run %1 on axis %2: move 1 of %3.")
                           .arg(run.number)
                           .arg(AxisName(axis))
                           .arg(run.plan.moves));
  poll_.start();
  Poll();
}

void ScopeStepTest::Poll() {
  if (runs_.empty()) return;
  const std::size_t axis = runs_.back().axis;
  TakeNewMoves();
  StepTest::Action action = test_.Poll(recorder_.NowUs(), recorder_.InterruptionsOf(axis), recorder_.Moving(axis));
  if (action.kind == StepTest::Action::Kind::kMove) {
    frmMain* main = MainWindow();
    if (main == nullptr) {
      test_.Refused("The main window is closed.");
    } else {
      const frmMain::MoveVerdict verdict =
          main->RequestMove(static_cast<AxisIndex>(axis), MoveKind::kAbsolute, action.target_counts);
      if (!verdict.accepted()) {
        test_.Refused(verdict.text.toStdString());
      } else {
        lbl_status_->setText(QStringLiteral("Run %1 on axis %2: move %3 of %4 to %5.")
                                 .arg(runs_.back().number)
                                 .arg(AxisName(axis))
                                 .arg(action.move + 1)
                                 .arg(runs_.back().plan.moves)
                                 .arg(Units(action.target_counts, axis)));
      }
    }
    if (!test_.Running()) action = test_.Poll(recorder_.NowUs(), recorder_.InterruptionsOf(axis), false);
  }
  if (action.kind == StepTest::Action::Kind::kFinished || action.kind == StepTest::Action::Kind::kAborted) Ended();
}

void ScopeStepTest::TakeNewMoves() {
  Run& run = runs_.back();
  const scope::Ring<StepFigures>& moves = recorder_.Moves(run.axis);
  for (std::size_t k = 0; k < moves.Size(); ++k) {
    const StepFigures& m = moves[k];
    if (m.end_us < seen_end_us_ || (m.end_us == seen_end_us_ && m.start_us <= seen_start_us_)) continue;
    seen_end_us_ = m.end_us;
    seen_start_us_ = m.start_us;
    test_.MoveEnded(m);
  }
  if (test_.Rows().size() == run.rows.size()) return;
  for (std::size_t k = run.rows.size(); k < test_.Rows().size(); ++k) {
    run.rows.push_back(test_.Rows()[k]);
    run.traces.push_back(scope::MoveTrace(recorder_.Samples(run.axis), run.rows.back().figures, kOverlayBeforeUs));
  }
  if (QListWidgetItem* item = lst_runs_->item(static_cast<int>(runs_.size()) - 1)) {
    const QSignalBlocker quiet(lst_runs_);
    item->setText(RunLabel(run));
  }
  FillTable();
  DrawOverlay();
}

void ScopeStepTest::Ended() {
  poll_.stop();
  TakeNewMoves();
  Run& run = runs_.back();
  run.finished = test_.Status() == StepTest::State::kFinished;
  run.reason = QString::fromStdString(test_.Reason());
  // Moves made whole: an interrupted move has its row, but does not count.
  const auto made = std::count_if(run.rows.begin(), run.rows.end(), [](const StepTestRow& row) {
    return row.figures.end == StepFigures::End::kSettled || row.figures.end == StepFigures::End::kNotSettled;
  });
  lbl_status_->setText(run.finished ? QStringLiteral("Run %1 finished: %2 moves.").arg(run.number).arg(made)
                                    : QStringLiteral("Run %1 ended after %2 of %3 moves: %4")
                                          .arg(run.number)
                                          .arg(made)
                                          .arg(run.plan.moves)
                                          .arg(run.reason));
  for (QWidget* w : std::initializer_list<QWidget*>{cmb_axis_, spn_distance_, spn_dwell_, spn_moves_, cmb_direction_,
                                                    cmd_start_}) {
    w->setEnabled(true);
  }
  cmd_stop_->setEnabled(false);
  FillTable();
}

void ScopeStepTest::StopPressed() { AbortTest(QStringLiteral("Stopped from the Scope.")); }

void ScopeStepTest::AbortTest(const QString& reason) {
  if (!test_.Running()) return;
  const std::size_t axis = runs_.back().axis;
  if (test_.Abort(reason.toStdString())) {
    if (frmMain* main = MainWindow()) main->RequestStop(static_cast<AxisIndex>(axis));
  }
  test_.Poll(recorder_.NowUs(), recorder_.InterruptionsOf(axis), false);  // the end, told here
  Ended();
}

QString ScopeStepTest::RunLabel(const Run& run) const {
  QString label = QStringLiteral("Run %1 (%2)").arg(run.number).arg(AxisName(run.axis));
  const StepTestRow* first = nullptr;
  bool changed = false;
  for (const StepTestRow& row : run.rows) {
    if (!row.figures.gains) continue;
    if (first == nullptr) {
      first = &row;
    } else if (*row.figures.gains != *first->figures.gains) {
      changed = true;
    }
    changed = changed || row.figures.gains_changed;
  }
  if (first != nullptr) label += QStringLiteral(": ") + GainsText(*first->figures.gains);
  if (changed) label += QStringLiteral(" (gains changed during the run)");
  if (reference_ && &runs_[*reference_] == &run) label = QStringLiteral("Reference: ") + label;
  return label;
}

void ScopeStepTest::PinSelected() {
  const int row = lst_runs_->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= runs_.size()) return;
  const auto k = static_cast<std::size_t>(row);
  reference_ = reference_ == k ? std::nullopt : std::optional<std::size_t>(k);
  const QSignalBlocker quiet(lst_runs_);
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    QListWidgetItem* item = lst_runs_->item(static_cast<int>(i));
    item->setText(RunLabel(runs_[i]));
    QFont font = item->font();
    font.setBold(reference_ == i);
    item->setFont(font);
  }
  DrawOverlay();
}

void ScopeStepTest::FillTable() {
  tbl_runs_->setRowCount(0);
  auto add_row = [this](const std::array<QString, kColumnCount>& cells) {
    const int r = tbl_runs_->rowCount();
    tbl_runs_->insertRow(r);
    for (int c = 0; c < kColumnCount; ++c) {
      auto* item = new QTableWidgetItem(cells[static_cast<std::size_t>(c)]);
      if (c != kMoveColumn && c != kEndColumn) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      tbl_runs_->setItem(r, c, item);
    }
  };
  const QString none = QStringLiteral("-");
  for (const Run& run : runs_) {
    const std::size_t axis = run.axis;
    for (const StepTestRow& row : run.rows) {
      const StepFigures& f = row.figures;
      std::array<QString, kColumnCount> cells;
      cells[kRunColumn] = QString::number(run.number);
      const bool out = f.target_counts >= f.start_counts ? run.plan.distance_counts >= 0 : run.plan.distance_counts < 0;
      cells[kMoveColumn] = QStringLiteral("%1 %2").arg(row.move + 1).arg(out ? QStringLiteral("out") : QStringLiteral("back"));
      cells[kTargetColumn] = Units(row.target_counts, axis);
      cells[kRiseColumn] = f.rise_time_us ? Ms(*f.rise_time_us) : none;
      cells[kOvershootPercentColumn] = f.overshoot_percent ? QString::number(*f.overshoot_percent, 'f', 2) : none;
      cells[kOvershootColumn] = Units(f.overshoot_counts, axis);
      cells[kSettlingColumn] = f.settling_time_us ? Ms(static_cast<double>(*f.settling_time_us)) : none;
      cells[kSteadyStateColumn] = f.steady_state_error_counts ? Units(*f.steady_state_error_counts, axis) : none;
      cells[kFollowingColumn] = Units(f.peak_following_error_counts, axis);
      cells[kEndColumn] = EndName(f.end);
      if (f.gains) {
        const usb::TuningValues& g = *f.gains;
        cells[kPColumn] = QString::number(g.p);
        cells[kIColumn] = QString::number(g.i);
        cells[kDColumn] = QString::number(g.d);
        cells[kAccColumn] = QString::number(g.acc);
        cells[kMaxSpeedColumn] = QString::number(g.max_speed);
        cells[kTorqueColumn] = QString::number(g.torque);
        cells[kFErrorColumn] = QString::number(g.f_error);
        cells[kSpeedColumn] = QString::number(g.speed);
        if (f.gains_changed) cells[kEndColumn] += QStringLiteral(", gains changed");
      } else {
        for (int c = kPColumn; c <= kSpeedColumn; ++c) cells[static_cast<std::size_t>(c)] = none;
      }
      add_row(cells);
    }
    // Mean and spread per direction (one way: one direction).
    const int sign = run.plan.distance_counts >= 0 ? 1 : -1;
    std::vector<std::pair<int, QString>> directions = {{sign, QStringLiteral("out")}};
    if (run.plan.back_and_forth) directions.emplace_back(-sign, QStringLiteral("back"));
    for (const auto& [direction, name] : directions) {
      const scope::StepTestSummary s = scope::Summarize(run.rows, direction);
      if (s.moves < 2) continue;
      auto stat = [&](const scope::FigureStats& stats, bool mean, auto format) {
        return stats.count == 0 ? none : format(mean ? stats.mean : stats.spread);
      };
      for (const bool mean : {true, false}) {
        std::array<QString, kColumnCount> cells;
        cells[kRunColumn] = QString::number(run.number);
        cells[kMoveColumn] = (mean ? QStringLiteral("mean ") : QStringLiteral("spread ")) + name;
        const auto ms = [](double us) { return Ms(us); };
        const auto units = [&](double counts) { return Units(counts, axis); };
        cells[kRiseColumn] = stat(s.rise_us, mean, ms);
        cells[kOvershootPercentColumn] = stat(s.overshoot_percent, mean, [](double v) { return QString::number(v, 'f', 2); });
        cells[kOvershootColumn] = stat(s.overshoot_counts, mean, units);
        cells[kSettlingColumn] = stat(s.settling_us, mean, ms);
        cells[kSteadyStateColumn] = stat(s.steady_state_counts, mean, units);
        cells[kFollowingColumn] = stat(s.peak_following_counts, mean, units);
        cells[kEndColumn] = QStringLiteral("%1 moves").arg(s.moves);
        add_row(cells);
      }
    }
  }
  tbl_runs_->resizeColumnsToContents();
  tbl_runs_->scrollToBottom();
}

void ScopeStepTest::DrawOverlay() {
  plot_->clearGraphs();
  plot_->legend->clearItems();
  std::vector<std::size_t> order;
  if (reference_) order.push_back(*reference_);  // under the others
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    const QListWidgetItem* item = lst_runs_->item(static_cast<int>(i));
    if (reference_ != i && item != nullptr && item->checkState() == Qt::Checked) order.push_back(i);
  }
  double latest_ms = 0;
  for (std::size_t i : order) {
    const Run& run = runs_[i];
    const bool reference = reference_ == i;
    const QPen pen = reference ? QPen(Qt::black, 2) : QPen(kRunColors[static_cast<std::size_t>(run.number - 1) % kRunColors.size()], 1);
    const double per_unit = CountsPerUnit(run.axis);
    for (std::size_t m = 0; m < run.traces.size(); ++m) {
      QCPGraph* step = plot_->addGraph(step_rect_->axis(QCPAxis::atBottom), step_rect_->axis(QCPAxis::atLeft));
      QCPGraph* following =
          plot_->addGraph(following_rect_->axis(QCPAxis::atBottom), following_rect_->axis(QCPAxis::atLeft));
      step->setPen(pen);
      following->setPen(pen);
      for (const scope::TracePoint& p : run.traces[m]) {
        step->addData(p.time_us / 1000, p.progress_counts / per_unit);
        following->addData(p.time_us / 1000, p.following_counts / per_unit);
        latest_ms = std::max(latest_ms, p.time_us / 1000);
      }
      if (m == 0) {
        step->setName(RunLabel(run));
        step->addToLegend();
      }
    }
  }
  const int axis = cmb_axis_->currentIndex();
  const QString unit = axis >= 0 && static_cast<std::size_t>(axis) < tables_.UnitSuffix.size()
                           ? QString::fromStdString(tables_.UnitSuffix[static_cast<std::size_t>(axis)]).trimmed()
                           : QString();
  const QString in_unit = unit.isEmpty() ? QString() : QStringLiteral(" (") + unit + QLatin1Char(')');
  step_rect_->axis(QCPAxis::atLeft)->setLabel(QStringLiteral("Step") + in_unit);
  following_rect_->axis(QCPAxis::atLeft)->setLabel(QStringLiteral("Following error") + in_unit);
  if (!cursors_->ViewHeld()) {
    for (QCPAxisRect* r : {step_rect_, following_rect_}) {
      r->axis(QCPAxis::atBottom)->setRange(-static_cast<double>(kOverlayBeforeUs) / 1000, std::max(latest_ms, 1.0));
      bool found = false;
      QCPRange values;
      for (QCPGraph* g : r->graphs()) {
        bool any = false;
        const QCPRange range = g->getValueRange(any);
        if (!any) continue;
        values = found ? QCPRange(std::min(values.lower, range.lower), std::max(values.upper, range.upper)) : range;
        found = true;
      }
      if (!found || values.size() <= 0) values = QCPRange(values.lower - 1, values.upper + 1);
      const double margin = values.size() * 0.05;
      r->axis(QCPAxis::atLeft)->setRange(values.lower - margin, values.upper + margin);
    }
  }
  plot_->replot(QCustomPlot::rpQueuedReplot);
}

}  // namespace stage::ui

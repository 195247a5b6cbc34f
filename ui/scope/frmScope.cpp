#include "ui/scope/frmScope.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTextStream>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <qcustomplot.h>

#include "stage/usb/packet_codec.h"
#include "ui/common/outside_window.h"

namespace stage::ui {
namespace {

using scope::ScopeSample;
using scope::StepFigures;

constexpr int kDefaultWindowS = 10;
// The flags of each shown axis take a band of this height: error as a step
// from 0 to 1, busy from 1.5 to 2.5.
constexpr double kFlagsSlot = 3;
constexpr double kBusyBase = 1.5;
// Redraws are spaced at least this many times their own cost apart...
constexpr qint64 kMaxPaintShare = 5;
// ...but never further than this.
constexpr qint64 kSlowestRefreshMs = 500;

const std::array<QColor, 8> kAxisColors = {QColor(31, 119, 180), QColor(214, 39, 40), QColor(44, 160, 44),
                                           QColor(255, 127, 14), QColor(148, 103, 189), QColor(140, 86, 75),
                                           QColor(227, 119, 194), QColor(23, 190, 207)};

QString EndName(StepFigures::End end) {
  switch (end) {
    case StepFigures::End::kSettled:
      return QStringLiteral("settled");
    case StepFigures::End::kNotSettled:
      return QStringLiteral("not settled");
    case StepFigures::End::kStopped:
      return QStringLiteral("stopped");
    case StepFigures::End::kReplaced:
      return QStringLiteral("replaced");
    case StepFigures::End::kMoving:
      return QStringLiteral("moving");
  }
  return {};
}

QString Milliseconds(double us) { return QString::number(us / 1000, 'f', 1); }

// The first sample at or after `from_us`: the times only grow.
std::size_t FirstFrom(const scope::Ring<ScopeSample>& ring, std::int64_t from_us) {
  std::size_t low = 0;
  std::size_t high = ring.Size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (ring[mid].time_us < from_us) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

}  // namespace

frmScope::frmScope(const modKVT_USB& tables, scope::ScopeRecorder& recorder, QWidget* parent)
    : QWidget(parent, Qt::Window), tables_(tables), recorder_(recorder) {
  setObjectName(QStringLiteral("frmScope"));
  setWindowTitle(QStringLiteral("Scope"));

  lst_axes_ = new QListWidget(this);
  lst_axes_->setObjectName(QStringLiteral("lstAxes"));
  lst_axes_->setAccessibleName(QStringLiteral("Axes traced"));
  for (std::size_t i = 0; i < recorder_.AxisCount(); ++i) {
    auto* item = new QListWidgetItem(AxisName(i), lst_axes_);
    item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setCheckState(i == 0 ? Qt::Checked : Qt::Unchecked);
  }
  lst_axes_->setMaximumWidth(140);

  spn_window_ = new QSpinBox(this);
  spn_window_->setObjectName(QStringLiteral("spnWindow"));
  spn_window_->setRange(kMinWindowS, kMaxWindowS);
  spn_window_->setValue(kDefaultWindowS);
  spn_window_->setSuffix(QStringLiteral(" s"));

  spn_band_ = new QSpinBox(this);
  spn_band_->setObjectName(QStringLiteral("spnBand"));
  spn_band_->setRange(1, 1'000'000);
  spn_band_->setValue(recorder_.Settings().band_counts);
  spn_band_->setPrefix(QStringLiteral("± "));
  spn_band_->setSuffix(QStringLiteral(" counts"));

  chk_autoscale_ = new QCheckBox(QStringLiteral("Autoscale"), this);
  chk_autoscale_->setObjectName(QStringLiteral("chkAutoscale"));
  chk_autoscale_->setChecked(true);
  auto spin = [this](const char* name, double value) {
    auto* box = new QDoubleSpinBox(this);
    box->setObjectName(QString::fromLatin1(name));
    box->setRange(-1e9, 1e9);
    box->setDecimals(2);
    box->setValue(value);
    box->setEnabled(false);
    return box;
  };
  spn_position_min_ = spin("spnPositionMin", 0);
  spn_position_max_ = spin("spnPositionMax", 1000);
  spn_error_max_ = spin("spnErrorMax", 10);
  spn_error_max_->setMinimum(0.01);

  cmd_pause_ = new QPushButton(QStringLiteral("Pause"), this);
  cmd_pause_->setObjectName(QStringLiteral("cmdPause"));
  cmd_pause_->setCheckable(true);
  cmd_export_csv_ = new QPushButton(QStringLiteral("Export CSV..."), this);
  cmd_export_csv_->setObjectName(QStringLiteral("cmdExportCsv"));
  cmd_export_png_ = new QPushButton(QStringLiteral("Export PNG..."), this);
  cmd_export_png_->setObjectName(QStringLiteral("cmdExportPng"));

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Window"), spn_window_);
  form->addRow(QStringLiteral("Band"), spn_band_);
  form->addRow(chk_autoscale_);
  form->addRow(QStringLiteral("Position min"), spn_position_min_);
  form->addRow(QStringLiteral("Position max"), spn_position_max_);
  form->addRow(QStringLiteral("Error ±"), spn_error_max_);

  auto* controls = new QVBoxLayout;
  controls->addWidget(new QLabel(QStringLiteral("Axes"), this));
  controls->addWidget(lst_axes_, 1);
  controls->addLayout(form);
  controls->addWidget(cmd_pause_);
  controls->addWidget(cmd_export_csv_);
  controls->addWidget(cmd_export_png_);

  plot_ = new QCustomPlot(this);
  plot_->setObjectName(QStringLiteral("plot"));
  plot_->setMinimumSize(480, 360);
  BuildPlot();

  tbl_moves_ = new QTableWidget(0, kColumnCount, this);
  tbl_moves_->setObjectName(QStringLiteral("tblMoves"));
  tbl_moves_->setHorizontalHeaderLabels({QStringLiteral("Axis"), QStringLiteral("Move"), QStringLiteral("Step"),
                                         QStringLiteral("Rise\n10-90 %\n(ms)"), QStringLiteral("Over-\nshoot\n(%)"),
                                         QStringLiteral("Over-\nshoot"), QStringLiteral("Settling\n(ms)"),
                                         QStringLiteral("Steady-\nstate\nerror"),
                                         QStringLiteral("Peak\nfollowing\nerror"), QStringLiteral("End")});
  tbl_moves_->setMinimumWidth(600);
  tbl_moves_->setMaximumWidth(700);
  tbl_moves_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tbl_moves_->verticalHeader()->setVisible(false);
  // Sized once per refill: sizing to contents on every cell set costs seconds
  // for a full table (scope_bench).
  tbl_moves_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);

  auto* layout = new QHBoxLayout(this);
  layout->addLayout(controls);
  layout->addWidget(plot_, 1);
  layout->addWidget(tbl_moves_);
  resize(1400, 640);

  connect(lst_axes_, &QListWidget::itemChanged, this, &frmScope::SelectionChanged);
  connect(spn_window_, &QSpinBox::valueChanged, this, [this] { drawn_samples_ = UINT64_MAX; });
  connect(spn_band_, &QSpinBox::valueChanged, this, [this](int band) {
    scope::StepSettings settings = recorder_.Settings();
    settings.band_counts = band;
    recorder_.SetStepSettings(settings);
  });
  connect(chk_autoscale_, &QCheckBox::toggled, this, [this](bool autoscale) {
    for (QDoubleSpinBox* box : {spn_position_min_, spn_position_max_, spn_error_max_}) box->setEnabled(!autoscale);
    if (!autoscale) {
      // Fixed where it is now, for the operator to change.
      spn_position_min_->setValue(position_rect_->axis(QCPAxis::atLeft)->range().lower);
      spn_position_max_->setValue(position_rect_->axis(QCPAxis::atLeft)->range().upper);
      spn_error_max_->setValue(std::max(0.01, following_rect_->axis(QCPAxis::atLeft)->range().upper));
    }
    drawn_samples_ = UINT64_MAX;
  });
  for (QDoubleSpinBox* box : {spn_position_min_, spn_position_max_, spn_error_max_}) {
    connect(box, &QDoubleSpinBox::valueChanged, this, [this] { drawn_samples_ = UINT64_MAX; });
  }
  connect(cmd_pause_, &QPushButton::toggled, this, [this](bool paused) {
    cmd_pause_->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    drawn_samples_ = UINT64_MAX;
    drawn_moves_ = UINT64_MAX;
  });
  connect(cmd_export_csv_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"), QStringLiteral("scope.csv"),
                                                      QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty()) ExportCsv(path);
  });
  connect(cmd_export_png_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export PNG"), QStringLiteral("scope.png"),
                                                      QStringLiteral("PNG (*.png)"));
    if (!path.isEmpty()) ExportPng(path);
  });

  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, &frmScope::Refresh);
  MarkOutsideWindow(*this);
  SelectionChanged();
}

frmScope::~frmScope() = default;

void frmScope::BuildPlot() {
  plot_->setAutoAddPlottableToLegend(false);
  // Plain lines draw about twice as fast as antialiased ones (scope_bench).
  plot_->setNotAntialiasedElements(QCP::aePlottables);
  plot_->plotLayout()->clear();
  auto* margins = new QCPMarginGroup(plot_);
  auto rect = [&](int row, const QString& label) {
    auto* r = new QCPAxisRect(plot_);
    plot_->plotLayout()->addElement(row, 0, r);
    r->setMarginGroup(QCP::msLeft | QCP::msRight, margins);
    r->axis(QCPAxis::atLeft)->setLabel(label);
    r->axis(QCPAxis::atBottom)->setLabel(QStringLiteral("Time (s)"));
    return r;
  };
  position_rect_ = rect(0, QStringLiteral("Position"));
  following_rect_ = rect(1, QStringLiteral("Following error"));
  flags_rect_ = rect(2, QStringLiteral("Flags"));
  plot_->plotLayout()->setRowStretchFactor(0, 3);
  plot_->plotLayout()->setRowStretchFactor(1, 2);
  plot_->plotLayout()->setRowStretchFactor(2, 1);

  plot_->legend = new QCPLegend;
  position_rect_->insetLayout()->addElement(plot_->legend, Qt::AlignTop | Qt::AlignRight);
  plot_->legend->setLayer(QStringLiteral("legend"));
  plot_->legend->setVisible(true);

  // Thin solid pens: dashed or wider antialiased lines cost many times more
  // to draw over thousands of points (scope_bench).
  auto graph = [this](QCPAxisRect* r, const QColor& color, const QString& name) {
    QCPGraph* g = plot_->addGraph(r->axis(QCPAxis::atBottom), r->axis(QCPAxis::atLeft));
    g->setPen(QPen(color, 1));
    g->setName(name);
    g->setVisible(false);
    return g;
  };
  graphs_.resize(recorder_.AxisCount());
  for (std::size_t i = 0; i < graphs_.size(); ++i) {
    const QColor color = kAxisColors[i % kAxisColors.size()];
    const QString name = AxisName(i);
    AxisGraphs& g = graphs_[i];
    g.position = graph(position_rect_, color, name + QStringLiteral(" actual"));
    g.ideal = graph(position_rect_, color.lighter(160), name + QStringLiteral(" ideal"));
    g.following = graph(following_rect_, color, name);
    g.busy = graph(flags_rect_, color, name + QStringLiteral(" busy"));
    g.error = graph(flags_rect_, color.darker(150), name + QStringLiteral(" error"));
    g.busy->setLineStyle(QCPGraph::lsStepLeft);
    g.error->setLineStyle(QCPGraph::lsStepLeft);
  }
}

void frmScope::ShowScope() {
  show();
  raise();
  activateWindow();
}

void frmScope::showEvent(QShowEvent* event) {
  drawn_samples_ = UINT64_MAX;
  drawn_moves_ = UINT64_MAX;
  Refresh();
  refresh_.start();
  QWidget::showEvent(event);
}

void frmScope::hideEvent(QHideEvent* event) {
  refresh_.stop();
  QWidget::hideEvent(event);
}

std::vector<std::size_t> frmScope::ShownAxes() const {
  std::vector<std::size_t> axes;
  for (int row = 0; row < lst_axes_->count(); ++row) {
    if (lst_axes_->item(row)->checkState() == Qt::Checked) axes.push_back(static_cast<std::size_t>(row));
  }
  return axes;
}

void frmScope::SelectionChanged() {
  const std::vector<std::size_t> shown = ShownAxes();
  plot_->legend->clearItems();
  auto ticker = QSharedPointer<QCPAxisTickerText>::create();
  for (std::size_t i = 0; i < graphs_.size(); ++i) {
    const bool visible = std::find(shown.begin(), shown.end(), i) != shown.end();
    const AxisGraphs& g = graphs_[i];
    for (QCPGraph* graph : {g.position, g.ideal, g.following, g.busy, g.error}) {
      graph->setVisible(visible);
      if (!visible) graph->data()->clear();
    }
    if (visible) {
      g.position->addToLegend();
      g.ideal->addToLegend();
    }
  }
  for (std::size_t slot = 0; slot < shown.size(); ++slot) {
    const double base = static_cast<double>(slot) * kFlagsSlot;
    const QString name = AxisName(shown[slot]);
    ticker->addTick(base + 0.5, name + QStringLiteral(" error"));
    ticker->addTick(base + kBusyBase + 0.5, name + QStringLiteral(" busy"));
  }
  flags_rect_->axis(QCPAxis::atLeft)->setTicker(ticker);
  flags_rect_->axis(QCPAxis::atLeft)->setRange(-0.25, std::max<double>(1, static_cast<double>(shown.size())) * kFlagsSlot);
  drawn_samples_ = UINT64_MAX;
  drawn_moves_ = UINT64_MAX;
}

void frmScope::LabelValueAxes(const std::vector<std::size_t>& shown) {
  // The unit on the value axes when the shown axes share one.
  QString unit;
  for (std::size_t axis : shown) {
    const QString its = axis < tables_.UnitSuffix.size() ? QString::fromStdString(tables_.UnitSuffix[axis]).trimmed()
                                                        : QString();
    if (axis == shown.front()) {
      unit = its;
    } else if (its != unit) {
      unit.clear();
    }
  }
  const QString in_unit = unit.isEmpty() ? QString() : QStringLiteral(" (") + unit + QLatin1Char(')');
  position_rect_->axis(QCPAxis::atLeft)->setLabel(QStringLiteral("Position") + in_unit);
  following_rect_->axis(QCPAxis::atLeft)->setLabel(QStringLiteral("Following error") + in_unit);
}

void frmScope::Refresh() {
  if (!isVisible() || cmd_pause_->isChecked()) return;
  if (recorder_.SampleCount() != drawn_samples_) {
    QElapsedTimer cost;
    cost.start();
    drawn_samples_ = recorder_.SampleCount();
    FillGraphs();
    plot_->replot(QCustomPlot::rpImmediateRefresh);
    // The polling shares this thread: many axes over a long window redraw
    // less often, so that drawing never takes more than a fifth of the time.
    const auto next_ms = static_cast<int>(std::clamp<qint64>(cost.elapsed() * kMaxPaintShare, kRefreshMs, kSlowestRefreshMs));
    if (refresh_.interval() != next_ms) refresh_.setInterval(next_ms);
  }
  if (recorder_.MoveCount() != drawn_moves_) {
    drawn_moves_ = recorder_.MoveCount();
    FillMoves();
  }
}

void frmScope::FillGraphs() {
  // The traces start at the left edge and roll once they fill the window.
  const std::int64_t window_us = std::int64_t{spn_window_->value()} * 1'000'000;
  const std::int64_t latest_us = std::max(recorder_.LatestTimeUs(), window_us);
  const std::int64_t from_us = latest_us - window_us;
  const std::vector<std::size_t> shown = ShownAxes();
  LabelValueAxes(shown);  // the units are settled on the start-up window's OK
  for (std::size_t slot = 0; slot < shown.size(); ++slot) {
    const std::size_t axis = shown[slot];
    const AxisGraphs& g = graphs_[axis];
    const double per_unit = CountsPerUnit(axis);
    const double base = static_cast<double>(slot) * kFlagsSlot;
    // clear() keeps the containers' capacity: a steady window allocates nothing.
    for (QCPGraph* graph : {g.position, g.ideal, g.following, g.busy, g.error}) graph->data()->clear();
    const scope::Ring<ScopeSample>& ring = recorder_.Samples(axis);
    for (std::size_t k = FirstFrom(ring, from_us); k < ring.Size(); ++k) {
      const ScopeSample& s = ring[k];
      const double t = static_cast<double>(s.time_us) / 1e6;
      g.position->addData(t, s.position / per_unit);
      g.ideal->addData(t, s.ideal_position / per_unit);
      g.following->addData(t, (static_cast<double>(s.position) - s.ideal_position) / per_unit);
      g.busy->addData(t, base + kBusyBase + ((s.flags & usb::kFlagBusy) != 0 ? 1 : 0));
      g.error->addData(t, base + ((s.flags & usb::kFlagError) != 0 ? 1 : 0));
    }
  }
  for (QCPAxisRect* r : {position_rect_, following_rect_, flags_rect_}) {
    r->axis(QCPAxis::atBottom)->setRange(static_cast<double>(from_us) / 1e6, static_cast<double>(latest_us) / 1e6);
  }
  QCPAxis* position_axis = position_rect_->axis(QCPAxis::atLeft);
  QCPAxis* following_axis = following_rect_->axis(QCPAxis::atLeft);
  if (chk_autoscale_->isChecked()) {
    position_axis->rescale(true);
    following_axis->rescale(true);
    // A margin round the traces; a flat trace still gets a visible band.
    for (QCPAxis* axis : {position_axis, following_axis}) {
      if (axis->range().size() < 1e-6) {
        axis->setRange(axis->range().center(), 1, Qt::AlignCenter);
      } else {
        axis->scaleRange(1.1, axis->range().center());
      }
    }
  } else {
    position_axis->setRange(spn_position_min_->value(), spn_position_max_->value());
    following_axis->setRange(-spn_error_max_->value(), spn_error_max_->value());
  }
}

void frmScope::FillMoves() {
  struct Row {
    std::size_t axis;
    const StepFigures* figures;
  };
  std::vector<Row> rows;
  for (std::size_t axis : ShownAxes()) {
    const scope::Ring<StepFigures>& moves = recorder_.Moves(axis);
    for (std::size_t k = 0; k < moves.Size(); ++k) rows.push_back({axis, &moves[k]});
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.figures->end_us > b.figures->end_us; });

  const QString none = QStringLiteral("-");
  tbl_moves_->setRowCount(static_cast<int>(rows.size()));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t axis = rows[r].axis;
    const StepFigures& f = *rows[r].figures;
    auto set = [&](Column column, const QString& text) {
      auto* item = new QTableWidgetItem(text);
      if (column != kAxisColumn && column != kMoveColumn && column != kEndColumn) {
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      }
      tbl_moves_->setItem(static_cast<int>(r), column, item);
    };
    set(kAxisColumn, AxisName(axis));
    set(kMoveColumn, f.relative ? QStringLiteral("Rel") : QStringLiteral("GO"));
    set(kStepColumn, Units(static_cast<double>(f.target_counts) - f.start_counts, axis));
    set(kRiseColumn, f.rise_time_us ? Milliseconds(*f.rise_time_us) : none);
    set(kOvershootPercentColumn, f.overshoot_percent ? QString::number(*f.overshoot_percent, 'f', 2) : none);
    set(kOvershootColumn, Units(f.overshoot_counts, axis));
    set(kSettlingColumn, f.settling_time_us ? Milliseconds(static_cast<double>(*f.settling_time_us)) : none);
    set(kSteadyStateColumn, Units(f.steady_state_error_counts, axis));
    set(kFollowingColumn, Units(f.peak_following_error_counts, axis));
    set(kEndColumn, EndName(f.end));
  }
  tbl_moves_->resizeColumnsToContents();
}

double frmScope::CountsPerUnit(std::size_t axis) const {
  const double per_unit = axis < tables_.CountsPerMicron.size() ? tables_.CountsPerMicron[axis] : 1;
  return per_unit > 0 ? per_unit : 1;
}

QString frmScope::Units(double counts, std::size_t axis) const {
  const QString suffix = axis < tables_.UnitSuffix.size() ? QString::fromStdString(tables_.UnitSuffix[axis]) : QString();
  return QString::number(counts / CountsPerUnit(axis), 'f', 3) + suffix;
}

QString frmScope::AxisName(std::size_t axis) const {
  const QString name =
      axis < tables_.AxisName.size() ? QString::fromLatin1(tables_.AxisName[axis]).trimmed() : QString();
  return name.isEmpty() ? QString::number(axis) : name;
}

bool frmScope::ExportCsv(const QString& path) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
  QTextStream out(&file);
  out << "time_s,axis,name,unit,position,ideal_position,following_error,busy,error\n";
  const QCPRange shown = position_rect_->axis(QCPAxis::atBottom)->range();
  for (std::size_t axis : ShownAxes()) {
    const double per_unit = CountsPerUnit(axis);
    const QString unit = axis < tables_.UnitSuffix.size() ? QString::fromStdString(tables_.UnitSuffix[axis]).trimmed()
                                                         : QString();
    const scope::Ring<ScopeSample>& ring = recorder_.Samples(axis);
    for (std::size_t k = FirstFrom(ring, static_cast<std::int64_t>(shown.lower * 1e6)); k < ring.Size(); ++k) {
      const ScopeSample& s = ring[k];
      if (static_cast<double>(s.time_us) / 1e6 > shown.upper) break;
      out << QString::number(static_cast<double>(s.time_us) / 1e6, 'f', 6) << ',' << axis << ",\""
          << AxisName(axis).replace(QLatin1Char('"'), QStringLiteral("\"\"")) << "\"," << unit << ','
          << QString::number(s.position / per_unit, 'g', 10) << ','
          << QString::number(s.ideal_position / per_unit, 'g', 10) << ','
          << QString::number((static_cast<double>(s.position) - s.ideal_position) / per_unit, 'g', 10) << ','
          << ((s.flags & usb::kFlagBusy) != 0 ? 1 : 0) << ',' << ((s.flags & usb::kFlagError) != 0 ? 1 : 0) << '\n';
    }
  }
  out.flush();
  return file.error() == QFileDevice::NoError;
}

bool frmScope::ExportPng(const QString& path) { return plot_->savePng(path); }

ScopeShortcut::ScopeShortcut(frmScope& scope, QObject* parent) : QObject(parent), scope_(scope) {
  QApplication::instance()->installEventFilter(this);
}

ScopeShortcut::~ScopeShortcut() = default;

bool ScopeShortcut::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == kKey && key->modifiers() == Qt::NoModifier && QApplication::activeModalWidget() == nullptr &&
        watched->isWidgetType()) {
      if (!key->isAutoRepeat()) scope_.ShowScope();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace stage::ui

#include "ui/scope/frmScope.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <numeric>
#include <utility>
#include <qcustomplot.h>
#include <string>
#include <time.h>

#include "stage/scope/plot_reduction.h"
#include "stage/scope/scope_csv.h"
#include "stage/usb/packet_codec.h"
#include "ui/common/outside_window.h"
#include "ui/scope/background_thread.h"
#include "ui/scope/trace_layer.h"
#include "ui/scope/plot_cursors.h"
#include "ui/scope/scope_text.h"
#include "ui/scope/scope_step_test.h"

namespace stage::ui {
namespace {

using scope::ScopeSample;
using scope::StepFigures;

constexpr int kDefaultWindowS = 10;
// The layer of the graphs that only name the traces in the legend.
constexpr char kNamesLayer[] = "names";
// Frames are spaced at least this many times their own cost apart (the
// drawing thread's and the GUI thread's together), since the polling shares
// the process's time...
constexpr qint64 kMaxPaintShare = 20;
// ...but never further than this.
constexpr qint64 kSlowestRefreshMs = 500;
// A frame is shown only this soon after the latest poll, so that it runs in
// the time between two polls rather than holding the next one back; it
// waits for the next poll at most this many times.
constexpr std::int64_t kDrawAfterPollUs = 2'000;
constexpr int kMostDeferrals = 3;
constexpr int kPollPeriodMs = 10;
// The points of all the line traces together at most (down to kLeastColumns
// pixel columns a trace), and the most axes named in the legend.
constexpr std::size_t kMostPoints = 60'000;
constexpr int kLeastColumns = 200;
constexpr std::size_t kMostAxesInLegend = 8;
// A CSV export writes pieces of about this size; on its thread it rests
// this many times as long as each piece took.
constexpr std::size_t kCsvPieceBytes = std::size_t{64} * 1024;
constexpr std::int64_t kCsvRestPerWork = 3;
// The replies handed to the drawing thread at once (a ring's worth of one
// axis: about 0.2 ms).
constexpr std::size_t kMostHandedAtOnce = scope::ScopeRecorder::kSamplesPerAxis;
// Refresh() waits for the drawing thread at most this long.
constexpr std::chrono::milliseconds kLongestWait{10'000};
// How often the rows of moves in progress are brought up to date.
constexpr qint64 kInProgressRefreshMs = 250;

std::int64_t ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

const std::array<QColor, 8> kAxisColors = {QColor(31, 119, 180), QColor(214, 39, 40), QColor(44, 160, 44),
                                           QColor(255, 127, 14), QColor(148, 103, 189), QColor(140, 86, 75),
                                           QColor(227, 119, 194), QColor(23, 190, 207)};

QString Milliseconds(double us) { return QString::number(us / 1000, 'f', 1); }

bool Overlaps(const QRect& r, const std::vector<QRect>& avoid) {
  return std::any_of(avoid.begin(), avoid.end(), [&](const QRect& a) { return a.intersects(r); });
}

// The largest rectangle up to `wanted` (and at least `least`) on `screen`
// beside the rectangles to avoid: right of them, left, below or above them
// all. Empty when none has room.
QRect FreePlace(const QRect& screen, const QSize& wanted, const QSize& least, const std::vector<QRect>& avoid) {
  QRect all;
  for (const QRect& r : avoid) all |= r;
  if (all.isEmpty()) return QRect(screen.topLeft(), wanted.boundedTo(screen.size()));
  const std::array<QRect, 4> sides = {
      QRect(QPoint(all.right() + 1, screen.top()), screen.bottomRight()),
      QRect(screen.topLeft(), QPoint(all.left() - 1, screen.bottom())),
      QRect(QPoint(screen.left(), all.bottom() + 1), screen.bottomRight()),
      QRect(screen.topLeft(), QPoint(screen.right(), all.top() - 1))};
  QRect best;
  for (const QRect& side : sides) {
    const QRect free = side.intersected(screen);
    if (free.width() < least.width() || free.height() < least.height()) continue;
    const QRect r(free.topLeft(), wanted.boundedTo(free.size()));
    if (static_cast<qint64>(r.width()) * r.height() > static_cast<qint64>(best.width()) * best.height()) best = r;
  }
  return best;
}

}  // namespace

frmScope::frmScope(const modKVT_USB& tables, scope::ScopeRecorder& recorder, QWidget* parent)
    : QWidget(parent, Qt::Window), tables_(tables), recorder_(recorder) {
  // Its copy of the samples as long as the recorder's; a finished frame is
  // shown from this thread's event loop.
  renderer_ = std::make_unique<TraceRenderer>(
      recorder_.AxisCount(), scope::ScopeRecorder::kSamplesPerAxis,
      [this] { QMetaObject::invokeMethod(this, &frmScope::FrameReady, Qt::QueuedConnection); });
  setObjectName(QStringLiteral("frmScope"));
  setWindowTitle(QStringLiteral("Scope"));
  constexpr int kSettleCheckMs = 250;
  settle_timer_.setInterval(kSettleCheckMs);
  connect(&settle_timer_, &QTimer::timeout, this, [this] {
    if (--settle_checks_left_ <= 0) settle_timer_.stop();
    KeepClear();
  });

  lst_axes_ = new QListWidget(this);
  lst_axes_->setObjectName(QStringLiteral("lstAxes"));
  lst_axes_->setAccessibleName(QStringLiteral("Axes traced"));
  for (std::size_t i = 0; i < recorder_.AxisCount(); ++i) {
    auto* item = new QListWidgetItem(AxisName(i), lst_axes_);
    item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setCheckState(i == 0 ? Qt::Checked : Qt::Unchecked);
    item->setForeground(kAxisColors[i % kAxisColors.size()]);  // as its traces
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
  BuildRunControls(controls);

  plot_ = new QCustomPlot(this);
  plot_->setObjectName(QStringLiteral("plot"));
  plot_->setMinimumSize(400, 240);
  BuildPlot();

  tbl_moves_ = new QTableWidget(0, kColumnCount, this);
  tbl_moves_->setObjectName(QStringLiteral("tblMoves"));
  tbl_moves_->setHorizontalHeaderLabels({QStringLiteral("Axis"), QStringLiteral("Move"),
                                         QStringLiteral("Start\n(s)"), QStringLiteral("Step"),
                                         QStringLiteral("Rise\n10-90 %\n(ms)"), QStringLiteral("Over-\nshoot\n(%)"),
                                         QStringLiteral("Over-\nshoot"), QStringLiteral("Settling\n(ms)"),
                                         QStringLiteral("Steady-\nstate\nerror"),
                                         QStringLiteral("Peak\nfollowing\nerror"),
                                         QStringLiteral("In\nposition\n(ms)"),
                                         QStringLiteral("Accel.\npeak\nerror"), QStringLiteral("Accel.\nRMS\nerror"),
                                         QStringLiteral("Cruise\npeak\nerror"), QStringLiteral("Cruise\nRMS\nerror"),
                                         QStringLiteral("Brake\npeak\nerror"), QStringLiteral("Brake\nRMS\nerror"),
                                         QStringLiteral("Band"), QStringLiteral("End"),
                                         QStringLiteral("Gains\nP I D")});
  tbl_moves_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tbl_moves_->verticalHeader()->setVisible(false);
  // Sized once per refill: sizing to contents on every cell set costs seconds
  // for a full table (scope_bench).
  tbl_moves_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);

  // The figures under the plot, as wide as it: every column shows whole.
  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->addWidget(plot_);
  splitter->addWidget(tbl_moves_);
  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 2);
  splitter->setChildrenCollapsible(false);
  tbl_moves_->setMinimumHeight(100);

  auto* layout = new QHBoxLayout(this);
  layout->addLayout(controls);
  BuildTuning(*form, *splitter, *layout);
  resize(1420, 760);  // the figures table's columns side by side

  connect(lst_axes_, &QListWidget::itemChanged, this, &frmScope::SelectionChanged);
  connect(spn_window_, &QSpinBox::valueChanged, this, [this] { RedrawAll(); });
  connect(spn_band_, &QSpinBox::valueChanged, this, [this](int band) {
    scope::StepSettings settings = recorder_.Settings();
    settings.band_counts = band;
    recorder_.SetStepSettings(settings);
  });
  connect(chk_autoscale_, &QCheckBox::toggled, this, [this](bool autoscale) {
    for (QDoubleSpinBox* box : {spn_position_min_, spn_position_max_, spn_error_max_}) box->setEnabled(!autoscale);
    if (!autoscale) {
      // Fixed where it is now (the first unit's scales), for the operator to change.
      spn_position_min_->setValue(position_axes_.front()->range().lower);
      spn_position_max_->setValue(position_axes_.front()->range().upper);
      spn_error_max_->setValue(std::max(0.01, following_axes_.front()->range().upper));
    }
    RedrawAll();
  });
  for (QDoubleSpinBox* box : {spn_position_min_, spn_position_max_, spn_error_max_}) {
    connect(box, &QDoubleSpinBox::valueChanged, this, [this] { RedrawAll(); });
  }
  connect(cmd_pause_, &QPushButton::toggled, this, [this](bool paused) {
    cmd_pause_->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    paused_at_us_ = paused ? recorder_.LatestTimeUs() : INT64_MAX;
    RedrawAll();
    drawn_moves_ = UINT64_MAX;
  });
  connect(cmd_export_csv_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"), QStringLiteral("scope.csv"),
                                                      QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty()) StartExportCsv(path);
  });
  connect(cmd_export_png_, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export PNG"), QStringLiteral("scope.png"),
                                                      QStringLiteral("PNG (*.png)"));
    if (!path.isEmpty()) StartExportPng(path);
  });

  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, [this] { Update(false); });
  MarkOutsideWindow(*this);
  SelectionChanged();
}

frmScope::~frmScope() {
  if (qApp != nullptr) qApp->removeEventFilter(this);
  if (export_thread_.joinable()) export_thread_.join();
  renderer_.reset();  // its thread ends before anything it calls back goes
}

void frmScope::BuildPlot() {
  plot_->setAutoAddPlottableToLegend(false);
  // Plain lines draw about twice as fast as antialiased ones (scope_bench);
  // the text stays smooth.
  plot_->setNotAntialiasedElements(QCP::aePlottables | QCP::aeGrid | QCP::aeSubGrid | QCP::aeAxes | QCP::aeZeroLine);
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
  position_axes_ = {position_rect_->axis(QCPAxis::atLeft), position_rect_->axis(QCPAxis::atRight)};
  following_axes_ = {following_rect_->axis(QCPAxis::atLeft), following_rect_->axis(QCPAxis::atRight)};
  flags_rect_ = rect(2, QStringLiteral("Flags"));
  plot_->plotLayout()->setRowStretchFactor(0, 3);
  plot_->plotLayout()->setRowStretchFactor(1, 2);
  plot_->plotLayout()->setRowStretchFactor(2, 1);

  plot_->legend = new QCPLegend;
  position_rect_->insetLayout()->addElement(plot_->legend, Qt::AlignTop | Qt::AlignRight);
  plot_->legend->setLayer(QStringLiteral("legend"));
  plot_->legend->setVisible(true);

  // The graphs carry each trace's name, colour and value axis for the
  // legend; the drawing thread draws the traces themselves (TraceLayer).
  // They stay on a layer that is never drawn: empty as they are, each one
  // drawn would still cost the replot a painter state saved and restored
  // (160 of them, 0.7 ms of the GUI thread's time per frame, with 32 axes).
  plot_->addLayer(QString::fromLatin1(kNamesLayer), plot_->layer(QStringLiteral("main")), QCustomPlot::limBelow);
  plot_->layer(QString::fromLatin1(kNamesLayer))->setVisible(false);
  auto graph = [this](QCPAxisRect* r, const QColor& color, const QString& name) {
    QCPGraph* g = plot_->addGraph(r->axis(QCPAxis::atBottom), r->axis(QCPAxis::atLeft));
    g->setLayer(QString::fromLatin1(kNamesLayer));
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
  trace_layer_ = new TraceLayer(plot_);
}

void frmScope::ShowScope() {
  if (!placed_) {
    placed_ = true;
    Place();
    // Windows that open later (the main window after OK) are kept clear of
    // while the Scope is where it placed itself.
    qApp->installEventFilter(this);
  }
  show();
  raise();
  activateWindow();
}

void frmScope::OpenAtStart() {
  placed_ = true;
  qApp->installEventFilter(this);
  // The keyboard stays with the window opened before (Enter there is OK):
  // asked of the window manager, and handed back should it activate the
  // Scope all the same.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window != this && window->isVisible() && hand_keyboard_back_to_ == nullptr) hand_keyboard_back_to_ = window;
  }
  setAttribute(Qt::WA_ShowWithoutActivating, true);
  windowHandle()->setProperty("_q_showWithoutActivating", true);
  if (Place()) {
    show();
    // Again with the frame the window now has.
    if (frameGeometry() != geometry() && !Place()) MinimiseForRoom();
  } else {
    MinimiseForRoom();
  }
  setAttribute(Qt::WA_ShowWithoutActivating, false);
  windowHandle()->setProperty("_q_showWithoutActivating", false);
  SettleClear();
}

bool frmScope::WherePlaced() const {
  // The window manager may shift a window by its frame; an operator who
  // moved it has moved it further.
  constexpr int kFrameShift = 64;
  return auto_geometry_.isValid() && size() == auto_geometry_.size() &&
         (pos() - auto_geometry_.topLeft()).manhattanLength() <= kFrameShift;
}

void frmScope::MinimiseForRoom() {
  minimised_for_room_ = true;
  showMinimized();
}

std::vector<QRect> frmScope::OtherWindows() const {
  std::vector<QRect> windows;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window == this || !window->isVisible() || window->isMinimized()) continue;
    if (qobject_cast<QMessageBox*>(window) != nullptr) continue;
    if ((window->windowType() & (Qt::Popup | Qt::ToolTip)) == Qt::Popup) continue;
    windows.push_back(window->frameGeometry());
  }
  return windows;
}

void frmScope::KeepClear() {
  if (!isVisible()) return;
  if (minimised_for_room_) {
    // Room beside the windows now shown (the main window after OK)?
    if (isMinimized() && Place()) {
      minimised_for_room_ = false;
      showNormal();
    }
    return;
  }
  if (!WherePlaced()) return;  // the operator moved it: left where it is
  if (Overlaps(frameGeometry(), OtherWindows()) && !Place()) MinimiseForRoom();
}

void frmScope::SettleClear() {
  // About 5 s: a loaded machine's window manager may take that long to
  // centre and frame a window, and a Move it makes before the Scope is
  // mapped would otherwise go unseen.
  constexpr int kSettleChecks = 20;
  settle_checks_left_ = kSettleChecks;
  if (!settle_timer_.isActive()) settle_timer_.start();
}

bool frmScope::Place() {
  const std::vector<QRect> avoid = OtherWindows();
  const QScreen* screen = avoid.empty() || QGuiApplication::screenAt(avoid.front().center()) == nullptr
                              ? QGuiApplication::primaryScreen()
                              : QGuiApplication::screenAt(avoid.front().center());
  if (screen == nullptr) return false;
  // The frame the window manager adds, as far as it is known yet.
  const QMargins frame = isVisible() ? QMargins(geometry().left() - frameGeometry().left(),
                                                geometry().top() - frameGeometry().top(),
                                                frameGeometry().right() - geometry().right(),
                                                frameGeometry().bottom() - geometry().bottom())
                                     : QMargins();
  const QRect area = screen->availableGeometry();
  const QSize least = minimumSizeHint().expandedTo(minimumSize()).grownBy(frame);
  const QRect free = FreePlace(area, size().grownBy(frame), least, avoid);
  if (free.isEmpty()) {
    // No room beside them: left where it is (OpenAtStart and a window that
    // opens later minimise it rather than cover the console's controls).
    auto_geometry_ = QRect();
    return false;
  }
  setGeometry(free.marginsRemoved(frame));
  auto_geometry_ = geometry();
  return true;
}

bool frmScope::eventFilter(QObject* watched, QEvent* event) {
  if (watched == this && event->type() == QEvent::WindowActivate && hand_keyboard_back_to_ != nullptr) {
    QPointer<QWidget> to = hand_keyboard_back_to_;
    hand_keyboard_back_to_ = nullptr;
    if (to->isVisible()) QTimer::singleShot(0, to, [to] { to->activateWindow(); });
  }
  // Another window shown or moved (the window manager centres the start-up
  // window after it is shown): moved clear of it while where it placed itself.
  const bool shown_or_moved = event->type() == QEvent::Show || event->type() == QEvent::Move;
  if (shown_or_moved && watched != this && watched->isWidgetType() && isVisible() && !recheck_queued_) {
    auto* window = static_cast<QWidget*>(watched);
    const bool where_placed = WherePlaced();
    if (window->isWindow() && window->isVisible() && (where_placed || minimised_for_room_)) {
      recheck_queued_ = true;
      QTimer::singleShot(0, this, [this] {
        recheck_queued_ = false;
        KeepClear();
      });
      if (event->type() == QEvent::Show) SettleClear();
    }
  }
  return QWidget::eventFilter(watched, event);
}

void frmScope::showEvent(QShowEvent* event) {
  RedrawAll();
  drawn_moves_ = UINT64_MAX;
  Update(false);
  refresh_.start();
  QWidget::showEvent(event);
}

void frmScope::hideEvent(QHideEvent* event) {
  refresh_.stop();
  // Closed (not minimised): no step test goes on unseen.
  if (!event->spontaneous()) step_test_->AbortTest(QStringLiteral("The Scope was closed."));
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
    // Past a few axes the legend would cover the traces (and cost more to
    // draw than they do): the axis list beside the plot has the colours.
    if (visible && shown.size() <= kMostAxesInLegend) {
      g.position->addToLegend();
      g.ideal->addToLegend();
    }
  }
  // Past a few axes, every so many axes' flags are named: the plot caches
  // the pictures of no more than 16 labels an axis and draws every other
  // one afresh on each frame (0.5 ms of the GUI thread's time with 32 axes),
  // and so many would overlap unreadably in the flags' strip anyway.
  const std::size_t named_every = (shown.size() + kMostAxesInLegend - 1) / kMostAxesInLegend;
  for (std::size_t slot = 0; slot < shown.size(); slot += std::max<std::size_t>(1, named_every)) {
    const double base = static_cast<double>(slot) * kFlagsSlot;
    const QString name = AxisName(shown[slot]);
    ticker->addTick(base + 0.5, name + QStringLiteral(" error"));
    ticker->addTick(base + kBusyBase + 0.5, name + QStringLiteral(" busy"));
  }
  flags_rect_->axis(QCPAxis::atLeft)->setTicker(ticker);
  // A grid line per flag only clutters many rows (and costs a replot more).
  flags_rect_->axis(QCPAxis::atLeft)->grid()->setVisible(shown.size() <= kMostAxesInLegend);
  flags_rect_->axis(QCPAxis::atLeft)->setRange(-0.25, std::max<double>(1, static_cast<double>(shown.size())) * kFlagsSlot);
  RedrawAll();
  drawn_moves_ = UINT64_MAX;
}

QString frmScope::UnitOf(std::size_t axis) const {
  return axis < tables_.UnitSuffix.size() ? QString::fromStdString(tables_.UnitSuffix[axis]).trimmed() : QString();
}

QCPAxis* frmScope::PositionAxis(std::size_t unit) const {
  return unit < units_.size() ? units_[unit].position : nullptr;
}

QCPAxis* frmScope::FollowingAxis(std::size_t unit) const {
  return unit < units_.size() ? units_[unit].following : nullptr;
}

void frmScope::AssignValueAxes(const std::vector<std::size_t>& shown) {
  // The units are settled on the start-up window's OK, so this is looked at
  // on every redraw; the axes change only when the units shown do.
  QStringList units;
  unit_of_shown_.resize(shown.size());
  for (std::size_t slot = 0; slot < shown.size(); ++slot) {
    const QString unit = UnitOf(shown[slot]);
    qsizetype k = units.indexOf(unit);
    if (k < 0) {
      k = units.size();
      units.append(unit);
    }
    unit_of_shown_[slot] = static_cast<std::size_t>(k);
  }
  if (units.isEmpty()) units.append(QString());
  if (units != drawn_units_) {
    drawn_units_ = units;
    // One value axis per unit: the first on the left, the second on the
    // right, any more beside them.
    auto axis = [](QCPAxisRect* rect, std::vector<QCPAxis*>& made, std::size_t k) {
      while (made.size() <= k) made.push_back(rect->addAxis(made.size() % 2 == 0 ? QCPAxis::atLeft : QCPAxis::atRight));
      return made[k];
    };
    units_.assign(static_cast<std::size_t>(units.size()), UnitAxes{});
    for (std::size_t k = 0; k < units_.size(); ++k) {
      UnitAxes& u = units_[k];
      u.unit = units[static_cast<qsizetype>(k)];
      u.position = axis(position_rect_, position_axes_, k);
      u.following = axis(following_rect_, following_axes_, k);
      const QString in_unit = u.unit.isEmpty() ? QString() : QStringLiteral(" (") + u.unit + QLatin1Char(')');
      u.position->setLabel(QStringLiteral("Position") + in_unit);
      u.following->setLabel(QStringLiteral("Following error") + in_unit);
    }
    for (std::size_t k = 0; k < position_axes_.size(); ++k) {
      const bool used = k < units_.size();
      position_axes_[k]->setVisible(used);
      following_axes_[k]->setVisible(used);
    }
  }
  for (std::size_t slot = 0; slot < shown.size(); ++slot) {
    const AxisGraphs& g = graphs_[shown[slot]];
    UnitAxes& u = units_[unit_of_shown_[slot]];
    if (g.position->valueAxis() != u.position) {
      g.position->setValueAxis(u.position);
      g.ideal->setValueAxis(u.position);
      g.following->setValueAxis(u.following);
    }
  }
  for (std::size_t slot = 0; slot < shown.size(); ++slot) {
    UnitAxes& u = units_[unit_of_shown_[slot]];
    const double least = kLeastHalfSpanCounts / CountsPerUnit(shown[slot]);
    u.least_half_span = slot == 0 || std::find(unit_of_shown_.begin(), unit_of_shown_.begin() + static_cast<std::ptrdiff_t>(slot),
                                               unit_of_shown_[slot]) == unit_of_shown_.begin() + static_cast<std::ptrdiff_t>(slot)
                            ? least
                            : std::min(u.least_half_span, least);
  }
}

bool frmScope::InTheWayOfThePoll(std::int64_t cost_us) const {
  // A poll overdue (or none coming: the clock of a test) is not waited for.
  const std::int64_t since_poll_us = recorder_.NowUs() - recorder_.LatestTimeUs();
  constexpr std::int64_t kPeriodUs = std::int64_t{kPollPeriodMs} * 1000;
  return since_poll_us < kPeriodUs && since_poll_us + cost_us > kPeriodUs - kDrawAfterPollUs;
}

void frmScope::WaitForThePoll() {
  ++deferred_;
  const std::int64_t since_poll_us = recorder_.NowUs() - recorder_.LatestTimeUs();
  const auto wait_ms = static_cast<int>(std::clamp<std::int64_t>((std::int64_t{kPollPeriodMs} * 1000 - since_poll_us) / 1000 + 1, 1, kPollPeriodMs));
  QTimer::singleShot(wait_ms, Qt::PreciseTimer, this, &frmScope::FrameReady);
}

void frmScope::Refresh() { Update(true); }

QImage frmScope::TraceImage() const { return trace_layer_->Image(); }

double frmScope::NewestDrawn(std::size_t axis) const {
  return axis < newest_drawn_.size() ? newest_drawn_[axis] : std::numeric_limits<double>::quiet_NaN();
}

void frmScope::Update(bool wait) {
  if (!isVisible()) return;
  const bool paused = cmd_pause_->isChecked();
  // Paused, the drawing thread's copy stays as it was: only a changed
  // setting draws it again.
  auto changed = [&] { return paused ? drawn_samples_ == UINT64_MAX : recorder_.SampleCount() != drawn_samples_; };
  if (changed() && !renderer_->Pending()) RequestFrame(wait);
  // Waiting, a frame asked for earlier (before the latest replies) or drawn
  // for a layout the plot left on showing it (its value labels widened) is
  // followed by one for the replies and the layout of now.
  for (int attempt = 0; wait && attempt < 3; ++attempt) {
    if (renderer_->Pending() && !renderer_->WaitForFrame(kLongestWait)) qWarning("Scope: the traces were not drawn within 10 s");
    ShowFrame();
    if (!changed() || renderer_->Pending()) break;
    RequestFrame(wait);
  }
  if (paused) return;
  // A move in progress changes without a new move ending: its row is
  // brought up to date a few times a second, and at once when one starts.
  std::size_t in_progress = 0;
  for (std::size_t axis : ShownAxes()) in_progress += recorder_.Moving(axis) ? 1 : 0;
  const bool moves_changed = recorder_.MoveCount() != drawn_moves_ || in_progress != shown_in_progress_;
  const bool aged = in_progress > 0 && (!moves_age_.isValid() || moves_age_.elapsed() >= kInProgressRefreshMs);
  if (moves_changed || aged) {
    drawn_moves_ = recorder_.MoveCount();
    shown_in_progress_ = in_progress;
    FillMoves();
    moves_age_.start();
  }
}

void frmScope::RequestFrame(bool wait) {
  // Only the replies that came in since the last hand-over are copied here
  // (paused, those up to the pause); after a long hide up to a ring's worth
  // for every axis, so a refresh that does not wait hands them over in
  // slices, each just after a poll, and draws once they are all there.
  if (!renderer_->Feed(recorder_, wait ? SIZE_MAX : kMostHandedAtOnce, paused_at_us_)) {
    if (!handing_over_) {
      handing_over_ = true;
      QTimer::singleShot(1, Qt::PreciseTimer, this, [this] {
        handing_over_ = false;
        Update(false);
      });
    }
    return;
  }
  drawn_to_us_ = std::min(recorder_.LatestTimeUs(), paused_at_us_);
  drawn_samples_ = recorder_.SampleCount();
  const std::vector<std::size_t> shown = ShownAxes();
  AssignValueAxes(shown);
  TraceFrameRequest request;
  // The traces start at the left edge and roll once they fill the window.
  const std::int64_t window_us = std::int64_t{spn_window_->value()} * 1'000'000;
  request.to_us = std::max(drawn_to_us_, window_us);
  request.from_us = request.to_us - window_us;
  // Captured on GO, or as the operator zoomed or panned.
  ViewWindow(shown, request.from_us, request.to_us);
  request.rolling = !capture_origin_us_ && !cursors_->ViewHeld();
  request.samples = drawn_samples_;
  request.axes.reserve(shown.size());
  for (std::size_t slot = 0; slot < shown.size(); ++slot) {
    const AxisGraphs& g = graphs_[shown[slot]];
    TraceFrameRequest::Axis s;
    s.axis = shown[slot];
    s.unit = unit_of_shown_[slot];
    s.per_unit = CountsPerUnit(shown[slot]);
    s.colors = {g.position->pen().color(), g.ideal->pen().color(), g.following->pen().color(), g.busy->pen().color(),
                g.error->pen().color()};
    request.axes.push_back(s);
  }
  for (const UnitAxes& u : units_) request.least_half_span.push_back(u.least_half_span);
  request.autoscale = chk_autoscale_->isChecked();
  request.fixed_position = {spn_position_min_->value(), spn_position_max_->value()};
  request.fixed_following = {-spn_error_max_->value(), spn_error_max_->value()};
  if (cursors_->ViewHeld()) {
    // The value ranges stay as the operator left them.
    for (const UnitAxes& u : units_) {
      request.held_position.push_back({u.position->range().lower, u.position->range().upper});
      request.held_following.push_back({u.following->range().lower, u.following->range().upper});
    }
  }
  const QCPRange flags = flags_rect_->axis(QCPAxis::atLeft)->range();
  request.flags = {flags.lower, flags.upper};
  request.size = plot_->size();
  request.pixel_ratio = plot_->devicePixelRatioF();
  request.rects = {position_rect_->rect(), following_rect_->rect(), flags_rect_->rect()};
  // Two points per pixel column are all a line of that width can show; with
  // many axes shown, fewer, so that a frame stays cheap.
  request.columns = std::clamp(static_cast<int>(kMostPoints / (std::size_t{2} * 3 * std::max<std::size_t>(1, shown.size()))),
                               std::min(kLeastColumns, position_rect_->width()), std::max(1, position_rect_->width()));
  deferred_ = 0;
  renderer_->Request(std::move(request));
}

void frmScope::FrameReady() {
  // Shown where it ends before the next poll is due; otherwise just after
  // that poll (a few times at most).
  if (InTheWayOfThePoll(show_cost_us_) && deferred_ < kMostDeferrals) {
    WaitForThePoll();
    return;
  }
  ShowFrame();
}

void frmScope::ShowFrame() {
  std::optional<TraceFrame> frame = renderer_->Take();
  if (!frame) return;
  QElapsedTimer piece;
  piece.start();
  const QCPRange frame_time(static_cast<double>(frame->from_us) / 1e6, static_cast<double>(frame->to_us) / 1e6);
  if (cursors_->ViewHeld()) {
    // Zoomed or panned on since it was asked for: drawn again for the range
    // shown now; the operator's ranges stay.
    const QCPRange shown = position_rect_->axis(QCPAxis::atBottom)->range();
    if (std::llround(shown.lower * 1e6) != frame->from_us || std::llround(shown.upper * 1e6) != frame->to_us) RedrawAll();
  } else {
    for (QCPAxisRect* r : {position_rect_, following_rect_, flags_rect_}) r->axis(QCPAxis::atBottom)->setRange(frame_time);
  }
  // The value axes as the traces were drawn against them (the units shown
  // may have changed since: drawn again then).
  if (cursors_->ViewHeld()) {
    // The value ranges stay as the operator left them (the frame was drawn
    // against them).
  } else if (frame->position.size() == units_.size()) {
    for (std::size_t k = 0; k < units_.size(); ++k) {
      units_[k].position->setRange(frame->position[k].lower, frame->position[k].upper);
      units_[k].following->setRange(frame->following[k].lower, frame->following[k].upper);
    }
  } else {
    RedrawAll();
  }
  newest_drawn_.assign(graphs_.size(), std::numeric_limits<double>::quiet_NaN());
  for (std::size_t slot = 0; slot < frame->axes.size(); ++slot) {
    if (frame->axes[slot] < newest_drawn_.size()) newest_drawn_[frame->axes[slot]] = frame->newest_position[slot];
  }
  trace_layer_->SetImage(std::move(frame->image));
  plot_->replot(QCustomPlot::rpQueuedRefresh);
  // Drawn for another size or layout (the window resized, the value labels
  // widened): drawn again for this one.
  const std::array<QRect, 3> rects = {position_rect_->rect(), following_rect_->rect(), flags_rect_->rect()};
  if (frame->size != plot_->size() || frame->rects != rects) RedrawAll();
  render_cost_us_ = frame->cost_us;
  column_us_ = frame->column_us;
  // What showing it costs here is known once the plot has been painted and
  // handed to the window system (the queued repaint runs first).
  QMetaObject::invokeMethod(this, [this, piece] {
    show_cost_us_ = piece.nsecsElapsed() / 1000;
    // The polling shares this thread and this process: no faster than the
    // traces move by a column, and slower when a frame costs much, so that
    // drawing and showing take a small share of the time.
    const std::int64_t per_column_ms = column_us_ / 1000;
    const std::int64_t share_ms = (render_cost_us_ + show_cost_us_) * kMaxPaintShare / 1000;
    const auto next_ms =
        static_cast<int>(std::clamp<std::int64_t>(std::max(per_column_ms, share_ms), kRefreshMs, kSlowestRefreshMs));
    if (refresh_.interval() != next_ms) refresh_.setInterval(next_ms);
  }, Qt::QueuedConnection);
}

void frmScope::FillMoves() {
  struct Row {
    std::size_t axis;
    StepFigures figures;
  };
  std::vector<Row> rows;
  for (std::size_t axis : ShownAxes()) {
    const scope::Ring<StepFigures>& moves = recorder_.Moves(axis);
    for (std::size_t k = 0; k < moves.Size(); ++k) rows.push_back({axis, moves[k]});
    if (auto current = recorder_.MoveInProgress(axis)) rows.push_back({axis, *current});
  }
  // Newest first; a move in progress above the finished ones.
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    const bool a_moving = a.figures.end == StepFigures::End::kMoving;
    const bool b_moving = b.figures.end == StepFigures::End::kMoving;
    if (a_moving != b_moving) return a_moving;
    return a.figures.end_us > b.figures.end_us;
  });

  const int loaded = loaded_ ? static_cast<int>(std::accumulate(
                                   loaded_->run.axes.begin(), loaded_->run.axes.end(), std::size_t{0},
                                   [](std::size_t n, const scope::RunAxis& a) { return n + a.moves.size(); }))
                             : 0;
  const int row_count = static_cast<int>(rows.size()) + loaded;
  const bool new_rows = tbl_moves_->rowCount() != row_count || recorder_.MoveCount() != sized_for_moves_;
  sized_for_moves_ = recorder_.MoveCount();
  tbl_moves_->setRowCount(row_count);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t axis = rows[r].axis;
    const QString suffix = axis < tables_.UnitSuffix.size() ? QString::fromStdString(tables_.UnitSuffix[axis]) : QString();
    SetFiguresRow(static_cast<int>(r), AxisName(axis), rows[r].figures, CountsPerUnit(axis), suffix);
  }
  FillLoadedMoves(static_cast<int>(rows.size()));
  if (!new_rows) return;
  tbl_moves_->resizeColumnsToContents();
  // The end column as wide as its longest word, whatever the rows show now.
  const int end_width = tbl_moves_->fontMetrics().horizontalAdvance(EndName(StepFigures::End::kNotSettled)) +
                        tbl_moves_->fontMetrics().horizontalAdvance(QStringLiteral("MM"));
  if (tbl_moves_->horizontalHeader()->sectionSize(kEndColumn) < end_width) {
    tbl_moves_->horizontalHeader()->resizeSection(kEndColumn, end_width);
  }
}

void frmScope::SetFiguresRow(int row, const QString& axis_name, const StepFigures& f, double per_unit,
                             const QString& suffix) {
  const QString none = QStringLiteral("-");
  auto set = [&](Column column, const QString& text) {
    QTableWidgetItem* item = tbl_moves_->item(row, column);
    if (item == nullptr) {
      item = new QTableWidgetItem(text);
      if (column != kAxisColumn && column != kMoveColumn && column != kEndColumn) {
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      }
      tbl_moves_->setItem(row, column, item);
    } else if (item->text() != text) {
      item->setText(text);
    }
  };
  auto units = [&](double counts) { return FixedText(counts / per_unit, 3) + suffix; };
  // The phases' errors in the row's unit without its name: seven more columns
  // still fit beside the others.
  auto phase = [&](Column peak, Column rms, const std::optional<scope::PhaseError>& error) {
    set(peak, error ? FixedText(error->peak_counts / per_unit, 3) : none);
    set(rms, error ? FixedText(error->rms_counts / per_unit, 3) : none);
  };
  set(kAxisColumn, axis_name);
  set(kMoveColumn, f.relative ? QStringLiteral("Rel") : QStringLiteral("GO"));
  set(kStartColumn, QString::number(static_cast<double>(f.start_us) / 1e6, 'f', 3));
  set(kStepColumn, units(static_cast<double>(f.target_counts) - f.start_counts));
  set(kRiseColumn, f.rise_time_us ? Milliseconds(*f.rise_time_us) : none);
  set(kOvershootPercentColumn, f.overshoot_percent ? QString::number(*f.overshoot_percent, 'f', 2) : none);
  set(kOvershootColumn, units(f.overshoot_counts));
  set(kSettlingColumn, f.settling_time_us ? Milliseconds(static_cast<double>(*f.settling_time_us)) : none);
  set(kSteadyStateColumn, f.steady_state_error_counts ? units(*f.steady_state_error_counts) : none);
  set(kFollowingColumn, units(f.peak_following_error_counts));
  set(kInPositionColumn, f.loop.in_position_us ? Milliseconds(static_cast<double>(*f.loop.in_position_us)) : none);
  phase(kAcceleratingPeakColumn, kAcceleratingRmsColumn, f.loop.accelerating);
  phase(kCruisingPeakColumn, kCruisingRmsColumn, f.loop.cruising);
  phase(kBrakingPeakColumn, kBrakingRmsColumn, f.loop.braking);
  set(kBandColumn, QStringLiteral("± ") + units(f.band_counts));
  set(kEndColumn, EndName(f.end));
  set(kGainsColumn, f.gains ? LoopGainsText(*f.gains) + (f.gains_changed ? QStringLiteral(" *") : QString()) : none);
  tbl_moves_->item(row, kGainsColumn)->setToolTip(f.gains ? GainsText(*f.gains) : QString());
}

double frmScope::CountsPerUnit(std::size_t axis) const { return CountsPerUnitOf(tables_, axis); }

QString frmScope::Units(double counts, std::size_t axis) const { return CountsInUnits(tables_, counts, axis); }

QString frmScope::AxisName(std::size_t axis) const { return ScopeAxisName(tables_, axis); }

frmScope::CsvPlan frmScope::PlanCsv() const {
  // What the plot shows: the shown axes over its time axis.
  CsvPlan plan;
  const QCPRange shown = position_rect_->axis(QCPAxis::atBottom)->range();
  plan.lower_s = shown.lower;
  plan.upper_s = shown.upper;
  for (std::size_t axis : ShownAxes()) {
    CsvAxis a;
    a.axis = axis;
    a.name = AxisName(axis);
    a.unit = UnitOf(axis);
    a.per_unit = CountsPerUnit(axis);
    plan.axes.push_back(std::move(a));
  }
  return plan;
}

std::vector<frmScope::CsvAxis> frmScope::CsvSnapshot(TraceRenderer& renderer, CsvPlan plan) {
  // A copy from the drawing thread's samples, as the plot shows them, so
  // the export can be written while the rings go on filling; made where the
  // export runs, not on the GUI thread.
  std::vector<std::size_t> axes;
  for (const CsvAxis& a : plan.axes) axes.push_back(a.axis);
  std::vector<std::vector<ScopeSample>> copies = renderer.Copy(axes, plan.lower_s, plan.upper_s);
  for (std::size_t k = 0; k < plan.axes.size(); ++k) plan.axes[k].samples = std::move(copies[k]);
  return std::move(plan.axes);
}

bool frmScope::WriteCsv(const std::vector<CsvAxis>& axes, const QString& path, QString* error, bool paced) {
  // Written beside the file and renamed over it only when whole: a full disk
  // or a failed write leaves no truncated file, and an older one untouched.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    if (error != nullptr) *error = file.errorString();
    return false;
  }
  // In pieces; paced, each followed by a rest a few times as long as it
  // took, so that the export takes a small share of the time the polling
  // shares with it.
  std::string piece;
  piece.reserve(kCsvPieceBytes + 256);
  piece.append(scope::kScopeCsvHeader);
  std::int64_t started_us = ThreadCpuUs();
  auto write = [&] {
    if (file.write(piece.data(), static_cast<qint64>(piece.size())) != static_cast<qint64>(piece.size())) return false;
    piece.clear();
    if (paced) {
      const std::int64_t now_us = ThreadCpuUs();
      std::this_thread::sleep_for(std::chrono::microseconds((now_us - started_us) * kCsvRestPerWork));
      started_us = ThreadCpuUs();
    }
    return true;
  };
  bool ok = true;
  for (const CsvAxis& a : axes) {
    const std::string name = scope::QuotedCsvField(a.name.toStdString());
    const std::string unit = a.unit.toStdString();
    for (const ScopeSample& sample : a.samples) {
      scope::AppendCsvRow(piece, sample, a.axis, name, unit, a.per_unit);
      if (piece.size() >= kCsvPieceBytes && !(ok = write())) break;
    }
    if (!ok) break;
  }
  if (!ok || !write() || file.error() != QFileDevice::NoError || !file.commit()) {
    if (error != nullptr) *error = file.errorString();
    return false;
  }
  return true;
}

bool frmScope::WritePng(const QImage& image, const QString& path, QString* error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    if (error != nullptr) *error = file.errorString();
    return false;
  }
  if (!image.save(&file, "PNG") || !file.commit()) {
    if (error != nullptr) *error = file.error() != QFileDevice::NoError ? file.errorString() : QStringLiteral("the picture could not be encoded");
    file.cancelWriting();
    return false;
  }
  return true;
}

bool frmScope::ExportCsv(const QString& path, QString* error) const {
  return WriteCsv(CsvSnapshot(*renderer_, PlanCsv()), path, error, false);
}

bool frmScope::ExportPng(const QString& path, QString* error) {
  return WritePng(plot_->toPixmap().toImage(), path, error);
}

void frmScope::StartExportCsv(const QString& path) {
  RunExport([&renderer = *renderer_, plan = PlanCsv(), path](QString* error) {
    return WriteCsv(CsvSnapshot(renderer, plan), path, error, true);
  }, path);
}

void frmScope::StartExportPng(const QString& path) {
  // Drawn here (the plot is this thread's), encoded and written there.
  RunExport([image = plot_->toPixmap().toImage(), path](QString* error) { return WritePng(image, path, error); }, path);
}

void frmScope::RunExport(std::function<bool(QString*)> job, const QString& path) {
  if (exporting_) return;
  if (export_thread_.joinable()) export_thread_.join();
  exporting_ = true;
  cmd_export_csv_->setEnabled(false);
  cmd_export_png_->setEnabled(false);
  export_thread_ = std::thread([this, job = std::move(job), path] {
    RunBehindThePoll();
    QString error;
    const bool ok = job(&error);
    QMetaObject::invokeMethod(this, [this, ok, path, error] { ExportDone(ok, path, error); }, Qt::QueuedConnection);
  });
}

void frmScope::ExportDone(bool ok, const QString& path, const QString& error) {
  if (export_thread_.joinable()) export_thread_.join();
  exporting_ = false;
  cmd_export_csv_->setEnabled(true);
  cmd_export_png_->setEnabled(true);
  QString message;
  if (!ok) {
    message = QStringLiteral("Could not export to %1: %2. The file was not written.").arg(path, error);
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Scope"), message, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("msgExportFailed"));
    box->setTextFormat(Qt::PlainText);  // the path is the operator's
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
  emit ExportFinished(ok, message);
}

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

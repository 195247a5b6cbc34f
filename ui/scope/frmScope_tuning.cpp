// The Scope as a tuning tool: the step test and its overlay on a tab beside
// the live traces, capture on GO with a pre-trigger, and the cursors, zoom
// and pan of the live plot.
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>
#include <qcustomplot.h>

#include "ui/scope/frmScope.h"
#include "ui/scope/plot_cursors.h"
#include "ui/scope/scope_step_test.h"

namespace stage::ui {
namespace {

constexpr int kDefaultPreTriggerMs = 200;
constexpr int kMostPreTriggerMs = 10'000;

// Ticks at round steps from an origin (the command), labelled as the time
// since it: a GO at 12.734 s reads 0, 0.5, 1 ... rather than 0.266, 0.766.
class TimeFromTicker : public QCPAxisTicker {
 public:
  explicit TimeFromTicker(double origin) : origin_(origin) {}

 protected:
  QVector<double> createTickVector(double tick_step, const QCPRange& range) override {
    QVector<double> ticks;
    if (tick_step <= 0) return ticks;
    const double first = origin_ + std::ceil((range.lower - origin_) / tick_step) * tick_step;
    for (double t = first; t <= range.upper + tick_step * 1e-9 && ticks.size() < 1000; t += tick_step) {
      ticks.push_back(t);
    }
    return ticks;
  }
  QString getTickLabel(double tick, const QLocale& locale, QChar format, int precision) override {
    double from = tick - origin_;
    if (std::abs(from) < 1e-9) from = 0;
    return QCPAxisTicker::getTickLabel(from, locale, format, precision);
  }

 private:
  double origin_;
};

}  // namespace

void frmScope::BuildTuning(QFormLayout& form, QSplitter& live, QHBoxLayout& layout) {
  tbl_moves_->horizontalHeaderItem(kGainsColumn)
      ->setToolTip(QStringLiteral("P, I and D as the move started with them (all eight tuning values in each cell's "
                                  "tooltip); * when one changed before the move ended"));
  chk_capture_ = new QCheckBox(QStringLiteral("Capture on GO"), this);
  chk_capture_->setObjectName(QStringLiteral("chkCapture"));
  spn_pretrigger_ = new QSpinBox(this);
  spn_pretrigger_->setObjectName(QStringLiteral("spnPreTrigger"));
  spn_pretrigger_->setRange(0, kMostPreTriggerMs);
  spn_pretrigger_->setValue(kDefaultPreTriggerMs);
  spn_pretrigger_->setSuffix(QStringLiteral(" ms"));
  form.addRow(chk_capture_);
  form.addRow(QStringLiteral("Pre-trigger"), spn_pretrigger_);
  connect(chk_capture_, &QCheckBox::toggled, this, [this] {
    RedrawAll();
    Update(false);
  });
  connect(spn_pretrigger_, &QSpinBox::valueChanged, this, [this] {
    RedrawAll();
    Update(false);
  });

  lbl_cursors_ = new QLabel(this);
  lbl_cursors_->setObjectName(QStringLiteral("lblCursors"));
  cursors_ = new PlotCursors(*plot_, *lbl_cursors_, 1000, QStringLiteral("ms"),
                             [this](const QCPAxisRect* rect) {
                               if (rect == flags_rect_ || units_.empty()) return QString();
                               return units_.front().unit;
                             },
                             this);
  cursors_->SetRects({position_rect_, following_rect_, flags_rect_});
  // Every zoom or pan step draws the traces again for the range now shown
  // (cut to its pixel columns); a double click gives the window back.
  connect(cursors_, &PlotCursors::ViewChanged, this, [this] {
    RedrawAll();
    Update(false);
  });
  connect(cursors_, &PlotCursors::ViewReset, this, [this] {
    RedrawAll();
    Refresh();
  });

  auto* live_tab = new QWidget(this);
  auto* live_layout = new QVBoxLayout(live_tab);
  live_layout->setContentsMargins(0, 0, 0, 0);
  live_layout->addWidget(&live, 1);
  live_layout->addWidget(lbl_cursors_);
  step_test_ = new ScopeStepTest(tables_, recorder_, this);
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("tabs"));
  tabs_->addTab(live_tab, QStringLiteral("Live"));
  tabs_->addTab(step_test_, QStringLiteral("Step test"));
  layout.addWidget(tabs_, 1);
}

std::optional<std::int64_t> frmScope::LatestCommandUs(const std::vector<std::size_t>& shown) const {
  std::optional<std::int64_t> latest;
  for (std::size_t axis : shown) {
    std::optional<std::int64_t> start;
    if (auto current = recorder_.MoveInProgress(axis)) {
      start = current->start_us;
    } else if (recorder_.Moves(axis).Size() > 0) {
      start = recorder_.Moves(axis).Newest().start_us;
    }
    if (start && (!latest || *start > *latest)) latest = start;
  }
  return latest;
}

void frmScope::ViewWindow(const std::vector<std::size_t>& shown, std::int64_t& from_us, std::int64_t& to_us) {
  std::optional<std::int64_t> origin;
  if (chk_capture_->isChecked()) {
    origin = LatestCommandUs(shown);
    if (origin) {
      const std::int64_t window_us = to_us - from_us;
      from_us = *origin - std::int64_t{spn_pretrigger_->value()} * 1000;
      to_us = from_us + window_us;
    }
  }
  if (cursors_->ViewHeld()) {
    const QCPRange range = position_rect_->axis(QCPAxis::atBottom)->range();
    from_us = std::llround(range.lower * 1e6);
    to_us = std::max(from_us + 1, static_cast<std::int64_t>(std::llround(range.upper * 1e6)));
  }
  SetTimeOrigin(origin);
}

void frmScope::SetTimeOrigin(std::optional<std::int64_t> origin_us) {
  if (origin_us == capture_origin_us_) return;
  capture_origin_us_ = origin_us;
  const double origin = origin_us ? static_cast<double>(*origin_us) / 1e6 : 0;
  for (QCPAxisRect* r : {position_rect_, following_rect_, flags_rect_}) {
    QCPAxis* time = r->axis(QCPAxis::atBottom);
    if (origin_us) {
      time->setTicker(QSharedPointer<TimeFromTicker>::create(origin));
      time->setLabel(QStringLiteral("Time from GO (s)"));
    } else {
      time->setTicker(QSharedPointer<QCPAxisTicker>::create());
      time->setLabel(QStringLiteral("Time (s)"));
    }
  }
  cursors_->SetTimeOrigin(origin);
}

}  // namespace stage::ui

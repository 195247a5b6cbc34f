#include "ui/scope/plot_cursors.h"

#include <QLabel>
#include <QMouseEvent>
#include <cmath>
#include <qcustomplot.h>

namespace stage::ui {
namespace {

// A press and release this close together are a click, not a drag.
constexpr int kClickSlackPx = 3;

QString Number(double value) { return QString::number(value, 'g', 6); }

}  // namespace

PlotCursors::PlotCursors(QCustomPlot& plot, QLabel& readout, double time_scale, QString time_unit,
                         std::function<QString(const QCPAxisRect*)> value_unit, QObject* parent)
    : QObject(parent),
      plot_(plot),
      readout_(readout),
      time_scale_(time_scale),
      time_unit_(std::move(time_unit)),
      value_unit_(std::move(value_unit)) {
  plot_.setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  readout_.setTextFormat(Qt::PlainText);
  connect(&plot_, &QCustomPlot::mousePress, this, &PlotCursors::Pressed);
  connect(&plot_, &QCustomPlot::mouseRelease, this, &PlotCursors::Released);
  connect(&plot_, &QCustomPlot::mouseWheel, this, [this] { Hold(); });
  connect(&plot_, &QCustomPlot::mouseMove, this, [this](QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) != 0 &&
        (event->position().toPoint() - pressed_at_).manhattanLength() > kClickSlackPx) {
      Hold();
    }
  });
  connect(&plot_, &QCustomPlot::mouseDoubleClick, this, [this] {
    ReleaseView();
    emit ViewReset();
  });
  Show();
}

PlotCursors::~PlotCursors() = default;

void PlotCursors::SetRects(const std::vector<QCPAxisRect*>& rects) {
  for (auto& lines : lines_) {
    for (QCPItemStraightLine* line : lines) plot_.removeItem(line);
    lines.clear();
  }
  rects_ = rects;
  for (QCPAxisRect* rect : rects_) {
    rect->setRangeDrag(Qt::Horizontal | Qt::Vertical);
    rect->setRangeZoom(Qt::Horizontal | Qt::Vertical);
    rect->setRangeDragAxes(rect->axis(QCPAxis::atBottom), rect->axis(QCPAxis::atLeft));
    rect->setRangeZoomAxes(rect->axis(QCPAxis::atBottom), rect->axis(QCPAxis::atLeft));
    // One time axis for all: a pan or zoom of one moves the others.
    connect(rect->axis(QCPAxis::atBottom), qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this](const QCPRange& range) {
              if (syncing_) return;
              syncing_ = true;
              for (QCPAxisRect* other : rects_) other->axis(QCPAxis::atBottom)->setRange(range);
              syncing_ = false;
            });
  }
  for (auto& cursor : cursors_) {
    if (cursor && std::find(rects_.begin(), rects_.end(), cursor->rect) == rects_.end()) cursor.reset();
  }
  Show();
}

void PlotCursors::Hold() {
  held_ = true;
  emit ViewChanged();
}

void PlotCursors::ReleaseView() { held_ = false; }

void PlotCursors::SetTimeOrigin(double origin) {
  if (time_origin_ == origin) return;
  time_origin_ = origin;
  Show();
}

void PlotCursors::Pressed(QMouseEvent* event) { pressed_at_ = event->position().toPoint(); }

void PlotCursors::Released(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if ((at - pressed_at_).manhattanLength() > kClickSlackPx) return;
  if (event->button() == Qt::LeftButton) Place(0, at);
  if (event->button() == Qt::RightButton) Place(1, at);
}

void PlotCursors::Place(int which, QPoint pixel) {
  for (QCPAxisRect* rect : rects_) {
    if (!rect->rect().contains(pixel)) continue;
    Cursor cursor;
    cursor.rect = rect;
    cursor.time = rect->axis(QCPAxis::atBottom)->pixelToCoord(pixel.x());
    cursor.value = rect->axis(QCPAxis::atLeft)->pixelToCoord(pixel.y());
    cursors_[static_cast<std::size_t>(which)] = cursor;
    Show();
    return;
  }
}

void PlotCursors::Clear() {
  cursors_ = {};
  Show();
}

QString PlotCursors::ReadoutText() const {
  auto unit = [this](const Cursor& c) {
    const QString u = value_unit_ ? value_unit_(c.rect) : QString();
    return u.isEmpty() ? QString() : QLatin1Char(' ') + u;
  };
  auto time = [this](double t) { return Number((t - time_origin_) * time_scale_) + QLatin1Char(' ') + time_unit_; };
  QStringList parts;
  const char* names[] = {"A", "B"};
  for (std::size_t k = 0; k < cursors_.size(); ++k) {
    if (cursors_[k]) {
      parts << QStringLiteral("%1: %2, %3%4").arg(QLatin1String(names[k]), time(cursors_[k]->time),
                                                 Number(cursors_[k]->value), unit(*cursors_[k]));
    }
  }
  if (cursors_[0] && cursors_[1]) {
    parts << QStringLiteral("Δt = %1 %2").arg(Number((cursors_[1]->time - cursors_[0]->time) * time_scale_), time_unit_);
    // A difference of values only on one value axis.
    parts << (cursors_[0]->rect == cursors_[1]->rect
                  ? QStringLiteral("Δy = %1%2").arg(Number(cursors_[1]->value - cursors_[0]->value), unit(*cursors_[0]))
                  : QStringLiteral("Δy = -"));
  }
  if (parts.isEmpty()) {
    return QStringLiteral("Click: cursor A, right click: cursor B; wheel: zoom, drag: pan, double click: whole view");
  }
  return parts.join(QStringLiteral("   "));
}

void PlotCursors::Show() {
  const std::array<QColor, 2> colors = {QColor(0, 128, 0), QColor(160, 0, 160)};
  for (std::size_t k = 0; k < cursors_.size(); ++k) {
    std::vector<QCPItemStraightLine*>& lines = lines_[k];
    if (!cursors_[k]) {
      for (QCPItemStraightLine* line : lines) line->setVisible(false);
      continue;
    }
    while (lines.size() < rects_.size()) {
      auto* line = new QCPItemStraightLine(&plot_);
      line->setPen(QPen(colors[k], 1));
      lines.push_back(line);
    }
    for (std::size_t r = 0; r < rects_.size(); ++r) {
      QCPItemStraightLine* line = lines[r];
      QCPAxisRect* rect = rects_[r];
      line->setClipAxisRect(rect);
      for (QCPItemPosition* point : {line->point1, line->point2}) {
        point->setAxes(rect->axis(QCPAxis::atBottom), rect->axis(QCPAxis::atLeft));
      }
      line->point1->setCoords(cursors_[k]->time, 0);
      line->point2->setCoords(cursors_[k]->time, 1);
      line->setVisible(true);
    }
  }
  readout_.setText(ReadoutText());
  plot_.replot(QCustomPlot::rpQueuedReplot);
}

}  // namespace stage::ui

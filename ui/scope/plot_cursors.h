// Cursors, zoom and pan on a QCustomPlot, the same on the Scope's live plot
// and on the step test's overlay: the wheel zooms and a left drag pans the
// axis rectangle under the mouse (the time axes of all rectangles move
// together); a left click puts cursor A, a right click cursor B, each a
// vertical line through every rectangle; the read-out gives both cursors'
// time and value and their differences Δt and Δy. A double click gives the
// view back to its owner (ViewReset).
#pragma once

#include <QObject>
#include <QPoint>
#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <vector>

class QCustomPlot;
class QCPAxisRect;
class QCPItemStraightLine;
class QLabel;
class QMouseEvent;

namespace stage::ui {

class PlotCursors : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(PlotCursors)

 public:
  // `time_scale`: the time axis's unit in the read-out's (1000: seconds
  // read as ms); `value_unit(rect)` names the value axis's unit of a
  // rectangle for the read-out.
  PlotCursors(QCustomPlot& plot, QLabel& readout, double time_scale, QString time_unit,
              std::function<QString(const QCPAxisRect*)> value_unit, QObject* parent = nullptr);
  ~PlotCursors() override;

  // The rectangles that take part, in order; call again when they change.
  void SetRects(const std::vector<QCPAxisRect*>& rects);

  struct Cursor {
    double time = 0;   // on the time axis
    double value = 0;  // on the value axis of its rectangle
    QCPAxisRect* rect = nullptr;
  };
  const std::optional<Cursor>& A() const { return cursors_[0]; }
  const std::optional<Cursor>& B() const { return cursors_[1]; }
  // Places a cursor where a click at `pixel` would (0: A, 1: B).
  void Place(int which, QPoint pixel);
  void Clear();
  // True from the operator's first zoom or pan until the view is reset.
  bool ViewHeld() const { return held_; }
  void ReleaseView();
  QString ReadoutText() const;
  // Times are read from this origin (the command, when the plot is
  // captured on GO).
  void SetTimeOrigin(double origin);

 signals:
  // The operator zooms or pans (on every step): the owner keeps the ranges
  // as they are from then on.
  void ViewChanged();
  // A double click: the owner scales the view again as it would by itself.
  void ViewReset();

 private:
  void Pressed(QMouseEvent* event);
  void Released(QMouseEvent* event);
  void Show();
  void Hold();

  QCustomPlot& plot_;
  QLabel& readout_;
  double time_scale_;
  double time_origin_ = 0;
  QString time_unit_;
  std::function<QString(const QCPAxisRect*)> value_unit_;
  std::vector<QCPAxisRect*> rects_;
  std::array<std::optional<Cursor>, 2> cursors_;
  std::array<std::vector<QCPItemStraightLine*>, 2> lines_;
  QPoint pressed_at_;
  bool held_ = false;
  bool syncing_ = false;
};

}  // namespace stage::ui

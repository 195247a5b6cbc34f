// The tuning panel's slider: a QSlider configured in one go (range, arrow-key
// and page steps, tick marks, orientation, starting position), with a border
// style the polling cycle switches on every tick, and a click notification.
#pragma once

#include <QPalette>
#include <QPixmap>
#include <QSlider>
#include <QStyle>
#include <QTimer>

class QLabel;
class QPainter;

namespace stage::ui {

struct TuningSliderSettings {
  Qt::Orientation orientation = Qt::Vertical;
  int minimum = 0;
  int maximum = 99;
  int position = 0;
  int small_step = 1;  // arrow keys
  int large_step = 1;  // page keys, or a click in the channel beside the thumb
  int tick_every = 1;
  QSlider::TickPosition ticks = QSlider::TicksBothSides;
};

class TuningSlider : public QSlider {
  Q_OBJECT

 public:
  enum BorderStyle : int {
    kBorderNone = 0,
    kBorderFixedSingle = 1,
  };

  explicit TuningSlider(const TuningSliderSettings& settings, QWidget* parent = nullptr);

  // The settings this slider would be created with now (its current position
  // included): what a copy of it starts from.
  TuningSliderSettings Settings() const;

  // 0: no border; 1: a one-pixel frame. Repaints only when the style changes.
  void SetBorderStyle(int style);
  int BorderStyleValue() const { return border_style_; }

  // The small window beside the handle that shows the value while the
  // operator drags the slider and for kValueShownAfterMs after a key step
  // or the release; nullptr until first shown.
  QLabel* ValueTip() const { return value_tip_; }
  static constexpr int kValueShownAfterMs = 1000;

 signals:
  // A mouse button (any of them) went down over the slider and came up over
  // it again. Keyboard input never raises it.
  void sliderClick();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // The value beside the handle, while the operator drags it or steps it
  // from the keyboard: nothing of the layout moves. Not a QToolTip: Qt hides
  // its one tooltip on any pointer move outside a given rectangle, on any
  // Leave, focus or activation event anywhere in the program, and the window
  // manager may restack the panel over it, so on X the value came and went.
  void ShowValue();
  // Keeps the value up for kValueShownAfterMs, then hides it.
  void HideValueSoon();

  // The slider as QSlider draws it, kept once its border has switched: a
  // border that switches on every tick then repaints the slider from this
  // pixmap, which is drawn again only when the slider's look changes.
  struct Look {
    QPixmap pixmap;
    QStyle::State state;
    QStyle::SubControls active;
    int position = 0;
    int value = 0;
    int minimum = 0;
    int maximum = 0;
    int tick_interval = 0;
    bool upside_down = false;
    Qt::Orientation orientation = Qt::Vertical;
    QSize size;
    qreal pixel_ratio = 0;
    QPalette palette;
    bool operator==(const Look& other) const {
      return state == other.state && active == other.active && position == other.position &&
             value == other.value && minimum == other.minimum && maximum == other.maximum &&
             tick_interval == other.tick_interval && upside_down == other.upside_down &&
             orientation == other.orientation &&
             size == other.size && pixel_ratio == other.pixel_ratio && palette == other.palette;
    }
  };
  void PaintSlider(QPainter& painter);

  int border_style_ = kBorderNone;
  bool border_switched_ = false;
  Look look_;
  Qt::MouseButtons pressed_over_slider_ = Qt::NoButton;
  QLabel* value_tip_ = nullptr;
  QTimer hide_value_;
};

}  // namespace stage::ui

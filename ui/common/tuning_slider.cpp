#include "ui/common/tuning_slider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolTip>

namespace stage::ui {

TuningSlider::TuningSlider(const TuningSliderSettings& settings, QWidget* parent)
    : QSlider(settings.orientation, parent) {
  setRange(settings.minimum, settings.maximum);
  setSingleStep(settings.small_step);
  setPageStep(settings.large_step);
  setTickInterval(settings.tick_every);
  setTickPosition(settings.ticks);
  setValue(settings.position);
  // The slider paints its whole box, so a shape lying under it shows only
  // where it reaches beyond the slider.
  setAutoFillBackground(true);
  connect(this, &QAbstractSlider::sliderPressed, this, &TuningSlider::ShowValue);
  connect(this, &QAbstractSlider::sliderMoved, this, &TuningSlider::ShowValue);
}

void TuningSlider::ShowValue() {
  QStyleOptionSlider option;
  initStyleOption(&option);
  const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
  const QPoint beside =
      orientation() == Qt::Vertical ? handle.topRight() : handle.topLeft() - QPoint(0, handle.height());
  QToolTip::showText(mapToGlobal(beside), QString::number(sliderPosition()), this, handle);
}

void TuningSlider::keyPressEvent(QKeyEvent* event) {
  const int before = value();
  QSlider::keyPressEvent(event);
  if (value() != before) ShowValue();
}

TuningSliderSettings TuningSlider::Settings() const {
  TuningSliderSettings settings;
  settings.orientation = orientation();
  settings.minimum = minimum();
  settings.maximum = maximum();
  settings.position = value();
  settings.small_step = singleStep();
  settings.large_step = pageStep();
  settings.tick_every = tickInterval();
  settings.ticks = tickPosition();
  return settings;
}

void TuningSlider::SetBorderStyle(int style) {
  const int normalized = style == kBorderFixedSingle ? kBorderFixedSingle : kBorderNone;
  if (normalized == border_style_) return;
  border_style_ = normalized;
  update();
}

void TuningSlider::paintEvent(QPaintEvent* event) {
  QSlider::paintEvent(event);
  if (border_style_ != kBorderFixedSingle) return;
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TuningSlider::mousePressEvent(QMouseEvent* event) {
  QSlider::mousePressEvent(event);
  // QSlider ignores the buttons it has no use for; here every button counts,
  // and the press goes no further than the slider.
  event->accept();
  if (rect().contains(event->position().toPoint())) pressed_over_slider_ |= event->button();
}

void TuningSlider::mouseReleaseEvent(QMouseEvent* event) {
  QSlider::mouseReleaseEvent(event);
  event->accept();
  const bool was_pressed_here = pressed_over_slider_.testFlag(event->button());
  pressed_over_slider_ &= ~Qt::MouseButtons(event->button());
  if (was_pressed_here && rect().contains(event->position().toPoint())) emit sliderClick();
}

}  // namespace stage::ui

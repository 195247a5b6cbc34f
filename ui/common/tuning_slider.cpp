#include "ui/common/tuning_slider.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolTip>
#include <algorithm>

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
  connect(this, &QAbstractSlider::sliderReleased, this, &TuningSlider::HideValueSoon);
  hide_value_.setSingleShot(true);
  hide_value_.setInterval(kValueShownAfterMs);
  connect(&hide_value_, &QTimer::timeout, this, [this] {
    if (value_tip_ != nullptr) value_tip_->hide();
  });
}

void TuningSlider::ShowValue() {
  if (value_tip_ == nullptr) {
    // A window of its own that takes neither the pointer nor the focus, so
    // showing it never moves either away from the slider.
    value_tip_ = new QLabel(
        this, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
    value_tip_->setObjectName(QStringLiteral("valueTip"));
    value_tip_->setAttribute(Qt::WA_ShowWithoutActivating);
    value_tip_->setPalette(QToolTip::palette());
    value_tip_->setFont(QToolTip::font());
    value_tip_->setForegroundRole(QPalette::ToolTipText);
    value_tip_->setBackgroundRole(QPalette::ToolTipBase);
    value_tip_->setAutoFillBackground(true);
    value_tip_->setFrameStyle(QFrame::Box | QFrame::Plain);
    value_tip_->setMargin(2);
    value_tip_->setTextFormat(Qt::PlainText);
  }
  hide_value_.stop();
  value_tip_->setText(QString::number(sliderPosition()));
  value_tip_->adjustSize();

  // Beside the handle, clear of it and of the pointer on it: right of a
  // vertical slider's handle, above a horizontal one's.
  QStyleOptionSlider option;
  initStyleOption(&option);
  const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
  const QSize tip = value_tip_->size();
  constexpr int kGapPx = 4;
  QPoint at = orientation() == Qt::Vertical
                  ? mapToGlobal(QPoint(handle.right() + kGapPx, handle.center().y() - tip.height() / 2))
                  : mapToGlobal(QPoint(handle.center().x() - tip.width() / 2, handle.top() - kGapPx - tip.height()));
  if (const QScreen* on = screen()) {
    const QRect room = on->availableGeometry();
    at.setX(std::clamp(at.x(), room.left(), std::max(room.left(), room.right() - tip.width())));
    at.setY(std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() - tip.height())));
  }
  value_tip_->move(at);
  value_tip_->show();
  // The window manager may have raised the panel over it since it was shown.
  value_tip_->raise();
}

void TuningSlider::HideValueSoon() {
  if (value_tip_ != nullptr && value_tip_->isVisible()) hide_value_.start();
}

void TuningSlider::keyPressEvent(QKeyEvent* event) {
  const int before = value();
  QSlider::keyPressEvent(event);
  if (value() == before) return;
  ShowValue();
  HideValueSoon();
}

void TuningSlider::hideEvent(QHideEvent* event) {
  // The panel hidden: nothing of it stays on the screen.
  hide_value_.stop();
  if (value_tip_ != nullptr) value_tip_->hide();
  QSlider::hideEvent(event);
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
  border_switched_ = true;
  update();
}

void TuningSlider::PaintSlider(QPainter& painter) {
  // What QSlider::paintEvent draws, over the auto-filled background.
  QStyleOptionSlider option;
  initStyleOption(&option);
  option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
  if (tickPosition() != NoTicks) option.subControls |= QStyle::SC_SliderTickmarks;
  Look look;
  look.state = option.state;
  look.active = option.activeSubControls;
  look.position = option.sliderPosition;
  look.value = option.sliderValue;
  look.minimum = option.minimum;
  look.maximum = option.maximum;
  look.tick_interval = option.tickInterval;
  look.upside_down = option.upsideDown;
  look.orientation = option.orientation;
  look.size = size();
  look.pixel_ratio = devicePixelRatio();
  look.palette = palette();
  if (look_.pixmap.isNull() || !(look == look_)) {
    look.pixmap = QPixmap(size() * look.pixel_ratio);
    look.pixmap.setDevicePixelRatio(look.pixel_ratio);
    QPainter cache(&look.pixmap);
    cache.setFont(font());
    cache.setPen(QPen(palette().brush(foregroundRole()), 1));
    cache.setBackground(palette().brush(backgroundRole()));
    cache.fillRect(rect(), palette().brush(backgroundRole()));
    style()->drawComplexControl(QStyle::CC_Slider, &option, &cache, this);
    cache.end();
    look_ = look;
  }
  painter.drawPixmap(0, 0, look_.pixmap);
}

void TuningSlider::paintEvent(QPaintEvent* event) {
  if (!border_switched_) {
    QSlider::paintEvent(event);
    if (border_style_ != kBorderFixedSingle) return;
  }
  QPainter painter(this);
  if (border_switched_) PaintSlider(painter);
  if (border_style_ != kBorderFixedSingle) return;
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

// Where a slider's handle stands, in the slider's coordinates: for pressing
// on it and dragging it as an operator does.
#pragma once

#include <QPoint>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>

namespace stage::ui::testing {

inline QPoint HandleCentre(const QSlider& slider) {
  QStyleOptionSlider option;
  option.initFrom(&slider);
  option.orientation = slider.orientation();
  option.minimum = slider.minimum();
  option.maximum = slider.maximum();
  option.sliderPosition = slider.sliderPosition();
  option.sliderValue = slider.value();
  option.tickPosition = slider.tickPosition();
  option.tickInterval = slider.tickInterval();
  option.upsideDown =
      slider.orientation() == Qt::Vertical ? !slider.invertedAppearance() : slider.invertedAppearance();
  option.subControls = QStyle::SC_All;
  return slider.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &slider).center();
}

}  // namespace stage::ui::testing

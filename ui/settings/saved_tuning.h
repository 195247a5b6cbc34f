// A controller's saved tuning put back on its sliders. The Speed slider is
// left at 0 as designed: a click on it starts the axis at its position, which
// no saved file may choose.
#pragma once

#include "stage/usb/packet_codec.h"
#include "ui/tuning/frmXCtrl0.h"

namespace stage::ui {

inline void SetSavedTuning(frmXCtrl0& panel, AxisIndex axis, const usb::TuningValues& t) {
  panel.Slider3(axis)->setValue(t.p);
  panel.Slider4(axis)->setValue(t.i);
  panel.Slider5(axis)->setValue(t.d);
  panel.Slider6(axis)->setValue(t.acc);
  panel.Slider2(axis)->setValue(t.max_speed);
  panel.Slider7(axis)->setValue(t.torque);
  panel.Slider8(axis)->setValue(t.f_error);
}

}  // namespace stage::ui

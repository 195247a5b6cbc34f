// The tuning panel "Axis Controls": one row of sliders, limit lamps and
// indicator buttons per axis. The slider positions are the tuning values the
// polling cycle reads for every packet, shown or hidden, so the panel lives
// for the whole run: hiding it (Hide Form, the close box, the window itself
// losing the focus) changes nothing but its visibility.
//
// Row 0 is designed; the main window's construction captions it and grows
// rows 1..AxisCount through CaptionRow0Label, CreateRow and PlaceRow.
#pragma once

#include <QWidget>
#include <cstdint>

#include "stage/axis/modKVT_USB.h"
#include "ui/common/command_button.h"
#include "ui/common/control_family.h"
#include "ui/common/lamp.h"
#include "ui/common/tuning_slider.h"

class QLabel;

namespace stage::ui {

class WindowFit;

// NOLINTNEXTLINE(readability-identifier-naming): the window's established name
class frmXCtrl0 : public QWidget {
  Q_OBJECT

 public:
  // A top-level window without owner, created hidden with its designed row 0.
  explicit frmXCtrl0(modKVT_USB& tables);

  // Construction pieces, in the order the main window calls them.
  // Label1(0) becomes "Axis " + AxisName(0), all four characters.
  void CaptionRow0Label();
  // Creates element `axis` of every row family as a hidden copy of element 0.
  void CreateRow(AxisIndex axis);
  // Grows the panel to (axis + 1) * pitch + 1000 twips (outer height), moves
  // row `axis` pitch * axis below row 0, shows it and captions its label.
  void PlaceRow(AxisIndex axis, std::int32_t panel_row_pitch_twips);

  // Rows created so far (row 0 included).
  AxisIndex RowCount() const { return static_cast<AxisIndex>(slider1_.size()); }

  // Row families, by axis index.
  QLabel* Label1(AxisIndex axis) const { return label1_[axis]; }
  Lamp* Shape1(AxisIndex axis) const { return shape1_[axis]; }  // outlined mark
  Lamp* Shape3(AxisIndex axis) const { return shape3_[axis]; }  // limit lamp, flag 1
  Lamp* Shape4(AxisIndex axis) const { return shape4_[axis]; }  // limit lamp, flag 2
  CommandButton* Command6(AxisIndex axis) const { return command6_[axis]; }  // "Reverse"
  CommandButton* Command3(AxisIndex axis) const { return command3_[axis]; }  // "Act Hi"
  TuningSlider* Slider1(AxisIndex axis) const { return slider1_[axis]; }  // Speed
  TuningSlider* Slider2(AxisIndex axis) const { return slider2_[axis]; }  // Max Speed
  TuningSlider* Slider3(AxisIndex axis) const { return slider3_[axis]; }  // P
  TuningSlider* Slider4(AxisIndex axis) const { return slider4_[axis]; }  // I
  TuningSlider* Slider5(AxisIndex axis) const { return slider5_[axis]; }  // D
  TuningSlider* Slider6(AxisIndex axis) const { return slider6_[axis]; }  // Acc
  TuningSlider* Slider7(AxisIndex axis) const { return slider7_[axis]; }  // Torque
  TuningSlider* Slider8(AxisIndex axis) const { return slider8_[axis]; }  // F Error

  // Controls that exist once.
  CommandButton* cmdHide() const { return cmd_hide_; }
  QLabel* Label2() const { return label2_; }
  QLabel* Label3() const { return label3_; }
  QLabel* Label5() const { return label5_; }
  QLabel* Label6() const { return label6_; }
  QLabel* Label7() const { return label7_; }
  QLabel* Label14() const { return label14_; }

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildDesignedRow();
  QString AxisCaption(AxisIndex axis) const;
  void NameRow(AxisIndex axis);

  modKVT_USB& tables_;
  // The outer height set by PlaceRow, kept once the frame is known.
  WindowFit* fit_ = nullptr;

  ControlFamily<QLabel> label1_;
  ControlFamily<Lamp> shape1_;
  ControlFamily<Lamp> shape3_;
  ControlFamily<Lamp> shape4_;
  ControlFamily<CommandButton> command6_;
  ControlFamily<CommandButton> command3_;
  ControlFamily<TuningSlider> slider1_;
  ControlFamily<TuningSlider> slider2_;
  ControlFamily<TuningSlider> slider3_;
  ControlFamily<TuningSlider> slider4_;
  ControlFamily<TuningSlider> slider5_;
  ControlFamily<TuningSlider> slider6_;
  ControlFamily<TuningSlider> slider7_;
  ControlFamily<TuningSlider> slider8_;

  CommandButton* cmd_hide_ = nullptr;
  QLabel* label2_ = nullptr;
  QLabel* label3_ = nullptr;
  QLabel* label5_ = nullptr;
  QLabel* label6_ = nullptr;
  QLabel* label7_ = nullptr;
  QLabel* label14_ = nullptr;
};

}  // namespace stage::ui

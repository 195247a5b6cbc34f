#include "ui/tuning/frmXCtrl0.h"

#include <QCloseEvent>
#include <QEvent>
#include <QLabel>
#include <initializer_list>

#include "ui/common/accessible_names.h"
#include "ui/common/family_elements.h"
#include "ui/common/fonts.h"
#include "ui/common/twips.h"
#include "ui/common/window_fit.h"

namespace stage::ui {
namespace {

constexpr double kDesignedClientWidthTwips = 13920;
constexpr double kDesignedClientHeightTwips = 1695;
// The panel's outer height after placing row i: (i + 1) * pitch + this.
constexpr std::int64_t kPanelHeightBaseTwips = 1000;
constexpr std::uint32_t kRed = 0x0000FF;

struct SliderDesign {
  const char* name;
  double left;
  double top;
  double width;
  double height;
  TuningSliderSettings settings;
};

// The vertical sliders show ticks on both sides; Speed only above its channel.
TuningSliderSettings Vertical(int minimum, int maximum, int position, int large_step) {
  return {Qt::Vertical, minimum, maximum, position, 1, large_step, 15, QSlider::TicksBothSides};
}

const SliderDesign kSpeed{"Slider1", 7560, 720, 6015, 375,
                          {Qt::Horizontal, -10000, 10000, 0, 1, 5, 500, QSlider::TicksAbove}};
const SliderDesign kMaxSpeed{"Slider2", 4800, 360, 630, 1005, Vertical(5, 255, 80, 2)};
const SliderDesign kP{"Slider3", 2160, 360, 630, 1005, Vertical(0, 155, 15, 2)};
const SliderDesign kI{"Slider4", 2640, 360, 630, 1005, Vertical(0, 155, 5, 2)};
const SliderDesign kD{"Slider5", 3120, 360, 630, 1005, Vertical(0, 155, 5, 2)};
const SliderDesign kAcc{"Slider6", 3840, 360, 630, 1005, Vertical(1, 255, 50, 5)};
const SliderDesign kTorque{"Slider7", 5760, 360, 630, 1005, Vertical(1, 255, 200, 2)};
const SliderDesign kFError{"Slider8", 6720, 360, 630, 1005, Vertical(1, 255, 50, 2)};

}  // namespace

frmXCtrl0::frmXCtrl0(modKVT_USB& tables) : QWidget(nullptr), tables_(tables) {
  setObjectName(QStringLiteral("frmXCtrl0"));
  setWindowTitle(QStringLiteral("Axis Controls"));
  // The toolkit's default window font of the designed layout.
  setFont(DesignFont("MS Sans Serif", 8.25));
  BuildDesignedRow();
  resize(TwipsToPixels(kDesignedClientWidthTwips), TwipsToPixels(kDesignedClientHeightTwips));
  fit_ = new WindowFit(this);
  setVisible(false);
}

void frmXCtrl0::BuildDesignedRow() {
  // Focusable controls are created in their tab order, so the first of them
  // (Hide Form) takes the focus when the panel is first shown.
  cmd_hide_ = new CommandButton(QStringLiteral("Hide Form"), this);
  NameElement(cmd_hide_, "cmdHide", 0);
  cmd_hide_->setFont(DesignFont("MS Sans Serif", 13.5, true));
  PlaceTwips(cmd_hide_, 11280, 0, 2055, 495);
  connect(cmd_hide_, &CommandButton::clicked, this, &QWidget::hide);

  auto button = [this](ControlFamily<CommandButton>& family, const char* name, const char* caption,
                       double top) {
    auto* b = new CommandButton(QString::fromLatin1(caption), this);
    NameElement(b, name, 0);
    PlaceTwips(b, 1440, top, 735, 255);
    family.Append(b);
  };
  // Indicators only: the polling cycle colours them, a click does nothing.
  button(command6_, "Command6", "Reverse", 720);
  button(command3_, "Command3", "Act Hi", 960);

  auto slider = [this](ControlFamily<TuningSlider>& family, const SliderDesign& design) {
    auto* s = new TuningSlider(design.settings, this);
    NameElement(s, design.name, 0);
    PlaceTwips(s, design.left, design.top, design.width, design.height);
    family.Append(s);
  };
  slider(slider5_, kD);
  slider(slider4_, kI);
  slider(slider3_, kP);
  slider(slider2_, kMaxSpeed);
  slider(slider6_, kAcc);
  slider(slider7_, kTorque);
  slider(slider8_, kFError);
  slider(slider1_, kSpeed);

  QWidget* previous = cmd_hide_;
  for (QWidget* next : std::initializer_list<QWidget*>{command6_[0], command3_[0], slider5_[0], slider4_[0],
                                                       slider3_[0], slider2_[0], slider6_[0], slider7_[0],
                                                       slider8_[0], slider1_[0]}) {
    setTabOrder(previous, next);
    previous = next;
  }

  auto label = [this](const char* name, const QString& caption, double left, double top, double width,
                      double height, const QFont& font, Qt::Alignment horizontal) {
    auto* l = new QLabel(this);
    NameElement(l, name, 0);
    l->setTextFormat(Qt::PlainText);
    l->setText(caption);
    l->setFont(font);
    l->setAlignment(horizontal | Qt::AlignTop);
    l->setAutoFillBackground(true);
    PlaceTwips(l, left, top, width, height);
    return l;
  };
  label1_.Append(label("Label1", QStringLiteral("Axis"), 120, 600, 1215, 375,
                       DesignFont("MS Sans Serif", 13.5, true), Qt::AlignLeft));
  label5_ = label("Label5", QStringLiteral("Limits"), 1440, 120, 735, 255, DesignFont("Arial", 9.75, true),
                  Qt::AlignHCenter);
  label2_ = label("Label2", QStringLiteral("  P          I          D           Acc"), 2280, 120, 2295, 1005,
                  DesignFont("Arial", 8.25, true), Qt::AlignLeft);
  label3_ = label("Label3", QStringLiteral("Max Speed"), 4440, 120, 1215, 255, DesignFont("Arial", 9.75, true),
                  Qt::AlignHCenter);
  label6_ = label("Label6", QStringLiteral("Torque"), 5640, 120, 855, 255, DesignFont("Arial", 9.75, true),
                  Qt::AlignHCenter);
  label7_ = label("Label7", QStringLiteral("F Error"), 6600, 120, 855, 255, DesignFont("Arial", 9.75, true),
                  Qt::AlignHCenter);
  label14_ = label("Label14", QStringLiteral("Speed"), 7560, 120, 615, 255,
                   DesignFont("MS Sans Serif", 8.25, true), Qt::AlignLeft);

  auto lamp = [this](ControlFamily<Lamp>& family, const char* name, Lamp::Style style, double left,
                     double top, double width, double height) {
    auto* s = new Lamp(style, this);
    NameElement(s, name, 0);
    PlaceTwips(s, left, top, width, height);
    family.Append(s);
    return s;
  };
  // The limit lamps start red, as if both limits were hit, until the first
  // status arrives.
  lamp(shape3_, "Shape3", Lamp::Style::kFilled, 1440, 360, 255, 255)->SetFillColor(BgrColor(kRed));
  lamp(shape4_, "Shape4", Lamp::Style::kFilled, 1920, 360, 255, 255)->SetFillColor(BgrColor(kRed));
  // Centred on the Speed slider where its position 0 lies, reaching 240
  // twips above it and 120 below.
  lamp(shape1_, "Shape1", Lamp::Style::kOutline, 10440, 480, 255, 735);

  StackLikeDesign(this);
}

QString frmXCtrl0::AxisCaption(AxisIndex axis) const {
  return QStringLiteral("Axis ") + QString::fromLatin1(tables_.AxisName.at(static_cast<std::size_t>(axis)));
}

void frmXCtrl0::CaptionRow0Label() {
  label1_[0]->setText(AxisCaption(0));
  NameRow(0);
}

void frmXCtrl0::NameRow(AxisIndex axis) {
  const QString label = AxisLabel(tables_, axis);
  NameForAxis(label1_[axis], label, "");
  NameForAxis(shape1_[axis], label, "Speed middle mark");
  const QColor hit = BgrColor(kRed);
  NameForAxis(shape3_[axis], label, "limit 1");
  shape3_[axis]->SetStateTexts(QStringLiteral("limit hit"), QStringLiteral("clear"), hit);
  NameForAxis(shape4_[axis], label, "limit 2");
  shape4_[axis]->SetStateTexts(QStringLiteral("limit hit"), QStringLiteral("clear"), hit);
  NameForAxis(command6_[axis], label, "Reverse");
  NameForAxis(command3_[axis], label, "Act Hi");
  NameForAxis(slider3_[axis], label, "P gain");
  NameForAxis(slider4_[axis], label, "I gain");
  NameForAxis(slider5_[axis], label, "D gain");
  NameForAxis(slider6_[axis], label, "Acc");
  NameForAxis(slider2_[axis], label, "Max Speed");
  NameForAxis(slider7_[axis], label, "Torque");
  NameForAxis(slider8_[axis], label, "F Error");
  NameForAxis(slider1_[axis], label, "Speed");
}

void frmXCtrl0::CreateRow(AxisIndex axis) {
  command3_.Append(CopyElement(*command3_[0], axis));
  command6_.Append(CopyElement(*command6_[0], axis));
  label1_.Append(CopyElement(*label1_[0], axis));
  shape1_.Append(CopyElement(*shape1_[0], axis));
  shape3_.Append(CopyElement(*shape3_[0], axis));
  shape4_.Append(CopyElement(*shape4_[0], axis));
  slider1_.Append(CopyElement(*slider1_[0], axis));
  slider2_.Append(CopyElement(*slider2_[0], axis));
  slider3_.Append(CopyElement(*slider3_[0], axis));
  slider4_.Append(CopyElement(*slider4_[0], axis));
  slider5_.Append(CopyElement(*slider5_[0], axis));
  slider6_.Append(CopyElement(*slider6_[0], axis));
  slider7_.Append(CopyElement(*slider7_[0], axis));
  slider8_.Append(CopyElement(*slider8_[0], axis));

  // A created row tabs like row 0, after the row above.
  QWidget* previous = slider1_[axis - 1];
  for (QWidget* next : std::initializer_list<QWidget*>{command6_[axis], command3_[axis], slider5_[axis],
                                                       slider4_[axis], slider3_[axis], slider2_[axis],
                                                       slider6_[axis], slider7_[axis], slider8_[axis],
                                                       slider1_[axis]}) {
    setTabOrder(previous, next);
    previous = next;
  }
  StackLikeDesign(this);
}

void frmXCtrl0::PlaceRow(AxisIndex axis, std::int32_t panel_row_pitch_twips) {
  const std::int64_t offset_twips = std::int64_t{axis} * panel_row_pitch_twips;
  fit_->SetOuterHeightTwips(static_cast<double>(offset_twips + panel_row_pitch_twips + kPanelHeightBaseTwips));

  const std::initializer_list<QWidget*> row{
      command3_[axis], command6_[axis], label1_[axis],  shape1_[axis],  shape3_[axis],
      shape4_[axis],   slider1_[axis],  slider2_[axis], slider3_[axis], slider4_[axis],
      slider5_[axis],  slider6_[axis],  slider7_[axis], slider8_[axis]};
  const std::initializer_list<QWidget*> row0{
      command3_[0], command6_[0], label1_[0],  shape1_[0],  shape3_[0],  shape4_[0],  slider1_[0],
      slider2_[0],  slider3_[0],  slider4_[0], slider5_[0], slider6_[0], slider7_[0], slider8_[0]};
  // Every row is placed from row 0, not from the row above.
  auto element0 = row0.begin();
  for (QWidget* element : row) {
    SetTopTwips(element, TwipsGeometry(*element0).top() + static_cast<double>(offset_twips));
    ++element0;
  }
  element0 = row0.begin();
  for (QWidget* element : row) {
    SetLeftTwips(element, TwipsGeometry(*element0).left());
    element->setVisible(true);
    ++element0;
  }
  label1_[axis]->setText(AxisCaption(axis));
  NameRow(axis);
}

bool frmXCtrl0::event(QEvent* event) {
  // Hidden when the window itself loses the focus. Whenever the operator
  // works in the panel a control holds its focus (Qt gives one the focus on
  // activation), so switching to the main window leaves the panel showing.
  if (event->type() == QEvent::WindowDeactivate && isVisible()) {
    const QWidget* focus = focusWidget();
    if (focus == nullptr || focus == this) hide();
  }
  return QWidget::event(event);
}

void frmXCtrl0::closeEvent(QCloseEvent* event) {
  // The close box only hides: the sliders keep feeding every packet.
  event->ignore();
  hide();
}

}  // namespace stage::ui

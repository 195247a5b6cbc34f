#include "ui/main/frmMain.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QRegion>
#include <QWindow>
#include <algorithm>
#include <initializer_list>

#include "stage/axis/mechanics.h"
#include "stage/axis/number_text.h"
#include "ui/common/accessible_names.h"
#include "ui/common/family_elements.h"
#include "ui/common/fonts.h"
#include "ui/common/held_key.h"
#include "ui/common/key_repeat.h"
#include "ui/common/panel_cache_style.h"
#include "ui/common/twips.h"
#include "ui/common/window_fit.h"
#include "ui/main/referencing_runner.h"
#include "ui/settings/frmAxisSettings.h"
#include "ui/tuning/frmXCtrl0.h"

#ifndef STAGE_CONSOLE_VERSION
#define STAGE_CONSOLE_VERSION "0.0.0"
#endif

namespace stage::ui {
namespace {

// The axis-name box: from the right edge of the position box (120 + 2295) to
// 2880, centred like the "Axis" heading above it.
constexpr double kAxisNameLeftTwips = 2415;
constexpr double kAxisNameWidthTwips = 465;

// Shows all four characters of the name (trailing blanks included) with the
// visible letters centred in the box.
void ShowAxisName(QLabel& label, const QString& name) {
  label.setText(name);
  const int visible_px = label.fontMetrics().horizontalAdvance(name.trimmed());
  label.setIndent(std::max(0, (label.width() - visible_px) / 2));
}


constexpr double kClientWidthTwips = 11220;
constexpr double kDesignedClientHeightTwips = 1440;
constexpr std::int16_t kRowPitchTwips = 550;
constexpr std::int16_t kPanelRowPitchTwips = 1000;
// Outer height = RowPitch * AxisCount + this.
constexpr std::int64_t kWindowHeightBaseTwips = 2000;
constexpr int kTimerIntervalMs = 10;
// A tick that starts more than this after its deadline counts as late.
constexpr std::chrono::milliseconds kLateTickAfter{1};
constexpr std::uint8_t kFirstParamFrameMarker = 144;

constexpr std::uint32_t kRed = 0x0000FF;
constexpr std::uint32_t kGreen = 0x00FF00;
constexpr std::uint32_t kLampGreen = 0x00C000;
constexpr std::uint32_t kYellow = 0x00FFFF;
constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kLightGrey = 0xE0E0E0;
constexpr std::uint32_t kLavender = 0xFFC0C0;  // RGB(192, 192, 255)

QString CreditLine() {
  if (!QCoreApplication::applicationVersion().isEmpty()) {
    return QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion();
  }
  return QStringLiteral("stage-console " STAGE_CONSOLE_VERSION);
}

void SetTextColors(QWidget* control, QPalette::ColorRole text_role, std::uint32_t text_bgr,
                   QPalette::ColorRole back_role, std::uint32_t back_bgr) {
  QPalette palette = control->palette();
  palette.setColor(text_role, BgrColor(text_bgr));
  palette.setColor(back_role, BgrColor(back_bgr));
  control->setPalette(palette);
}

void SetTextColor(QWidget* control, std::uint32_t text_bgr) {
  QPalette palette = control->palette();
  palette.setColor(QPalette::WindowText, BgrColor(text_bgr));
  control->setPalette(palette);
}

}  // namespace

frmMain::frmMain(ConsoleContext context, QWidget* parent)
    : QWidget(parent),
      context_(context),
      latches_(context.tables),
      panel_style_(std::make_unique<PanelCacheStyle>()),
      schedule_(std::chrono::milliseconds(kTimerIntervalMs), kLateTickAfter),
      red_(BgrColor(kRed)),
      green_(BgrColor(kLampGreen)),
      yellow_(BgrColor(kYellow)),
      button_face_(ButtonFaceColor()) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("KLV-330"));
  setFont(DesignFont("MS Sans Serif", 9.75));
  BuildDesignedControls();
  referencing_ = std::make_unique<ReferencingRunner>(*this, *lbl_message_, context_, latches_,
                                                     [this](AxisIndex axis) { EndMoveInForce(axis); });
  resize(TwipsToPixels(kClientWidthTwips), TwipsToPixels(kDesignedClientHeightTwips));
  fit_ = new WindowFit(this);
  // Each time the outer height is applied (the frame may be known only
  // after the first showing), More Controls is centred on it again.
  fit_->OnApplied([this] {
    if (constructed_) CentreMoreControls();
  });

  timer1_.setTimerType(Qt::PreciseTimer);
  timer1_.setSingleShot(true);
  timer1_.setInterval(kTimerIntervalMs);
  connect(&timer1_, &QTimer::timeout, this, &frmMain::Timer1Fired);

  // Activation depends on the window the operator comes from.
  focus_window_ = QGuiApplication::focusWindow();
  connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &frmMain::FocusWindowChanged);
}

frmMain::~frmMain() {
  // Destroyed while the program goes on (neither Exit nor a fatal end came
  // first): the polling stops with the window, and the controllers are given
  // back all the same.
  if (constructed_ && !context_.exit.Ended()) CloseControllers();
  // The controls go after the members they command: a key still held as
  // they go (Space on Rel lets go when its button loses the focus, Esc when
  // the window does) must no longer reach the latches.
  delete escape_;
  escape_ = nullptr;
  for (QObject* control : findChildren<QObject*>()) control->disconnect(this);
}

void frmMain::BuildDesignedControls() {
  auto button = [this](const char* name, const char* caption, double left, double top, double width,
                       double height, const QFont& font) {
    auto* b = new CommandButton(QString::fromLatin1(caption), this);
    NameElement(b, name, 0);
    b->setFont(font);
    PlaceTwips(b, left, top, width, height);
    return b;
  };
  auto text_box = [this](const char* name, const char* text, double left, double top, double width,
                         double height, const QFont& font) {
    auto* t = new QLineEdit(QString::fromLatin1(text), this);
    t->setStyle(panel_style_.get());
    NameElement(t, name, 0);
    t->setFont(font);
    PlaceTwips(t, left, top, width, height);
    return t;
  };

  // Focusable controls are created in their tab order, so Exit (tab index 0)
  // holds the focus when the window is first shown.
  cmd_exit_ = button("cmdExit", "Exit", 10200, 120, 735, 375, DesignFont("Arial", 9.75, true));
  connect(cmd_exit_, &CommandButton::clicked, this, &frmMain::Shutdown);

  picture1_ = new QFrame(this);  // an empty panel: nothing draws into it
  NameElement(picture1_, "Picture1", 0);
  picture1_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  picture1_->setFocusPolicy(Qt::StrongFocus);
  PlaceTwips(picture1_, 0, 0, 855, 615);

  auto* stop = button("Command1", "STOP", 5880, 960, 735, 375, DesignFont("Arial", 9.75, true));
  stop->SetBackColor(BgrColor(kRed));
  command1_.Append(stop);
  auto* zero = button("Command2", "ZERO", 6720, 960, 735, 375, DesignFont("Arial", 9.75, true));
  zero->SetBackColor(BgrColor(kLavender));
  command2_.Append(zero);

  auto* ideal = text_box("Text3", "Text3", 3960, 120, 2895, 345, DesignFont("MS Sans Serif", 9.75, true));
  ideal->setVisible(false);
  text3_.Append(ideal);

  auto* position = text_box("Text1", "0", 120, 960, 2295, 405, DesignFont("Arial", 15.75, true));
  SetTextColors(position, QPalette::Text, kGreen, QPalette::Base, kBlack);
  text1_.Append(position);

  cmd_go_.Append(button("cmdGo", "GO", 4560, 960, 495, 375, DesignFont("Arial", 9.75, true)));

  auto* target = text_box("Text2", "0", 3000, 960, 1455, 360, DesignFont("Arial", 14.25, true));
  SetTextColors(target, QPalette::Text, kLightGrey, QPalette::Base, kBlack);
  text2_.Append(target);

  command7_.Append(button("Command7", "Rel", 5160, 960, 615, 375, DesignFont("MS Sans Serif", 9.75, true)));

  // Its top is set by construction, centred on the window's height.
  cmd_more_controls_ = button("cmdMoreControls", "More Controls", 9120, 0, 1695, 375,
                              DesignFont("MS Sans Serif", 12));
  connect(cmd_more_controls_, &CommandButton::clicked, this, &frmMain::ShowTuningPanel);

  QWidget* previous = cmd_exit_;
  for (QWidget* next : std::initializer_list<QWidget*>{picture1_, stop, zero, ideal, position, cmd_go_[0],
                                                       target, command7_[0], cmd_more_controls_}) {
    setTabOrder(previous, next);
    previous = next;
  }

  // Labels are opaque in the button-face colour: "Busy" and "Error" read as
  // red text on a plain band across their lit lamps.
  auto label = [this](const char* name, const char* caption, double left, double top, double width,
                      double height, Qt::Alignment horizontal) {
    auto* l = new QLabel(this);
    NameElement(l, name, 0);
    l->setTextFormat(Qt::PlainText);
    l->setText(QString::fromLatin1(caption));
    l->setAlignment(horizontal | Qt::AlignTop);
    l->setAutoFillBackground(true);
    PlaceTwips(l, left, top, width, height);
    return l;
  };
  auto* busy = label("Label4", "Busy", 7560, 960, 495, 255, Qt::AlignLeft);
  busy->setFont(DesignFont("Arial", 9.75, true));
  SetTextColor(busy, kRed);
  label4_.Append(busy);

  auto* error = label("Label8", "Error", 8280, 960, 495, 255, Qt::AlignLeft);
  error->setFont(DesignFont("Arial", 9.75, true));
  SetTextColor(error, kRed);
  error->setVisible(false);
  label8_.Append(error);

  label9_ = label("Label9", "Axis", 2400, 720, 495, 255, Qt::AlignHCenter);
  label9_->setFont(DesignFont("Arial", 12, true));

  // The axis name is one letter in a large font, stored with three trailing
  // blanks. The designed box (255 twips) is narrower than the letter and,
  // centred with its blanks, the letter was cut in half; the box spans the
  // free gap between the position and the target boxes instead, on the same
  // centre line as the "Axis" heading, and ShowAxisName centres the visible
  // letters.
  auto* name = label("Label10", "-", kAxisNameLeftTwips, 960, kAxisNameWidthTwips, 495, Qt::AlignLeft);
  name->setFont(DesignFont("Arial", 21.75, true));
  label10_.Append(name);

  label11_ = label("Label11", "", 840, 0, 3255, 735, Qt::AlignHCenter);
  label11_->setFont(DesignFont("Arial", 12));
  label11_->setWordWrap(true);
  label11_->setText(CreditLine());

  label12_ = label("Label12", "Position", 120, 720, 1695, 255, Qt::AlignLeft);
  label13_ = label("Label13", "Target Position", 3000, 720, 1575, 255, Qt::AlignLeft);
  // "Position" and "Axis" reach one pixel into row 0's position read-out,
  // which lies over them; there they show nothing but their background, the
  // window's colour. Masked off there, they no longer repaint with the
  // read-out on every tick.
  for (QLabel* heading : {label12_, label9_}) {
    const QRect covered = heading->geometry().intersected(text1_[0]->geometry());
    heading->setMask(QRegion(heading->rect()) - QRegion(covered.translated(-heading->pos())));
  }

  // Not designed: the top band between the credit line and Exit is free, and
  // a message there neither takes the focus from the target box nor stops the
  // polling. Empty, it shows nothing.
  lbl_message_ = label("lblMessage", "", 4200, 0, 5880, 720, Qt::AlignLeft);
  lbl_message_->setFont(DesignFont("Arial", 8.25, true));
  lbl_message_->setWordWrap(true);
  lbl_message_->setAutoFillBackground(false);
  SetTextColor(lbl_message_, kRed);

  auto* busy_lamp = new Lamp(Lamp::Style::kFilled, this);
  NameElement(busy_lamp, "Shape2", 0);
  busy_lamp->SetFillColor(BgrColor(kRed));
  PlaceTwips(busy_lamp, 7560, 840, 495, 495);
  shape2_.Append(busy_lamp);

  auto* error_lamp = new Lamp(Lamp::Style::kFilled, this);
  NameElement(error_lamp, "Shape5", 0);
  error_lamp->SetFillColor(ButtonFaceColor());
  PlaceTwips(error_lamp, 8280, 840, 495, 495);
  shape5_.Append(error_lamp);

  StackLikeDesign(this);
}

void frmMain::NameRow(AxisIndex axis) {
  const QString label = AxisLabel(axis);
  NameForAxis(text1_[axis], label, "position");
  NameForAxis(label10_[axis], label, "");
  NameForAxis(text2_[axis], label, "target position");
  NameForAxis(cmd_go_[axis], label, "GO");
  NameForAxis(command7_[axis], label, "Rel");
  NameForAxis(command1_[axis], label, "STOP");
  NameForAxis(command2_[axis], label, "ZERO");
  NameForAxis(shape2_[axis], label, "busy");
  shape2_[axis]->SetStateTexts(QStringLiteral("busy"), QStringLiteral("not busy"), red_);
  NameForAxis(label4_[axis], label, "Busy caption");
  NameForAxis(shape5_[axis], label, "error");
  shape5_[axis]->SetStateTexts(QStringLiteral("error"), QStringLiteral("no error"), red_);
  NameForAxis(label8_[axis], label, "Error caption");
  NameForAxis(text3_[axis], label, "ideal position");
}

void frmMain::CentreMoreControls() {
  // On the height as the window reports it back.
  const double more_height = TwipsGeometry(cmd_more_controls_).height();
  SetTopTwips(cmd_more_controls_, (fit_->OuterHeightTwips() - more_height) / 2);
}

frmXCtrl0& frmMain::TuningPanel() {
  if (!panel_) panel_ = std::make_unique<frmXCtrl0>(context_.tables);
  return *panel_;
}

frmAxisSettings& frmMain::AxisSettings() {
  if (!settings_) {
    settings_ = std::make_unique<frmAxisSettings>(context_, *this);
    // Its "Reference..." button asks, then runs, with the referencing
    // settings as the window holds them now.
    settings_->SetReferenceStarter([this](AxisIndex axis) { StartReferencing(axis); });
    referencing_->SetSettingsSource(
        [settings = settings_.get()](AxisIndex axis) -> std::optional<profile::Referencing> {
          return settings->InForce(axis).referencing;
        });
  }
  return *settings_;
}

void frmMain::MechanicsChanged(AxisIndex axis, double previous_counts_per_micron) {
  const auto k = static_cast<std::size_t>(axis);
  if (k < shown_.size()) shown_[k].position_valid = false;
  // A target box that still shows the entered target shows it in the new
  // unit, so that the next GO goes where it says. Text being typed is left
  // alone.
  const double target = context_.tables.TargetCounts.at(k);
  QLineEdit* box = text2_[axis];
  if (previous_counts_per_micron > 0 && context_.tables.CountsPerMicron.at(k) > 0 &&
      box->text() == QString::fromStdString(FormatFixed2(target / previous_counts_per_micron))) {
    box->setText(QString::fromStdString(FormatFixed2(target / context_.tables.CountsPerMicron.at(k))));
  }
}

void frmMain::setVisible(bool visible) {
  if (visible && !constructed_) {
    constructed_ = true;
    Construct();
    // The first showing is an activation whatever the platform reports
    // later, so the first packet of every axis already carries ActiveBit.
    Activate();
  }
  QWidget::setVisible(visible);
}

void frmMain::Construct() {
  modKVT_USB& tables = context_.tables;
  const AxisIndex axis_count = tables.AxisCount;

  // 1. The panel exists from here on, hidden until More Controls.
  frmXCtrl0& panel = TuningPanel();
  latches_.Allocate();
  referencing_->Allocate();

  // 2.
  row_pitch_ = kRowPitchTwips;
  panel_row_pitch_ = kPanelRowPitchTwips;

  // 3. Wide arithmetic: any axis count only makes the window taller.
  fit_->SetOuterHeightTwips(static_cast<double>(std::int64_t{row_pitch_} * axis_count + kWindowHeightBaseTwips));

  // 4.
  CentreMoreControls();

  // 5.
  panel.CaptionRow0Label();

  // 6. Creation pass: hidden copies of row 0.
  for (AxisIndex i = 1; i <= axis_count; ++i) {
    command1_.Append(CopyElement(*command1_[0], i));
    command2_.Append(CopyElement(*command2_[0], i));
    command7_.Append(CopyElement(*command7_[0], i));
    cmd_go_.Append(CopyElement(*cmd_go_[0], i));
    label4_.Append(CopyElement(*label4_[0], i));
    label8_.Append(CopyElement(*label8_[0], i));
    label10_.Append(CopyElement(*label10_[0], i));
    shape2_.Append(CopyElement(*shape2_[0], i));
    shape5_.Append(CopyElement(*shape5_[0], i));
    text1_.Append(CopyElement(*text1_[0], i));
    text2_.Append(CopyElement(*text2_[0], i));
    text3_.Append(CopyElement(*text3_[0], i));
    panel.CreateRow(i);
  }

  // 7. Placement pass: each row one pitch below the row above.
  auto place = [this](auto& family, AxisIndex i, bool show) {
    SetTopTwips(family[i], TwipsGeometry(family[i - 1]).top() + row_pitch_);
    if (show) family[i]->setVisible(true);
  };
  for (AxisIndex i = 1; i <= axis_count; ++i) {
    place(command1_, i, true);
    place(command2_, i, true);
    place(command7_, i, true);
    place(cmd_go_, i, true);
    place(label4_, i, true);
    // The "Error" caption starts hidden on every row, as on row 0; the
    // polling cycle shows it when a controller reports an error.
    place(label8_, i, false);
    place(label10_, i, true);
    place(shape2_, i, true);
    place(shape5_, i, true);
    place(text1_, i, true);
    place(text2_, i, true);
    // The ideal-position read-out stays hidden on every row, as on row 0:
    // shown, its copies would stand over the heading band and the row above.
    place(text3_, i, false);
    panel.PlaceRow(i, panel_row_pitch_);
  }

  // 8.
  for (AxisIndex i = 0; i <= axis_count; ++i) {
    text1_[i]->setVisible(true);
    text2_[i]->setVisible(true);
  }

  // 9. Starting values.
  for (AxisIndex i = 0; i <= axis_count; ++i) {
    const auto axis = static_cast<std::size_t>(i);
    tables.TargetCounts.at(axis) = 0;
    text2_[i]->setText(QString::fromStdString(CanonicalNumberText(tables.TargetCounts.at(axis))));
    tables.PositionModeBit.at(axis) = 0;
    tables.UnitSuffix.at(axis) = UnitSuffixFor(tables.CountsPerMicron.at(axis));
    tables.ParamFrameMarker.at(axis) = kFirstParamFrameMarker;
    ShowAxisName(*label10_[i], QString::fromLatin1(tables.AxisName.at(axis)));
    NameRow(i);
  }

  shown_.assign(static_cast<std::size_t>(axis_count) + 1, ShownStatus{});
  for (AxisIndex i = 0; i <= axis_count; ++i) ConnectRow(i);
  // Held keys stay one press on every platform (X11 repeats look like
  // releases and presses): see key_repeat.h.
  KeyRepeatFilter::Install();
  escape_ = new HeldKey(Qt::Key_Escape, [this] { EscapePressed(); }, [this] { EscapeReleased(); }, this);
  new AxisSettingsKey([this] { AxisSettings().ShowSettings(); }, this);

  // A created row tabs like row 0, after the row above; More Controls last.
  for (AxisIndex i = 1; i <= axis_count; ++i) {
    QWidget* previous = command7_[i - 1];
    for (QWidget* next : std::initializer_list<QWidget*>{command1_[i], command2_[i], text3_[i], text1_[i],
                                                         cmd_go_[i], text2_[i], command7_[i]}) {
      setTabOrder(previous, next);
      previous = next;
    }
  }
  StackLikeDesign(this);

  // The timer runs from the window's building on; ticks come once the
  // handler that shows this window has returned to the event loop.
  schedule_.Start(PollNow());
  timer1_.start(kTimerIntervalMs);
}

}  // namespace stage::ui

// Why this exists: the tuning panel's slider positions are the tuning values
// every packet carries, so each row must start from the designed ranges and
// positions, keys must never take a slider outside its range, hiding the
// panel must lose nothing, and only a Speed slider click may touch the tables.
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <tuple>

#include "tests/ui/console_fixture.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/common/twips.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

Q_DECLARE_METATYPE(Qt::Orientation)
Q_DECLARE_METATYPE(QSlider::TickPosition)

namespace {

int Px(double twips) { return TwipsToPixels(twips); }

TuningSlider* Slider(const frmXCtrl0& panel, const QString& name, AxisIndex axis) {
  return FindElement<TuningSlider>(&panel, name, axis);
}

const char* const kSliderNames[] = {"Slider1", "Slider2", "Slider3", "Slider4",
                                    "Slider5", "Slider6", "Slider7", "Slider8"};

// Everything a panel action could change in the tables, and every slider.
auto Snapshot(const Console& console) {
  const stage::modKVT_USB& t = console.tables;
  QList<int> positions;
  const frmXCtrl0& panel = console.main->TuningPanel();
  for (AxisIndex i = 0; i < panel.RowCount(); ++i) {
    for (const char* name : kSliderNames) positions.append(Slider(panel, QLatin1String(name), i)->value());
  }
  return std::make_tuple(t.GoBit, t.StopBit, t.ZeroBit, t.ActiveBit, t.SpeedModeBit, t.PositionModeBit,
                         t.RelMoveBit, t.ToggleBit, t.TargetCounts, t.ParamFrameMarker, positions);
}

QList<QWidget*> TabChain(QWidget& window) {
  QList<QWidget*> chain;
  for (QWidget* w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) != 0) chain.append(w);
  }
  return chain;
}

frmXCtrl0& ShowPanel(Console& console) {
  QTest::mouseClick(console.main->cmdMoreControls(), Qt::LeftButton);
  frmXCtrl0& panel = console.Panel();
  if (!QTest::qWaitForWindowActive(&panel)) qWarning("panel not active");
  return panel;
}

}  // namespace

class FrmXCtrl0Test : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void one_axis_keeps_the_designed_panel() {
    Console console({{"W   ", 1.0}});
    console.ShowMain();
    frmXCtrl0& panel = console.Panel();
    QVERIFY(!panel.isVisible());
    QCOMPARE(panel.parentWidget(), nullptr);
    QCOMPARE(panel.windowTitle(), QStringLiteral("Axis Controls"));
    QCOMPARE(panel.size(), QSize(Px(13920), Px(1695)));
    QCOMPARE(panel.RowCount(), 1);
    QCOMPARE(panel.Label1(0)->text(), QStringLiteral("Axis W   "));
    QCOMPARE(Slider(panel, QStringLiteral("Slider1"), 1), nullptr);
  }

  void designed_controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("family");
    QTest::addColumn<double>("points");
    QTest::addColumn<bool>("bold");
    QTest::newRow("Label1") << "Label1" << "Axis A   " << TwipsRect(120, 600, 1215, 375) << "MS Sans Serif"
                            << 13.5 << true;
    QTest::newRow("Label5") << "Label5" << "Limits" << TwipsRect(1440, 120, 735, 255) << "Arial" << 9.75
                            << true;
    QTest::newRow("Command6") << "Command6" << "Reverse" << TwipsRect(1440, 720, 735, 255) << "MS Sans Serif"
                              << 8.25 << false;
    QTest::newRow("Command3") << "Command3" << "Act Hi" << TwipsRect(1440, 960, 735, 255) << "MS Sans Serif"
                              << 8.25 << false;
    QTest::newRow("Label2") << "Label2" << "  P          I          D           Acc"
                            << TwipsRect(2280, 120, 2295, 1005) << "Arial" << 8.25 << true;
    QTest::newRow("Label3") << "Label3" << "Max Speed" << TwipsRect(4440, 120, 1215, 255) << "Arial" << 9.75
                            << true;
    QTest::newRow("Label6") << "Label6" << "Torque" << TwipsRect(5640, 120, 855, 255) << "Arial" << 9.75
                            << true;
    QTest::newRow("Label7") << "Label7" << "F Error" << TwipsRect(6600, 120, 855, 255) << "Arial" << 9.75
                            << true;
    QTest::newRow("Label14") << "Label14" << "Speed" << TwipsRect(7560, 120, 615, 255) << "MS Sans Serif"
                             << 8.25 << true;
    QTest::newRow("cmdHide") << "cmdHide" << "Hide Form" << TwipsRect(11280, 0, 2055, 495) << "MS Sans Serif"
                             << 13.5 << true;
    QTest::newRow("Shape3") << "Shape3" << "" << TwipsRect(1440, 360, 255, 255) << "" << 0.0 << false;
    QTest::newRow("Shape4") << "Shape4" << "" << TwipsRect(1920, 360, 255, 255) << "" << 0.0 << false;
    QTest::newRow("Shape1") << "Shape1" << "" << TwipsRect(10440, 480, 255, 735) << "" << 0.0 << false;
    QTest::newRow("Slider3") << "Slider3" << "" << TwipsRect(2160, 360, 630, 1005) << "" << 0.0 << false;
    QTest::newRow("Slider4") << "Slider4" << "" << TwipsRect(2640, 360, 630, 1005) << "" << 0.0 << false;
    QTest::newRow("Slider5") << "Slider5" << "" << TwipsRect(3120, 360, 630, 1005) << "" << 0.0 << false;
    QTest::newRow("Slider6") << "Slider6" << "" << TwipsRect(3840, 360, 630, 1005) << "" << 0.0 << false;
    QTest::newRow("Slider2") << "Slider2" << "" << TwipsRect(4800, 360, 630, 1005) << "" << 0.0 << false;
    QTest::newRow("Slider7") << "Slider7" << "" << TwipsRect(5760, 360, 630, 1005) << "" << 0.0 << false;
    QTest::newRow("Slider8") << "Slider8" << "" << TwipsRect(6720, 360, 630, 1005) << "" << 0.0 << false;
    QTest::newRow("Slider1") << "Slider1" << "" << TwipsRect(7560, 720, 6015, 375) << "" << 0.0 << false;
  }
  void designed_controls() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(QString, family);
    QFETCH(double, points);
    QFETCH(bool, bold);
    Console console(1);
    console.ShowMain();
    const QWidget* control = FindElement<QWidget>(&console.Panel(), name, 0);
    QVERIFY(control != nullptr);
    QCOMPARE(control->geometry(), geometry);
    if (caption.isEmpty()) return;
    if (const auto* label = qobject_cast<const QLabel*>(control)) QCOMPARE(label->text(), caption);
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) QCOMPARE(button->text(), caption);
    QCOMPARE(control->font().family(), family);
    QCOMPARE(control->font().pointSizeF(), points);
    QCOMPARE(control->font().bold(), bold);
  }

  void lamps_indicators_and_stacking() {
    Console console(2);
    console.ShowMain();
    frmXCtrl0& panel = console.Panel();
    for (AxisIndex i = 0; i < 2; ++i) {
      QCOMPARE(panel.Shape3(i)->FillColor(), QColor(255, 0, 0));
      QCOMPARE(panel.Shape4(i)->FillColor(), QColor(255, 0, 0));
      QCOMPARE(panel.Shape1(i)->LampStyle(), Lamp::Style::kOutline);
      QCOMPARE(panel.Command6(i)->BackColor(), ButtonFaceColor());
      QCOMPARE(panel.Slider2(i)->BorderStyleValue(), 0);
    }
    // The mark lies under the Speed slider; the headings under the sliders.
    const QObjectList stack = panel.children();
    QVERIFY(stack.indexOf(panel.Shape1(1)) < stack.indexOf(panel.Slider1(0)));
    QVERIFY(stack.indexOf(panel.Shape1(1)) < stack.indexOf(panel.Label2()));
    QVERIFY(stack.indexOf(panel.Label2()) < stack.indexOf(panel.Slider3(0)));
    QVERIFY(stack.indexOf(panel.Label1(1)) < stack.indexOf(panel.Slider5(0)));
  }

  void tab_order() {
    Console console(2);
    console.ShowMain();
    frmXCtrl0& p = console.Panel();
    const QList<QWidget*> expected{
        p.cmdHide(),    p.Command6(0),  p.Command3(0),  p.Slider5(0), p.Slider4(0), p.Slider3(0), p.Slider2(0),
        p.Slider6(0),   p.Slider7(0),   p.Slider8(0),   p.Slider1(0), p.Command6(1), p.Command3(1), p.Slider5(1),
        p.Slider4(1),   p.Slider3(1),   p.Slider2(1),   p.Slider6(1), p.Slider7(1), p.Slider8(1),  p.Slider1(1)};
    QCOMPARE(TabChain(p), expected);
  }

  void rows_data() {
    QTest::addColumn<int>("axes");
    QTest::addColumn<double>("outer_height_twips");
    QTest::newRow("two axes") << 2 << 3000.0;
    QTest::newRow("three axes") << 3 << 4000.0;
  }
  void rows() {
    QFETCH(int, axes);
    QFETCH(double, outer_height_twips);
    Console console(axes);
    console.ShowMain();
    frmXCtrl0& panel = ShowPanel(console);
    QCOMPARE(panel.frameGeometry().height(), Px(outer_height_twips));
    QCOMPARE(panel.width(), Px(13920));
    QCOMPARE(panel.RowCount(), axes);

    const struct {
      const char* name;
      double row0_top;
    } families[] = {{"Command3", 960}, {"Command6", 720}, {"Label1", 600},  {"Shape1", 480},  {"Shape3", 360},
                    {"Shape4", 360},   {"Slider1", 720},  {"Slider2", 360}, {"Slider3", 360}, {"Slider4", 360},
                    {"Slider5", 360},  {"Slider6", 360},  {"Slider7", 360}, {"Slider8", 360}};
    for (const auto& family : families) {
      const QWidget* row0 = FindElement<QWidget>(&panel, QLatin1String(family.name), 0);
      QVERIFY(row0 != nullptr);
      for (AxisIndex i = 1; i < axes; ++i) {
        const QWidget* element = FindElement<QWidget>(&panel, QLatin1String(family.name), i);
        QVERIFY2(element != nullptr, family.name);
        QCOMPARE(element->y(), Px(family.row0_top + 1000.0 * i));
        QCOMPARE(element->x(), row0->x());
        QCOMPARE(element->size(), row0->size());
        QVERIFY(element->isVisible());
      }
    }
    const QString last_name = QString(QLatin1Char(static_cast<char>('A' + axes - 1))) + QLatin1String("   ");
    QCOMPARE(panel.Label1(axes - 1)->text(), QLatin1String("Axis ") + last_name);
    if (axes == 3) QCOMPARE(panel.Slider3(2)->y(), Px(2360));
  }

  void slider_settings_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<Qt::Orientation>("orientation");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("small_step");
    QTest::addColumn<int>("large_step");
    QTest::addColumn<int>("tick_every");
    QTest::addColumn<QSlider::TickPosition>("ticks");
    const auto both = QSlider::TicksBothSides;
    QTest::newRow("P") << "Slider3" << Qt::Vertical << 0 << 155 << 15 << 1 << 2 << 15 << both;
    QTest::newRow("I") << "Slider4" << Qt::Vertical << 0 << 155 << 5 << 1 << 2 << 15 << both;
    QTest::newRow("D") << "Slider5" << Qt::Vertical << 0 << 155 << 5 << 1 << 2 << 15 << both;
    QTest::newRow("Acc") << "Slider6" << Qt::Vertical << 1 << 255 << 50 << 1 << 5 << 15 << both;
    QTest::newRow("Max Speed") << "Slider2" << Qt::Vertical << 5 << 255 << 80 << 1 << 2 << 15 << both;
    QTest::newRow("Torque") << "Slider7" << Qt::Vertical << 1 << 255 << 200 << 1 << 2 << 15 << both;
    QTest::newRow("F Error") << "Slider8" << Qt::Vertical << 1 << 255 << 50 << 1 << 2 << 15 << both;
    QTest::newRow("Speed") << "Slider1" << Qt::Horizontal << -10000 << 10000 << 0 << 1 << 5 << 500
                           << QSlider::TicksAbove;
  }
  void slider_settings() {
    QFETCH(QString, name);
    QFETCH(Qt::Orientation, orientation);
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, position);
    QFETCH(int, small_step);
    QFETCH(int, large_step);
    QFETCH(int, tick_every);
    QFETCH(QSlider::TickPosition, ticks);
    Console console(3);
    console.ShowMain();
    for (AxisIndex i = 0; i < 3; ++i) {  // every row starts alike
      const TuningSlider* slider = Slider(console.Panel(), name, i);
      QVERIFY(slider != nullptr);
      QCOMPARE(slider->orientation(), orientation);
      QCOMPARE(slider->minimum(), minimum);
      QCOMPARE(slider->maximum(), maximum);
      QCOMPARE(slider->value(), position);
      QCOMPARE(slider->singleStep(), small_step);
      QCOMPARE(slider->pageStep(), large_step);
      QCOMPARE(slider->tickInterval(), tick_every);
      QCOMPARE(slider->tickPosition(), ticks);
    }
  }

  void keys_keep_sliders_in_range_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("large_step");
    QTest::newRow("P can be 0") << "Slider3" << 0 << 155 << 2;
    QTest::newRow("D can be 0") << "Slider5" << 0 << 155 << 2;
    QTest::newRow("Max Speed not below 5") << "Slider2" << 5 << 255 << 2;
    QTest::newRow("Acc not below 1") << "Slider6" << 1 << 255 << 5;
    QTest::newRow("Torque not below 1") << "Slider7" << 1 << 255 << 2;
    QTest::newRow("F Error not below 1") << "Slider8" << 1 << 255 << 2;
    QTest::newRow("Speed") << "Slider1" << -10000 << 10000 << 5;
  }
  void keys_keep_sliders_in_range() {
    QFETCH(QString, name);
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, large_step);
    Console console(2);
    console.ShowMain();
    TuningSlider* slider = Slider(ShowPanel(console), name, 1);
    slider->setFocus();

    QTest::keyClick(slider, Qt::Key_End);
    QCOMPARE(slider->value(), maximum);
    QTest::keyClick(slider, Qt::Key_PageUp);
    QTest::keyClick(slider, Qt::Key_Up);
    QCOMPARE(slider->value(), maximum);
    QTest::keyClick(slider, Qt::Key_PageDown);
    QCOMPARE(slider->value(), maximum - large_step);
    QTest::keyClick(slider, Qt::Key_Down);
    QCOMPARE(slider->value(), maximum - large_step - 1);

    QTest::keyClick(slider, Qt::Key_Home);
    QCOMPARE(slider->value(), minimum);
    QTest::keyClick(slider, Qt::Key_Up);
    QCOMPARE(slider->value(), minimum + 1);
    for (int k = 0; k < 3; ++k) QTest::keyClick(slider, Qt::Key_PageDown);
    QTest::keyClick(slider, Qt::Key_Down);
    QTest::keyClick(slider, Qt::Key_Left);
    QCOMPARE(slider->value(), minimum);
    // Keys are no click: the speed mode stays off.
    QCOMPARE(console.tables.SpeedModeBit[1], 0);
  }

  void hiding_keeps_rows_and_positions_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Hide Form clicked") << "click";
    QTest::newRow("Space on Hide Form") << "space";
    QTest::newRow("close box") << "close";
  }
  void hiding_keeps_rows_and_positions() {
    QFETCH(QString, how);
    Console console(3);
    frmMain& main = console.ShowMain();
    frmXCtrl0& panel = ShowPanel(console);
    QTest::keyClick(panel.Slider3(2), Qt::Key_End);
    QTest::keyClick(panel.Slider1(1), Qt::Key_Home);
    QTest::keyClick(panel.Slider2(0), Qt::Key_PageDown);
    const auto before = Snapshot(console);
    QCOMPARE(panel.Slider3(2)->value(), 155);

    if (how == QLatin1String("click")) QTest::mouseClick(panel.cmdHide(), Qt::LeftButton);
    if (how == QLatin1String("space")) {
      panel.cmdHide()->setFocus();
      QTest::keyClick(panel.cmdHide(), Qt::Key_Space);
    }
    if (how == QLatin1String("close")) QVERIFY(!panel.close());
    QVERIFY(!panel.isVisible());
    QCOMPARE(Snapshot(console), before);
    QVERIFY(!console.exit.Ended());

    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QCOMPARE(&ShowPanel(console), &panel);
    QVERIFY(panel.isVisible());
    QCOMPARE(panel.RowCount(), 3);
    for (AxisIndex i = 0; i < 3; ++i) QVERIFY(panel.Slider8(i)->isVisible());
    QCOMPARE(Snapshot(console), before);
    QCOMPARE(panel.Slider1(1)->value(), -10000);
  }

  void speed_slider_click_sets_speed_mode_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("left") << Qt::LeftButton;
    QTest::newRow("right") << Qt::RightButton;
    QTest::newRow("middle") << Qt::MiddleButton;
  }
  void speed_slider_click_sets_speed_mode() {
    QFETCH(Qt::MouseButton, button);
    Console console(3);
    console.ShowMain();
    frmXCtrl0& panel = ShowPanel(console);
    console.tables.PositionModeBit[1] = 32;
    QTest::mouseClick(panel.Slider1(1), button);
    QCOMPARE(console.tables.SpeedModeBit[1], 16);
    QCOMPARE(console.tables.SpeedModeBit[0], 0);
    QCOMPARE(console.tables.SpeedModeBit[2], 0);
    QCOMPARE(console.tables.PositionModeBit[1], 32);
  }

  void a_press_released_off_the_slider_is_no_click() {
    Console console(2);
    console.ShowMain();
    TuningSlider* speed = ShowPanel(console).Slider1(1);
    QSignalSpy clicks(speed, &TuningSlider::sliderClick);
    QTest::mousePress(speed, Qt::LeftButton, {}, speed->rect().center());
    QTest::mouseRelease(speed, Qt::LeftButton, {}, QPoint(speed->width() / 2, speed->height() + 40));
    QCOMPARE(clicks.count(), 0);
    QCOMPARE(console.tables.SpeedModeBit[1], 0);
    // Another slider's click is not the speed mode.
    QTest::mouseClick(console.Panel().Slider3(1), Qt::LeftButton);
    QCOMPARE(console.tables.SpeedModeBit[1], 0);
  }

  void reverse_and_act_hi_do_nothing_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("Reverse") << "Command6";
    QTest::newRow("Act Hi") << "Command3";
  }
  void reverse_and_act_hi_do_nothing() {
    QFETCH(QString, name);
    Console console(2);
    console.ShowMain();
    frmXCtrl0& panel = ShowPanel(console);
    const auto before = Snapshot(console);
    for (AxisIndex i = 0; i < 2; ++i) {
      auto* button = FindElement<CommandButton>(&panel, name, i);
      QTest::mouseClick(button, Qt::LeftButton);
      QTest::mouseClick(button, Qt::RightButton);
      button->setFocus();
      QTest::keyClick(button, Qt::Key_Space);
      QTest::keyClick(button, Qt::Key_Return);
    }
    QCOMPARE(Snapshot(console), before);
    QVERIFY(panel.isVisible());
    QCOMPARE(panel.Command6(1)->BackColor(), ButtonFaceColor());
    QVERIFY(!console.exit.Ended());
  }

  void switching_to_the_main_window_leaves_the_panel_showing() {
    Console console(2);
    frmMain& main = console.ShowMain();
    frmXCtrl0& panel = ShowPanel(console);
    QVERIFY(panel.focusWidget() != nullptr);  // a control holds the focus
    QTest::mouseClick(panel.Slider4(1), Qt::LeftButton);

    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QVERIFY(panel.isVisible());
  }

  void the_panel_itself_losing_the_focus_hides_it() {
    Console console(2);
    frmMain& main = console.ShowMain();
    frmXCtrl0& panel = ShowPanel(console);
    const int slider_position = panel.Slider7(1)->value();
    panel.focusWidget()->clearFocus();  // the window itself holds the focus now

    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QVERIFY(!panel.isVisible());
    QCOMPARE(panel.RowCount(), 2);
    QCOMPARE(panel.Slider7(1)->value(), slider_position);
  }

  void border_style_paints_a_frame_only_when_set() {
    TuningSliderSettings settings;
    settings.minimum = 5;
    settings.maximum = 255;
    TuningSlider slider(settings);
    slider.resize(42, 67);
    const QColor frame = slider.palette().color(QPalette::WindowText);
    QVERIFY(slider.grab().toImage().pixelColor(0, 33) != frame);
    slider.SetBorderStyle(1);
    QCOMPARE(slider.BorderStyleValue(), 1);
    const QImage framed = slider.grab().toImage();
    QCOMPARE(framed.pixelColor(0, 33), frame);
    QCOMPARE(framed.pixelColor(41, 10), frame);
    slider.SetBorderStyle(0);
    QVERIFY(slider.grab().toImage().pixelColor(0, 33) != frame);
  }

  void a_slider_whose_border_switched_looks_as_it_did() {
    // Once its border has switched, a slider repaints from a pixmap of
    // itself: at every position it must look as a slider drawn the plain
    // way, and framed, the same inside the frame.
    TuningSliderSettings settings;
    settings.minimum = 5;
    settings.maximum = 255;
    settings.position = 80;
    settings.tick_every = 15;
    TuningSlider plain(settings);
    TuningSlider switched(settings);
    plain.resize(42, 67);
    switched.resize(42, 67);
    switched.SetBorderStyle(1);
    switched.SetBorderStyle(0);
    for (const int position : {80, 5, 200, 255, 80}) {
      plain.setValue(position);
      switched.setValue(position);
      QCOMPARE(switched.grab().toImage(), plain.grab().toImage());
    }
    switched.SetBorderStyle(1);
    const QRect inside(1, 1, 40, 65);
    QCOMPARE(switched.grab().toImage().copy(inside), plain.grab().toImage().copy(inside));
  }
};

STAGE_UI_TEST_MAIN(FrmXCtrl0Test)
#include "frmXCtrl0_test.moc"

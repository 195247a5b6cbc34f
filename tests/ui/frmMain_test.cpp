// Why this exists: the main window must be built exactly once, on its first
// showing, with one row per axis at the designed twips, the designed captions
// and colours, the starting values in the axis tables, and an Exit that closes
// every controller in axis order before ending the program.
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <cstdlib>

#include "tests/ui/console_fixture.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/family_elements.h"
#include "ui/common/fonts.h"
#include "ui/common/panel_cache_style.h"
#include "ui/common/twips.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

int Px(double twips) { return TwipsToPixels(twips); }

// The row families with their row-0 tops, in the order construction places them.
struct RowFamily {
  const char* name;
  double row0_top_twips;
};
constexpr RowFamily kRowFamilies[] = {
    {"Command1", 960}, {"Command2", 960}, {"Command7", 960}, {"cmdGo", 960},
    {"Label4", 960},   {"Label8", 960},   {"Label10", 960},  {"Shape2", 840},
    {"Shape5", 840},   {"Text1", 960},    {"Text2", 960},    {"Text3", 120},
};

QWidget* Element(const QWidget& window, const char* family, AxisIndex axis) {
  return FindElement<QWidget>(&window, QString::fromLatin1(family), axis);
}

// The focusable controls in the window's tab order, from its first one.
QList<QWidget*> TabChain(QWidget& window) {
  QList<QWidget*> chain;
  for (QWidget* w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) != 0) chain.append(w);
  }
  return chain;
}

}  // namespace

class FrmMainTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void a_text_box_with_its_panel_cached_looks_as_a_plain_one_data() {
    QTest::addColumn<QColor>("text");
    QTest::addColumn<QColor>("base");
    QTest::addColumn<bool>("read_only");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("position read-out") << QColor(0, 255, 0) << QColor(0, 0, 0) << false << true;
    QTest::newRow("target box") << QColor(224, 224, 224) << QColor(0, 0, 0) << false << true;
    QTest::newRow("default colours, read-only") << QColor() << QColor() << true << true;
    QTest::newRow("disabled") << QColor(0, 255, 0) << QColor(0, 0, 0) << false << false;
  }
  void a_text_box_with_its_panel_cached_looks_as_a_plain_one() {
    // The main window's text boxes draw their panel from a pixmap: every
    // repaint, first or later, must give the pixels of a plain box.
    QFETCH(QColor, text);
    QFETCH(QColor, base);
    QFETCH(bool, read_only);
    QFETCH(bool, enabled);
    PanelCacheStyle style;
    QLineEdit plain(QStringLiteral("-1234.50 um"));
    QLineEdit cached(QStringLiteral("-1234.50 um"));
    cached.setStyle(&style);
    for (QLineEdit* box : {&plain, &cached}) {
      box->setFont(DesignFont("Arial", 15.75, true));
      box->resize(153, 27);
      QPalette p = box->palette();
      if (text.isValid()) p.setColor(QPalette::Text, text);
      if (base.isValid()) p.setColor(QPalette::Base, base);
      box->setPalette(p);
      box->setReadOnly(read_only);
      box->setEnabled(enabled);
    }
    for (const char* shown : {"-1234.50 um", "7.25 um", "-1234.50 um"}) {
      plain.setText(QString::fromLatin1(shown));
      cached.setText(QString::fromLatin1(shown));
      QCOMPARE(cached.grab().toImage(), plain.grab().toImage());
    }
  }

  void geometry_data() {
    QTest::addColumn<int>("axes");
    QTest::addColumn<double>("outer_height_twips");
    QTest::addColumn<double>("more_controls_top_twips");
    QTest::newRow("one axis") << 1 << 2000.0 << 812.5;
    QTest::newRow("two axes") << 2 << 2550.0 << 1087.5;
    QTest::newRow("three axes") << 3 << 3100.0 << 1362.5;
  }
  void geometry() {
    QFETCH(int, axes);
    QFETCH(double, outer_height_twips);
    QFETCH(double, more_controls_top_twips);
    Console console(axes);
    frmMain& main = console.ShowMain();

    QCOMPARE(main.frameGeometry().height(), Px(outer_height_twips));
    QCOMPARE(main.width(), Px(11220));
    QCOMPARE(main.cmdMoreControls()->geometry(), TwipsRect(9120, more_controls_top_twips, 1695, 375));
    QCOMPARE(main.RowCount(), axes);

    for (const RowFamily& family : kRowFamilies) {
      const QWidget* row0 = Element(main, family.name, 0);
      QVERIFY2(row0 != nullptr, family.name);
      QCOMPARE(row0->y(), Px(family.row0_top_twips));
      for (AxisIndex i = 1; i < axes; ++i) {
        const QWidget* element = Element(main, family.name, i);
        QVERIFY2(element != nullptr, family.name);
        QCOMPARE(element->y(), Px(family.row0_top_twips + 550.0 * i));
        QCOMPARE(element->x(), row0->x());
        QCOMPARE(element->size(), row0->size());
      }
      QCOMPARE(Element(main, family.name, axes), nullptr);
    }
  }

  void row_tops_are_exact_twips_not_accumulated_pixels() {
    Console console(3);
    frmMain& main = console.ShowMain();
    // 960, 1510, 2060 twips: 64, 101, 137 px (adding 37 px per row would give 138).
    QCOMPARE(main.Text1(1)->y(), 101);
    QCOMPARE(main.Text1(2)->y(), 137);
    QCOMPARE(main.Shape2(1)->y(), 93);
    QCOMPARE(main.Shape2(2)->y(), 129);
    QCOMPARE(TwipsGeometry(main.Text1(2)).top(), 2060.0);
    QCOMPARE(TwipsGeometry(main.Shape5(2)).top(), 1940.0);
  }

  void many_axes_only_make_the_windows_taller() {
    // 40 axes: beyond what 16-bit twips arithmetic could hold for the panel.
    Console console(40);
    frmMain& main = console.ShowMain();
    QCOMPARE(main.RowCount(), 40);
    QCOMPARE(main.frameGeometry().height(), Px(550.0 * 39 + 2000));
    QCOMPARE(main.Text2(39)->y(), Px(960 + 550.0 * 39));
    frmXCtrl0& panel = console.Panel();
    QCOMPARE(panel.RowCount(), 40);
    QCOMPARE(panel.frameGeometry().height(), Px(40 * 1000.0 + 1000));
    QCOMPARE(panel.Slider3(39)->y(), Px(360 + 39000.0));
    QCOMPARE(console.tables.ParamFrameMarker[39], 144);
  }

  void captions_fonts_and_colours_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("family");
    QTest::addColumn<double>("points");
    QTest::addColumn<bool>("bold");
    QTest::newRow("Text1") << "Text1" << "0" << "Arial" << 15.75 << true;
    QTest::newRow("Label10") << "Label10" << "A   " << "Arial" << 21.75 << true;
    QTest::newRow("Text2") << "Text2" << "0" << "Arial" << 14.25 << true;
    QTest::newRow("cmdGo") << "cmdGo" << "GO" << "Arial" << 9.75 << true;
    QTest::newRow("Command7") << "Command7" << "Rel" << "MS Sans Serif" << 9.75 << true;
    QTest::newRow("Command1") << "Command1" << "STOP" << "Arial" << 9.75 << true;
    QTest::newRow("Command2") << "Command2" << "ZERO" << "Arial" << 9.75 << true;
    QTest::newRow("Label4") << "Label4" << "Busy" << "Arial" << 9.75 << true;
    QTest::newRow("Label8") << "Label8" << "Error" << "Arial" << 9.75 << true;
    // The first showing activates the window: "0" in all three boxes.
    QTest::newRow("Text3") << "Text3" << "0" << "MS Sans Serif" << 9.75 << true;
    QTest::newRow("cmdExit") << "cmdExit" << "Exit" << "Arial" << 9.75 << true;
    QTest::newRow("Label12") << "Label12" << "Position" << "MS Sans Serif" << 9.75 << false;
    QTest::newRow("Label9") << "Label9" << "Axis" << "Arial" << 12.0 << true;
    QTest::newRow("Label13") << "Label13" << "Target Position" << "MS Sans Serif" << 9.75 << false;
    QTest::newRow("cmdMoreControls") << "cmdMoreControls" << "More Controls" << "MS Sans Serif" << 12.0
                                     << false;
  }
  void captions_fonts_and_colours() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, family);
    QFETCH(double, points);
    QFETCH(bool, bold);
    Console console(3);
    frmMain& main = console.ShowMain();
    QCOMPARE(main.windowTitle(), QStringLiteral("KLV-330"));

    // Every row, copies included, where the control repeats per axis.
    const AxisIndex rows = FindElement<QWidget>(&main, name, 1) != nullptr ? 3 : 1;
    for (AxisIndex i = 0; i < rows; ++i) {
      const QWidget* control = FindElement<QWidget>(&main, name, i);
      QVERIFY(control != nullptr);
      QString shown;
      if (const auto* label = qobject_cast<const QLabel*>(control)) shown = label->text();
      if (const auto* box = qobject_cast<const QLineEdit*>(control)) shown = box->text();
      if (const auto* button = qobject_cast<const QAbstractButton*>(control)) shown = button->text();
      if (name == QLatin1String("Label10")) text = QString(QLatin1Char(char('A' + i))) + QLatin1String("   ");
      QCOMPARE(shown, text);
      QCOMPARE(control->font().family(), family);
      QCOMPARE(control->font().pointSizeF(), points);
      QCOMPARE(control->font().bold(), bold);
    }
  }

  void colours_and_visibility_on_every_row() {
    Console console(3);
    frmMain& main = console.ShowMain();
    for (AxisIndex i = 0; i < 3; ++i) {
      QCOMPARE(main.Text1(i)->palette().color(QPalette::Text), QColor(0, 255, 0));
      QCOMPARE(main.Text1(i)->palette().color(QPalette::Base), QColor(0, 0, 0));
      QCOMPARE(main.Text2(i)->palette().color(QPalette::Text), QColor(224, 224, 224));
      QCOMPARE(main.Text2(i)->palette().color(QPalette::Base), QColor(0, 0, 0));
      QCOMPARE(main.Command1(i)->BackColor(), QColor(255, 0, 0));
      QCOMPARE(main.Command2(i)->BackColor(), QColor(192, 192, 255));
      QCOMPARE(main.Shape2(i)->FillColor(), QColor(255, 0, 0));
      QCOMPARE(main.Shape5(i)->FillColor(), ButtonFaceColor());
      QCOMPARE(main.Label4(i)->palette().color(QPalette::WindowText), QColor(255, 0, 0));
      QCOMPARE(main.Label8(i)->palette().color(QPalette::WindowText), QColor(255, 0, 0));
      QVERIFY(main.Text2(i)->isEnabled() && !main.Text2(i)->isReadOnly());

      QVERIFY(main.Text1(i)->isVisible());
      QVERIFY(main.Text2(i)->isVisible());
      QVERIFY(main.Label4(i)->isVisible());
      QVERIFY(main.Shape2(i)->isVisible());
      // Row 0 designs both hidden; the copies start hidden too.
      QVERIFY(!main.Label8(i)->isVisible());
      QVERIFY(!main.Text3(i)->isVisible());
    }
    QCOMPARE(main.font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(main.font().pointSizeF(), 9.75);
    QVERIFY(console.polling_started);
    QCOMPARE(main.Timer1().interval(), 10);
    QCOMPARE(main.Timer1().timerType(), Qt::PreciseTimer);

    // The lamps really paint their fill.
    const QImage busy = main.Shape2(2)->grab().toImage();
    QCOMPARE(busy.pixelColor(busy.width() / 2, 3), QColor(255, 0, 0));
    const QImage error = main.Shape5(1)->grab().toImage();
    QCOMPARE(error.pixelColor(error.width() / 2, 3), ButtonFaceColor());
  }

  void lamps_lie_under_labels_under_controls() {
    Console console(2);
    frmMain& main = console.ShowMain();
    const QObjectList stack = main.children();  // back to front
    for (AxisIndex i = 0; i < 2; ++i) {
      QVERIFY(stack.indexOf(main.Shape2(i)) < stack.indexOf(main.Label4(0)));
      QVERIFY(stack.indexOf(main.Shape5(i)) < stack.indexOf(main.Label8(0)));
      QVERIFY(stack.indexOf(main.Label4(i)) < stack.indexOf(main.Text3(0)));
      QVERIFY(stack.indexOf(main.Label10(i)) < stack.indexOf(main.cmdGo(0)));
    }
  }

  void credit_line_names_the_product_and_version() {
    {
      Console console(1);
      QVERIFY(console.ShowMain().Label11()->text().startsWith(QStringLiteral("stage-console 0.")));
    }
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("stage-console"));
    QCoreApplication::setApplicationVersion(QStringLiteral("9.8.7"));
    Console console(1);
    const QString credit = console.ShowMain().Label11()->text();
    QCoreApplication::setApplicationName(name);
    QCoreApplication::setApplicationVersion(QString());
    QCOMPARE(credit, QStringLiteral("stage-console 9.8.7"));
  }

  void tab_order_and_first_focus() {
    Console console(2);
    frmMain& main = console.ShowMain();
    const QList<QWidget*> expected{main.cmdExit(),  main.Picture1(), main.Command1(0), main.Command2(0),
                                   main.Text3(0),   main.Text1(0),   main.cmdGo(0),    main.Text2(0),
                                   main.Command7(0), main.Command1(1), main.Command2(1), main.Text3(1),
                                   main.Text1(1),   main.cmdGo(1),   main.Text2(1),    main.Command7(1),
                                   main.cmdMoreControls()};
    QCOMPARE(TabChain(main), expected);
    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QCOMPARE(QApplication::focusWidget(), main.cmdExit());
  }

  void construction_values_data() {
    QTest::addColumn<double>("counts_per_micron");
    QTest::addColumn<QString>("unit_suffix");
    QTest::newRow("exactly 1") << 1.0 << " En";
    QTest::newRow("0.5") << 0.5 << " um";
    QTest::newRow("1.0001") << 1.0001 << " um";
    QTest::newRow("85.3333333333333") << 85.3333333333333 << " um";
    QTest::newRow("1.85") << 1.85 << " um";
  }
  void construction_values() {
    QFETCH(double, counts_per_micron);
    QFETCH(QString, unit_suffix);
    // Axis 1 is a created row; axis 0 the designed one with another factor.
    Console console({{"W   ", 2.0}, {"X", counts_per_micron}});
    console.tables.AxisName[1] = "X   ";
    for (std::size_t i = 0; i < 2; ++i) {  // whatever the tables held before
      console.tables.TargetCounts[i] = 1234.5;
      console.tables.PositionModeBit[i] = 32;
      console.tables.ParamFrameMarker[i] = 96;
      console.tables.UnitSuffix[i] = "??";
    }
    frmMain& main = console.ShowMain();

    QCOMPARE(QString::fromStdString(console.tables.UnitSuffix[1]), unit_suffix);
    QCOMPARE(console.tables.UnitSuffix[0], std::string(" um"));
    for (AxisIndex i = 0; i < 2; ++i) {
      const auto k = static_cast<std::size_t>(i);
      QCOMPARE(console.tables.TargetCounts[k], 0.0);
      QCOMPARE(console.tables.PositionModeBit[k], 0);
      QCOMPARE(console.tables.ParamFrameMarker[k], 144);
      QCOMPARE(main.Text2(i)->text(), QStringLiteral("0"));
    }
    // All four characters of the name, trailing blanks included.
    QCOMPARE(main.Label10(0)->text(), QStringLiteral("W   "));
    QCOMPARE(main.Label10(1)->text(), QStringLiteral("X   "));
    QCOMPARE(console.Panel().Label1(0)->text(), QStringLiteral("Axis W   "));
    QCOMPARE(console.Panel().Label1(1)->text(), QStringLiteral("Axis X   "));
    QVERIFY(console.devices.closed.empty());
    // ...and the letter itself is whole and centred under the "Axis" heading.
    for (AxisIndex i = 0; i < 2; ++i) {
      QLabel* name = main.Label10(i);
      const int letter_px = name->fontMetrics().horizontalAdvance(name->text().trimmed());
      QVERIFY2(name->indent() + letter_px <= name->width(), "the axis letter is clipped");
      const int letter_centre = name->x() + name->indent() + letter_px / 2;
      const int heading_centre = main.Label9()->geometry().center().x();
      QVERIFY2(std::abs(letter_centre - heading_centre) <= 2, "the axis letter is off centre");
    }
  }

  void construction_runs_on_the_first_showing_only() {
    Console console(3);
    QVERIFY(!console.main->Constructed());
    QCOMPARE(console.tables.ParamFrameMarker[2], 0);  // nothing before the first showing
    frmMain& main = console.ShowMain();
    QVERIFY(main.Constructed());
    QVERIFY(!console.Panel().isVisible());

    const qsizetype children = main.findChildren<QWidget*>().size();
    const QRect more = main.cmdMoreControls()->geometry();
    const int height = main.frameGeometry().height();
    console.tables.TargetCounts[1] = 77;
    console.tables.PositionModeBit[1] = 32;
    main.Text2(1)->setText(QStringLiteral("5"));
    main.hide();
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    QCOMPARE(main.findChildren<QWidget*>().size(), children);
    QCOMPARE(main.RowCount(), 3);
    QCOMPARE(console.Panel().RowCount(), 3);
    QCOMPARE(main.cmdMoreControls()->geometry(), more);
    QCOMPARE(main.frameGeometry().height(), height);
    QCOMPARE(console.tables.TargetCounts[1], 77.0);
    QCOMPARE(console.tables.PositionModeBit[1], 32);
    QCOMPARE(main.Text2(1)->text(), QStringLiteral("5"));
  }

  void more_controls_shows_the_one_panel() {
    Console console(2);
    frmMain& main = console.ShowMain();
    frmXCtrl0* panel = &console.Panel();
    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    QVERIFY(panel->isVisible());
    QVERIFY(QTest::qWaitForWindowActive(panel));
    QCOMPARE(panel->parentWidget(), nullptr);

    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    QVERIFY(QTest::qWaitForWindowActive(panel));
    QCOMPARE(&console.Panel(), panel);
    int panels = 0;
    for (QWidget* top : QApplication::topLevelWidgets()) panels += qobject_cast<frmXCtrl0*>(top) != nullptr;
    QCOMPARE(panels, 1);
    QVERIFY(console.devices.closed.empty());
    QVERIFY(!console.exit.Ended());
  }

  void shutdown_closes_every_controller_in_order_data() {
    QTest::addColumn<int>("axes");
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("close_status");
    QTest::newRow("one axis, Exit clicked") << 1 << "click" << 0;
    QTest::newRow("three axes, Exit clicked") << 3 << "click" << 0;
    QTest::newRow("three axes, Space on Exit") << 3 << "space" << 0;
    QTest::newRow("three axes, close box") << 3 << "close" << 0;
    QTest::newRow("failing closes are ignored") << 3 << "click" << int(stage::usb::SI_INVALID_HANDLE);
  }
  void shutdown_closes_every_controller_in_order() {
    QFETCH(int, axes);
    QFETCH(QString, how);
    QFETCH(int, close_status);
    Console console(axes);
    console.devices.close_status = close_status;
    frmMain& main = console.ShowMain();

    if (how == QLatin1String("click")) QTest::mouseClick(main.cmdExit(), Qt::LeftButton);
    if (how == QLatin1String("space")) {
      main.cmdExit()->setFocus();
      QTest::keyClick(main.cmdExit(), Qt::Key_Space);
    }
    if (how == QLatin1String("close")) main.close();

    std::vector<stage::usb::Handle> expected;
    expected.reserve(static_cast<std::size_t>(axes));
    for (AxisIndex i = 0; i < axes; ++i) expected.push_back(HandleOf(i));
    QCOMPARE(console.devices.closed, expected);
    QVERIFY(console.exit.Ended());
    QCOMPARE(console.exit.Status(), 0);
    QVERIFY(console.exit.FatalMessages().isEmpty());
    QVERIFY(!main.Timer1().isActive());
    QCOMPARE(console.devices.transfers, 0);
  }

  void a_right_click_on_exit_does_not_end() {
    Console console(2);
    frmMain& main = console.ShowMain();
    QTest::mouseClick(main.cmdExit(), Qt::RightButton);
    QVERIFY(console.devices.closed.empty());
    QVERIFY(!console.exit.Ended());
  }
};

STAGE_UI_TEST_MAIN(FrmMainTest)
#include "frmMain_test.moc"

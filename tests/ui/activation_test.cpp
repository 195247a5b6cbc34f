// Why this exists: coming back to the main window from the tuning panel
// re-activates every axis and blanks the boxes, while coming back from
// another application must leave the operator's typing alone; and Exit must
// close every controller in axis order before the program ends with 0. And
// every window shows the program's icon, compiled in, in every size.
#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <QWindow>

#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/common/window_icon.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

constexpr std::uint8_t kActive = 8;

// The offscreen platform runs no other application. A window that takes the
// focus and then goes away leaves the program without a focus window, which
// is how a switch to another application looks from inside the program.
void LeaveForAnotherApplication() {
  {
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    if (!QTest::qWaitForWindowActive(&elsewhere)) qWarning("the other window did not become active");
  }
  if (QGuiApplication::focusWindow() != nullptr) qWarning("the program still has a focus window");
}

void ComeBackTo(QWidget& window) {
  window.activateWindow();
  if (!QTest::qWaitForWindowActive(&window)) qWarning("the window did not become active");
}

}  // namespace

class ActivationTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void the_first_showing_activates_every_axis() {
    LiveConsole console;
    frmMain& main = console.Main();
    for (AxisIndex i = 0; i < 3; ++i) {
      QCOMPARE(console.tables.ActiveBit[static_cast<std::size_t>(i)], kActive);
      QCOMPARE(main.Text1(i)->text(), QStringLiteral("0"));
      QCOMPARE(main.Text2(i)->text(), QStringLiteral("0"));
      QCOMPARE(ShownText(main.Text3(i)), QStringLiteral("0"));
    }
  }

  void every_window_shows_the_program_icon() {
    InstallWindowIcon();
    LiveConsole console;
    const QIcon program_icon = QApplication::windowIcon();
    QCOMPARE(program_icon.availableSizes(), WindowIconSizes());
    for (const QSize& size : WindowIconSizes()) QCOMPARE(program_icon.pixmap(size).size(), size);
    // The drawing's own background, not some theme's stand-in.
    const QImage large = program_icon.pixmap(QSize(256, 256)).toImage();
    QCOMPARE(large.pixelColor(128, 20), QColor(0x1f, 0x3a, 0x55));

    console.Panel().show();
    const QList<QWidget*> windows{console.select.get(), &console.Main(), &console.Panel()};
    for (QWidget* window : windows) {
      QVERIFY(window->windowHandle() != nullptr);
      QCOMPARE(window->windowHandle()->icon().cacheKey(), program_icon.cacheKey());
    }
    QApplication::setWindowIcon(QIcon());
  }

  void coming_back_to_the_main_window_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("activates");
    QTest::newRow("the tuning panel, clicking the main window") << "panel" << true;
    QTest::newRow("the tuning panel, Hide Form") << "Hide Form" << true;
    QTest::newRow("another application, via the tuning panel") << "panel, then elsewhere" << false;
    QTest::newRow("another application") << "elsewhere" << false;
  }
  void coming_back_to_the_main_window() {
    QFETCH(QString, from);
    QFETCH(bool, activates);
    StartUp start_up;
    start_up.axes = 2;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    frmXCtrl0& panel = console.Panel();
    ComeBackTo(main);
    // A GO to 12.5 on axis 1, then a new number typed but not yet entered.
    console.TypeTarget(1, QStringLiteral("12.5"));
    QTest::mousePress(main.cmdGo(1), Qt::LeftButton);
    console.Tick();
    QTest::mouseRelease(main.cmdGo(1), Qt::LeftButton);
    console.TypeTarget(1, QStringLiteral("5"));
    console.Tick();
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("0.00 um"));
    // Nothing else ever clears ActiveBit; cleared here, it shows whether
    // activation ran.
    console.tables.ActiveBit[1] = 0;

    if (from.startsWith(QLatin1String("panel")) || from == QLatin1String("Hide Form")) {
      QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
      QVERIFY(QTest::qWaitForWindowActive(&panel));
    }
    if (from == QLatin1String("Hide Form")) {
      QTest::mouseClick(panel.cmdHide(), Qt::LeftButton);
      QVERIFY(!panel.isVisible());
    }
    if (from.endsWith(QLatin1String("elsewhere"))) LeaveForAnotherApplication();
    ComeBackTo(main);  // Hide Form: the window manager activates the main window

    QCOMPARE(console.tables.ActiveBit[1], activates ? kActive : 0);
    QCOMPARE(main.Text2(1)->text(), activates ? QStringLiteral("0") : QStringLiteral("5"));
    QCOMPARE(main.Text1(0)->text(), activates ? QStringLiteral("0") : QStringLiteral("0.00 um"));
    QCOMPARE(ShownText(main.Text3(1)), activates ? QStringLiteral("0") : QStringLiteral("1600"));
    // The target that goes out stays the last one entered.
    QCOMPARE(console.tables.TargetCounts[1], 1600.0);

    // The next reply fills the read-outs again.
    console.Tick();
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("0.00 um"));
    QVERIFY(!console.exit.Ended());
  }

  void shutdown_closes_every_controller_in_order_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Exit clicked") << "click";
    QTest::newRow("Space on Exit") << "space";
    QTest::newRow("close box") << "close";
    QTest::newRow("close box, tuning panel showing") << "close with panel";
  }
  void shutdown_closes_every_controller_in_order() {
    QFETCH(QString, how);
    LiveConsole console;  // three axes
    frmMain& main = console.Main();
    console.Tick(2);

    if (how == QLatin1String("click")) QTest::mouseClick(main.cmdExit(), Qt::LeftButton);
    if (how == QLatin1String("space")) {
      main.cmdExit()->setFocus();
      QTest::keyClick(main.cmdExit(), Qt::Key_Space);
    }
    if (how.startsWith(QLatin1String("close"))) {
      if (how.endsWith(QLatin1String("panel"))) QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
      QVERIFY(main.close());  // the close is not refused
    }

    QCOMPARE(console.DevicesOf(Call::kClose), (std::vector<std::uint32_t>{0, 1, 2}));
    const std::vector<stage::sim::CallRecord>& calls = console.devices->Calls();
    for (std::size_t c = calls.size() - 3; c < calls.size(); ++c) QCOMPARE(calls[c].call, Call::kClose);
    for (std::uint32_t d = 0; d < 3; ++d) QVERIFY(!console.devices->IsOpen(d));
    QVERIFY(console.exit.Ended());
    QCOMPARE(console.exit.recording.Status(), 0);
    QVERIFY(console.exit.recording.FatalMessages().isEmpty());

    // No tick after the end.
    QVERIFY(!main.Timer1().isActive());
    console.Tick(2);
    QCOMPARE(console.devices->Calls().size(), calls.size());
  }
};

STAGE_UI_TEST_MAIN(ActivationTest)
#include "activation_test.moc"

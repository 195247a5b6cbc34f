// Why this exists: with many controllers the designed windows outgrow a
// laptop screen (1366 x 768), and OK, the last columns or the last tuning
// rows would lie off-screen, out of the operator's reach. Capped to the
// screen, the windows scroll; every control is reached by scrolling and
// clicked through the window, as the operator's click arrives. A window that
// fits keeps its designed size and its outer height whatever its frame.
#include <QCheckBox>
#include <QLineEdit>
#include <QScreen>
#include <QWindow>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <memory>

#include "tests/ui/console_fixture.h"
#include "tests/ui/start_up_window.h"
#include "tests/ui/window_reach.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/command_button.h"
#include "ui/common/control_family.h"
#include "ui/common/family_elements.h"
#include "ui/common/fonts.h"
#include "ui/common/twips.h"
#include "ui/select/frmSelect.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

constexpr int kScreenWidthPx = 1366;
constexpr int kScreenHeightPx = 768;

// A left click where the control shows on its window, delivered to the
// window as a click from the window system is, so it reaches whatever lies
// there; the control must be that.
void ClickThroughWindow(QWidget& control) {
  QWidget* window = control.window();
  const QPoint at = control.mapTo(window, control.rect().center());
  QVERIFY(window->rect().contains(at));
  QCOMPARE(window->childAt(at), &control);
  QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, at);
}

}  // namespace

class WindowFitTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    InstallFontSubstitutions();
    QCOMPARE(QGuiApplication::primaryScreen()->availableGeometry().size(), QSize(kScreenWidthPx, kScreenHeightPx));
  }

  void motor_settings_for_17_controllers_scroll_to_the_last_column_and_ok() {
    StartUpWindow start_up(17);
    frmSelect& window = start_up.window;
    QScrollArea* area = ScrollAreaOf(window);
    QVERIFY(area != nullptr);
    QVERIFY(OnScreen(window));
    QCOMPARE(window.frameGeometry().width(), kScreenWidthPx);
    // The designed columns, unchanged inside: 36195 twips outer.
    QCOMPARE(area->widget()->width() + window.frameGeometry().width() - window.width(), TwipsToPixels(36195));

    auto* last = FindElement<QLineEdit>(&window, QStringLiteral("Text4"), 16);
    QVERIFY(!InView(*area, *last));
    QTest::keyClick(area->horizontalScrollBar(), Qt::Key_End);
    QVERIFY(InView(*area, *last));
    ClickThroughWindow(*last);
    QCOMPARE(QApplication::focusWidget(), last);

    auto* ok = window.findChild<CommandButton*>(QStringLiteral("cmdOK"));
    if (!InView(*area, *ok)) QTest::keyClick(area->horizontalScrollBar(), Qt::Key_Home);
    QVERIFY(InView(*area, *ok));
    ClickThroughWindow(*ok);
    QVERIFY(window.MainWindow() != nullptr);
    QVERIFY(!start_up.exit.Ended());
  }

  void tab_brings_the_focused_control_into_view() {
    StartUpWindow start_up(17);
    frmSelect& window = start_up.window;
    QScrollArea* area = ScrollAreaOf(window);
    auto* last = FindElement<QCheckBox>(&window, QStringLiteral("Check4"), 16);
    auto* before = FindElement<QLineEdit>(&window, QStringLiteral("Text1"), 15);
    before->setFocus();
    QTest::keyClick(before, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), last);
    QVERIFY(InView(*area, *last));
  }

  void the_tuning_panel_for_17_axes_scrolls_to_its_last_row() {
    Console console(17);
    frmMain& main = console.ShowMain();
    // 17 rows of the main window still fit: nothing changes there.
    QCOMPARE(ScrollAreaOf(main), nullptr);
    QCOMPARE(main.frameGeometry().height(), TwipsToPixels(550 * 16 + 2000));

    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    frmXCtrl0& panel = console.Panel();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QScrollArea* area = ScrollAreaOf(panel);
    QVERIFY(area != nullptr);
    QVERIFY(OnScreen(panel));
    QCOMPARE(panel.frameGeometry().height(), kScreenHeightPx);
    // The designed rows inside, where they were designed.
    QCOMPARE(panel.Slider1(16)->y(), TwipsToPixels(720 + 16000));

    QVERIFY(!InView(*area, *panel.Slider1(16)));
    QTest::keyClick(area->verticalScrollBar(), Qt::Key_End);
    QVERIFY(InView(*area, *panel.Slider1(16)));
    QVERIFY(InView(*area, *panel.Slider8(16)));
    ClickThroughWindow(*panel.Slider1(16));
    QCOMPARE(console.tables.SpeedModeBit[16], 16);
    QCOMPARE(console.tables.SpeedModeBit[15], 0);
  }

  void a_main_window_too_tall_scrolls_to_its_last_row() {
    Console console(32);
    frmMain& main = console.ShowMain();
    QScrollArea* area = ScrollAreaOf(main);
    QVERIFY(area != nullptr);
    QVERIFY(OnScreen(main));
    QCOMPARE(main.frameGeometry().height(), kScreenHeightPx);
    // More Controls stays centred on the designed height.
    QCOMPARE(TwipsGeometry(main.cmdMoreControls()).top(),
             (PixelsToTwips(TwipsToPixels(550 * 31 + 2000)) - 375) / 2);

    QTest::keyClick(area->verticalScrollBar(), Qt::Key_End);
    QVERIFY(InView(*area, *main.Command1(31)));
    QTest::mousePress(main.Command1(31)->window()->windowHandle(), Qt::LeftButton, {},
                      main.Command1(31)->mapTo(&main, main.Command1(31)->rect().center()));
    QCOMPARE(console.tables.StopBit[31], 2);
    QCOMPARE(console.tables.StopBit[30], 0);
    QTest::mouseRelease(main.windowHandle(), Qt::LeftButton, {},
                        main.Command1(31)->mapTo(&main, main.Command1(31)->rect().center()));
  }

  // The frame the platform reports is taken off the designed outer height,
  // and when the frame changes the height is applied again.
  void the_outer_height_follows_the_frame() {
    Console console(3);
    frmMain& main = console.ShowMain();
    const int frame_px = main.frameGeometry().height() - main.height();
    QVERIFY(frame_px > 0);
    QCOMPARE(main.frameGeometry().height(), TwipsToPixels(3100));
    const QRect more = main.cmdMoreControls()->geometry();

    // The frame goes away: a new native window without one.
    main.hide();
    main.windowHandle()->destroy();
    main.setWindowFlag(Qt::FramelessWindowHint);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QCOMPARE(main.frameGeometry().height() - main.height(), 0);
    QCOMPARE(main.frameGeometry().height(), TwipsToPixels(3100));
    QCOMPARE(main.height(), TwipsToPixels(3100));
    // Centred on the height read back now: 3100 twips either way.
    QCOMPARE(main.cmdMoreControls()->geometry(), TwipsRect(9120, 1362.5, 1695, 375));
    QVERIFY(more.top() <= main.cmdMoreControls()->y());
  }
};

STAGE_UI_TEST_MAIN_ON_SCREEN(WindowFitTest, 1366, 768)
#include "window_fit_test.moc"

// Why this exists: what the offscreen platform cannot show. On a real X11
// desktop the window manager frames a window only after it is first shown,
// so a window sized by code came out one title bar too tall; on a 1366 x 768
// laptop the windows for 17 controllers had OK and the last tuning rows
// off-screen; and the X server's key repeat, on a busy machine, reached the
// console as releases and presses that made a held Rel move twice and let a
// held Esc drop STOP. Run by on_desktop.sh under Xvfb with openbox; the
// heights are read back from the X server, the clicks and keys are X events.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTest>
#include <QWindow>
#include <cmath>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/ui/console_fixture.h"
#include "tests/ui/slider_handle.h"
#include "tests/ui/start_up_window.h"
#include "tests/ui/window_reach.h"
#include "ui/common/command_button.h"
#include "ui/common/control_family.h"
#include "ui/common/fonts.h"
#include "ui/common/key_repeat.h"
#include "ui/common/twips.h"

using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

constexpr int kWaitMs = 10000;

QString Run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  if (!process.waitForFinished(kWaitMs)) return {};
  return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// The window's outer height as the X server has it: the client window's
// height plus the top and bottom frame extents the window manager announced.
// -1 until the window manager has framed the window.
int XOuterHeight(const QWidget& window) {
  const QString id = QString::number(window.winId());
  const QRegularExpressionMatch extents =
      QRegularExpression(QStringLiteral("= (\\d+), (\\d+), (\\d+), (\\d+)"))
          .match(Run(QStringLiteral("xprop"), {QStringLiteral("-id"), id, QStringLiteral("_NET_FRAME_EXTENTS")}));
  const QRegularExpressionMatch height = QRegularExpression(QStringLiteral("Height: (\\d+)"))
                                             .match(Run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id}));
  if (!extents.hasMatch() || !height.hasMatch()) return -1;
  return height.captured(1).toInt() + extents.captured(3).toInt() + extents.captured(4).toInt();
}

// A real pointer click (X events through the server) on the control's centre.
void XClick(QWidget& control) {
  const QPoint at = control.mapToGlobal(control.rect().center());
  QCOMPARE(Run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("--sync"),
                                            QString::number(at.x()), QString::number(at.y()),
                                            QStringLiteral("click"), QStringLiteral("1")}),
           QString());
}

// Mouse wheel steps down over a control (a scroll bar: over a slider the
// wheel would move the slider).
void XWheelDown(QWidget& control, int steps) {
  const QPoint at = control.mapToGlobal(control.rect().center());
  Run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(at.x()),
                                  QString::number(at.y()), QStringLiteral("click"), QStringLiteral("--repeat"),
                                  QString::number(steps), QStringLiteral("--delay"), QStringLiteral("30"),
                                  QStringLiteral("5")});
}

// Empty when the slider's value window shows the slider's value and the X
// server's screen shows that window's pixels where it stands; else what is
// wrong.
QString ValueOnScreen(const TuningSlider& slider) {
  QLabel* tip = slider.ValueTip();
  if (tip == nullptr || !tip->isVisible()) return QStringLiteral("no value shown");
  if (tip->text() != QString::number(slider.sliderPosition())) {
    return QStringLiteral("shows %1 for %2").arg(tip->text()).arg(slider.sliderPosition());
  }
  const QRect at = tip->geometry();
  const QImage screen =
      QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), at.width(), at.height()).toImage();
  const QImage own = tip->grab().toImage().convertToFormat(screen.format());
  if (screen.size() != own.size()) return QStringLiteral("partly off the screen");
  int differing = 0;
  for (int y = 0; y < own.height(); ++y) {
    for (int x = 0; x < own.width(); ++x) differing += screen.pixel(x, y) != own.pixel(x, y) ? 1 : 0;
  }
  if (differing == 0) return {};
  return QStringLiteral("%1 of %2 pixels at %3,%4 are not the value's")
      .arg(differing)
      .arg(own.width() * own.height())
      .arg(at.x())
      .arg(at.y());
}

// The window may have moved with its new value not yet drawn: the value
// counts as shown when the screen agrees within a few frames.
QString ValueOnScreenSoon(const TuningSlider& slider) {
  constexpr qint64 kFramesMs = 250;
  QElapsedTimer waited;
  waited.start();
  QString wrong = ValueOnScreen(slider);
  while (!wrong.isEmpty() && waited.elapsed() < kFramesMs) {
    QTest::qWait(20);
    wrong = ValueOnScreen(slider);
  }
  return wrong;
}

bool Framed(const QWidget& window) { return window.frameGeometry().height() > window.height(); }

// Busy loops beside the console, as an analysis running on a lab PC: one
// more than there are cores here. Killed when this goes.
class BusyLoops {
 public:
  explicit BusyLoops(int count) {
    for (int i = 0; i < count; ++i) {
      loops_.push_back(std::make_unique<QProcess>());
      loops_.back()->start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
      loops_.back()->waitForStarted(kWaitMs);
    }
  }
  ~BusyLoops() {
    for (const auto& loop : loops_) {
      loop->kill();
      loop->waitForFinished(kWaitMs);
    }
  }
  BusyLoops(const BusyLoops&) = delete;
  BusyLoops& operator=(const BusyLoops&) = delete;

 private:
  std::vector<std::unique_ptr<QProcess>> loops_;
};

// Key presses of one key that reach a control, the server's repeats
// included.
class PressCounter : public QObject {
 public:
  PressCounter(QWidget* control, int key) : control_(control), key_(key) { control_->installEventFilter(this); }
  ~PressCounter() override { control_->removeEventFilter(this); }
  PressCounter(const PressCounter&) = delete;
  PressCounter& operator=(const PressCounter&) = delete;
  int presses = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == control_ && event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == key_) {
      ++presses;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QWidget* control_;
  int key_;
};

// A command bit of the packets sent since `from`, counted as it rises and
// falls (the packet before `from` is where it starts).
struct Edges {
  int rising = 0;
  int falling = 0;
  int packets_set = 0;
};
Edges BitEdges(const std::vector<stage::usb::Packet>& sent, std::size_t from, std::uint8_t bit) {
  Edges edges;
  bool was = from > 0 && (sent[from - 1][3] & bit) != 0;
  for (std::size_t p = from; p < sent.size(); ++p) {
    const bool is = (sent[p][3] & bit) != 0;
    if (is && !was) ++edges.rising;
    if (!is && was) ++edges.falling;
    if (is) ++edges.packets_set;
    was = is;
  }
  return edges;
}

// The number the position read-out shows, in its unit.
double ShownPosition(const QLineEdit& read_out) { return read_out.text().section(QLatin1Char(' '), 0, 0).toDouble(); }

}  // namespace

class DesktopTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) QSKIP("needs an X11 desktop: run on_desktop.sh");
    InstallFontSubstitutions();
    QCOMPARE(QGuiApplication::primaryScreen()->geometry().size(), QSize(1366, 768));
  }

  void the_main_window_with_three_axes_is_3100_twips_high() {
    Console console(3);
    frmMain& main = console.ShowMain();
    QTRY_VERIFY_WITH_TIMEOUT(Framed(main), kWaitMs);
    const double designed_px = 3100.0 / kTwipsPerPixel;  // 206.7
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(XOuterHeight(main) - designed_px) <= 2, kWaitMs);
    QVERIFY2(std::abs(main.frameGeometry().height() - designed_px) <= 2, "Qt's idea of the frame");
    // More Controls centred on the height as read back.
    const double outer_twips = PixelsToTwips(main.frameGeometry().height());
    QCOMPARE(main.cmdMoreControls()->geometry(), TwipsRect(9120, (outer_twips - 375) / 2, 1695, 375));
    QCOMPARE(ScrollAreaOf(main), nullptr);
  }

  void seventeen_controllers_on_a_laptop_screen() {
    StartUpWindow start_up(17);
    frmSelect& select = start_up.window;
    QTRY_VERIFY_WITH_TIMEOUT(Framed(select), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(OnScreen(select), kWaitMs);
    QScrollArea* settings = ScrollAreaOf(select);
    QVERIFY(settings != nullptr);

    auto* ok = select.findChild<CommandButton*>(QStringLiteral("cmdOK"));
    QVERIFY(InView(*settings, *ok));
    XClick(*ok);
    QTRY_VERIFY_WITH_TIMEOUT(start_up.Main() != nullptr, kWaitMs);
    frmMain& main = *start_up.Main();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QTRY_VERIFY_WITH_TIMEOUT(Framed(main), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(OnScreen(main), kWaitMs);

    XClick(*main.cmdMoreControls());
    frmXCtrl0& panel = main.TuningPanel();
    QTRY_VERIFY_WITH_TIMEOUT(panel.isVisible(), kWaitMs);
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QTRY_VERIFY_WITH_TIMEOUT(Framed(panel), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(OnScreen(panel), kWaitMs);
    QScrollArea* rows = ScrollAreaOf(panel);
    QVERIFY(rows != nullptr);
    QVERIFY(!InView(*rows, *panel.Slider1(16)));

    // The window manager may still be placing the panel when the first
    // steps arrive: wheel on until the last row shows.
    for (int attempt = 0; attempt < 5 && !InView(*rows, *panel.Slider1(16)); ++attempt) {
      XWheelDown(*rows->verticalScrollBar(), 40);
      if (QTest::qWaitFor([&] { return InView(*rows, *panel.Slider1(16)); }, kWaitMs / 5)) break;
    }
    const QScrollBar* bar = rows->verticalScrollBar();
    QVERIFY2(InView(*rows, *panel.Slider1(16)),
             qPrintable(QStringLiteral("scrolled to %1 of %2").arg(bar->value()).arg(bar->maximum())));
    XClick(*panel.Slider1(16));
    QTRY_COMPARE_WITH_TIMEOUT(start_up.tables.SpeedModeBit[16], 16, kWaitMs);
    QVERIFY(!start_up.exit.Ended());
  }

  // Esc pressed on the X keyboard with the focus in a target box holds STOP
  // on every axis; its key-up goes to another program that took the
  // keyboard meanwhile, so the stop is let go when the keyboard goes.
  void escape_from_the_x_keyboard() {
    StartUpWindow start_up(2);
    XClick(*start_up.window.findChild<CommandButton*>(QStringLiteral("cmdOK")));
    QTRY_VERIFY_WITH_TIMEOUT(start_up.Main() != nullptr, kWaitMs);
    frmMain& main = *start_up.Main();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    XClick(*main.Text2(1));
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(main.Text2(1)), kWaitMs);

    Run(QStringLiteral("xdotool"), {QStringLiteral("keydown"), QStringLiteral("Escape")});
    QTRY_COMPARE_WITH_TIMEOUT(start_up.tables.StopBit[0], 2, kWaitMs);
    QCOMPARE(start_up.tables.StopBit[1], 2);
    const std::size_t sent = start_up.devices.CommandsReceived(1).size();
    QTRY_VERIFY_WITH_TIMEOUT(start_up.devices.CommandsReceived(1).size() >= sent + 5, kWaitMs);
    QCOMPARE(start_up.tables.StopBit[1], 2);  // held while the key is
    QCOMPARE(start_up.devices.CommandsReceived(1).back()[3] & 2, 2);

    QProcess other;
    other.start(QStringLiteral("xmessage"), {QStringLiteral("another program")});
    QVERIFY(other.waitForStarted(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::focusWindow(), nullptr, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(start_up.tables.StopBit[1], 0, kWaitMs);
    QCOMPARE(start_up.tables.StopBit[0], 0);
    Run(QStringLiteral("xdotool"), {QStringLiteral("keyup"), QStringLiteral("Escape")});
    other.kill();
    other.waitForFinished(kWaitMs);
  }

  // A mechanics field left with a number that is not understood: under a
  // window manager the box over Motor Settings takes the keyboard, and once
  // it is closed the field has the focus back, with the text as typed.
  void a_refused_field_gets_the_focus_back() {
    StartUpWindow start_up(1);
    QVERIFY(QTest::qWaitForWindowActive(&start_up.window));
    auto* gearhead = FindElement<QLineEdit>(&start_up.window, QStringLiteral("Text3"), 0);
    XClick(*gearhead);
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(gearhead), kWaitMs);
    Run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("ctrl+a")});
    Run(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("12,500")});
    QTRY_COMPARE_WITH_TIMEOUT(gearhead->text(), QStringLiteral("12,500"), kWaitMs);

    Run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Tab")});
    QMessageBox* box = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((box = start_up.window.findChild<QMessageBox*>()) != nullptr && box->isActiveWindow(),
                             kWaitMs);
    Run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")});
    QTRY_VERIFY_WITH_TIMEOUT(start_up.window.findChild<QMessageBox*>() == nullptr, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(gearhead), kWaitMs);
    QCOMPARE(gearhead->text(), QStringLiteral("12,500"));
    QCOMPARE(start_up.tables.CountsPerMicron[0], 128.0);

    // Corrected and left: taken, and the factor shown is the one used.
    Run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("ctrl+a")});
    Run(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("12,5")});
    Run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Tab")});
    QTRY_COMPARE_WITH_TIMEOUT(start_up.tables.CountsPerMicron[0], 6.4, kWaitMs);
    QCOMPARE(gearhead->text(), QStringLiteral("12.5"));
    QCOMPARE(FindElement<QLineEdit>(&start_up.window, QStringLiteral("Text1"), 0)->text(), QStringLiteral("6.4"));
    QVERIFY(start_up.window.findChild<QMessageBox*>() == nullptr);
  }

  // The value beside a tuning slider's handle stays on the screen while the
  // operator drags it with the pointer (past the end of its range and off
  // the handle's line too) and for a moment after a key step, though the
  // window manager raises the panel on the click and the pointer rests on
  // the slider. The pixels on the screen are compared with the value
  // window's own.
  void a_slider_value_stays_on_screen_while_dragged() {
    StartUpWindow start_up(1);
    XClick(*start_up.window.findChild<CommandButton*>(QStringLiteral("cmdOK")));
    QTRY_VERIFY_WITH_TIMEOUT(start_up.Main() != nullptr, kWaitMs);
    frmMain& main = *start_up.Main();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    XClick(*main.cmdMoreControls());
    frmXCtrl0& panel = main.TuningPanel();
    QTRY_VERIFY_WITH_TIMEOUT(panel.isVisible(), kWaitMs);
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QTRY_VERIFY_WITH_TIMEOUT(Framed(panel), kWaitMs);
    XClick(*main.Text2(0));  // the main window active: the press on the slider activates the panel
    QTRY_VERIFY_WITH_TIMEOUT(QGuiApplication::focusWindow() == main.windowHandle(), kWaitMs);

    for (TuningSlider* slider : {panel.Slider3(0), panel.Slider1(0)}) {
      const bool vertical = slider->orientation() == Qt::Vertical;
      const QPoint handle = slider->mapToGlobal(HandleCentre(*slider));
      Run(QStringLiteral("xdotool"),
          {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(handle.x()),
           QString::number(handle.y()), QStringLiteral("mousedown"), QStringLiteral("1")});
      QTRY_VERIFY_WITH_TIMEOUT(slider->isSliderDown(), kWaitMs);
      // A drag of 1.8 s in 2-pixel steps: 60 along the slider (up, or to the
      // right), then 30 across it, away from where the value stands.
      const QPoint along = vertical ? QPoint(0, -2) : QPoint(2, 0);
      const QPoint across = vertical ? QPoint(-2, 0) : QPoint(0, 2);
      QStringList moves;
      for (int i = 0; i < 90; ++i) {
        const QPoint step = i < 60 ? along : across;
        moves << QStringLiteral("mousemove_relative") << QStringLiteral("--") << QString::number(step.x())
              << QString::number(step.y()) << QStringLiteral("sleep") << QStringLiteral("0.02");
      }
      QProcess drag;
      drag.start(QStringLiteral("xdotool"), moves);
      QVERIFY(drag.waitForStarted(kWaitMs));
      int samples = 0;
      while (drag.state() != QProcess::NotRunning) {
        QTest::qWait(100);
        QVERIFY(slider->isSliderDown());
        const QString on_screen = ValueOnScreenSoon(*slider);
        QVERIFY2(on_screen.isEmpty(), qPrintable(on_screen));
        ++samples;
      }
      QVERIFY(samples >= 5);
      QVERIFY(slider->value() != slider->Settings().minimum);
      Run(QStringLiteral("xdotool"), {QStringLiteral("mouseup"), QStringLiteral("1")});
      QTRY_VERIFY_WITH_TIMEOUT(!slider->isSliderDown(), kWaitMs);
      QTRY_VERIFY_WITH_TIMEOUT(!slider->ValueTip()->isVisible(), kWaitMs);

      // A key step from the X keyboard: on the screen once the server has
      // drawn it, and still there at any moment well inside the second it
      // stays (a loaded machine may take longer to look: then it is not
      // asked).
      QTRY_VERIFY_WITH_TIMEOUT(QApplication::focusWidget() == slider, kWaitMs);
      const int before = slider->value();
      QElapsedTimer since_key;
      since_key.start();
      Run(QStringLiteral("xdotool"),
          {QStringLiteral("key"), vertical ? QStringLiteral("Down") : QStringLiteral("Left")});
      QTRY_VERIFY_WITH_TIMEOUT(slider->value() != before, kWaitMs);
      const qint64 still_shown_ms = TuningSlider::kValueShownAfterMs * 7 / 10;
      int checked = 0;
      for (qint64 elapsed = since_key.elapsed(); elapsed < still_shown_ms; elapsed = since_key.elapsed()) {
        const QString on_screen = ValueOnScreenSoon(*slider);
        QVERIFY2(on_screen.isEmpty(),
                 qPrintable(QStringLiteral("%1 ms after the key: %2").arg(elapsed).arg(on_screen)));
        ++checked;
        QTest::qWait(50);
      }
      if (checked == 0) qWarning("the machine was too slow to look at the value after the key step");
      QTRY_VERIFY_WITH_TIMEOUT(!slider->ValueTip()->isVisible(), kWaitMs);
    }
    QVERIFY(!start_up.exit.Ended());
  }

  // Keys held on the X keyboard with the server's auto-repeat on (after
  // 200 ms, 30 a second) while busy loops load the machine: each hold is one
  // press until the key comes up. On the wire: one rising edge of the bit the
  // key commands, the bit in every packet while the key is held, and nothing
  // at all from keys that command nothing. The console asks the server to
  // leave out the releases of repeats; a server that sends them anyway has
  // each unmarked release checked against its key map.
  void held_keys_on_a_loaded_desktop_data() {
    QTest::addColumn<bool>("server_drops_releases");
    QTest::newRow("detectable auto-repeat") << true;
    QTest::newRow("releases sent, checked with the key map") << false;
  }
  void held_keys_on_a_loaded_desktop() {
    QFETCH(bool, server_drops_releases);
    QCOMPARE(Run(QStringLiteral("xset"), {QStringLiteral("r"), QStringLiteral("rate"), QStringLiteral("200"),
                                          QStringLiteral("30")}),
             QString());
    StartUpWindow start_up(2);
    XClick(*start_up.window.findChild<CommandButton*>(QStringLiteral("cmdOK")));
    QTRY_VERIFY_WITH_TIMEOUT(start_up.Main() != nullptr, kWaitMs);
    frmMain& main = *start_up.Main();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    XClick(*main.Text2(1));
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(main.Text2(1)), kWaitMs);
    KeyRepeatFilter& repeats = KeyRepeatFilter::Install();
    QVERIFY(repeats.ServerDropsRepeatReleases());  // as the console starts
    QCOMPARE(repeats.AskServerToDropRepeatReleases(server_drops_releases), server_drops_releases);
    const auto drop_again = qScopeGuard([&repeats] { repeats.AskServerToDropRepeatReleases(true); });
    const BusyLoops load(3);
    const auto& sent = [&start_up](std::uint32_t device) -> const std::vector<stage::usb::Packet>& {
      return start_up.devices.CommandsReceived(device);
    };
    constexpr std::uint8_t kGo = 1, kStop = 2, kZero = 4, kRelMove = 64;

    // Holds `key` on `control` for `ms` and waits until the console has seen
    // it come up and sent a few packets more. Returns the packet index of
    // each axis where the hold began.
    const auto hold = [&](QWidget* control, const char* key, Qt::Key qt_key, int ms) {
      control->setFocus();
      if (QApplication::focusWidget() != control) qWarning("focus not on the control");
      std::vector<std::size_t> from{sent(0).size(), sent(1).size()};
      PressCounter counter(control, qt_key);
      Run(QStringLiteral("xdotool"), {QStringLiteral("keydown"), QString::fromLatin1(key)});
      QTest::qWait(ms);
      Run(QStringLiteral("xdotool"), {QStringLiteral("keyup"), QString::fromLatin1(key)});
      const std::size_t now = sent(0).size();
      if (!QTest::qWaitFor([&] { return sent(0).size() >= now + 20; }, kWaitMs)) qWarning("the polling stalled");
      // The server did repeat the key: the hold tested something.
      if (counter.presses < 5) qWarning("%s: only %d presses reached the control", key, counter.presses);
      return std::make_pair(from, counter.presses);
    };

    // Space on Rel for 2 s: one relative move of 5 um.
    main.Text2(0)->setText(QStringLiteral("5"));
    auto [from, presses] = hold(main.Command7(0), "space", Qt::Key_Space, 2000);
    QVERIFY2(presses >= 5, "the key did not repeat");
    Edges rel = BitEdges(sent(0), from[0], kRelMove);
    QCOMPARE(rel.rising, 1);
    QCOMPARE(rel.falling, 1);
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(ShownPosition(*main.Text1(0)) - 5.0) < 0.5, kWaitMs);
    QTest::qWait(500);
    QVERIFY2(std::abs(ShownPosition(*main.Text1(0)) - 5.0) < 0.5, qPrintable(main.Text1(0)->text()));

    // Esc for 3 s, the focus in a target box: STOP in every packet of every
    // axis from the first that carries it until the key came up.
    std::tie(from, presses) = hold(main.Text2(1), "Escape", Qt::Key_Escape, 3000);
    QVERIFY2(presses >= 5, "the key did not repeat");
    for (std::uint32_t d = 0; d < 2; ++d) {
      const Edges stop = BitEdges(sent(d), from[d], kStop);
      QCOMPARE(stop.rising, 1);
      QCOMPARE(stop.falling, 1);
    }

    // Space, then Enter, on a focused GO: one click each (the position mode
    // once), and GO itself never goes out from the keyboard.
    QSignalSpy go_clicks(main.cmdGo(0), &QAbstractButton::clicked);
    for (const auto& [key, qt_key] : {std::pair{"space", Qt::Key_Space}, std::pair{"Return", Qt::Key_Return}}) {
      std::tie(from, presses) = hold(main.cmdGo(0), key, qt_key, 1000);
      QVERIFY2(presses >= 5, key);
      QCOMPARE(BitEdges(sent(0), from[0], kGo).packets_set, 0);
    }
    QCOMPARE(go_clicks.count(), 2);

    // STOP and ZERO do nothing from the keyboard, held or not.
    for (CommandButton* button : {main.Command1(0), main.Command2(0)}) {
      std::tie(from, presses) = hold(button, "space", Qt::Key_Space, 1000);
      QVERIFY2(presses >= 5, "the key did not repeat");
      QCOMPARE(BitEdges(sent(0), from[0], kStop | kZero).packets_set, 0);
    }

    // Enter held in the target box of axis 1: GO rises once and stays (Enter
    // has no release of its own).
    main.Text2(1)->setText(QStringLiteral("2"));
    std::tie(from, presses) = hold(main.Text2(1), "Return", Qt::Key_Return, 1000);
    QVERIFY2(presses >= 5, "the key did not repeat");
    const Edges go = BitEdges(sent(1), from[1], kGo);
    QCOMPARE(go.rising, 1);
    QCOMPARE(go.falling, 0);
    QCOMPARE(main.Text2(1)->text(), QStringLiteral("2.00"));
    QVERIFY(!start_up.exit.Ended());
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  DesktopTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "desktop_test.moc"

// Why this exists: the operator's presses and keys become command bits and
// targets, and only the packets show whether a bit went out while a button
// was held, whether a click changed the mode, and whether a refused target
// left everything as it was. Real mouse and key events, simulated controllers.
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/common/key_repeat.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

constexpr std::uint8_t kGo = 1, kStop = 2, kZero = 4, kSpeedMode = 16, kPositionMode = 32, kRelMove = 64;

std::array<std::uint8_t, 4> TargetBytes(const Packet& packet) { return {packet[8], packet[9], packet[10], packet[11]}; }

// One axis at 128 counts per micron, polled twice, in speed mode: the
// operator has opened the tuning panel and clicked the axis's Speed slider.
struct SpeedModeConsole {
  SpeedModeConsole() : console(OneAxis()) {
    console.Tick(2);
    QTest::mouseClick(console.Main().cmdMoreControls(), Qt::LeftButton);
    console.ClickSpeedSlider(0);
    speed = console.Panel().Slider1(0)->value();
  }
  static StartUp OneAxis() {
    StartUp start_up;
    start_up.axes = 1;
    return start_up;
  }
  frmMain& Main() { return console.Main(); }

  LiveConsole console;
  int speed = 0;
};

CommandButton* RowButton(frmMain& main, const QString& name) {
  if (name == QLatin1String("GO")) return main.cmdGo(0);
  if (name == QLatin1String("Rel")) return main.Command7(0);
  if (name == QLatin1String("STOP")) return main.Command1(0);
  return main.Command2(0);
}

// How a window system repeats a held key, as the events reach the window.
enum class Repeats {
  kQtMarked,      // release and press, both marked (Wayland; X11 when Qt saw the pair)
  kPressesOnly,   // unmarked presses, no releases (X11 with detectable auto-repeat)
  kXPairs,        // unmarked release and press with one time stamp (X11 when Qt missed the pair)
  kXPairsKeyUp,   // the same, and the key comes up just after the last pair was sent
};

// A held key as a window system delivers it: through the window, with a
// native scan code and the server's time stamps, and a packet going out
// between the two halves of a repeat (on a busy X11 desktop the press comes
// in later than the release). The key-down query says what the X server
// would: down from the press until the key comes up. Each packet is noted
// with whether the key was down as it went.
class HeldKeyOnWindow {
 public:
  HeldKeyOnWindow(QWidget& window, Qt::Key key, Repeats repeats, std::function<void()> packet)
      : window_(window.windowHandle()),
        key_(key),
        repeats_(repeats),
        packet_(std::move(packet)),
        filter_(KeyRepeatFilter::Install()) {
    KeyRepeatFilter::KeyDownQuery query;
    if (repeats == Repeats::kXPairs || repeats == Repeats::kXPairsKeyUp) {
      query = [this](quint32 scan_code) { return std::optional<bool>(scan_code == kScanCode && down_); };
    }
    filter_.SetServer(query, repeats == Repeats::kPressesOnly);
  }
  ~HeldKeyOnWindow() { filter_.SetServer({}, false); }
  HeldKeyOnWindow(const HeldKeyOnWindow&) = delete;
  HeldKeyOnWindow& operator=(const HeldKeyOnWindow&) = delete;

  void Press() {
    down_ = true;
    Send(QEvent::KeyPress, false);
    Packet();
  }
  // One automatic repeat, 33 ms after the last.
  void Repeat() {
    time_ += 33;
    switch (repeats_) {
      case Repeats::kQtMarked:
        Send(QEvent::KeyRelease, true);
        Packet();
        Send(QEvent::KeyPress, true);
        break;
      case Repeats::kPressesOnly:
        Send(QEvent::KeyPress, false);
        Packet();
        break;
      case Repeats::kXPairs:
      case Repeats::kXPairsKeyUp:
        Send(QEvent::KeyRelease, false);
        Packet();
        Send(QEvent::KeyPress, false);
        break;
    }
  }
  void Release() {
    time_ += 33;
    down_ = false;
    if (repeats_ == Repeats::kXPairsKeyUp) {
      // The key came up right after the server sent a repeat: when the
      // repeat's release is handled, the server says the key is up.
      Send(QEvent::KeyRelease, false);
      Packet();
      Send(QEvent::KeyPress, false);
      Packet();
      time_ += 5;
    }
    Send(QEvent::KeyRelease, false);
    Packet();
    Packet();
  }

  // Per packet: the key was down as it went out.
  std::vector<bool> down_at_packet;

 private:
  static constexpr quint32 kScanCode = 65;
  void Packet() {
    down_at_packet.push_back(down_);
    packet_();
  }
  void Send(QEvent::Type type, bool marked) {
    QString text;
    if (key_ == Qt::Key_Space) text = QStringLiteral(" ");
    if (key_ == Qt::Key_Return) text = QStringLiteral("\r");
    if (key_ == Qt::Key_Escape) text = QStringLiteral("\x1b");
    if (key_ >= Qt::Key_0 && key_ <= Qt::Key_9) text = QChar(u'0' + (key_ - Qt::Key_0));
    QKeyEvent event(type, key_, Qt::NoModifier, kScanCode, 0, 0, text, marked);
    event.setTimestamp(time_);
    QCoreApplication::sendEvent(window_, &event);
  }

  QWindow* window_;
  Qt::Key key_;
  Repeats repeats_;
  std::function<void()> packet_;
  KeyRepeatFilter& filter_;
  bool down_ = false;
  quint64 time_ = 100000;
};

}  // namespace

Q_DECLARE_METATYPE(Repeats)

class CommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void presses_send_while_held_and_clicks_set_the_mode_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<Qt::MouseButton>("mouse");
    QTest::addColumn<int>("bit");
    QTest::addColumn<bool>("enters_target");
    QTest::addColumn<int>("mode_bits_after");  // PositionModeBit + SpeedModeBit after the release
    QTest::newRow("GO, left") << "GO" << Qt::LeftButton << int(kGo) << true << int(kPositionMode);
    QTest::newRow("GO, right") << "GO" << Qt::RightButton << int(kGo) << true << int(kSpeedMode);
    QTest::newRow("GO, middle") << "GO" << Qt::MiddleButton << int(kGo) << true << int(kSpeedMode);
    QTest::newRow("Rel, left") << "Rel" << Qt::LeftButton << int(kRelMove) << true << int(kPositionMode);
    QTest::newRow("Rel, right") << "Rel" << Qt::RightButton << int(kRelMove) << true << int(kSpeedMode);
    // STOP pressed leaves the speed mode, whichever mouse button.
    QTest::newRow("STOP, left") << "STOP" << Qt::LeftButton << int(kStop) << false << 0;
    QTest::newRow("STOP, right") << "STOP" << Qt::RightButton << int(kStop) << false << 0;
    QTest::newRow("ZERO, left") << "ZERO" << Qt::LeftButton << int(kZero) << false << int(kSpeedMode);
    QTest::newRow("ZERO, middle") << "ZERO" << Qt::MiddleButton << int(kZero) << false << int(kSpeedMode);
  }
  void presses_send_while_held_and_clicks_set_the_mode() {
    QFETCH(QString, button);
    QFETCH(Qt::MouseButton, mouse);
    QFETCH(int, bit);
    QFETCH(bool, enters_target);
    QFETCH(int, mode_bits_after);
    SpeedModeConsole axis;
    LiveConsole& console = axis.console;
    frmMain& main = axis.Main();
    console.TypeTarget(0, QStringLiteral("12.5"));
    CommandButton* control = RowButton(main, button);

    QTest::mousePress(control, mouse);
    console.Tick(2);
    QTest::mouseRelease(control, mouse);
    console.Tick();

    const std::vector<Packet>& sent = console.Sent(0);
    const std::size_t n = sent.size();
    QCOMPARE(sent[n - 3][3] & bit, bit);
    QCOMPARE(sent[n - 2][3] & bit, bit);
    QCOMPARE(sent[n - 1][3] & bit, 0);
    // While held, the mode bits are those of before the press (STOP's own
    // press clears the speed mode at once).
    QCOMPARE(sent[n - 3][3] & (kPositionMode | kSpeedMode), button == QLatin1String("STOP") ? 0 : kSpeedMode);
    QCOMPARE(sent[n - 1][3] & (kPositionMode | kSpeedMode), mode_bits_after);

    QCOMPARE(console.tables.TargetCounts[0], enters_target ? 1600.0 : 0.0);
    QCOMPARE(main.Text2(0)->text(), enters_target ? QStringLiteral("12.50") : QStringLiteral("12.5"));
    QCOMPARE(TargetBytes(sent[n - 1]),
             enters_target ? (std::array<std::uint8_t, 4>{0x40, 0x06, 0x00, 0x40})
                           : (std::array<std::uint8_t, 4>{0x00, 0x00, 0x00, 0x40}));
    // STOP also puts the Speed slider in its middle; its 0 goes out.
    const bool stop = button == QLatin1String("STOP");
    QCOMPARE(console.Panel().Slider1(0)->value(), stop ? 0 : axis.speed);
    QCOMPARE(sent[n - 1][4] + 256 * sent[n - 1][5] - 32767, stop ? 0 : axis.speed);
  }

  // A touchpad tap, a touchscreen or a quick hand: press and release are
  // handled back to back, with no tick between them. The controller must
  // see what a button held over one tick gives: the command in one packet
  // with the mode of before, then the release and the click's mode.
  void a_quick_click_reaches_the_controller_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("bit");
    QTest::addColumn<int>("mode_bits_while_sent");
    QTest::addColumn<int>("mode_bits_after");
    QTest::newRow("GO") << "GO" << int(kGo) << int(kSpeedMode) << int(kPositionMode);
    QTest::newRow("Rel") << "Rel" << int(kRelMove) << int(kSpeedMode) << int(kPositionMode);
    QTest::newRow("STOP") << "STOP" << int(kStop) << 0 << 0;
    QTest::newRow("ZERO") << "ZERO" << int(kZero) << int(kSpeedMode) << int(kSpeedMode);
  }
  void a_quick_click_reaches_the_controller() {
    QFETCH(QString, button);
    QFETCH(int, bit);
    QFETCH(int, mode_bits_while_sent);
    QFETCH(int, mode_bits_after);
    SpeedModeConsole axis;
    LiveConsole& console = axis.console;
    console.TypeTarget(0, QStringLiteral("12.5"));
    CommandButton* control = RowButton(axis.Main(), button);

    QTest::mousePress(control, Qt::LeftButton);
    QTest::mouseRelease(control, Qt::LeftButton);
    console.Tick(3);

    const std::vector<Packet>& sent = console.Sent(0);
    const std::size_t n = sent.size();
    constexpr int kModes = kPositionMode | kSpeedMode;
    QCOMPARE(sent[n - 3][3] & (bit | kModes), bit | mode_bits_while_sent);
    QCOMPARE(sent[n - 2][3] & (bit | kModes), mode_bits_after);
    QCOMPARE(sent[n - 1][3] & (bit | kModes), mode_bits_after);
    if (bit == kGo || bit == kRelMove) {
      QCOMPARE(TargetBytes(sent[n - 3]), (std::array<std::uint8_t, 4>{0x40, 0x06, 0x00, 0x40}));
    }
  }

  // Esc is STOP held on every axis, from either window and whatever has the
  // focus; the key still reaches the control.
  void escape_stops_every_axis_whatever_has_the_focus_data() {
    QTest::addColumn<QString>("focus");
    QTest::addColumn<bool>("quick");
    QTest::newRow("target box, held") << "target box" << false;
    QTest::newRow("target box, quick") << "target box" << true;
    QTest::newRow("Rel button, held") << "Rel" << false;
    QTest::newRow("P slider, held") << "P slider" << false;
    QTest::newRow("Speed slider, quick") << "Speed slider" << true;
  }
  void escape_stops_every_axis_whatever_has_the_focus() {
    QFETCH(QString, focus);
    QFETCH(bool, quick);
    LiveConsole console;  // three axes
    frmMain& main = console.Main();
    frmXCtrl0& panel = console.Panel();
    console.Tick();
    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    QVERIFY(QTest::qWaitForWindowActive(&panel));
    for (AxisIndex i = 0; i < 3; ++i) {
      panel.Slider1(i)->setValue(2000);
      console.ClickSpeedSlider(i);
    }
    const int p_gain = panel.Slider3(1)->value();

    QWidget* window = &main;
    QWidget* control = nullptr;
    if (focus == QLatin1String("target box")) control = main.Text2(1);
    if (focus == QLatin1String("Rel")) control = main.Command7(2);
    if (focus == QLatin1String("P slider")) control = panel.Slider3(1);
    if (focus == QLatin1String("Speed slider")) control = panel.Slider1(0);
    if (control->window() == &panel) {
      window = &panel;
    } else {
      main.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&main));
    }
    control->setFocus();
    QCOMPARE(QApplication::focusWidget(), control);
    const QString typed = main.Text2(1)->text();

    QTest::keyPress(window->windowHandle(), Qt::Key_Escape);
    if (quick) QTest::keyRelease(window->windowHandle(), Qt::Key_Escape);
    for (AxisIndex i = 0; i < 3; ++i) QCOMPARE(panel.Slider1(i)->value(), 0);
    console.Tick(2);
    for (std::uint32_t d = 0; d < 3; ++d) {
      const std::vector<Packet>& sent = console.Sent(d);
      QCOMPARE(sent[sent.size() - 2][3] & (kStop | kSpeedMode), kStop);
      QCOMPARE(sent[sent.size() - 1][3] & (kStop | kSpeedMode), quick ? 0 : kStop);
      QCOMPARE(sent.back()[4] + 256 * sent.back()[5] - 32767, 0);
    }
    if (!quick) {
      QTest::keyRelease(window->windowHandle(), Qt::Key_Escape);
      console.Tick();
      for (std::uint32_t d = 0; d < 3; ++d) QCOMPARE(console.LastControlByte(d) & kStop, 0);
    }
    // Nothing else changed: the focus, the typed text, the tuning.
    QCOMPARE(QApplication::focusWidget(), control);
    QCOMPARE(main.Text2(1)->text(), typed);
    QCOMPARE(panel.Slider3(1)->value(), p_gain);
  }

  // A key held down is one press until it comes up, however the window
  // system repeats it: the bit it commands rises once and stays in every
  // packet while the key is held, a button clicks once, and keys that
  // command nothing send nothing.
  void a_held_key_is_one_press_data() {
    QTest::addColumn<QString>("hold");
    QTest::addColumn<Repeats>("repeats");
    const std::pair<const char*, Repeats> styles[] = {{"Qt marks", Repeats::kQtMarked},
                                                      {"presses only", Repeats::kPressesOnly},
                                                      {"X pairs", Repeats::kXPairs},
                                                      {"X pairs, up at once", Repeats::kXPairsKeyUp}};
    for (const char* hold : {"Space on Rel", "Esc in the target box", "Enter in the target box", "Space on GO",
                             "Enter on GO", "Space on STOP", "Space on ZERO"}) {
      for (const auto& [style, repeats] : styles) {
        QTest::addRow("%s, %s", hold, style) << QString::fromLatin1(hold) << repeats;
      }
    }
  }
  void a_held_key_is_one_press() {
    QFETCH(QString, hold);
    QFETCH(Repeats, repeats);
    SpeedModeConsole axis;
    LiveConsole& console = axis.console;
    frmMain& main = axis.Main();
    console.TypeTarget(0, QStringLiteral("12.5"));
    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));

    const Qt::Key key = hold.startsWith(QLatin1String("Space"))   ? Qt::Key_Space
                        : hold.startsWith(QLatin1String("Enter")) ? Qt::Key_Return
                                                                  : Qt::Key_Escape;
    QWidget* control = main.Text2(0);
    if (hold.endsWith(QLatin1String("Rel"))) control = main.Command7(0);
    if (hold.endsWith(QLatin1String("GO"))) control = main.cmdGo(0);
    if (hold.endsWith(QLatin1String("STOP"))) control = main.Command1(0);
    if (hold.endsWith(QLatin1String("ZERO"))) control = main.Command2(0);
    int bit = 0;  // what the hold commands
    if (hold == QLatin1String("Space on Rel")) bit = kRelMove;
    if (hold == QLatin1String("Esc in the target box")) bit = kStop;
    if (hold == QLatin1String("Enter in the target box")) bit = kGo;
    const bool sticky = bit == kGo;  // Enter has no release of its own
    auto* button = qobject_cast<CommandButton*>(control);
    std::optional<QSignalSpy> clicks;
    if (button != nullptr) clicks.emplace(button, &QAbstractButton::clicked);
    control->setFocus();
    QCOMPARE(QApplication::focusWidget(), control);

    const std::size_t from = console.Sent(0).size();
    HeldKeyOnWindow held(main, key, repeats, [&console] { console.Tick(); });
    held.Press();
    for (int r = 0; r < 6; ++r) {
      held.Repeat();
      if (r == 0 && clicks) QCOMPARE(clicks->count(), key == Qt::Key_Return ? 1 : 0);
    }
    held.Release();

    const std::vector<Packet>& sent = console.Sent(0);
    QCOMPARE(sent.size(), from + held.down_at_packet.size());
    constexpr int kCommands = kGo | kStop | kZero | kRelMove;
    for (std::size_t p = from; p < sent.size(); ++p) {
      const bool down = held.down_at_packet[p - from];
      const int expected = down || sticky ? bit : 0;
      QVERIFY2((sent[p][3] & kCommands) == expected,
               qPrintable(QStringLiteral("packet %1 of the hold: control byte %2").arg(p - from).arg(sent[p][3])));
      // A click changes the mode only once the key is up (Enter clicks on
      // its press); STOP and Esc leave the speed mode at once.
      if (down && key == Qt::Key_Space && bit != kStop) {
        QCOMPARE(sent[p][3] & (kSpeedMode | kPositionMode), kSpeedMode);
      }
    }
    if (clicks) QCOMPARE(clicks->count(), 1);
    if (button == main.cmdGo(0) || button == main.Command7(0)) {
      QCOMPARE(sent.back()[3] & (kSpeedMode | kPositionMode), kPositionMode);
    }
    if (bit == kRelMove || bit == kGo) {
      QCOMPARE(main.Text2(0)->text(), QStringLiteral("12.50"));
      QCOMPARE(console.tables.TargetCounts[0], 1600.0);
    }
    QVERIFY(!console.exit.Ended());
  }

  // Repeats still type: a digit held in a target box goes in once per
  // repeat, whatever the window system sends.
  void a_held_digit_types_once_per_repeat_data() {
    QTest::addColumn<Repeats>("repeats");
    QTest::newRow("Qt marks") << Repeats::kQtMarked;
    QTest::newRow("presses only") << Repeats::kPressesOnly;
    QTest::newRow("X pairs") << Repeats::kXPairs;
  }
  void a_held_digit_types_once_per_repeat() {
    QFETCH(Repeats, repeats);
    StartUp start_up;
    start_up.axes = 1;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    console.TypeTarget(0, QString());
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(main.Text2(0)));
    HeldKeyOnWindow held(main, Qt::Key_7, repeats, [] {});
    held.Press();
    for (int r = 0; r < 3; ++r) held.Repeat();
    held.Release();
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("7777"));
  }

  void a_long_number_shows_its_start() {
    StartUp start_up;
    start_up.axes = 1;
    start_up.mechanics = {{0, "1", "1", "1"}};  // 1 count per micron: positions in counts
    stage::sim::TransferFault reply;
    reply.op = stage::sim::TransferOp::kRead;
    reply.kind = stage::sim::TransferFault::Kind::kVerbatimReply;
    reply.reply = Reply(-1000000000, 0, 0);
    start_up.faults = {reply};
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    QLineEdit* box = main.Text2(0);
    console.TypeTarget(0, QStringLiteral("-3300000"));
    QTest::mouseClick(main.cmdGo(0), Qt::LeftButton);
    QCOMPARE(box->text(), QStringLiteral("-3300000.00"));
    QVERIFY2(box->fontMetrics().horizontalAdvance(box->text()) > box->width(), "the number fits: no fault shown");
    QCOMPARE(box->cursorPosition(), 0);
    // Enter rewrites the box the same way.
    console.TypeTarget(0, QStringLiteral("-3300001"));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(box->text(), QStringLiteral("-3300001.00"));
    QCOMPARE(box->cursorPosition(), 0);

    // The position read-out too.
    console.Tick();
    QLineEdit* position = main.Text1(0);
    QCOMPARE(position->text(), QStringLiteral("-1000000000.00 En"));
    QVERIFY(position->fontMetrics().horizontalAdvance(position->text()) > position->width());
    QCOMPARE(position->cursorPosition(), 0);
  }

  void space_on_rel_repeats_the_target_entry() {
    StartUp start_up;
    start_up.axes = 1;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    CommandButton* rel = main.Command7(0);
    console.TypeTarget(0, QStringLiteral("1.234"));
    rel->setFocus();

    QTest::keyPress(rel, Qt::Key_Space);
    QCOMPARE(console.tables.TargetCounts[0], 157.952);
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("1.23"));
    QCOMPARE(console.tables.RelMoveBit[0], kRelMove);
    console.Tick();
    QCOMPARE(console.LastControlByte(0) & kRelMove, kRelMove);

    // The key repeats: each repeat enters the target again, now from the
    // rounded text; the repeats' releases end nothing.
    for (int repeat = 0; repeat < 2; ++repeat) {
      QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
      QApplication::sendEvent(rel, &release);
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
      QApplication::sendEvent(rel, &press);
      QCOMPARE(console.tables.TargetCounts[0], 157.44);
      QCOMPARE(console.tables.RelMoveBit[0], kRelMove);
      console.Tick();
      QCOMPARE(console.LastControlByte(0) & (kRelMove | kPositionMode), kRelMove);
    }

    QTest::keyRelease(rel, Qt::Key_Space);
    console.Tick();
    QCOMPARE(console.LastControlByte(0) & (kRelMove | kPositionMode), kPositionMode);
    QCOMPARE(TargetBytes(console.LastSent(0)), (std::array<std::uint8_t, 4>{0x9D, 0x00, 0x00, 0x40}));
  }

  // Space held on Rel while the focus moves on (Tab, a click into a box):
  // the release goes to another control, so the hold ends with the focus;
  // no relative move stays commanded with nothing held.
  void space_held_on_rel_ends_when_the_focus_moves_data() {
    QTest::addColumn<bool>("by_tab");
    QTest::newRow("Tab") << true;
    QTest::newRow("click into the target box of axis 1") << false;
  }
  void space_held_on_rel_ends_when_the_focus_moves() {
    QFETCH(bool, by_tab);
    StartUp start_up;
    start_up.axes = 2;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    CommandButton* rel = main.Command7(0);
    console.TypeTarget(0, QStringLiteral("1"));
    rel->setFocus();
    QTest::keyPress(rel, Qt::Key_Space);
    console.Tick();
    QCOMPARE(console.LastControlByte(0) & kRelMove, kRelMove);

    if (by_tab) {
      QTest::keyClick(rel, Qt::Key_Tab);
    } else {
      QTest::mouseClick(main.Text2(1), Qt::LeftButton);
    }
    QVERIFY(QApplication::focusWidget() != rel);
    QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(console.tables.RelMoveBit[0], 0);
    console.Tick();
    QCOMPARE(console.LastControlByte(0) & kRelMove, 0);
    QCOMPARE(console.LastControlByte(1) & kRelMove, 0);
  }

  void enter_in_the_target_box_holds_go_until_a_mouse_release_data() {
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("Return") << Qt::Key_Return << Qt::KeyboardModifiers();
    QTest::newRow("keypad Enter") << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier);
  }
  void enter_in_the_target_box_holds_go_until_a_mouse_release() {
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    StartUp start_up;
    start_up.axes = 2;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    QLineEdit* box = main.Text2(1);
    QSignalSpy reached_the_box(box, &QLineEdit::returnPressed);
    console.TypeTarget(1, QStringLiteral("12.5"));

    QTest::keyClick(box, key, modifiers);
    QCOMPARE(reached_the_box.count(), 1);
    QCOMPARE(box->text(), QStringLiteral("12.50"));
    QCOMPARE(console.tables.TargetCounts[1], 1600.0);
    console.Tick(3);
    for (std::size_t p = 0; p < 3; ++p) QCOMPARE(console.Sent(1)[p][3] & kGo, kGo);
    QCOMPARE(console.Sent(0).back()[3] & kGo, 0);  // the other axis

    // Neither another entry nor a keyboard click on GO ends it.
    console.TypeTarget(1, QStringLiteral("3"));
    QTest::keyClick(box, key, modifiers);
    main.cmdGo(1)->setFocus();
    QTest::keyClick(main.cmdGo(1), Qt::Key_Space);
    console.Tick(2);
    QCOMPARE(console.LastControlByte(1) & kGo, kGo);
    QCOMPARE(console.tables.TargetCounts[1], 384.0);

    // A mouse press and release on GO does, once its press has gone out.
    QTest::mouseClick(main.cmdGo(1), Qt::LeftButton);
    console.Tick();
    QCOMPARE(console.LastControlByte(1) & kGo, kGo);
    console.Tick();
    QCOMPARE(console.LastControlByte(1) & kGo, 0);
  }

  void keyboard_on_a_focused_go_only_clicks_data() {
    QTest::addColumn<Qt::Key>("key");
    QTest::newRow("Space") << Qt::Key_Space;
    QTest::newRow("Return") << Qt::Key_Return;
  }
  void keyboard_on_a_focused_go_only_clicks() {
    QFETCH(Qt::Key, key);
    SpeedModeConsole axis;
    LiveConsole& console = axis.console;
    frmMain& main = axis.Main();
    console.TypeTarget(0, QStringLiteral("12.5"));
    main.cmdGo(0)->setFocus();

    QTest::keyPress(main.cmdGo(0), key);
    console.Tick();
    QTest::keyRelease(main.cmdGo(0), key);
    console.Tick();

    for (std::size_t p = console.Sent(0).size() - 2; p < console.Sent(0).size(); ++p) {
      QCOMPARE(console.Sent(0)[p][3] & kGo, 0);
    }
    QCOMPARE(console.LastControlByte(0) & (kPositionMode | kSpeedMode), kPositionMode);
    QCOMPARE(console.tables.TargetCounts[0], 0.0);
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("12.5"));
  }

  void stop_and_zero_ignore_the_keyboard_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<Qt::Key>("key");
    QTest::newRow("STOP, Space") << "STOP" << Qt::Key_Space;
    QTest::newRow("STOP, Return") << "STOP" << Qt::Key_Return;
    QTest::newRow("ZERO, Space") << "ZERO" << Qt::Key_Space;
    QTest::newRow("ZERO, Return") << "ZERO" << Qt::Key_Return;
  }
  void stop_and_zero_ignore_the_keyboard() {
    QFETCH(QString, button);
    QFETCH(Qt::Key, key);
    SpeedModeConsole axis;
    LiveConsole& console = axis.console;
    CommandButton* control = RowButton(axis.Main(), button);
    control->setFocus();
    const std::uint8_t before = console.tables.ControlByte(0);

    QTest::keyPress(control, key);
    console.Tick();
    QTest::keyRelease(control, key);
    console.Tick();

    QCOMPARE(console.tables.ControlByte(0), before);
    const std::size_t n = console.Sent(0).size();
    QCOMPARE(console.Sent(0)[n - 2][3] & 0x7F, kSpeedMode | 8);
    QCOMPARE(console.Sent(0)[n - 1][3] & 0x7F, kSpeedMode | 8);
    QCOMPARE(console.Panel().Slider1(0)->value(), axis.speed);
  }

  // What the operator types is what travels: a decimal comma where no
  // thousands separator could stand, in Motor Settings and in the target
  // box, gives the counts the point gives, whichever command enters it.
  void numbers_typed_reach_the_controller_as_meant_data() {
    QTest::addColumn<QString>("gearhead");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<double>("counts");
    // 256 x 12.5 / 500 = 6.4 counts per micron; the defaults give 128.
    QTest::newRow("gearhead 12,5, GO 1000") << "12,5" << "1000" << "GO" << "1000.00" << 6400.0;
    QTest::newRow("gearhead 12.5, GO 1000") << "12.5" << "1000" << "GO" << "1000.00" << 6400.0;
    QTest::newRow("gearhead 12,50, Rel 1000,0") << "12,50" << "1000,0" << "Rel" << "1000.00" << 6400.0;
    QTest::newRow("gearhead 0,5e3, Enter 1000") << "0,5e3" << "1000" << "Enter" << "1000.00" << 256000.0;
    QTest::newRow("GO 2,5") << "250" << "2,5" << "GO" << "2.50" << 320.0;
    QTest::newRow("GO 2.5") << "250" << "2.5" << "GO" << "2.50" << 320.0;
    QTest::newRow("Rel 0,25") << "250" << "0,25" << "Rel" << "0.25" << 32.0;
    QTest::newRow("Space on Rel 0,250") << "250" << "0,250" << "Space" << "0.25" << 32.0;
    QTest::newRow("Enter -3,75") << "250" << "-3,75" << "Enter" << "-3.75" << -480.0;
    QTest::newRow("Enter -3.75") << "250" << "-3.75" << "Enter" << "-3.75" << -480.0;
    QTest::newRow("GO 1 000,5") << "250" << "1 000,5" << "GO" << "1000.50" << 128064.0;
    QTest::newRow("GO 12,5 um") << "250" << "12,5 um" << "GO" << "12.50" << 1600.0;
    QTest::newRow("GO 12.5abc") << "250" << "12.5abc" << "GO" << "12.50" << 1600.0;
  }
  void numbers_typed_reach_the_controller_as_meant() {
    QFETCH(QString, gearhead);
    QFETCH(QString, typed);
    QFETCH(QString, how);
    QFETCH(QString, shown);
    QFETCH(double, counts);
    const QByteArray gearhead_text = gearhead.toLatin1();
    StartUp start_up;
    start_up.axes = 1;
    start_up.mechanics = {{0, "256", gearhead_text.constData(), "500"}};
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    console.TypeTarget(0, typed);

    const bool rel = how == QLatin1String("Rel") || how == QLatin1String("Space");
    CommandButton* button = rel ? main.Command7(0) : main.cmdGo(0);
    if (how == QLatin1String("Enter")) {
      QTest::keyClick(main.Text2(0), Qt::Key_Return);
    } else if (how == QLatin1String("Space")) {
      button->setFocus();
      QTest::keyPress(button, Qt::Key_Space);
    } else {
      QTest::mousePress(button, Qt::LeftButton);
    }
    console.Tick();

    QCOMPARE(main.Text2(0)->text(), shown);
    QVERIFY(main.lblMessage()->text().isEmpty());
    const Packet sent = console.LastSent(0);
    const int bit = rel ? kRelMove : kGo;
    QCOMPARE(sent[3] & bit, bit);
    const std::optional<stage::usb::CommandFields> fields = stage::usb::DecodeCommand(sent);
    QVERIFY(fields.has_value());
    QCOMPARE(fields->target_counts, counts);
    if (how == QLatin1String("Space")) {
      QTest::keyRelease(button, Qt::Key_Space);
    } else if (how != QLatin1String("Enter")) {
      QTest::mouseRelease(button, Qt::LeftButton);
    }
  }

  // A refused target moves nothing: no command bit goes out, the previous
  // target stays in the packets and comes back into the box, and the red
  // line beside the box says what was refused and why.
  void a_refused_target_moves_nothing_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("message");
    const QString out_of_range = QStringLiteral(
        "Target %1 is out of range for axis X: the controller accepts -1073741824 to 1073741823 "
        "counts (-8388608.00 to 8388607.99 um). The previous target is kept.");
    const QString empty = QStringLiteral("No target for axis X: the box is empty. The previous target is kept.");
    const QString not_a_number = QStringLiteral("Target %1 for axis X is not a number. The previous target is kept.");
    const QString not_understood = QStringLiteral(
        "Target %1 for axis X is not understood: a comma there could separate thousands or mark decimals. "
        "Type a point for decimals and no thousands separator. The previous target is kept.");
    QTest::newRow("1e20, GO") << "1e20" << "GO" << out_of_range.arg("1e20");
    QTest::newRow("99999999, GO") << "99999999" << "GO" << out_of_range.arg("99999999");
    QTest::newRow("-8388609, GO") << "-8388609" << "GO" << out_of_range.arg("-8388609");
    QTest::newRow("1e400, GO") << "1e400" << "GO" << out_of_range.arg("1e400");
    QTest::newRow("99999999, Enter") << "99999999" << "Enter" << out_of_range.arg("99999999");
    QTest::newRow("99999999, Rel") << "99999999" << "Rel" << out_of_range.arg("99999999");
    QTest::newRow("1e20, Space on Rel") << "1e20" << "Space" << out_of_range.arg("1e20");
    QTest::newRow("empty, GO") << "" << "GO" << empty;
    QTest::newRow("empty, Enter") << "" << "Enter" << empty;
    QTest::newRow("blanks, Rel") << "   " << "Rel" << empty;
    QTest::newRow("abc, GO") << "abc" << "GO" << not_a_number.arg("abc");
    QTest::newRow("minus alone, Space on Rel") << "-" << "Space" << not_a_number.arg("-");
    QTest::newRow("1,000, GO") << "1,000" << "GO" << not_understood.arg("1,000");
    QTest::newRow("12,500, Enter") << "12,500" << "Enter" << not_understood.arg("12,500");
    QTest::newRow("1.234,5, Rel") << "1.234,5" << "Rel" << not_understood.arg("1.234,5");
    QTest::newRow("1,000, Space on Rel") << "1,000" << "Space" << not_understood.arg("1,000");
    // Long text is cut, so the line still fits beside the box.
    QTest::newRow("long text, GO") << "-1,000,000.5 microns to the left" << "GO"
                                   << not_understood.arg("-1,000,000.5 microns to ...");
    QTest::newRow("long out of range, GO") << "-9999999999999999999999999" << "GO"
                                           << out_of_range.arg("-99999999999999999999999...");
  }
  void a_refused_target_moves_nothing() {
    QFETCH(QString, typed);
    QFETCH(QString, how);
    QFETCH(QString, message);
    SpeedModeConsole axis;
    LiveConsole& console = axis.console;
    frmMain& main = axis.Main();
    // A target 12.5 um away, then the speed mode again.
    console.TypeTarget(0, QStringLiteral("12.5"));
    QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
    console.Tick();
    QTest::mouseRelease(main.cmdGo(0), Qt::LeftButton);
    console.ClickSpeedSlider(0);
    QCOMPARE(console.tables.PositionModeBit[0], kPositionMode);
    QCOMPARE(console.tables.SpeedModeBit[0], kSpeedMode);

    console.TypeTarget(0, typed);
    CommandButton* button = how == QLatin1String("GO") ? main.cmdGo(0) : main.Command7(0);
    if (how == QLatin1String("GO") || how == QLatin1String("Rel")) QTest::mousePress(button, Qt::LeftButton);
    if (how == QLatin1String("Enter")) QTest::keyClick(main.Text2(0), Qt::Key_Return);
    if (how == QLatin1String("Space")) {
      button->setFocus();
      QTest::keyPress(button, Qt::Key_Space);
    }

    QLabel* line = main.lblMessage();
    QCOMPARE(line->text(), message);
    QVERIFY(line->isVisible());
    QVERIFY2(line->heightForWidth(line->width()) <= line->height(), "the refusal is cut off");
    // The box shows the target in force again, from its start.
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("12.50"));
    QCOMPARE(main.Text2(0)->cursorPosition(), 0);
    QCOMPARE(console.tables.TargetCounts[0], 1600.0);
    console.Tick(2);  // polling goes on, with the previous target and no command
    QCOMPARE(TargetBytes(console.LastSent(0)), (std::array<std::uint8_t, 4>{0x40, 0x06, 0x00, 0x40}));
    QCOMPARE(console.LastControlByte(0) & (kGo | kRelMove), 0);

    // A key held on: its repeats find the target in force in the box, yet
    // command nothing.
    if (how == QLatin1String("Enter") || how == QLatin1String("Space")) {
      QWidget* target = how == QLatin1String("Enter") ? static_cast<QWidget*>(main.Text2(0)) : button;
      const Qt::Key key = how == QLatin1String("Enter") ? Qt::Key_Return : Qt::Key_Space;
      const QString text = how == QLatin1String("Enter") ? QStringLiteral("\r") : QStringLiteral(" ");
      for (int repeat = 0; repeat < 2; ++repeat) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text, true);
        QApplication::sendEvent(target, &press);
        console.Tick();
        QCOMPARE(console.LastControlByte(0) & (kGo | kRelMove), 0);
      }
      QCOMPARE(line->text(), message);
    }

    // Its release raises no click: the mode stays.
    if (how == QLatin1String("GO") || how == QLatin1String("Rel")) QTest::mouseRelease(button, Qt::LeftButton);
    if (how == QLatin1String("Space")) QTest::keyRelease(button, Qt::Key_Space);
    console.Tick();
    QCOMPARE(console.LastControlByte(0) & (kGo | kRelMove | kSpeedMode | kPositionMode),
             kSpeedMode | kPositionMode);
    QVERIFY(!console.exit.Ended());

    // The next target that can travel is taken, and the message goes.
    console.TypeTarget(0, QStringLiteral("-1"));
    QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
    QCOMPARE(console.tables.TargetCounts[0], -128.0);
    QCOMPARE(console.tables.GoBit[0], kGo);
    QVERIFY(main.lblMessage()->text().isEmpty());
  }

  // Before any target was taken: an empty box and GO do not send the axis
  // to 0, and the box shows the starting target again.
  void an_empty_box_before_any_target_sends_nothing() {
    StartUp start_up;
    start_up.axes = 2;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    console.Tick();
    const QString start = main.Text2(1)->text();
    console.TypeTarget(1, QString());

    QTest::mousePress(main.cmdGo(1), Qt::LeftButton);
    console.Tick(2);
    QTest::mouseRelease(main.cmdGo(1), Qt::LeftButton);
    console.Tick();

    for (const Packet& sent : console.Sent(1)) QCOMPARE(sent[3] & (kGo | kPositionMode), 0);
    QCOMPARE(main.Text2(1)->text(), start);
    QCOMPARE(main.lblMessage()->text(),
             QStringLiteral("No target for axis Y: the box is empty. The previous target is kept."));
  }
};

STAGE_UI_TEST_MAIN(CommandsTest)
#include "commands_test.moc"

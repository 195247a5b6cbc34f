// Why this exists: with every axis at its defaults, an axis reading another
// axis's sliders, two sliders swapped, a reaction acting on axis 0, or two
// indicators swapped all pass unseen: the defaults are equal pairwise and
// most tests run one axis. These tests give axis 1 of 2 values of its own
// and light one status flag at a time.
#include <QLabel>
#include <QTest>

#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/common/lamp.h"

using stage::sim::TransferFault;
using stage::sim::TransferOp;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

constexpr std::uint8_t kStop = 2, kSpeedMode = 16;

// Axis `device` answers `flags` from its `nth` read on.
TransferFault FlagsReply(std::uint32_t device, std::uint8_t flags, std::uint32_t nth = 1) {
  TransferFault fault;
  fault.op = TransferOp::kRead;
  fault.device = device;
  fault.nth = nth;
  fault.repeat = true;
  fault.kind = TransferFault::Kind::kVerbatimReply;
  fault.reply = Reply(0, flags, 0);
  return fault;
}

}  // namespace

class AxisIsolationTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  // Every slider of axis 1 at a value of its own: each lands in its own byte
  // of its own frame on axis 1's packets only; axis 0 sends its defaults.
  void each_slider_of_axis_1_lands_in_its_own_byte() {
    StartUp start_up;
    start_up.axes = 2;
    LiveConsole console(start_up);
    frmXCtrl0& panel = console.Panel();
    QVERIFY(!panel.isVisible());
    panel.Slider3(1)->setValue(11);   // P
    panel.Slider4(1)->setValue(22);   // I
    panel.Slider5(1)->setValue(33);   // D
    panel.Slider6(1)->setValue(44);   // Acc
    panel.Slider2(1)->setValue(55);   // Max Speed
    panel.Slider7(1)->setValue(66);   // Torque
    panel.Slider8(1)->setValue(77);   // F Error
    panel.Slider1(1)->setValue(-1234);  // Speed
    console.Tick(2);

    const auto speed = [](const Packet& p) { return p[4] + 256 * p[5] - 32767; };
    for (std::uint32_t device : {0U, 1U}) {
      const std::vector<Packet>& sent = console.Sent(device);
      QCOMPARE(sent.size(), std::size_t{2});
      const Packet& a = sent[0];  // frame 144
      const Packet& b = sent[1];  // frame 96
      QCOMPARE(a[7], std::uint8_t{144});
      QCOMPARE(b[7], std::uint8_t{96});
      const bool own = device == 1;
      QCOMPARE(a[0], std::uint8_t(own ? 55 : 80));   // Max Speed
      QCOMPARE(a[1], std::uint8_t(own ? 11 : 15));   // P
      QCOMPARE(a[2], std::uint8_t(own ? 22 : 5));    // I
      QCOMPARE(b[0], std::uint8_t(own ? 44 : 50));   // Acc
      QCOMPARE(b[1], std::uint8_t(own ? 66 : 200));  // Torque
      QCOMPARE(b[2], std::uint8_t(own ? 77 : 50));   // F Error
      for (const Packet& p : {a, b}) {
        QCOMPARE(p[6], std::uint8_t(own ? 33 : 5));  // D
        QCOMPARE(speed(p), own ? -1234 : 0);
        QCOMPARE(p[3] & ~0x80, 8);  // active only
        QCOMPARE(p[8], std::uint8_t{0});
        QCOMPARE(p[11], std::uint8_t{0x40});
      }
    }
    QVERIFY(!panel.isVisible());
  }

  // The cancel-on-error reaction and STOP act on the axis concerned: axis 0,
  // running in speed mode, keeps its StopBit, speed mode and Speed slider.
  void reactions_on_axis_1_leave_axis_0_untouched_data() {
    QTest::addColumn<bool>("by_error");
    QTest::newRow("cancel-on-error on axis 1") << true;
    QTest::newRow("STOP on axis 1") << false;
  }
  void reactions_on_axis_1_leave_axis_0_untouched() {
    QFETCH(bool, by_error);
    StartUp start_up;
    start_up.axes = 2;
    start_up.ticked = {{"Check4", 1}};
    if (by_error) start_up.faults = {FlagsReply(1, 0x40, 2)};
    LiveConsole console(start_up);
    frmXCtrl0& panel = console.Panel();
    QTest::mouseClick(console.Main().cmdMoreControls(), Qt::LeftButton);
    for (stage::AxisIndex axis : {0, 1}) {
      panel.Slider1(axis)->setValue(2500 + 1000 * axis);
      console.ClickSpeedSlider(axis);
    }
    const int speed0 = panel.Slider1(0)->value();
    QVERIFY(speed0 != 0);
    console.Tick();

    if (!by_error) QTest::mousePress(console.Main().Command1(1), Qt::LeftButton);
    console.Tick();

    const stage::modKVT_USB& t = console.tables;
    QCOMPARE(t.StopBit[1], kStop);
    QCOMPARE(t.SpeedModeBit[1], 0);
    QCOMPARE(panel.Slider1(1)->value(), 0);
    QCOMPARE(t.StopBit[0], 0);
    QCOMPARE(t.SpeedModeBit[0], kSpeedMode);
    QCOMPARE(panel.Slider1(0)->value(), speed0);
    console.Tick();
    QCOMPARE(console.LastControlByte(0) & (kStop | kSpeedMode), kSpeedMode);
    QCOMPARE(console.LastControlByte(1) & (kStop | kSpeedMode), kStop);
  }

  // One status flag at a time, on axis 1 of 2: it lights its own indicator
  // and nothing else, on that axis only.
  void each_flag_lights_only_its_own_indicator_data() {
    QTest::addColumn<int>("flag");
    QTest::newRow("none") << 0;
    QTest::newRow("1: limit lamp Shape3") << 1;
    QTest::newRow("2: limit lamp Shape4") << 2;
    QTest::newRow("4: Reverse") << 4;
    QTest::newRow("8: Max Speed border") << 8;
    QTest::newRow("16: busy") << 16;
    QTest::newRow("32: Act Hi") << 32;
    QTest::newRow("64: error") << 64;
    QTest::newRow("128: ignored") << 128;
  }
  void each_flag_lights_only_its_own_indicator() {
    QFETCH(int, flag);
    StartUp start_up;
    start_up.axes = 2;
    start_up.faults = {FlagsReply(1, static_cast<std::uint8_t>(flag))};
    LiveConsole console(start_up);
    console.Tick();
    frmMain& main = console.Main();
    frmXCtrl0& panel = console.Panel();
    const QColor red(255, 0, 0), green(0, 192, 0), yellow(255, 255, 0);
    for (stage::AxisIndex axis : {0, 1}) {
      const auto lit = [&](int bit) { return axis == 1 && flag == bit; };
      const QString where = QStringLiteral("axis %1").arg(axis);
      QVERIFY2(panel.Shape3(axis)->FillColor() == (lit(1) ? red : green), qPrintable(where));
      QVERIFY2(panel.Shape4(axis)->FillColor() == (lit(2) ? red : green), qPrintable(where));
      QVERIFY2(panel.Command6(axis)->BackColor() == (lit(4) ? yellow : ButtonFaceColor()), qPrintable(where));
      QVERIFY2(panel.Slider2(axis)->BorderStyleValue() == (lit(8) ? 1 : 0), qPrintable(where));
      QVERIFY2(main.Shape2(axis)->FillColor() == (lit(16) ? red : ButtonFaceColor()), qPrintable(where));
      QVERIFY2(main.Label4(axis)->isVisibleTo(&main) == lit(16), qPrintable(where));
      QVERIFY2(panel.Command3(axis)->BackColor() == (lit(32) ? yellow : ButtonFaceColor()), qPrintable(where));
      QVERIFY2(main.Shape5(axis)->FillColor() == (lit(64) ? red : ButtonFaceColor()), qPrintable(where));
      QVERIFY2(main.Label8(axis)->isVisibleTo(&main) == lit(64), qPrintable(where));
    }
  }
};

STAGE_UI_TEST_MAIN(AxisIsolationTest)
#include "axis_isolation_test.moc"

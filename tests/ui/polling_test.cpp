// Why this exists: the polling cycle is the console's only link to the
// controllers. Through the real windows on simulated controllers these tests
// check the bytes each controller receives, what each reply shows, the
// cancel-on-error reaction and its latching lamp, and that a failed transfer
// ends the run at once with its exact message, touching no other controller.
#include <QLabel>
#include <QLineEdit>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <cmath>
#include <thread>

#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/common/lamp.h"

using stage::AxisIndex;
using stage::sim::TransferFault;
using stage::sim::TransferOp;
using namespace stage::ui;
using namespace stage::ui::testing;

Q_DECLARE_METATYPE(stage::sim::TransferFault)

namespace {

constexpr std::uint8_t kGo = 1, kStop = 2, kSpeedMode = 16, kPositionMode = 32;

// A failure of axis 1, named by its axis and serial number before the
// designed end.
QString OnAxisY(const QString& what) {
  return what + QStringLiteral(". Axis Y, serial SimY. Application is aborting. Reset hardware and try again.");
}

TransferFault Fault(TransferOp op, TransferFault::Kind kind, int status = 0, std::uint32_t count = 0) {
  TransferFault fault;
  fault.op = op;
  fault.device = 1;
  fault.nth = 2;  // the second tick
  fault.kind = kind;
  fault.status = status;
  fault.count = count;
  return fault;
}

TransferFault ErrorReply(std::uint32_t nth_read) {
  TransferFault fault;
  fault.op = TransferOp::kRead;
  fault.device = 0;
  fault.nth = nth_read;
  fault.kind = TransferFault::Kind::kVerbatimReply;
  fault.reply = Reply(0, 0x50, 0);  // busy and error
  return fault;
}

std::vector<std::uint8_t> ControlBytes(const std::vector<Packet>& packets) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(packets.size());
  for (const Packet& p : packets) bytes.push_back(p[3]);
  return bytes;
}

}  // namespace

class PollingTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void first_packets_carry_toggle_active_and_configuration() {
    // Axis 0 with every wiring option, axis 1 with none, axis 2 cancelling
    // on error.
    StartUp start_up;
    start_up.ticked = {{"Check1", 0}, {"Check2", 0}, {"Check3", 0}, {"Check4", 0}, {"Check4", 2}};
    LiveConsole console(start_up);
    QVERIFY(console.polling_started);
    QCOMPARE(console.Main().Timer1().interval(), 10);
    QCOMPARE(console.Main().Timer1().timerType(), Qt::PreciseTimer);
    const std::size_t calls_before = console.devices->Calls().size();

    console.Tick(3);

    // Frame 144 with the toggle and active bits, then frame 96, then again.
    const Packet first0{0x50, 0x0F, 0x05, 0x88, 0xFF, 0x7F, 0x05, 0x9F, 0x00, 0x00, 0x00, 0x40};
    const Packet second0{0x32, 0xC8, 0x32, 0x08, 0xFF, 0x7F, 0x05, 0x6F, 0x00, 0x00, 0x00, 0x40};
    QCOMPARE(console.Sent(0), (std::vector<Packet>{first0, second0, first0}));
    for (std::uint32_t d : {1u, 2u}) {
      const std::uint8_t config = d == 2 ? 8 : 0;
      QCOMPARE(console.Sent(d).size(), std::size_t{3});
      QCOMPARE(console.Sent(d)[0][3], 0x88);
      QCOMPARE(console.Sent(d)[0][7], 144 + config);
      QCOMPARE(console.Sent(d)[1][3], 0x08);
      QCOMPARE(console.Sent(d)[1][7], 96 + config);
    }

    // One write and one read per axis, in axis order.
    const std::vector<stage::sim::CallRecord>& calls = console.devices->Calls();
    QCOMPARE(calls.size() - calls_before, std::size_t{18});
    for (std::size_t c = calls_before; c < calls_before + 6; ++c) {
      QCOMPARE(calls[c].call, (c - calls_before) % 2 == 0 ? Call::kWrite : Call::kRead);
      QCOMPARE(calls[c].device, static_cast<std::uint32_t>((c - calls_before) / 2));
    }

    // The replies shown: at rest at 0; the simulated controller mirrors
    // "Reverse Motor Polarity" and "Limit Sw Active on HI" in its flags.
    frmMain& main = console.Main();
    frmXCtrl0& panel = console.Panel();
    const QColor yellow(255, 255, 0), green(0, 192, 0);
    for (AxisIndex i = 0; i < 3; ++i) {
      QCOMPARE(main.Text1(i)->text(), QStringLiteral("0.00 um"));
      QCOMPARE(ShownText(main.Text3(i)), QStringLiteral("0"));
      QCOMPARE(main.Shape2(i)->FillColor(), ButtonFaceColor());
      QVERIFY(!main.Label4(i)->isVisible());
      QCOMPARE(main.Shape5(i)->FillColor(), ButtonFaceColor());
      QVERIFY(!main.Label8(i)->isVisible());
      QCOMPARE(panel.Shape3(i)->FillColor(), green);
      QCOMPARE(panel.Shape4(i)->FillColor(), green);
      QCOMPARE(panel.Slider2(i)->BorderStyleValue(), 0);
      QCOMPARE(panel.Command6(i)->BackColor(), i == 0 ? yellow : ButtonFaceColor());
      QCOMPARE(panel.Command3(i)->BackColor(), i == 0 ? yellow : ButtonFaceColor());
    }
    QVERIFY(!console.exit.Ended());
  }

  // Timer1 goes off once per deadline and each time arms itself for the
  // next: left to the event loop it keeps polling, one exchange per axis per
  // tick, and stays a precise single-shot timer.
  void timer1_rearms_itself_for_every_tick() {
    LiveConsole console;
    const std::size_t calls_before = console.devices->Calls().size();
    const std::uint64_t ticks_before = console.Main().PollSchedule().Ticks();
    console.Main().Timer1().start(0);
    QTRY_VERIFY_WITH_TIMEOUT(console.Main().PollSchedule().Ticks() >= ticks_before + 5, 10000);
    console.Main().Timer1().stop();
    QVERIFY(console.Main().Timer1().isSingleShot());
    QCOMPARE(console.Main().Timer1().timerType(), Qt::PreciseTimer);
    const std::uint64_t ticks = console.Main().PollSchedule().Ticks() - ticks_before;
    QCOMPARE(console.devices->Calls().size() - calls_before, 2 * std::size_t{3} * ticks);
  }

  // A tick that overruns (its exchange slow for 25 ms): the window tells
  // the scheduler when the tick ended, so the next exchange waits for the
  // next deadline of the 10 ms grid rather than starting at once for a
  // deadline that passed, and every deadline that passed is counted skipped.
  void an_overrun_tick_resumes_on_the_grid() {
    using Clock = std::chrono::steady_clock;
    using TimePoint = stage::tick::DeadlineScheduler::TimePoint;
    struct SlowOnce final : stage::poll::ExchangeObserver {
      void OnExchange(AxisIndex, const Packet&, const Packet&, const stage::poll::ExchangeResult&) override {
        const TimePoint now = Clock::now();
        if (main == nullptr) return;
        const stage::tick::DeadlineScheduler& schedule = main->PollSchedule();
        ++exchanges;
        if (exchanges == slow) {
          // The tick running now stands for the deadline one period back.
          slow_deadline = schedule.NextDeadline() - schedule.Period();
          skipped_before = schedule.Skipped();
          std::this_thread::sleep_for(std::chrono::milliseconds(25));
          slow_end = Clock::now();
        } else if (exchanges == slow + 1) {
          next_exchange = now;
          next_deadline = schedule.NextDeadline() - schedule.Period();
          skipped_after = schedule.Skipped();
        }
      }
      const int slow = 3;  // the exchange that runs slow
      frmMain* main = nullptr;
      int exchanges = 0;
      TimePoint slow_deadline{}, slow_end{}, next_exchange{}, next_deadline{};
      std::uint64_t skipped_before = 0, skipped_after = 0;
    } observer;
    StartUp start_up;
    start_up.axes = 1;
    start_up.observer = &observer;
    LiveConsole console(start_up);
    observer.main = &console.Main();
    console.Main().Timer1().start(0);
    QTRY_VERIFY_WITH_TIMEOUT(observer.exchanges > observer.slow + 1, 10000);
    console.Main().Timer1().stop();

    const auto period = console.Main().PollSchedule().Period();
    QVERIFY(observer.slow_end - observer.slow_deadline >= 2 * period);
    // The next tick stands for a deadline after the slow one ended, and
    // starts on it or later.
    QVERIFY2(observer.next_deadline > observer.slow_end, "the next tick stood for a deadline that had passed");
    QVERIFY(observer.next_exchange >= observer.next_deadline);
    QCOMPARE((observer.next_deadline - observer.slow_deadline) % period, decltype(period)::zero());
    // Every deadline in between was skipped: at least the two the slow
    // exchange ran past.
    const auto deadlines_between =
        static_cast<std::uint64_t>((observer.next_deadline - observer.slow_deadline) / period) - 1;
    QCOMPARE(observer.skipped_after - observer.skipped_before, deadlines_between);
    QVERIFY(deadlines_between >= static_cast<std::uint64_t>((observer.slow_end - observer.slow_deadline) / period));
  }

  void go_while_held_then_position_mode() {
    StartUp start_up;
    start_up.axes = 1;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    console.Tick(2);

    console.TypeTarget(0, QStringLiteral("12.5"));
    QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
    QCOMPARE(console.tables.TargetCounts[0], 1600.0);
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("12.50"));
    console.Tick(3);
    QTest::mouseRelease(main.cmdGo(0), Qt::LeftButton);
    console.Tick(2);

    // GoBit in every packet while GO is held, the position mode only after
    // the release; the first GO goes out with the mode bits as they were.
    QCOMPARE(ControlBytes(console.Sent(0)), (std::vector<std::uint8_t>{0x88, 0x08, 0x89, 0x09, 0x89, 0x28, 0xA8}));
    for (std::size_t p = 2; p < 7; ++p) {
      const Packet& packet = console.Sent(0)[p];
      QCOMPARE((std::array<std::uint8_t, 4>{packet[8], packet[9], packet[10], packet[11]}),
               (std::array<std::uint8_t, 4>{0x40, 0x06, 0x00, 0x40}));
    }
  }

  void a_move_is_shown_until_it_reads_the_target() {
    // Whatever model the simulator runs by default.
    StartUp start_up;
    start_up.axes = 1;
    start_up.simple_model = false;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    console.Tick();
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("0.00 um"));

    console.TypeTarget(0, QStringLiteral("12.5"));
    QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
    console.Tick();
    QTest::mouseRelease(main.cmdGo(0), Qt::LeftButton);
    QSet<QString> shown;
    // 30 s of simulated time: far more than a 12.5 um move needs.
    for (int tick = 0; tick < 3000 && main.Text1(0)->text() != QStringLiteral("12.50 um"); ++tick) {
      console.Tick();
      shown.insert(main.Text1(0)->text());
    }
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("12.50 um"));
    QVERIFY2(shown.size() > 2, "the position is shown on the way, not only at the end");
    console.Tick(20);
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("12.50 um"));
    QCOMPARE(ShownText(main.Text3(0)), QStringLiteral("1600"));
    QVERIFY(!console.exit.Ended());
  }

  void a_servo_move_lights_busy_until_it_settles() {
    // The default simulated stage is a servo: a 3 mm move takes about a
    // second, busy while the profile runs and until the axis has settled.
    StartUp start_up;
    start_up.axes = 1;
    start_up.simple_model = false;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    const QColor red(255, 0, 0);
    console.Tick();
    QCOMPARE(main.Shape2(0)->FillColor(), ButtonFaceColor());
    QVERIFY(!main.Label4(0)->isVisibleTo(&main));

    console.TypeTarget(0, QStringLiteral("3000"));
    QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
    console.Tick();  // GO reaches the controller only while it is held
    QTest::mouseRelease(main.cmdGo(0), Qt::LeftButton);
    int busy_ticks = 0;
    int tick = 0;
    for (; tick < 500; ++tick) {
      console.Tick();
      const bool busy = main.Shape2(0)->FillColor() == red;
      QCOMPARE(main.Label4(0)->isVisibleTo(&main), busy);
      if (busy) ++busy_ticks;
      if (busy_ticks > 0 && !busy) break;
    }
    QVERIFY2(busy_ticks > 50, "busy lights up for the whole move");
    QVERIFY2(tick < 500, "busy goes out once the axis has settled");
    // Settled: within the controller's settling band of 16 counts (0.125 um)...
    const double shown_um = main.Text1(0)->text().section(QLatin1Char(' '), 0, 0).toDouble();
    QVERIFY2(std::abs(shown_um - 3000.0) <= 0.125, qPrintable(main.Text1(0)->text()));
    // ...and at rest on the target soon after.
    console.Tick(50);
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("3000.00 um"));
    QCOMPARE(main.Shape5(0)->FillColor(), ButtonFaceColor());
  }

  void readouts_data() {
    QTest::addColumn<QString>("counts_per_rotation");
    QTest::addColumn<QString>("pitch_um");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("ideal_position");
    QTest::addColumn<QString>("text1");
    QTest::addColumn<QString>("text3");
    QTest::newRow("3 counts per micron") << "3" << "1" << -1500 << -5 << "-500.00 um" << "-5";
    QTest::newRow("2.5 counts per micron") << "5" << "2" << 10000 << 10000 << "4000.00 um" << "10000";
    QTest::newRow("raw encoder counts") << "1" << "1" << 10000 << 9999 << "10000.00 En" << "9999";
    QTest::newRow("zero") << "256" << "500" << 0 << 0 << "0.00 um" << "0";
    QTest::newRow("ends of the range") << "1" << "1" << -1073741824 << 1073741823 << "-1073741824.00 En"
                                       << "1073741823";
  }
  void readouts() {
    QFETCH(QString, counts_per_rotation);
    QFETCH(QString, pitch_um);
    QFETCH(int, position);
    QFETCH(int, ideal_position);
    QFETCH(QString, text1);
    QFETCH(QString, text3);
    StartUp start_up;
    start_up.axes = 1;
    const std::string counts = counts_per_rotation.toStdString(), pitch = pitch_um.toStdString();
    start_up.mechanics = {{0, counts.c_str(), "1", pitch.c_str()}};
    TransferFault reply;
    reply.op = TransferOp::kRead;
    reply.kind = TransferFault::Kind::kVerbatimReply;
    reply.reply = Reply(position, 0, ideal_position);
    start_up.faults = {reply};
    LiveConsole console(start_up);

    console.Tick();

    QCOMPARE(console.Main().Text1(0)->text(), text1);
    QCOMPARE(ShownText(console.Main().Text3(0)), text3);
  }

  void a_hidden_ideal_position_box_shows_the_latest_reply_when_shown() {
    // The ideal-position boxes are hidden, and laying out their text on
    // every reply cost as much as the position read-out: a hidden box is
    // written when it is shown, with the latest reply, and a shown one at
    // every reply.
    StartUp start_up;
    start_up.axes = 1;
    for (std::uint32_t read = 1; read <= 4; ++read) {
      TransferFault reply;
      reply.op = TransferOp::kRead;
      reply.nth = read;
      reply.kind = TransferFault::Kind::kVerbatimReply;
      reply.reply = Reply(0, 0, static_cast<std::int32_t>(100 * read));
      start_up.faults.push_back(reply);
    }
    LiveConsole console(start_up);
    QLineEdit* box = console.Main().Text3(0);
    QSignalSpy writes(box, &QLineEdit::textChanged);

    console.Tick(2);
    QCOMPARE(writes.count(), 0);
    box->show();
    QCOMPARE(box->text(), QStringLiteral("200"));
    console.Tick();
    QCOMPARE(box->text(), QStringLiteral("300"));

    box->hide();
    console.Tick();
    QCOMPARE(writes.count(), 2);
    box->show();
    QCOMPARE(box->text(), QStringLiteral("400"));
    // Shown again with nothing new: nothing is written.
    box->hide();
    box->show();
    QCOMPARE(writes.count(), 3);
    QCOMPARE(box->text(), QStringLiteral("400"));
  }

  void error_status_data() {
    QTest::addColumn<bool>("cancel_on_error");
    QTest::newRow("without cancel-on-error") << false;
    QTest::newRow("with cancel-on-error") << true;
  }
  void error_status() {
    QFETCH(bool, cancel_on_error);
    StartUp start_up;
    start_up.axes = 1;
    if (cancel_on_error) start_up.ticked = {{"Check4", 0}};
    // Busy and error in the replies of ticks 2, 3 and 4; clear before and after.
    start_up.faults = {ErrorReply(2), ErrorReply(3), ErrorReply(4)};
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    frmXCtrl0& panel = console.Panel();
    const stage::modKVT_USB& t = console.tables;
    const QColor red(255, 0, 0), green(0, 192, 0);

    // The operator runs the axis in speed mode.
    console.Tick();
    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    panel.Slider1(0)->setValue(3000);
    console.ClickSpeedSlider(0);
    const int speed = panel.Slider1(0)->value();
    QVERIFY(speed != 0);
    QCOMPARE(t.SpeedModeBit[0], kSpeedMode);

    console.Tick();  // the error arrives
    QCOMPARE(main.Shape2(0)->FillColor(), red);
    QVERIFY(main.Label4(0)->isVisible());
    QCOMPARE(main.Shape5(0)->FillColor(), red);
    QVERIFY(main.Label8(0)->isVisible());
    QCOMPARE(panel.Shape3(0)->FillColor(), green);
    QCOMPARE(panel.Shape4(0)->FillColor(), green);
    QCOMPARE(panel.Command6(0)->BackColor(), ButtonFaceColor());
    QCOMPARE(panel.Command3(0)->BackColor(), ButtonFaceColor());
    QCOMPARE(panel.Slider2(0)->BorderStyleValue(), 0);
    QCOMPARE(t.StopBit[0], cancel_on_error ? kStop : 0);
    QCOMPARE(t.SpeedModeBit[0], cancel_on_error ? 0 : kSpeedMode);
    QCOMPARE(panel.Slider1(0)->value(), cancel_on_error ? 0 : speed);

    console.Tick();  // the error goes on
    const Packet after_error = console.LastSent(0);
    QCOMPARE((after_error[3] & kStop) != 0, cancel_on_error);
    QCOMPARE((after_error[3] & kSpeedMode) != 0, !cancel_on_error);
    const int sent_speed = after_error[4] + 256 * after_error[5] - 32767;
    QCOMPARE(sent_speed, cancel_on_error ? 0 : speed);

    // STOP resets the error display at once; released before the next
    // packet, it still goes out in that packet, and its release clears
    // StopBit only until the next reply that reports the error.
    QTest::mousePress(main.Command1(0), Qt::LeftButton);
    QCOMPARE(main.Shape5(0)->FillColor(), ButtonFaceColor());
    QVERIFY(!main.Label8(0)->isVisible());
    QTest::mouseRelease(main.Command1(0), Qt::LeftButton);
    QCOMPARE(t.StopBit[0], kStop);
    console.Tick();  // still the error
    QCOMPARE(console.LastControlByte(0) & kStop, kStop);
    QCOMPARE(main.Shape5(0)->FillColor(), red);
    QVERIFY(main.Label8(0)->isVisible());
    QCOMPARE(t.StopBit[0], cancel_on_error ? kStop : 0);

    console.Tick();  // the error has cleared
    QCOMPARE(main.Shape2(0)->FillColor(), ButtonFaceColor());
    QVERIFY(!main.Label4(0)->isVisible());
    // Without cancel-on-error the lamp follows the flag; with it, the lamp
    // and StopBit stay until STOP.
    QCOMPARE(main.Shape5(0)->FillColor(), cancel_on_error ? red : ButtonFaceColor());
    QCOMPARE(main.Label8(0)->isVisible(), cancel_on_error);
    console.Tick(2);
    QCOMPARE(main.Shape5(0)->FillColor(), cancel_on_error ? red : ButtonFaceColor());
    QCOMPARE((console.LastControlByte(0) & kStop) != 0, cancel_on_error);

    QTest::mouseClick(main.Command1(0), Qt::LeftButton);
    console.Tick(2);
    QCOMPARE(main.Shape5(0)->FillColor(), ButtonFaceColor());
    QVERIFY(!main.Label8(0)->isVisible());
    QCOMPARE(console.LastControlByte(0) & kStop, 0);
    QCOMPARE(t.StopBit[0], 0);
    QVERIFY(!console.exit.Ended());
  }

  void failures_data() {
    QTest::addColumn<TransferFault>("fault");
    QTest::addColumn<QString>("message");
    using Kind = TransferFault::Kind;
    using stage::usb::SI_READ_ERROR;
    using stage::usb::SI_WRITE_ERROR;
    const QString wrote = QStringLiteral("Error writing to USB. Wrote  %1 of  12 bytes");
    // A failed read says so (not "Error writing").
    const QString read = QStringLiteral("Error reading from USB. Read  %1 of  12 bytes");
    QTest::newRow("write status") << Fault(TransferOp::kWrite, Kind::kStatus, SI_WRITE_ERROR, 0)
                                  << OnAxisY(wrote.arg(0));
    QTest::newRow("write status, 12 bytes")
        << Fault(TransferOp::kWrite, Kind::kStatus, SI_WRITE_ERROR, 12) << OnAxisY(wrote.arg(12));
    QTest::newRow("write of 11 bytes") << Fault(TransferOp::kWrite, Kind::kShortCount, 0, 11) << OnAxisY(wrote.arg(11));
    QTest::newRow("write time-out") << Fault(TransferOp::kWrite, Kind::kTimeout) << OnAxisY(wrote.arg(0));
    QTest::newRow("read status, 12 bytes")
        << Fault(TransferOp::kRead, Kind::kStatus, SI_READ_ERROR, 12) << OnAxisY(read.arg(12));
    QTest::newRow("read of 11 bytes") << Fault(TransferOp::kRead, Kind::kShortCount, 0, 11) << OnAxisY(read.arg(11));
    QTest::newRow("read time-out") << Fault(TransferOp::kRead, Kind::kTimeout) << OnAxisY(read.arg(0));
    TransferFault byte3 = Fault(TransferOp::kRead, Kind::kVerbatimReply);
    byte3.reply = Reply(0, 0, 0);
    byte3.reply[3] = 0x80;
    TransferFault byte11 = byte3;
    byte11.reply = Reply(0, 0, 0);
    byte11.reply[11] = 0x80;
    const QString invalid = OnAxisY(QStringLiteral("Invalid reply from USB device Y: position out of range"));
    QTest::newRow("reply byte 3 of 128") << byte3 << invalid;
    QTest::newRow("reply byte 11 of 128") << byte11 << invalid;
  }
  void failures() {
    QFETCH(TransferFault, fault);
    QFETCH(QString, message);
    StartUp start_up;  // three axes; axis 1 fails on the second tick
    start_up.faults = {fault};
    LiveConsole console(start_up);
    std::size_t calls_while_box_up = 0;
    console.exit.while_box_is_up = [&] {
      calls_while_box_up = console.devices->Calls().size();
      console.main->Tick();  // a timer tick in the box's event loop
      calls_while_box_up = console.devices->Calls().size() - calls_while_box_up;
    };

    console.Tick(2);

    QCOMPARE(console.exit.recording.FatalMessages(), QList<QString>{message});
    QVERIFY(console.exit.recording.Status() != 0);
    QCOMPARE(calls_while_box_up, std::size_t{0});
    // Axis 2 has no exchange on the failing tick; nothing after the failure.
    const bool write_failed = fault.op == TransferOp::kWrite;
    QCOMPARE(console.DevicesOf(Call::kWrite), (std::vector<std::uint32_t>{0, 1, 2, 0, 1}));
    QCOMPARE(console.DevicesOf(Call::kRead),
             write_failed ? (std::vector<std::uint32_t>{0, 1, 2, 0}) : (std::vector<std::uint32_t>{0, 1, 2, 0, 1}));
    QCOMPARE(console.devices->Calls().back().call, write_failed ? Call::kWrite : Call::kRead);

    // No tick runs any more, and nothing is closed, not even by the close box.
    const std::size_t calls = console.devices->Calls().size();
    console.Tick(3);
    console.Main().close();
    QCOMPARE(console.devices->Calls().size(), calls);
    for (std::uint32_t d = 0; d < 3; ++d) QVERIFY(console.devices->IsOpen(d));
    QCOMPARE(console.exit.recording.FatalMessages().size(), 1);
  }

  void an_unchanged_reply_rewrites_nothing() {
    StartUp start_up;
    start_up.axes = 2;
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    main.Text3(1)->show();  // shown, so that every reply reaches it
    console.Tick();
    QSignalSpy position_changes(main.Text1(1), &QLineEdit::textChanged);
    QSignalSpy ideal_changes(main.Text3(1), &QLineEdit::textChanged);
    console.Tick(5);
    QCOMPARE(position_changes.count(), 0);
    QCOMPARE(ideal_changes.count(), 0);

    // What the operator types into a read-out lasts until the next reply.
    LiveConsole::Type(main.Text1(1), QStringLiteral("abc"));
    console.Tick();
    QCOMPARE(main.Text1(1)->text(), QStringLiteral("0.00 um"));

    // A move changes the read-out on every tick that brings a new position.
    console.TypeTarget(1, QStringLiteral("1"));
    QTest::mousePress(main.cmdGo(1), Qt::LeftButton);
    console.Tick();
    QTest::mouseRelease(main.cmdGo(1), Qt::LeftButton);
    position_changes.clear();
    console.Tick(3);
    QCOMPARE(position_changes.count(), 1);
    QCOMPARE(main.Text1(1)->text(), QStringLiteral("1.00 um"));
  }
};

STAGE_UI_TEST_MAIN(PollingTest)
#include "polling_test.moc"

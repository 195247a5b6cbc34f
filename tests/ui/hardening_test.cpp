// Why this exists: a controller, its library, the window system and the
// operating system can all be hostile. These tests drive the real windows
// with a device library that answers what a faulty or malicious one would,
// and end the program every way it can end from outside: each case here once
// ended with markup loaded from a product string, a wrong move, an abort
// without a message, a handle closed twice or controllers left open.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <csignal>
#include <memory>

#include "tests/hostile/hostile_devices.h"
#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/common/outside_end.h"
#include "ui/common/program_exit.h"

using stage::hostile::HostileDevices;
using stage::hostile::Plan;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

QString CountFailure() {
  return QStringLiteral("Error finding USB device. Aborting application.\n") +
         QLatin1String(frmSelect::kNoControllerAdvice);
}

QString OpenFailure(const QString& product, const QString& axis) {
  return QStringLiteral("Error opening device: ") + product + QStringLiteral(". Axis ") + axis +
         QStringLiteral(". Application is aborting. Reset hardware and try again.");
}

// The real start-up and main windows on a hostile library.
struct HostileConsole {
  explicit HostileConsole(Plan plan) : devices(std::move(plan)) {
    select = std::make_unique<frmSelect>(ConsoleContext{tables, devices, exit});
    if (exit.Ended()) return;
    select->show();
  }
  frmMain* Ok() {
    QTest::mouseClick(select->findChild<CommandButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
    auto* main = dynamic_cast<frmMain*>(select->MainWindow());
    if (main != nullptr) main->Timer1().stop();
    return main;
  }

  HostileDevices devices;
  stage::modKVT_USB tables;
  RecordingExit exit;
  std::unique_ptr<frmSelect> select;
};

}  // namespace

class HardeningTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  // A product string is shown as it is, never as markup: <img src=/dev/zero>
  // in the fatal box would read the file for ever instead of showing.
  void device_text_is_plain_in_the_open_failure_box() {
    Plan plan;
    plan.product_strings = {"HosA", "<img src=/dev/zero>"};
    plan.open_status = {0, stage::usb::SI_DEVICE_NOT_FOUND};
    HostileConsole console(plan);
    QCOMPARE(console.select->findChild<QComboBox*>(QStringLiteral("cmbDevice"))->itemText(1),
             QStringLiteral("<img src=/dev/zero>"));
    QVERIFY(console.Ok() != nullptr);
    const QString expected = OpenFailure(QStringLiteral("<img src=/dev/zero>"), QStringLiteral("g"));
    QCOMPARE(console.exit.FatalMessages(), QList<QString>{expected});

    const std::unique_ptr<QMessageBox> box = MakeFatalBox(nullptr, expected);
    QCOMPARE(box->textFormat(), Qt::PlainText);
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    QVERIFY(label != nullptr);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), expected);
    QCOMPARE(box->buttons().size(), 1);
  }

  // Sensible fields whose product underflows or overflows: the factor used
  // and shown is 1, so a typed 5 sends 5 counts, not 0, and the position
  // reads in counts instead of NaN or 0.00 for ever.
  void impossible_factors_are_used_and_shown_as_1_data() {
    QTest::addColumn<QString>("gearhead");
    QTest::addColumn<QString>("pitch");
    QTest::newRow("product underflows to 0") << "1E-300" << "1E+300";
    QTest::newRow("product overflows") << "1E+308" << "500";
    QTest::newRow("quotient overflows") << "250" << "1E-308";
  }
  void impossible_factors_are_used_and_shown_as_1() {
    QFETCH(QString, gearhead);
    QFETCH(QString, pitch);
    StartUp start_up;
    start_up.axes = 1;
    const std::string g = gearhead.toStdString(), p = pitch.toStdString();
    start_up.mechanics = {{0, "256", g.c_str(), p.c_str()}};
    stage::sim::TransferFault reply;
    reply.op = stage::sim::TransferOp::kRead;
    reply.kind = stage::sim::TransferFault::Kind::kVerbatimReply;
    reply.reply = Reply(1234, 0, 0);
    start_up.faults = {reply};
    LiveConsole console(start_up);
    QCOMPARE(FindElement<QLineEdit>(console.select.get(), QStringLiteral("Text1"), 0)->text(), QStringLiteral("1"));
    QCOMPARE(console.tables.CountsPerMicron[0], 1.0);

    console.TypeTarget(0, QStringLiteral("5"));
    QTest::mouseClick(console.Main().cmdGo(0), Qt::LeftButton);
    console.Tick();
    const Packet sent = console.LastSent(0);
    const std::int64_t target = sent[8] | sent[9] << 8 | sent[10] << 16 | static_cast<std::int64_t>(sent[11]) << 24;
    QCOMPARE(target - 1073741824, std::int64_t{5});
    QCOMPARE(console.Main().Text1(0)->text(), QStringLiteral("1234.00 En"));
  }

  // More controllers than any stage has, or a count judged on 16 bits only,
  // end like a failed count: the designed message, nothing allocated.
  void counts_beyond_the_limit_or_status_end_like_a_failed_count_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<uint>("count");
    QTest::newRow("65") << 0 << 65U;
    QTest::newRow("1000") << 0 << 1000U;
    QTest::newRow("2^31") << 0 << 0x80000000U;
    QTest::newRow("2^32 - 1") << 0 << 0xFFFFFFFFU;
    QTest::newRow("0") << 0 << 0U;
    QTest::newRow("status 0x10000") << 0x10000 << 2U;
    QTest::newRow("status -65536") << -65536 << 2U;
  }
  void counts_beyond_the_limit_or_status_end_like_a_failed_count() {
    QFETCH(int, status);
    QFETCH(uint, count);
    Plan plan;
    plan.count_status = status;
    plan.count = count;
    HostileConsole console(plan);
    QCOMPARE(console.exit.FatalMessages(), QList<QString>{CountFailure()});
    QVERIFY(!console.tables.TablesAllocated());
    QCOMPARE(console.devices.calls, std::uint64_t{1});
  }

  void the_limit_itself_is_a_stage() {
    Plan plan;
    plan.count = stage::kMaxControllers;
    HostileConsole console(plan);
    QVERIFY(!console.exit.Ended());
    QCOMPARE(console.tables.AxisCount, static_cast<int>(stage::kMaxControllers) - 1);
  }

  // An open judged on 16 bits, a "success" without a handle, or a handle
  // another controller already has: refused, naming that controller; the
  // controllers opened before are closed once each, the refused one never.
  void opens_are_judged_whole_and_handles_unique_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<quint64>("handle");
    QTest::newRow("status 0x10000, null handle") << 0x10000 << quint64{0};
    QTest::newRow("status 0x10000, a handle") << 0x10000 << quint64{0x777};
    QTest::newRow("success, null handle") << 0 << quint64{0};
    QTest::newRow("success, controller 0's handle") << 0 << quint64{0x100};
    QTest::newRow("success, controller 1's handle") << 0 << quint64{0x101};
  }
  void opens_are_judged_whole_and_handles_unique() {
    QFETCH(int, status);
    QFETCH(quint64, handle);
    Plan plan;
    plan.count = 3;
    plan.product_strings = {"HosA", "HosB", "HosC"};
    plan.open_status = {0, 0, status};
    plan.open_handles = {0x100, 0x101, static_cast<stage::usb::Handle>(handle)};
    HostileConsole console(plan);
    frmMain* main = console.Ok();
    QVERIFY(main != nullptr);
    QCOMPARE(console.exit.FatalMessages(), QList<QString>{OpenFailure(QStringLiteral("HosC"), QStringLiteral("C"))});
    QCOMPARE(console.devices.closed, (std::vector<stage::usb::Handle>{0x100, 0x101}));
    QCOMPARE(console.devices.misuse, std::uint64_t{0});
    QCOMPARE(console.devices.transfers, std::uint64_t{0});
    main->Tick();
    QCOMPARE(console.devices.transfers, std::uint64_t{0});
  }

  // A termination signal ends the run from the event loop as Exit does:
  // every controller closed in order, then the end; before OK, like Cancel.
  void termination_signals_end_like_exit_data() {
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<bool>("opened");
    QTest::newRow("SIGTERM") << SIGTERM << true;
    QTest::newRow("SIGINT") << SIGINT << true;
    QTest::newRow("SIGHUP") << SIGHUP << true;
    QTest::newRow("SIGTERM before OK") << SIGTERM << false;
  }
  void termination_signals_end_like_exit() {
    QFETCH(int, signal_number);
    QFETCH(bool, opened);
    Plan plan;
    plan.count = 3;
    HostileConsole console(plan);
    if (opened) QVERIFY(console.Ok() != nullptr);
    int received = 0;
    const TerminationSignals termination([&](int number) {
      received = number;
      console.select->EndProgram();
    });
    std::raise(signal_number);
    QTRY_COMPARE(received, signal_number);
    QCOMPARE(console.exit.Status(), 0);
    QVERIFY(console.exit.FatalMessages().isEmpty());
    QCOMPARE(console.devices.closed,
             opened ? (std::vector<stage::usb::Handle>{0x100, 0x101, 0x102}) : std::vector<stage::usb::Handle>{});
    QCOMPARE(console.devices.misuse, std::uint64_t{0});
  }

  // With a fatal message up, a signal ends the run the fatal way: nothing
  // closed, a failure status.
  void a_signal_during_a_fatal_message_ends_the_fatal_way() {
    Plan plan;
    plan.count = 2;
    plan.fault_at = 1;
    HostileConsole console(plan);
    frmMain* main = console.Ok();
    QVERIFY(main != nullptr);
    main->Tick();
    QCOMPARE(console.exit.FatalMessages().size(), 1);
    console.select->EndProgram();
    QCOMPARE(console.exit.Status(), 1);
    QVERIFY(console.devices.closed.empty());
  }

  // The window system destroys a window instead of asking it to close.
  void destroyed_main_or_start_up_window_ends_like_exit_data() {
    QTest::addColumn<bool>("main_window");
    QTest::newRow("main window") << true;
    QTest::newRow("hidden start-up window") << false;
  }
  void destroyed_main_or_start_up_window_ends_like_exit() {
    QFETCH(bool, main_window);
    Plan plan;
    plan.count = 3;
    HostileConsole console(plan);
    frmMain* main = console.Ok();
    QVERIFY(main != nullptr);
    WindowDestroyWatch::WindowDestroyed(main_window ? static_cast<QWidget*>(main) : console.select.get());
    QCOMPARE(console.exit.Status(), 0);
    QCOMPARE(console.devices.closed, (std::vector<stage::usb::Handle>{0x100, 0x101, 0x102}));
    const std::uint64_t calls = console.devices.calls;
    main->Tick();
    QCOMPARE(console.devices.calls, calls);
  }

  void destroyed_start_up_window_before_ok_ends_like_cancel() {
    Plan plan;
    HostileConsole console(plan);
    WindowDestroyWatch::WindowDestroyed(console.select.get());
    QCOMPARE(console.exit.Status(), 0);
    QVERIFY(console.devices.given.empty());
  }

  // A destroyed tuning panel comes back with More Controls, rows and slider
  // positions as they were, in a new native window.
  void destroyed_tuning_panel_comes_back_with_more_controls() {
    LiveConsole console;
    frmMain& main = console.Main();
    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    frmXCtrl0& panel = console.Panel();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    panel.Slider3(2)->setValue(77);
    const WId dead_window = panel.winId();

    WindowDestroyWatch::WindowDestroyed(&panel);
    QVERIFY(!panel.isVisible());
    QVERIFY(!console.exit.Ended());

    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QVERIFY(panel.windowHandle()->handle() != nullptr);
    QVERIFY(panel.winId() != dead_window);
    QCOMPARE(panel.Slider3(2)->value(), 77);
    QCOMPARE(panel.RowCount(), 3);
  }

  // A destroyed fatal box ends its modal loop as OK does, so the fatal end
  // follows instead of a process with no window.
  void destroyed_fatal_box_ends_like_its_ok() {
    const std::unique_ptr<QMessageBox> box = MakeFatalBox(nullptr, QStringLiteral("Error"));
    QTimer destroy;
    destroy.setSingleShot(true);
    connect(&destroy, &QTimer::timeout, box.get(), [&box] {
      QVERIFY(QTest::qWaitForWindowExposed(box.get()));
      WindowDestroyWatch::WindowDestroyed(box.get());
    });
    destroy.start(0);
    box->exec();
    QVERIFY(!box->isVisible());
  }
};

STAGE_UI_TEST_MAIN(HardeningTest)
#include "hardening_test.moc"

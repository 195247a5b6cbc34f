// Why this exists: referencing drives an axis on its own toward a hard end.
// On the simulated servo stage it must end zeroed at the back-off position
// off the chosen switch, every faulty wiring must end it bounded with the
// reason said, STOP and Esc must end it at once, the start-up question must
// come once and only for the axes that ask for it, and without a profile
// (or with --no-profile) nothing may change. Driven with real mouse and key
// events; the question box is answered with the mouse.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "stage/referencing/referencing.h"
#include "stage/sim/servo_axis_model.h"
#include "stage/usb/packet_codec.h"
#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/profile_session.h"
#include "ui/main/referencing_runner.h"

using stage::AxisIndex;
using stage::referencing::Outcome;
using stage::ui::ProfileSession;
using stage::ui::frmMain;
using stage::ui::testing::LiveConsole;
using stage::ui::testing::StartUp;

namespace {

constexpr int kGo = stage::usb::kGoBit;
constexpr int kStop = stage::usb::kStopBit;
constexpr int kSpeedMode = stage::usb::kSpeedModeBit;
constexpr int kZero = stage::usb::kZeroBit;
constexpr int kRelMove = stage::usb::kRelMoveBit;
constexpr int kBusy = stage::usb::kFlagBusy;

// The [referencing] section of a profile: at speed 5000 (250000 counts/s on
// the simulator), backing off 12800 counts (100 um).
struct Referencing {
  const char* direction = "lower";
  bool enabled = true;
  bool at_start_up = false;
  std::int64_t max_seek_counts = 12'800'000;
};

QByteArray ProfileText(const char* serial, const Referencing& r) {
  return QByteArray("schema_version = 1\nserial = '") + serial + "'\n[referencing]\nenabled = " +
         (r.enabled ? "true" : "false") + "\ndirection = '" + r.direction +
         "'\nspeed = 5000\nback_off_counts = 12800\nmax_seek_counts = " + QByteArray::number(r.max_seek_counts) +
         "\nat_start_up = " + (r.at_start_up ? "true" : "false") + "\n";
}

// Simulated controllers whose profiles (one per axis, or none) sit in a
// temporary folder; `no_profile` is --no-profile.
struct Stage {
  Stage(StartUp start_up, const std::vector<std::optional<Referencing>>& referencing, bool no_profile = false)
      : profiles(no_profile ? QString() : folder.path()) {
    for (std::size_t k = 0; k < referencing.size(); ++k) {
      if (!referencing[k]) continue;
      const std::string serial = stage::sim::DefaultProductString(static_cast<std::uint32_t>(k));
      QFile file(folder.filePath(QString::fromStdString(serial) + QStringLiteral(".toml")));
      const QByteArray text = ProfileText(serial.c_str(), *referencing[k]);
      if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) qFatal("cannot write the profile");
    }
    start_up.profiles = &profiles;
    start_up.simple_model = false;
    console = std::make_unique<LiveConsole>(start_up);
    // The servo is on once the main window has been activated.
    for (std::uint8_t& active : console->tables.ActiveBit) {
      if (active == 0) qWarning("the main window was not activated");
    }
    console->Tick(3);
  }
  frmMain& Main() { return console->Main(); }
  const stage::referencing::Referencing& Core() { return Main().Referencing().Core(); }
  // The latest reply (of the last axis exchanged).
  stage::usb::StatusReading Reply() const {
    std::array<std::uint8_t, 12> bytes{};
    std::copy_n(console->tables.UsbBuffer.begin(), 12, bytes.begin());
    return stage::usb::DecodeStatus(bytes).value_or(stage::usb::StatusReading{});
  }
  // Ticks while the run on `axis` goes on, at most `bound` ticks; false when
  // it is still running then.
  bool RunToEnd(AxisIndex axis, int bound) {
    for (int t = 0; t < bound && Core().Running(axis); ++t) console->Tick();
    return !Core().Running(axis);
  }
  // Ticks until the axis reports no busy flag and its position has stood
  // still for 10 ticks (a servo off after a fault coasts without busy), at
  // most `bound` ticks.
  bool ComesToRest(int bound) {
    std::int32_t last = Reply().position;
    int still = 0;
    for (int t = 0; t < bound; ++t) {
      console->Tick();
      still = Reply().position == last ? still + 1 : 0;
      last = Reply().position;
      if ((Reply().flags & kBusy) == 0 && still >= 10) return true;
    }
    return false;
  }
  // The question, answered with the mouse; false when none is up.
  bool Answer(QMessageBox::StandardButton button) {
    QMessageBox* box = Main().Referencing().Question();
    if (box == nullptr || !box->isVisible()) return false;
    QTest::mouseClick(box->button(button), Qt::LeftButton);
    return true;
  }
  QString Line() { return Main().lblMessage()->text(); }

  QTemporaryDir folder;
  ProfileSession profiles;
  std::unique_ptr<LiveConsole> console;
};

StartUp OneAxis(stage::sim::ServoWiring wiring = stage::sim::ShortTravelWiring()) {
  StartUp start_up;
  start_up.axes = 1;
  start_up.wiring = {wiring};
  return start_up;
}

}  // namespace

class ReferencingTest : public QObject {
  Q_OBJECT

 private slots:
  void endsZeroedAtTheBackOffPositionOffEachSwitch_data();
  void endsZeroedAtTheBackOffPositionOffEachSwitch();
  void aFaultyWiringEndsBoundedAndIsSaid_data();
  void aFaultyWiringEndsBoundedAndIsSaid();
  void stopAndEscEndItAtOnce_data();
  void stopAndEscEndItAtOnce();
  void theOperatorsOwnCommandTakesTheAxisOver();
  void aGoLatchedByEnterEndsWhenTheRunStarts();
  void startUpAsksOnceForTheAxesThatAskForIt_data();
  void startUpAsksOnceForTheAxesThatAskForIt();
  void nothingChangesWithoutAProfile_data();
  void nothingChangesWithoutAProfile();
};

void ReferencingTest::endsZeroedAtTheBackOffPositionOffEachSwitch_data() {
  QTest::addColumn<QString>("direction");
  QTest::addColumn<int>("flag");  // the switch's flag
  QTest::newRow("lower") << QStringLiteral("lower") << int{stage::usb::kFlagLimit1};
  QTest::newRow("upper") << QStringLiteral("upper") << int{stage::usb::kFlagLimit2};
}

void ReferencingTest::endsZeroedAtTheBackOffPositionOffEachSwitch() {
  QFETCH(QString, direction);
  QFETCH(int, flag);
  const QByteArray toward = direction.toLatin1();
  Referencing settings;
  settings.direction = toward.constData();
  Stage stage(OneAxis(), {settings});

  stage.Main().StartReferencing(0);
  QMessageBox* box = stage.Main().Referencing().Question();
  QVERIFY(box != nullptr);
  QVERIFY(box->text().contains(QStringLiteral("Reference axis X?")));
  QVERIFY(box->text().contains(QStringLiteral("toward the %1 limit switch").arg(direction)));
  QVERIFY(box->text().contains(QStringLiteral("backs off 12800 counts (100.00 um) from the edge")));
  stage.console->Tick(5);
  QVERIFY2(!stage.Core().Running(0), "nothing runs before Yes");
  QVERIFY(stage.Answer(QMessageBox::Yes));
  QVERIFY(stage.Core().Running(0));

  // Twice: the second run, from the first one's zero, meets the switch at a
  // lower speed and overruns it less, but finds the same edge and so backs
  // off to the same place, which is 0 (within the slow run's speed times a
  // tick: 5000 counts/s, 50 counts).
  for (int run = 0; run < 2; ++run) {
    QVERIFY2(stage.RunToEnd(0, 1000), "the run ends within 10 s");
    QCOMPARE(stage.Core().State(0).outcome, Outcome::kDone);
    QVERIFY(stage.Line().startsWith(
        QStringLiteral("Axis X is referenced: zeroed 12800 counts (100.00 um) off the edge of the %1 limit switch.")
            .arg(direction)));
    QVERIFY(std::abs(stage.Reply().position) <= 16);
    QCOMPARE(stage.Main().Text1(0)->text(), QStringLiteral("0.00 um"));
    QCOMPARE(stage.Reply().flags & flag, 0);  // off the switch
    if (run == 1) {
      QVERIFY2(std::abs(stage.Core().State(0).zeroed_from_counts) <= 100,
               qPrintable(QString::number(stage.Core().State(0).zeroed_from_counts)));
      break;
    }
    stage.Main().StartReferencing(0);
    QVERIFY(stage.Answer(QMessageBox::Yes));
  }
  // Nothing of the run is left in the packets.
  stage.console->Tick();
  QCOMPARE(stage.console->LastControlByte(0) & (kStop | kSpeedMode | kZero | kRelMove), 0);
}

void ReferencingTest::aFaultyWiringEndsBoundedAndIsSaid_data() {
  QTest::addColumn<bool>("motor_reversed");
  QTest::addColumn<QString>("ticked");  // a wiring check box of Motor Settings
  QTest::addColumn<qlonglong>("max_seek");
  QTest::addColumn<int>("travel");     // the most the axis may travel, counts
  QTest::addColumn<QString>("said");
  // The "polarity" scenario: the motor runs the wrong way.
  // It runs away within the first two ticks until the simulator's
  // following-error fault turns the servo off; it then coasts about 0.7 mm.
  QTest::newRow("reversed polarity") << true << QString() << 12'800'000LL << 100'000
                                     << QStringLiteral("check \"Reverse Motor Polarity\"");
  // Limit switches the other way round: the seek meets the other one.
  QTest::newRow("reversed limit wiring") << false << QStringLiteral("Check2") << 12'800'000LL << 140'000
                                         << QStringLiteral("check \"Reverse Limit Switch\"");
  QTest::newRow("switches active high") << false << QStringLiteral("Check3") << 12'800'000LL << 0
                                        << QStringLiteral("check \"Limit Sw Active on HI\"");
  // No switch within the travel bound (the stage's switches are 3.2 M
  // counts away): the bound, one tick at the speed and the braking at Acc
  // (12500 counts from 250000 counts/s).
  QTest::newRow("travel bound") << false << QString() << 60'000LL << 76'000
                                << QStringLiteral("no limit switch within the travel bound of 60000 counts");
}

void ReferencingTest::aFaultyWiringEndsBoundedAndIsSaid() {
  QFETCH(bool, motor_reversed);
  QFETCH(QString, ticked);
  QFETCH(qlonglong, max_seek);
  QFETCH(int, travel);
  QFETCH(QString, said);
  stage::sim::ServoWiring wiring = max_seek < 12'800'000 ? stage::sim::ServoWiring{} : stage::sim::ShortTravelWiring();
  wiring.motor_reversed = motor_reversed;
  StartUp start_up = OneAxis(wiring);
  const QByteArray box = ticked.toLatin1();
  if (!ticked.isEmpty()) start_up.ticked = {{box.constData(), 0}};
  Referencing settings;
  settings.max_seek_counts = max_seek;
  Stage stage(start_up, {settings});

  const std::int32_t start = stage.Reply().position;
  stage.Main().StartReferencing(0);
  QVERIFY(stage.Answer(QMessageBox::Yes));
  QVERIFY2(stage.RunToEnd(0, 1000), "the run ends within 10 s");
  const Outcome outcome = stage.Core().State(0).outcome;
  QVERIFY(outcome != Outcome::kDone);
  QVERIFY2(stage.Line().contains(QStringLiteral("Referencing of axis X gave up: ")), qPrintable(stage.Line()));
  QVERIFY2(stage.Line().contains(said), qPrintable(stage.Line()));
  QVERIFY(stage.Line().endsWith(QStringLiteral("The axis is stopped; it is not zeroed.")));

  // Stopped: no speed mode, no speed, and it stays where it came to rest.
  QVERIFY2(stage.ComesToRest(200), "at rest within 2 s");
  QCOMPARE(stage.console->LastControlByte(0) & kSpeedMode, 0);
  QCOMPARE(stage.console->LastSent(0)[4] + 256 * stage.console->LastSent(0)[5] - 32767, 0);
  const std::int32_t rest = stage.Reply().position;
  stage.console->Tick(50);
  QVERIFY(std::abs(stage.Reply().position - rest) <= 16);
  QVERIFY2(std::abs(rest - start) <= travel, qPrintable(QString::number(rest - start)));
}

void ReferencingTest::stopAndEscEndItAtOnce_data() {
  QTest::addColumn<QString>("how");
  QTest::newRow("STOP") << QStringLiteral("STOP");
  QTest::newRow("Esc") << QStringLiteral("Esc");
}

void ReferencingTest::stopAndEscEndItAtOnce() {
  QFETCH(QString, how);
  Stage stage(OneAxis(stage::sim::ServoWiring{}), {Referencing{}});
  stage.Main().StartReferencing(0);
  QVERIFY(stage.Answer(QMessageBox::Yes));
  stage.console->Tick(30);
  QCOMPARE(stage.Core().State(0).phase, stage::referencing::Phase::kSeeking);
  QVERIFY(stage.Reply().flags & kBusy);

  const bool esc = how == QLatin1String("Esc");
  if (esc) {
    stage.Main().activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&stage.Main()));
    QTest::keyPress(stage.Main().windowHandle(), Qt::Key_Escape);
  } else {
    QTest::mousePress(stage.Main().Command1(0), Qt::LeftButton);
  }
  // At once: before the next packet.
  QVERIFY(!stage.Core().Running(0));
  QCOMPARE(stage.Core().State(0).outcome, esc ? Outcome::kEscape : Outcome::kStopped);
  QCOMPARE(stage.Line(),
           QStringLiteral("Referencing of axis X ended by %1: the axis is stopped; it is not zeroed.").arg(how));
  stage.console->Tick();
  QCOMPARE(stage.console->LastControlByte(0) & (kStop | kSpeedMode), kStop);
  QCOMPARE(stage.console->LastSent(0)[4] + 256 * stage.console->LastSent(0)[5] - 32767, 0);
  if (esc) {
    QTest::keyRelease(stage.Main().windowHandle(), Qt::Key_Escape);
  } else {
    QTest::mouseRelease(stage.Main().Command1(0), Qt::LeftButton);
  }
  QVERIFY2(stage.ComesToRest(100), "at rest within 1 s");
  const std::int32_t rest = stage.Reply().position;
  stage.console->Tick(50);
  QCOMPARE(stage.console->LastControlByte(0) & (kStop | kSpeedMode), 0);
  QVERIFY(std::abs(stage.Reply().position - rest) <= 16);
}

void ReferencingTest::theOperatorsOwnCommandTakesTheAxisOver() {
  Stage stage(OneAxis(stage::sim::ServoWiring{}), {Referencing{}});
  stage.Main().StartReferencing(0);
  QVERIFY(stage.Answer(QMessageBox::Yes));
  stage.console->Tick(30);
  QVERIFY(stage.Core().Running(0));
  LiveConsole::Type(stage.Main().Text2(0), QStringLiteral("0"));
  QTest::mouseClick(stage.Main().cmdGo(0), Qt::LeftButton);
  QCOMPARE(stage.Core().State(0).outcome, Outcome::kInterrupted);
  QVERIFY(stage.Line().contains(QStringLiteral("ended by the operator's command")));
  // The GO goes out, and the axis goes back to 0.
  stage.console->Tick();
  QCOMPARE(stage.console->LastControlByte(0) & (kGo | kSpeedMode), kGo);
}

void ReferencingTest::aGoLatchedByEnterEndsWhenTheRunStarts() {
  // Enter keeps GO up until a release on GO; the referenced axis must stay at
  // its new zero, not go on to the old target counted from there.
  Stage stage(OneAxis(), {Referencing{}});
  LiveConsole::Type(stage.Main().Text2(0), QStringLiteral("500"));
  QTest::keyClick(stage.Main().Text2(0), Qt::Key_Return);
  QVERIFY2(stage.ComesToRest(500), "at the target within 5 s");
  QVERIFY(std::abs(stage.Reply().position - 64000) <= 16);
  QCOMPARE(stage.console->LastControlByte(0) & kGo, kGo);

  stage.Main().StartReferencing(0);
  QVERIFY(stage.Answer(QMessageBox::Yes));
  QVERIFY2(stage.RunToEnd(0, 1000), "the run ends within 10 s");
  QCOMPARE(stage.Core().State(0).outcome, Outcome::kDone);
  stage.console->Tick(200);
  QCOMPARE(stage.console->LastControlByte(0) & kGo, 0);
  QVERIFY2(std::abs(stage.Reply().position) <= 16, qPrintable(QString::number(stage.Reply().position)));
}

void ReferencingTest::startUpAsksOnceForTheAxesThatAskForIt_data() {
  QTest::addColumn<bool>("yes");
  QTest::newRow("Yes") << true;
  QTest::newRow("No") << false;
}

void ReferencingTest::startUpAsksOnceForTheAxesThatAskForIt() {
  QFETCH(bool, yes);
  StartUp start_up;
  start_up.axes = 3;
  start_up.wiring = {stage::sim::ShortTravelWiring(), stage::sim::ShortTravelWiring(), stage::sim::ShortTravelWiring()};
  Referencing x;
  x.at_start_up = true;
  Referencing y;  // enabled, not at start-up
  Referencing z;
  z.at_start_up = true;
  z.enabled = false;  // asks for start-up, but is not enabled
  Stage stage(start_up, {x, y, z});

  QMessageBox* box = stage.Main().Referencing().Question();
  QVERIFY2(box != nullptr && box->isVisible(), "asked after OK");
  QVERIFY(box->text().startsWith(QStringLiteral("Reference these axes now, one after the other?")));
  QVERIFY(box->text().contains(QStringLiteral("Reference axis X?")));
  QVERIFY(!box->text().contains(QStringLiteral("axis Y")));
  QVERIFY(!box->text().contains(QStringLiteral("axis Z")));
  QVERIFY2(!stage.Core().AnyRunning(), "never silently");
  QVERIFY(stage.Answer(yes ? QMessageBox::Yes : QMessageBox::No));
  QVERIFY(stage.Main().Referencing().Question() == nullptr);
  // Once per run.
  stage.Main().OfferReferencingAtStartUp();
  QVERIFY(stage.Main().Referencing().Question() == nullptr);

  QCOMPARE(stage.Core().Running(0), yes);
  QVERIFY(!stage.Core().Running(1));
  QVERIFY(!stage.Core().Running(2));
  if (yes) {
    QVERIFY2(stage.RunToEnd(0, 1000), "the run ends within 10 s");
    QCOMPARE(stage.Core().State(0).outcome, Outcome::kDone);
  } else {
    stage.console->Tick(20);
    QCOMPARE(stage.Core().State(0).outcome, Outcome::kNone);
  }
  QCOMPARE(stage.Core().State(1).outcome, Outcome::kNone);
  QCOMPARE(stage.Core().State(2).outcome, Outcome::kNone);
}

void ReferencingTest::nothingChangesWithoutAProfile_data() {
  QTest::addColumn<int>("profile");  // 0 no file, 1 --no-profile, 2 referencing disabled
  QTest::newRow("no profile file") << 0;
  QTest::newRow("--no-profile") << 1;
  QTest::newRow("referencing not enabled") << 2;
}

void ReferencingTest::nothingChangesWithoutAProfile() {
  QFETCH(int, profile);
  Referencing disabled;
  disabled.enabled = false;
  disabled.at_start_up = true;
  std::vector<std::optional<Referencing>> referencing{std::nullopt};
  if (profile == 1) referencing = {Referencing{"lower", true, true}};  // in the folder, but not read
  if (profile == 2) referencing = {disabled};
  Stage stage(OneAxis(), referencing, profile == 1);

  QVERIFY2(stage.Main().Referencing().Question() == nullptr, "no start-up question");
  QVERIFY(stage.Line().isEmpty());
  stage.Main().StartReferencing(0);
  QVERIFY2(stage.Main().Referencing().Question() == nullptr, "no question");
  QCOMPARE(stage.Line(), QStringLiteral("Axis X has no referencing set up: it is enabled in the axis's profile."));
  stage.console->Tick(20);
  QVERIFY(!stage.Core().AnyRunning());
  for (std::size_t p = stage.console->Sent(0).size() - 20; p < stage.console->Sent(0).size(); ++p) {
    QCOMPARE(stage.console->Sent(0)[p][3] & (kStop | kSpeedMode | kZero | kRelMove), 0);
  }
  QCOMPARE(stage.Reply().position, 0);
}

STAGE_UI_TEST_MAIN(ReferencingTest)
#include "referencing_test.moc"
